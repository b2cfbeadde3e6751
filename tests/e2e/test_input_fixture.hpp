// Common ground of the keyboard, mouse and reload tests: vop on a private Xvfb, xdotool, geometry waits.
#pragma once

#include "harness.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vop::test {

class InputTest : public ::testing::Test {
protected:
    // An empty script makes vop write and use its default init.lua.
    void start(const std::string& init_lua = "") {
        vop_ = std::make_unique<VopProcess>(VopOptions{.display = x_.display(), .env = {}, .init_lua = init_lua});
        // The compositor restart sleeps before the loop starts, which looks idle too: wait for the grabs.
        ASSERT_TRUE(wait_until([&] { return output().find("keybinds registered") != std::string::npos; }, 10000ms))
            << vop_->describe();
        ASSERT_TRUE(vop_->wait_idle()) << vop_->describe();
        client_ = std::make_unique<TestClient>(x_.display());
        // The first XTEST key switches the server's keyboard device (a MappingNotify) and may be lost: spend
        // it on a key nobody binds.
        xdo({"key", "Shift_L"});
    }
    void TearDown() override {
        client_.reset();
        if (vop_ && !exited_) {
            EXPECT_TRUE(vop_->running()) << "vop died during the test\n" << vop_->describe();
        }
    }

    // xdotool with its arguments; the pointer and keyboard go through XTEST.
    void xdo(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {"xdotool"};
        argv.insert(argv.end(), args.begin(), args.end());
        auto r = run_command(x_.display(), argv);
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_TRUE(vop_->wait_idle()) << vop_->describe();
    }
    void key(const std::string& chord) { xdo({"key", chord}); }
    void pointer_to(int x, int y) { xdo({"mousemove", std::to_string(x), std::to_string(y)}); }

    // A window mapped and managed: it shows up in _NET_CLIENT_LIST and becomes active.
    uint32_t open(WindowSpec desc = {}, TestClient* via = nullptr) {
        TestClient& c = via ? *via : *client_;
        uint32_t w = c.open_window(desc);
        EXPECT_TRUE(wait_until([&] { return active() == w; })) << "window " << w << " never became active";
        EXPECT_TRUE(vop_->wait_idle());
        // Past the quiet time after the warp to the new window, so the pointer may focus again.
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        return w;
    }
    uint32_t open_floating() { return open({.window_type = {"_NET_WM_WINDOW_TYPE_DIALOG"}}); }

    Geometry geo(uint32_t w) { return client_->geometry(w).value_or(Geometry{}); }
    bool becomes(const std::function<bool()>& pred) { return wait_until(pred, 10000ms); }
    uint32_t active() {
        auto v = client_->property_u32(client_->root(), "_NET_ACTIVE_WINDOW");
        return v && !v->empty() ? (*v)[0] : 0;
    }
    uint32_t current_desktop() {
        auto v = client_->property_u32(client_->root(), "_NET_CURRENT_DESKTOP");
        return v && !v->empty() ? (*v)[0] : 99;
    }
    // Focus moved without moving the pointer, as a pager would ask for it.
    void activate(uint32_t w) {
        client_->send_root_message(w, "_NET_ACTIVE_WINDOW", {1, 0, 0, 0, 0});
        ASSERT_TRUE(becomes([&] { return active() == w; }));
        ASSERT_TRUE(vop_->wait_idle());
    }
    // vop's terminal output: the same records as the shared log file, but only this vop's.
    std::string output() { return vop_->out() + vop_->err(); }
    bool logged(const std::string& text) {
        return wait_until([&] { return output().find(text) != std::string::npos; }, 10000ms);
    }
    std::string init_lua_path() { return vop_->config_home() + "/vop/init.lua"; }

    // Whether another client could grab the chord on the root: false while someone (vop) holds it.
    bool chord_free(uint16_t mods, uint8_t keycode) {
        xcb_connection_t* c = client_->conn();
        auto cookie = xcb_grab_key_checked(c, 0, client_->root(), mods, keycode, XCB_GRAB_MODE_ASYNC,
                                           XCB_GRAB_MODE_ASYNC);
        xcb_generic_error_t* e = xcb_request_check(c, cookie);
        const bool free = e == nullptr;
        std::free(e);
        if (free) xcb_ungrab_key(c, keycode, client_->root(), mods);
        xcb_flush(c);
        return free;
    }
    uint8_t keycode_of(const std::string& keysym_name) {
        auto r = run_command(x_.display(), {"xmodmap", "-pke"});
        for (const auto& line : split_lines(r.out)) {
            // "keycode  38 = a A a A"
            auto eq = line.find(" = ");
            if (eq == std::string::npos) continue;
            std::string syms = " " + line.substr(eq + 3) + " ";
            if (syms.find(" " + keysym_name + " ") != std::string::npos) {
                return static_cast<uint8_t>(std::stoi(line.substr(7, eq - 7)));
            }
        }
        return 0;
    }

    XServer x_;
    std::unique_ptr<VopProcess> vop_;
    std::unique_ptr<TestClient> client_;
    bool exited_ = false;
};

}  // namespace vop::test
