// A running vop on a private Xvfb with a test client: the common ground of the window-manager tests.
#pragma once

#include "harness.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

namespace vop::test {

// Gaps 8, border 2 (the default configuration's values), no title bars.
inline const std::string kPlainConfig = R"(
vop.set("gap_inner", 8)
vop.set("gap_outer", 8)
vop.set("border_width", 2)
vop.set("border_color_focused", "#5294e2")
vop.set("border_color_unfocused", "#2d2d2d")
vop.set("border_color_urgent", "#ff5555")
)";

// The requests a client may send about its window in one flush, and what it wants of the window after each:
// mapped, withdrawn (it unmapped a mapped window or withdrew it), gone, or in `host`, a window of its own.
inline const char* const kClientRequests[] = {"map",    "unmap",  "withdraw", "destroy",
                                              "reparent", "switch", "activate", "fullscreen"};
struct ClientWill {
    bool mapped = false, withdrawn = false, gone = false, embedded = false;
};
// Their atoms, interned before `c` holds its requests back (a reply would flush them).
inline void intern_request_atoms(TestClient& c) {
    for (const char* a : {"_NET_CURRENT_DESKTOP", "_NET_ACTIVE_WINDOW", "_NET_WM_STATE", "_NET_WM_STATE_FULLSCREEN"}) c.atom(a);
}
// Sends request `op` of kClientRequests about `w` (a switch goes to `desktop`) and notes what it means.
inline void send_request(TestClient& c, int op, uint32_t w, uint32_t host, uint32_t desktop, ClientWill& will) {
    switch (op) {
        case 0: c.map(w), will.withdrawn = false; break;  // a request: vop maps it, or not
        case 1: c.unmap(w), will.withdrawn = will.withdrawn || will.mapped, will.mapped = false; break;
        case 2: c.withdraw(w), will.withdrawn = true, will.mapped = false; break;
        case 3: c.destroy(w), will.gone = true; break;
        case 4: c.reparent(w, host), will.embedded = true; break;
        case 5: c.send_root_message(c.root(), "_NET_CURRENT_DESKTOP", {desktop, 0, 0, 0, 0}); break;
        case 6: c.send_root_message(w, "_NET_ACTIVE_WINDOW", {2, 0, 0, 0, 0}); break;
        default: c.send_root_message(w, "_NET_WM_STATE", {2, c.atom("_NET_WM_STATE_FULLSCREEN"), 0, 1, 0});
    }
}

class WmTest : public ::testing::Test {
protected:
    void start(const std::string& init_lua = kPlainConfig) {
        vop_ = std::make_unique<VopProcess>(VopOptions{.display = x_.display(), .env = {}, .init_lua = init_lua});
        ASSERT_TRUE(vop_->wait_idle()) << vop_->describe();
        client_ = std::make_unique<TestClient>(x_.display());
    }
    void TearDown() override {
        client_.reset();
        if (vop_) {
            EXPECT_TRUE(vop_->running()) << "vop died during the test\n" << vop_->describe();
        }
    }

    // Waits until the window has exactly this geometry (border included), reporting what it has.
    ::testing::AssertionResult has_geometry(uint32_t w, Geometry want) {
        std::optional<Geometry> g;
        bool ok = wait_until([&] {
            g = client_->geometry(w);
            return g && *g == want;
        });
        if (ok) return ::testing::AssertionSuccess();
        auto show = [](const Geometry& x) {
            return fmt::format("({}, {}) {}x{} border {}", x.x, x.y, x.width, x.height, x.border_width);
        };
        return ::testing::AssertionFailure() << "window " << w << " has " << (g ? show(*g) : "nothing")
                                             << ", want " << show(want);
    }
    bool becomes(std::function<bool()> pred) { return wait_until(std::move(pred)); }
    // Waits for the synthetic ConfigureNotify that answers a refused ConfigureRequest; it must be the only
    // ConfigureNotify the window got and carry this geometry.
    ::testing::AssertionResult answered(uint32_t w, Geometry want) {
        std::vector<ConfigureNotify> seen;
        wait_until([&] {
            for (auto& n : client_->take_configure_notifies()) seen.push_back(n);
            return !seen.empty();
        });
        if (seen.size() == 1 && seen[0].synthetic && seen[0].window == w && seen[0].geometry == want)
            return ::testing::AssertionSuccess();
        auto r = ::testing::AssertionFailure() << seen.size() << " ConfigureNotify events:";
        for (const auto& n : seen) {
            r << fmt::format(" [{}{} ({}, {}) {}x{} border {}]", n.synthetic ? "synthetic " : "", n.window,
                             n.geometry.x, n.geometry.y, n.geometry.width, n.geometry.height, n.geometry.border_width);
        }
        return r;
    }
    std::vector<uint32_t> client_list() {
        return client_->property_u32(root(), "_NET_CLIENT_LIST").value_or(std::vector<uint32_t>{});
    }
    uint32_t active() {
        auto v = client_->property_u32(root(), "_NET_ACTIVE_WINDOW");
        return v && !v->empty() ? (*v)[0] : 0;
    }
    uint32_t current_desktop() {
        auto v = client_->property_u32(root(), "_NET_CURRENT_DESKTOP");
        return v && !v->empty() ? (*v)[0] : 99;
    }
    uint32_t root() { return client_->root(); }
    // The topmost child of the root that is on screen (unmapped ones above it show nothing).
    uint32_t top_shown() {
        const std::vector<uint32_t> kids = client_->children(root());
        auto it = std::find_if(kids.rbegin(), kids.rend(), [&](uint32_t w) { return client_->viewable(w); });
        return it == kids.rend() ? 0 : *it;
    }
    CommandResult run(const std::vector<std::string>& argv) { return run_command(x_.display(), argv); }

    XServer x_;
    std::unique_ptr<VopProcess> vop_;
    std::unique_ptr<TestClient> client_;
};

}  // namespace vop::test
