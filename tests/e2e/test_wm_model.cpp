// The model check: a seeded random walk of clients, pointer moves and Mod+drags, commands, docks, menus and
// RandR changes on two monitors; after every step vop's views and what the X server shows must agree.
// Fixed seeds run in the suite (one for each mix of title bars and following moved windows);
// VOP_MODEL_SEED replays one run instead (VOP_MODEL_SEED=random draws a new seed), VOP_MODEL_STEPS sets its length.
#include "ipc_fixture.hpp"

#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <tuple>

using namespace vop::test;
using nlohmann::json;

namespace {

constexpr uint32_t kPointerMotion = 0x40;  // in vop's event mask of floating windows only

// Windows of these classes are ruled onto workspaces 2 and 4, tiled or floating.
const char* const kClasses[] = {"Term", "Term", "Term", "Dialog", "Chat", "Pop", "Away", "AwayPop"};
const std::string kRules = R"(
vop.rule({ class = "Chat" }, { workspace = 2 })
vop.rule({ class = "Pop" }, { workspace = 2, floating = true })
vop.rule({ class = "Away" }, { workspace = 4 })
vop.rule({ class = "AwayPop" }, { workspace = 4, floating = true })
)";

// Seed modulo 4 picks the configuration: 1 frames and follows, 2 neither, 3 frames only, 4 follows only.
constexpr uint64_t kSeeds[] = {1, 2, 3, 4};

struct Box {
    int x = 0, y = 0, width = 0, height = 0;
    bool holds(int px, int py) const { return px >= x && px < x + width && py >= y && py < y + height; }
};

// One client connection with one window, so that killing it takes exactly that window.
struct App {
    std::unique_ptr<TestClient> client;
    uint32_t window = 0;
    bool withdrawn = false;  // its client withdrew it: vop must let it go
};

class ModelCheck : public ::testing::TestWithParam<uint64_t> {
protected:
    void SetUp() override {
        seed_ = GetParam();
        if (const char* env_seed = std::getenv("VOP_MODEL_SEED")) {
            if (seed_ != kSeeds[0]) GTEST_SKIP() << "VOP_MODEL_SEED runs one seed";
            seed_ = std::string(env_seed) == "random"
                        ? static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count())
                        : std::strtoull(env_seed, nullptr, 10);
        }
        std::string why_not;
        xorg_ = DummyXorg::start(why_not);
        if (!xorg_) {
            GTEST_SKIP() << why_not;
        }
        const char* env_steps = std::getenv("VOP_MODEL_STEPS");
        steps_ = env_steps ? std::atoi(env_steps) : 300;
        rng_.seed(seed_);
        std::printf("model check seed %llu (VOP_MODEL_SEED replays it)\n", static_cast<unsigned long long>(seed_));
        xorg_->add_second_monitor();
        // Half the runs frame their windows, half let moved windows take the focus along.
        const std::string config = kPlainConfig + kRules +
                                   fmt::format("vop.set(\"titlebar_enabled\", {})\n", seed_ % 2 ? "true" : "false") +
                                   fmt::format("vop.set(\"follow_window_on_move\", {})\n", seed_ % 4 < 2 ? "true" : "false");
        vop_ = std::make_unique<VopProcess>(
            VopOptions{.display = xorg_->display(), .env = {{"NO_COLOR", "1"}}, .init_lua = config});
        // vop's own terminal output: the compositor restart pauses start-up, so wait for the loop's set-up.
        ASSERT_TRUE(wait_until([&] { return vop_->out().find("EWMH workspace hints initialized") != std::string::npos; },
                               10000ms) &&
                    vop_->wait_idle())
            << vop_->describe();
        client_ = std::make_unique<TestClient>(xorg_->display());
        ASSERT_TRUE(wait_until([&] {
            json_ = std::make_unique<SocketClient>(vop_->runtime_dir() + "/vop.sock");
            return json_->connected();
        }));
        bar_ = std::make_unique<SocketClient>(vop_->runtime_dir() + "/vop-i3.sock");
        auto subscribed = bar_->i3(2, R"(["workspace"])");
        ASSERT_TRUE(subscribed && subscribed->payload == R"({"success":true})");
        // The first XTEST key switches the server's keyboard device and may be lost: spend it on no chord.
        ASSERT_EQ(run_command(xorg_->display(), {"xdotool", "key", "Shift_L"}).status, 0);
        // A wallpaper of its own: an override-redirect window that lowers itself to the bottom.
        wallpaper_client_ = std::make_unique<TestClient>(xorg_->display());
        wallpaper_ = wallpaper_client_->open_window({.width = 4000, .height = 3000, .override_redirect = true});
        const uint32_t below = XCB_STACK_MODE_BELOW;
        xcb_configure_window(wallpaper_client_->conn(), wallpaper_, XCB_CONFIG_WINDOW_STACK_MODE, &below);
        wallpaper_client_->sync();
    }
    void TearDown() override {
        apps_.clear();
        embedded_.clear();
        dock_client_.reset();
        menu_client_.reset();
        wallpaper_client_.reset();
        if (vop_) {
            EXPECT_TRUE(vop_->running()) << "vop died during the test\n" << vop_->describe();
        }
    }

    uint64_t pick(uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng_); }
    json view(const std::string& command) {
        auto reply = json_->request(R"({"command":")" + command + R"("})");
        auto j = json::parse(reply.value_or(""), nullptr, false);
        return j.is_object() && j.contains("data") ? j["data"] : json();
    }
    std::string command(const std::string& name, const json& args) {
        json_->request(json{{"command", name}, {"args", args}}.dump());
        return name + " " + args.dump();
    }
    uint32_t root_u32(const std::string& property) {
        auto v = client_->property_u32(client_->root(), property);
        return v && !v->empty() ? (*v)[0] : 0;
    }
    std::vector<Box> monitor_boxes() {
        std::vector<Box> out;
        for (const json& m : view("get_monitors")) {
            const json& g = m["geometry"];
            out.push_back({g["x"].get<int>(), g["y"].get<int>(), g["width"].get<int>(), g["height"].get<int>()});
        }
        return out;
    }
    // The current workspace as the last i3 "focus" event named it (1 before any event).
    int bar_workspace() {
        bar_->drain();
        for (;;) {
            auto d = vop::i3_compat::decode(bar_->received);
            if (d.kind != vop::i3_compat::Decoded::Kind::Message) break;
            bar_->received.erase(0, d.consumed);
            auto event = json::parse(d.message.payload, nullptr, false);
            if (event.is_object() && event.value("change", "") == "focus") bar_ws_ = event["current"]["num"].get<int>();
        }
        return bar_ws_;
    }

    // Everything that is wrong now, one line each; empty when vop's views and the X server agree.
    std::vector<std::string> faults() {
        std::vector<std::string> f;
        const json tree = view("get_tree"), monitors = view("get_monitors"), focus = view("get_focused");
        if (!tree.is_object() || !monitors.is_array()) return {"vop does not answer"};
        std::map<uint32_t, size_t> home;  // window -> index of the workspace listing it
        std::set<uint32_t> floating;
        for (size_t i = 0; i < tree["workspaces"].size(); ++i) {
            for (const char* part : {"tiled", "floating"}) {
                for (uint32_t w : tree["workspaces"][i][part]) {
                    if (!home.emplace(w, i).second) {
                        f.push_back(fmt::format("window {} is listed twice (workspaces {} and {})", w, home[w] + 1, i + 1));
                    }
                    if (part == std::string("floating")) floating.insert(w);
                }
            }
        }
        const size_t current = tree["focused_workspace"].get<size_t>() - 1;
        std::map<size_t, Box> shown;  // workspace -> its monitor
        std::vector<json> assigned;
        for (const json& m : monitors) {
            const json& g = m["geometry"];
            const size_t ws = m["active_workspace"].get<size_t>() - 1;
            shown[ws] = {g["x"].get<int>(), g["y"].get<int>(), g["width"].get<int>(), g["height"].get<int>()};
            if (m["focused"].get<bool>() && ws != current) f.push_back("the focused monitor does not show the current workspace");
            assigned.push_back(m["workspaces"]);
        }
        if (expect_monitors_ && monitors.size() != *expect_monitors_) {
            f.push_back(fmt::format("{} monitors in the views, X has {}", monitors.size(), *expect_monitors_));
        }
        if (!expect_monitors_ && assigned != assigned_) {
            f.push_back(fmt::format("get_monitors \"workspaces\" changed without a monitor change: {}", json(assigned).dump()));
        }
        if (root_u32("_NET_CURRENT_DESKTOP") != current) {
            f.push_back(fmt::format("_NET_CURRENT_DESKTOP {} but the current workspace is {}", root_u32("_NET_CURRENT_DESKTOP") + 1, current + 1));
        }
        if (bar_workspace() != static_cast<int>(current + 1)) {
            f.push_back(fmt::format("the i3 bar was last told workspace {}, the current one is {}", bar_ws_, current + 1));
        }
        auto list = client_->property_u32(client_->root(), "_NET_CLIENT_LIST").value_or(std::vector<uint32_t>{});
        const std::set<uint32_t> managed(list.begin(), list.end());
        for (uint32_t w : managed) {
            if (!home.count(w)) f.push_back(fmt::format("managed window {} is in no workspace", w));
        }
        std::set<uint32_t> viewable;
        for (const auto& [w, ws] : home) {
            auto state = client_->map_state(w);
            if (!state) {
                f.push_back(fmt::format("workspace {} lists the dead window {}", ws + 1, w));
                continue;
            }
            if (!managed.count(w)) f.push_back(fmt::format("window {} of workspace {} is not in _NET_CLIENT_LIST", w, ws + 1));
            if (client_->property_u32(w, "_NET_WM_DESKTOP") != std::vector<uint32_t>{static_cast<uint32_t>(ws)}) {
                f.push_back(fmt::format("window {} is listed in workspace {} but its _NET_WM_DESKTOP differs", w, ws + 1));
            }
            const bool is_viewable = *state == XCB_MAP_STATE_VIEWABLE;
            if (is_viewable) viewable.insert(w);
            if (is_viewable != shown.count(ws)) {
                f.push_back(fmt::format("window {} of workspace {} ({}) is {}", w, ws + 1,
                                        shown.count(ws) ? "shown" : "hidden", is_viewable ? "viewable" : "not viewable"));
            }
            if (is_viewable && shown.count(ws)) {
                // Floating windows included: the whole window, title bar and all, has its centre on the monitor.
                auto g = outer_geometry(w);
                const int cx = g ? g->x + static_cast<int>(g->width / 2 + g->border_width) : -1;
                const int cy = g ? g->y + static_cast<int>(g->height / 2 + g->border_width) : -1;
                if (!shown[ws].holds(cx, cy)) {
                    f.push_back(fmt::format("window {} of workspace {} has its centre ({}, {}) off its monitor", w, ws + 1, cx, cy));
                }
            }
            const bool motion = (client_->all_event_masks(w).value_or(0) & kPointerMotion) != 0;
            if (motion != (floating.count(w) > 0)) {
                f.push_back(fmt::format("window {} is {} but has the other event mask", w, floating.count(w) ? "floating" : "tiled"));
            }
        }
        const uint32_t active = root_u32("_NET_ACTIVE_WINDOW"), input = client_->input_focus();
        if (focus.is_object()) {
            const uint32_t w = focus["id"].get<uint32_t>();
            if (!viewable.count(w)) f.push_back(fmt::format("the focused window {} is not viewable", w));
            if (active != w) f.push_back(fmt::format("the focused window is {} but _NET_ACTIVE_WINDOW {}", w, active));
            if (input != w) f.push_back(fmt::format("the focused window is {} but the input focus is on {}", w, input));
        } else {
            if (active != 0) f.push_back(fmt::format("no window is focused but _NET_ACTIVE_WINDOW is {}", active));
            if (home.count(input)) f.push_back(fmt::format("no window is focused but {} holds the input focus", input));
        }
        for (const App& a : apps_) {
            if (a.withdrawn && managed.count(a.window)) f.push_back(fmt::format("withdrawn window {} is still managed", a.window));
            if (!a.withdrawn && !managed.count(a.window) && client_->map_state(a.window)) {
                f.push_back(fmt::format("window {}, which its client mapped last, is lost: not managed", a.window));
            }
        }
        for (const auto& [a, host] : embedded_) {
            if (managed.count(a.window)) f.push_back(fmt::format("window {} embedded by its client is still managed", a.window));
            if (client_->parent(a.window) != host) f.push_back(fmt::format("window {} was taken out of its client's window {}", a.window, host));
        }
        stacking_faults(tree, shown, f);
        // The keys go to the current workspace: the focused window must live there, wherever the focus came from.
        if (focus.is_object() && focus["workspace"].get<size_t>() != current + 1) {
            f.push_back(fmt::format("the focused window {} is on workspace {}, the current one is {}", focus["id"].get<uint32_t>(),
                                    focus["workspace"].get<size_t>(), current + 1));
        }
        dock_faults(f, home, floating);
        state_faults(home, shown, viewable, managed, focus, tree, f);
        if (expect_) {
            if (auto more = expect_()) f.push_back(*more);
        }
        return f;
    }

    // On each shown workspace without a fullscreen window, the floating windows (their frames when framed)
    // lie above every tiled one, in the order of their list; with one, its dialogs lie above it. No managed
    // window lies above a menu that lay above it after the last step, nor under an override-redirect window
    // that lay under it, nor ever under the wallpaper.
    void stacking_faults(const json& tree, const std::map<size_t, Box>& shown, std::vector<std::string>& f) {
        const std::vector<uint32_t> stack = client_->children(client_->root());
        auto level = [&](uint32_t w) { return level_in(stack, w); };
        for (const auto& [ws, box] : shown) {
            const json& w = tree["workspaces"][ws];
            std::optional<uint32_t> fullscreen;
            for (const char* part : {"tiled", "floating"}) {
                for (uint32_t win : w[part]) {
                    if (client_->says_fullscreen(win)) fullscreen = win;
                }
            }
            if (fullscreen) {
                for (const char* part : {"tiled", "floating"}) {
                    for (uint32_t win : w[part]) {
                        if (transient_of(win, *fullscreen, tree) && level(win) < level(*fullscreen)) {
                            f.push_back(fmt::format("dialog {} of workspace {} is under its fullscreen window {}", win,
                                                    ws + 1, *fullscreen));
                        }
                    }
                }
                continue;
            }
            long highest_tiled = -1, last = -1;
            for (uint32_t win : w["tiled"]) highest_tiled = std::max(highest_tiled, level(win));
            for (uint32_t win : w["floating"]) {
                const long at = level(win);
                if (at <= highest_tiled || at <= last) {
                    f.push_back(fmt::format("floating window {} of workspace {} is stacked out of order", win, ws + 1));
                }
                last = at;
            }
        }
        for (const auto& [menu, win, menu_above] : override_pairs_) {
            if (std::find(menus_.begin(), menus_.end(), menu) == menus_.end() || !listed_in(tree, win)) continue;
            if (menu_above && level(win) > level(menu)) f.push_back(fmt::format("window {} went above the menu {}", win, menu));
            if (!menu_above && level(win) < level(menu)) f.push_back(fmt::format("window {} went under the menu {}", win, menu));
        }
        for (const auto& [win, ws] : listed(tree)) {
            if (level(win) < level(wallpaper_)) f.push_back(fmt::format("window {} went under the wallpaper", win));
        }
    }
    // Where a window (its frame when framed) lies in `stack`, bottom to top.
    long level_in(const std::vector<uint32_t>& stack, uint32_t w) {
        return static_cast<long>(std::find(stack.begin(), stack.end(), top_level(w)) - stack.begin());
    }
    // Every (menu, managed window, whether the menu lies above it) as the screen shows it now.
    std::set<std::tuple<uint32_t, uint32_t, bool>> override_pairs() {
        const json tree = view("get_tree");
        const std::vector<uint32_t> stack = client_->children(client_->root());
        std::set<std::tuple<uint32_t, uint32_t, bool>> out;
        for (const auto& [w, ws] : listed(tree)) {
            for (uint32_t m : menus_) out.insert({m, w, level_in(stack, m) > level_in(stack, w)});
        }
        return out;
    }
    // Whether `w` is a dialog of `owner`, directly or through dialogs vop still lists.
    bool transient_of(uint32_t w, uint32_t owner, const json& tree) {
        if (w == owner) return false;  // however its owners loop
        const std::map<uint32_t, uint32_t> owners = owners_now(tree);
        for (int depth = 0; depth < 16; ++depth) {
            auto it = owners.find(w);
            if (it == owners.end()) return false;
            if (it->second == owner) return true;
            if (!listed_in(tree, it->second)) return false;
            w = it->second;
        }
        return false;
    }

    // Each listed dialog's owner as vop holds it: what its WM_TRANSIENT_FOR names while that window is listed;
    // when vop took the dialog, the first listed window up that chain through windows that still exist; else
    // the owner it had when the one it named went (never itself).
    std::map<uint32_t, uint32_t> owners_now(const json& tree) {
        std::map<uint32_t, uint32_t> now;
        for (const auto& [w, named] : transients_) {
            if (!listed_in(tree, w)) continue;
            if (listed_in(tree, named)) {
                now[w] = named;
                continue;
            }
            if (!listed_before_.count(w)) {
                uint32_t o = named;
                for (int depth = 0; depth < 16 && o && !listed_in(tree, o) && client_->map_state(o); ++depth) {
                    auto up = transients_.find(o);
                    o = up == transients_.end() || up->second == w ? 0 : up->second;
                }
                if (o) now[w] = o;
                continue;
            }
            auto was = owners_.find(w);
            uint32_t o = was == owners_.end() ? 0 : was->second;  // 0: none
            for (int depth = 0; depth < 16 && o && !listed_in(tree, o) && listed_before_.count(o); ++depth) {
                auto up = owners_.find(o);
                o = up == owners_.end() || up->second == w ? 0 : up->second;
            }
            if (o) now[w] = o;
        }
        return now;
    }

    // A client window's frame when it has one, else itself: what the user sees and what is stacked.
    uint32_t top_level(uint32_t w) {
        const auto parent = client_->parent(w);
        return parent && *parent != client_->root() ? *parent : w;
    }
    std::optional<Geometry> outer_geometry(uint32_t w) { return client_->geometry(top_level(w)); }

    App* random_app() { return apps_.empty() ? nullptr : &apps_[pick(apps_.size())]; }
    // A client of its own, its window still to open.
    App new_app() {
        App app{std::make_unique<TestClient>(xorg_->display()), 0, false};
        // A new connection may reuse a killed one's ids: skip ahead so that no window id comes back.
        const int skip = ++opened_;
        for (int k = 0; k < skip; ++k) xcb_generate_id(app.client->conn());
        return app;
    }
    void drop(App* a) { apps_.erase(apps_.begin() + (a - apps_.data())); }
    // A window that dies while its workspace is hidden must leave the pointer alone.
    void expect_pointer_kept_unless_shown(uint32_t w) {
        if (client_->viewable(w)) return;
        expect_ = [this, was = client_->pointer()]() -> std::optional<std::string> {
            if (client_->pointer() == was) return std::nullopt;
            return fmt::format("the pointer moved from ({}, {}) when a hidden window died", was.first, was.second);
        };
    }

    // Takes one random step; returns what it did.
    std::string step() {
        // Clients vop killed (close) are gone with their windows.
        std::erase_if(apps_, [&](const App& a) { return !client_->map_state(a.window); });
        if (auto what = state_step()) return *what;
        static const char* const kDirs[] = {"left", "right", "up", "down"};
        static const char* const kTargets[] = {"next", "prev"};
        const uint64_t r = pick(120);
        if (r >= 100) return monitor_dock_or_drag_step(r - 100);
        App* a = random_app();
        if (r < 14 || !a) {
            if (apps_.size() >= 8) return command("workspace", {{"number", 1 + pick(5)}});
            const std::string cls = kClasses[pick(std::size(kClasses))];
            App app = new_app();
            WindowSpec wanted{.instance = cls, .class_name = cls};
            if (cls == "Dialog") wanted.window_type = {"_NET_WM_WINDOW_TYPE_DIALOG"};
            app.window = app.client->open_window(wanted);
            apps_.push_back(std::move(app));
            return fmt::format("open {} window {}", cls, apps_.back().window);
        }
        if (r < 19) {
            a->client->map(a->window);
            a->withdrawn = false;
            return fmt::format("map window {}", a->window);
        }
        if (r < 23) {
            // A window on a hidden workspace is already unmapped: its plain unmap tells vop nothing.
            a->withdrawn = client_->viewable(a->window) || a->withdrawn;
            a->client->unmap(a->window);
            return fmt::format("unmap window {}", a->window);
        }
        if (r < 27) {
            a->client->withdraw(a->window);
            a->withdrawn = true;
            return fmt::format("withdraw window {}", a->window);
        }
        if (r < 30) {
            expect_pointer_kept_unless_shown(a->window);
            a->client->destroy(a->window);
            a->client->sync();
            const std::string what = fmt::format("destroy window {}", a->window);
            drop(a);
            return what;
        }
        if (r < 33) {
            expect_pointer_kept_unless_shown(a->window);
            const std::string what = fmt::format("kill the client of window {}", a->window);
            drop(a);
            return what;
        }
        if (r < 39) {
            const uint32_t action = static_cast<uint32_t>(pick(3));
            client_->send_root_message(a->window, "_NET_WM_STATE",
                                       {action, client_->atom("_NET_WM_STATE_FULLSCREEN"), 0, 1, 0});
            return fmt::format("fullscreen action {} for window {}", action, a->window);
        }
        if (r < 51) {
            auto boxes = monitor_boxes();
            if (boxes.empty()) return "no monitors to point at";
            const Box& b = boxes[pick(boxes.size())];
            const int x = b.x + static_cast<int>(pick(b.width)), y = b.y + static_cast<int>(pick(b.height));
            xcb_warp_pointer(client_->conn(), XCB_NONE, client_->root(), 0, 0, 0, 0, static_cast<int16_t>(x),
                             static_cast<int16_t>(y));
            client_->sync();
            return fmt::format("pointer to ({}, {})", x, y);
        }
        if (r < 61) return command("workspace", {{"number", 1 + pick(5)}});
        if (r < 67) return command("move_to_workspace", {{"number", 1 + pick(5)}});
        if (r < 72) return command("focus_monitor", {{"target", kTargets[pick(2)]}});
        if (r < 77) return command("move_to_monitor", {{"target", kTargets[pick(2)]}});
        if (r < 83) return command("toggle_floating", json::object());
        if (r < 88) return command("focus", {{"direction", kDirs[pick(4)]}});
        if (r < 92) return command("swap", {{"direction", kDirs[pick(4)]}});
        // No client takes WM_DELETE_WINDOW: closing kills the focused window's client.
        if (r < 95) return command("close", json::object());
        const bool two = monitor_boxes().size() == 2;
        two ? xorg_->remove_second_monitor() : xorg_->add_second_monitor();
        expect_monitors_ = two ? 1 : 2;
        return two ? "remove the second monitor" : "add the second monitor";
    }

    // Steps that change the monitors' modes and places, a dock's strut, or drag a floating window across
    // monitors. `r` is below 20.
    std::string monitor_dock_or_drag_step(uint64_t r) {
        if (r < 5) return arrange_monitors();
        if (r < 10) return dock_step();
        return drag_step();
    }

    // One or two outputs in random modes, the second right of, left of or below the first.
    std::string arrange_monitors() {
        static const char* const kModes[] = {"1920x1080", "1280x1024", "1024x768", "800x600"};
        auto size = [](const std::string& mode) { return std::pair{std::stoi(mode), std::stoi(mode.substr(mode.find('x') + 1))}; };
        DummyXorg::Output first{kModes[pick(4)]};
        if (pick(4) == 0) {
            xorg_->arrange(first, std::nullopt);
            expect_monitors_ = 1;
            return fmt::format("monitors: DUMMY0 alone in {}", first.mode);
        }
        DummyXorg::Output second{kModes[pick(4)]};
        const uint64_t place = pick(3);
        if (place == 0) second.x = size(first.mode).first;
        if (place == 1) first.x = size(second.mode).first;
        if (place == 2) second.y = size(first.mode).second;
        xorg_->arrange(first, second);
        expect_monitors_ = 2;
        return fmt::format("monitors: DUMMY0 {} at ({}, {}), DUMMY1 {} at ({}, {})", first.mode, first.x, first.y,
                           second.mode, second.x, second.y);
    }

    // A bar along the top of the screen (or of one monitor), which later grows, shrinks or goes away.
    std::string dock_step() {
        static const uint32_t kHeights[] = {0, 24, 60, 100};
        if (dock_ && pick(4) == 0) {
            dock_client_.reset();
            dock_ = 0;
            return "kill the dock's client";
        }
        const uint32_t top = kHeights[pick(std::size(kHeights))];
        auto boxes = monitor_boxes();
        uint32_t from = 0, to = 4095;
        if (!boxes.empty() && pick(2)) {
            const Box& b = boxes[pick(boxes.size())];
            from = static_cast<uint32_t>(b.x);
            to = static_cast<uint32_t>(b.x + b.width - 1);
        }
        dock_strut_ = {0, 0, top, 0, 0, 0, 0, 0, from, to, 0, 0};
        if (!dock_) {
            dock_client_ = std::make_unique<TestClient>(xorg_->display());
            dock_ = dock_client_->open_window({.x = static_cast<int16_t>(from), .width = static_cast<uint16_t>(to - from + 1),
                                               .height = static_cast<uint16_t>(std::max(top, 1u)),
                                               .window_type = {"_NET_WM_WINDOW_TYPE_DOCK"},
                                               .strut_partial = dock_strut_});
            return fmt::format("open a dock {} reserving {} at the top of x {} to {}", dock_, top, from, to);
        }
        dock_client_->set_cardinals(dock_, "_NET_WM_STRUT_PARTIAL", std::vector<uint32_t>(dock_strut_.begin(), dock_strut_.end()));
        return fmt::format("the dock {} now reserves {} at the top of x {} to {}", dock_, top, from, to);
    }

    // No tiled window on screen reaches into the band the dock reserves (fullscreen ones cover it).
    void dock_faults(std::vector<std::string>& f, const std::map<uint32_t, size_t>& home, const std::set<uint32_t>& floating) {
        if (!dock_ || dock_strut_[2] == 0) return;
        const int top = static_cast<int>(dock_strut_[2]), from = static_cast<int>(dock_strut_[8]), to = static_cast<int>(dock_strut_[9]);
        for (const auto& [w, ws] : home) {
            if (floating.count(w) || !client_->viewable(w) || client_->says_fullscreen(w)) continue;
            auto g = outer_geometry(w);
            if (!g) continue;
            const int right = g->x + static_cast<int>(g->width + 2 * g->border_width);
            if (g->y < top && g->x <= to && right > from) {
                f.push_back(fmt::format("tiled window {} of workspace {} at ({}, {}) is under the dock's {} pixels", w, ws + 1,
                                        g->x, g->y, top));
            }
        }
    }

    // Mod4 and button 1 drag a floating window on screen by its centre to a point on some monitor.
    std::string drag_step() {
        std::vector<uint32_t> shown;
        const json tree = view("get_tree");
        for (const json& ws : tree["workspaces"]) {
            for (uint32_t w : ws["floating"]) {
                if (client_->viewable(w)) shown.push_back(w);
            }
        }
        auto boxes = monitor_boxes();
        // Without one, float the focused window for a later drag.
        if (shown.empty()) return command("toggle_floating", json::object());
        if (boxes.empty()) return "no monitors to drag to";
        const uint32_t w = shown[pick(shown.size())];
        auto g = client_->geometry(w);
        if (!g) return "the floating window to drag is gone";
        const int x = g->x + static_cast<int>(g->width / 2 + g->border_width), y = g->y + static_cast<int>(g->height / 2 + g->border_width);
        const Box& b = boxes[pick(boxes.size())];
        const int tx = b.x + static_cast<int>(pick(b.width)), ty = b.y + static_cast<int>(pick(b.height));
        auto n = [](int v) { return std::to_string(v); };
        auto r = run_command(xorg_->display(), {"xdotool", "mousemove", n(x), n(y), "keydown", "super", "mousedown", "1", "mousemove",
                                                n((x + tx) / 2), n((y + ty) / 2), "mousemove", n(tx), n(ty), "mouseup", "1", "keyup", "super"});
        if (r.status != 0) return "xdotool failed: " + r.err;
        return fmt::format("drag window {} from ({}, {}) to ({}, {})", w, x, y, tx, ty);
    }

    // ---- Fullscreen, activation and withdrawal: their steps and checks ----

    // The workspace (index) get_tree lists a window in.
    static std::optional<size_t> listed_in(const json& tree, uint32_t w) {
        const auto all = listed(tree);
        auto it = all.find(w);
        return it == all.end() ? std::nullopt : std::optional(it->second);
    }
    // Every window get_tree lists, with the workspace (index) it lists it in.
    static std::map<uint32_t, size_t> listed(const json& tree) {
        std::map<uint32_t, size_t> out;
        for (size_t i = 0; i < tree["workspaces"].size(); ++i) {
            for (const char* part : {"tiled", "floating"}) {
                for (uint32_t x : tree["workspaces"][i][part]) out.emplace(x, i);
            }
        }
        return out;
    }
    void expect_focus_on(uint32_t w, std::string why) {
        expect_ = [this, w, why]() -> std::optional<std::string> {
            const json focus = view("get_focused");
            if (focus.is_object() && focus["id"].get<uint32_t>() == w) return std::nullopt;
            return fmt::format("{}: window {} should hold the focus, it is {}", why, w, focus.dump());
        };
    }

    // Now and then a step about fullscreen, activation or withdrawal; none leaves the step to the others.
    std::optional<std::string> state_step() {
        const uint64_t r = pick(100);
        if (r >= 31 && r < 41) return flush_step();
        if (r >= 31) return std::nullopt;
        const json tree = view("get_tree"), focus = view("get_focused");
        if (!tree.is_object()) return std::nullopt;
        const size_t current = tree["focused_workspace"].get<size_t>() - 1;
        if (r >= 20) return menu_or_dialog_step(r - 20, tree, current);
        const uint32_t focused = focus.is_object() ? focus["id"].get<uint32_t>() : 0;
        std::set<size_t> shown;
        for (const json& m : view("get_monitors")) shown.insert(m["active_workspace"].get<size_t>() - 1);
        // Apps whose window vop lists, and where.
        std::vector<std::pair<App*, size_t>> listed;
        for (App& a : apps_) {
            if (auto ws = listed_in(tree, a.window)) listed.push_back({&a, *ws});
        }
        if (r < 4 && apps_.size() < 8) {
            // A window that asks for fullscreen before it maps, as video players do; some are ruled elsewhere.
            const std::string cls = kClasses[pick(std::size(kClasses))];
            App app = new_app();
            app.window = app.client->open_window({.instance = cls, .class_name = cls, .state = {"_NET_WM_STATE_FULLSCREEN"}});
            apps_.push_back(std::move(app));
            return fmt::format("open {} window {} already fullscreen", cls, apps_.back().window);
        }
        if (r < 9) {
            // A fullscreen request from a window without the focus, on the current workspace when one is there
            // (where another may be fullscreen already).
            std::vector<std::pair<App*, size_t>> unfocused, here;
            for (const auto& [a, ws] : listed) {
                if (a->window == focused) continue;
                unfocused.push_back({a, ws});
                if (ws == current) here.push_back({a, ws});
            }
            const auto& from = here.empty() ? unfocused : here;
            if (from.empty()) return std::nullopt;
            const auto [a, ws] = from[pick(from.size())];
            const bool was = client_->says_fullscreen(a->window);
            client_->send_root_message(a->window, "_NET_WM_STATE", {1, client_->atom("_NET_WM_STATE_FULLSCREEN"), 0, 1, 0});
            if (ws == current && !was) expect_focus_on(a->window, "it went fullscreen on the current workspace");
            return fmt::format("fullscreen request from unfocused window {} of workspace {}", a->window, ws + 1);
        }
        if (r < 13) {
            // A pager activates a window, maybe one under a fullscreen window or on a hidden workspace.
            App* a = random_app();
            if (!a) return std::nullopt;
            client_->send_root_message(a->window, "_NET_ACTIVE_WINDOW", {2, 0, 0, 0, 0});
            if (listed_in(tree, a->window)) expect_focus_on(a->window, "it was activated");
            return fmt::format("activate window {}", a->window);
        }
        if (r < 17) {
            // A client withdraws a window of a hidden workspace: the unmap changes nothing, and the notice may
            // come after the workspace was shown.
            std::vector<std::pair<App*, size_t>> hidden;
            for (const auto& p : listed) {
                if (!shown.count(p.second)) hidden.push_back(p);
            }
            if (hidden.empty()) return std::nullopt;
            const auto [a, ws] = hidden[pick(hidden.size())];
            a->client->unmap(a->window);
            a->client->sync();
            const bool show = pick(2) == 0;
            if (show) command("workspace", {{"number", ws + 1}});
            a->client->notify_withdrawn(a->window);
            a->withdrawn = true;
            return fmt::format("withdraw window {} of hidden workspace {}{}", a->window, ws + 1, show ? ", shown in between" : "");
        }
        // A withdrawn window comes back asking for fullscreen, as EWMH lets a client ask before it maps.
        std::vector<App*> gone;
        for (App& a : apps_) {
            if (a.withdrawn) gone.push_back(&a);
        }
        if (gone.empty()) return std::nullopt;
        App* a = gone[pick(gone.size())];
        a->client->set_atoms(a->window, "_NET_WM_STATE", {"_NET_WM_STATE_FULLSCREEN"});
        a->client->map(a->window);
        a->withdrawn = false;
        return fmt::format("map withdrawn window {} asking for fullscreen", a->window);
    }

    // Two requests of one client, or a pager's and a client's, sent in one flush: vop reads the events of both
    // only after the server has done both. What the client did last to its window holds whatever crosses it.
    std::string flush_step() {
        App* a = random_app();
        if (!a) return "no window for a flush";
        TestClient& c = *a->client;
        const uint32_t w = a->window, host = c.create_window();  // a window of its own to embed it in
        intern_request_atoms(c);
        ClientWill will{.mapped = client_->map_state(w).value_or(XCB_MAP_STATE_UNMAPPED) != XCB_MAP_STATE_UNMAPPED,
                        .withdrawn = a->withdrawn};
        std::string what = fmt::format("in one flush for window {}:", w);
        c.hold(true);
        for (int k = 0; k < 3 && !will.gone && !will.embedded; ++k) {
            const int op = static_cast<int>(pick(std::size(kClientRequests)));
            send_request(c, op, w, host, static_cast<uint32_t>(pick(5)), will);
            what += std::string(" ") + kClientRequests[op];
        }
        c.hold(false);
        c.sync();
        a->withdrawn = will.withdrawn;
        if (will.gone) drop(a);
        if (will.embedded) {
            embedded_.push_back({std::move(*a), host});
            drop(a);
        }
        return what;
    }

    // A menu opens somewhere on a monitor or one closes; or a dialog opens of the current workspace's
    // fullscreen window (or of one of its dialogs); or an owner loop opens or is made fullscreen. `r` is
    // below 11.
    std::optional<std::string> menu_or_dialog_step(uint64_t r, const json& tree, size_t current) {
        if (r >= 6) return loop_step(tree, current);
        if (r < 3) {
            if (!menu_client_) menu_client_ = std::make_unique<TestClient>(xorg_->display());
            if (!menus_.empty() && (menus_.size() >= 2 || pick(2))) {
                const uint32_t m = menus_[pick(menus_.size())];
                menu_client_->destroy(m);
                std::erase(menus_, m);
                return fmt::format("close the menu {}", m);
            }
            auto boxes = monitor_boxes();
            if (boxes.empty()) return std::nullopt;
            const Box& b = boxes[pick(boxes.size())];
            const auto x = static_cast<int16_t>(b.x + static_cast<int>(pick(b.width / 2)));
            const auto y = static_cast<int16_t>(b.y + static_cast<int>(pick(b.height / 2)));
            menus_.push_back(menu_client_->open_window({.x = x, .y = y, .width = 150, .height = 200, .override_redirect = true}));
            return fmt::format("open the menu {} at ({}, {})", menus_.back(), x, y);
        }
        std::optional<uint32_t> fullscreen;
        for (const App& a : apps_) {
            if (listed_in(tree, a.window) == current && client_->says_fullscreen(a.window)) fullscreen = a.window;
        }
        if (!fullscreen) return std::nullopt;
        std::vector<uint32_t> owners{*fullscreen};
        for (const App& a : apps_) {
            if (listed_in(tree, a.window) == current && transient_of(a.window, *fullscreen, tree)) owners.push_back(a.window);
        }
        const uint32_t owner = owners[pick(owners.size())];
        App app = new_app();
        app.window = app.client->open_window({.transient_for = owner});
        transients_[app.window] = owner;
        apps_.push_back(std::move(app));
        expect_focus_on(apps_.back().window, "it is a dialog of the fullscreen window");
        return fmt::format("open a dialog {} of window {} over the fullscreen window {}", apps_.back().window, owner, *fullscreen);
    }

    // Windows whose WM_TRANSIENT_FOR loop: one naming itself, or two naming each other. Or one of them on the
    // current workspace takes the focus and is made fullscreen, floating or tiled (before or after).
    std::optional<std::string> loop_step(const json& tree, size_t current) {
        std::vector<uint32_t> here;
        for (const App& a : apps_) {
            if (looped_.count(a.window) && listed_in(tree, a.window) == current) here.push_back(a.window);
        }
        if (here.empty() || pick(3) == 0) {
            if (apps_.size() >= 7) return std::nullopt;
            const bool pair = pick(2);
            std::vector<App> opened;
            for (int k = 0; k < (pair ? 2 : 1); ++k) {
                opened.push_back(new_app());
                opened.back().window = opened.back().client->create_window();
            }
            for (size_t k = 0; k < opened.size(); ++k) {
                const uint32_t w = opened[k].window, owner = opened[(k + 1) % opened.size()].window;
                opened[k].client->set_window_ids(w, "WM_TRANSIENT_FOR", {owner});
                transients_[w] = owner;
                looped_.insert(w);
            }
            std::string what = "open the owner loop";
            for (App& a : opened) {
                a.client->map(a.window);
                what += fmt::format(" {}", a.window);
                apps_.push_back(std::move(a));
            }
            return what;
        }
        const uint32_t w = here[pick(here.size())];
        client_->send_root_message(w, "_NET_ACTIVE_WINDOW", {2, 0, 0, 0, 0});
        const bool focused = wait_until([&] { const json f = view("get_focused"); return f.is_object() && f["id"] == w; }, 2000ms);
        const uint64_t how = pick(3);  // 0: floating; 1: tiled, then fullscreen; 2: fullscreen, then tiled
        if (how == 1 && focused) command("toggle_floating", json::object());
        client_->send_root_message(w, "_NET_WM_STATE", {1, client_->atom("_NET_WM_STATE_FULLSCREEN"), 0, 1, 0});
        client_->sync();
        if (how == 2 && focused && wait_until([&] { return client_->says_fullscreen(w); }, 2000ms)) {
            command("toggle_floating", json::object());
        }
        static const char* const kHow[] = {"", " after toggle_floating", " before toggle_floating"};
        return fmt::format("window {} of an owner loop made fullscreen{}", w, focused ? kHow[how] : " (it took no focus)");
    }

    // No fullscreen window covers the focused one (its dialogs show above it), at most one is fullscreen per workspace, _NET_WM_STATE says
    // fullscreen exactly when the window covers its monitor, withdrawn windows keep none of vop's properties,
    // and no window vop lets go of stays on screen.
    void state_faults(const std::map<uint32_t, size_t>& home, const std::map<size_t, Box>& shown,
                      const std::set<uint32_t>& viewable, const std::set<uint32_t>& managed, const json& focus,
                      const json& tree, std::vector<std::string>& f) {
        std::map<size_t, uint32_t> fullscreen_on;  // workspace -> a window saying it is fullscreen
        std::map<size_t, uint32_t> covering;        // workspace -> the window drawn over its monitor
        for (const auto& [w, ws] : home) {
            const bool says = client_->says_fullscreen(w);
            if (says && !fullscreen_on.emplace(ws, w).second) {
                f.push_back(fmt::format("windows {} and {} of workspace {} both say they are fullscreen", fullscreen_on[ws], w, ws + 1));
            }
            auto monitor = shown.find(ws);
            if (monitor == shown.end() || !viewable.count(w)) continue;
            const Box& b = monitor->second;
            const auto g = client_->geometry(w);
            const bool covers = g && g->x == b.x && g->y == b.y && static_cast<int>(g->width) == b.width &&
                                static_cast<int>(g->height) == b.height && g->border_width == 0;
            if (covers) covering[ws] = w;
            if (covers != says) {
                f.push_back(fmt::format("window {} of workspace {} {} its monitor but its _NET_WM_STATE says {}fullscreen", w,
                                        ws + 1, covers ? "covers" : "does not cover", says ? "" : "not "));
            }
        }
        if (focus.is_object()) {
            const uint32_t w = focus["id"].get<uint32_t>();
            auto ws = home.find(w);
            if (ws != home.end() && covering.count(ws->second) && covering[ws->second] != w &&
                !transient_of(w, covering[ws->second], tree)) {
                f.push_back(fmt::format("the focused window {} is under the fullscreen window {}", w, covering[ws->second]));
            }
        }
        for (const App& a : apps_) {
            if (managed.count(a.window)) continue;
            if (client_->viewable(a.window)) f.push_back(fmt::format("window {} is on screen but not managed", a.window));
            if (!a.withdrawn) continue;
            for (const char* p : {"_NET_WM_STATE", "_NET_WM_DESKTOP"}) {
                if (client_->property_type(a.window, p)) f.push_back(fmt::format("withdrawn window {} still has {}", a.window, p));
            }
        }
    }

    // Waits until the state after a step is consistent; the faults found last otherwise.
    std::vector<std::string> settle() {
        std::vector<std::string> last;
        wait_until(
            [&] {
                vop_->wait_idle();
                last = faults();
                return last.empty();
            },
            5000ms, 20ms);
        return last;
    }

    std::unique_ptr<DummyXorg> xorg_;
    std::unique_ptr<VopProcess> vop_;
    std::unique_ptr<TestClient> client_;
    std::unique_ptr<SocketClient> json_, bar_;
    std::vector<App> apps_;
    std::vector<std::pair<App, uint32_t>> embedded_;  // apps whose client put their window into its own `host`
    std::mt19937_64 rng_;
    uint64_t seed_ = 0;
    int steps_ = 300;
    int bar_ws_ = 1;
    int opened_ = 0;
    std::vector<json> assigned_;                 // monitors' "workspaces" as of the last monitor change
    std::optional<size_t> expect_monitors_;      // set after a RandR step
    std::function<std::optional<std::string>()> expect_;  // a step's own expectation
    std::unique_ptr<TestClient> dock_client_;    // the dock's own connection: killing it takes the dock
    std::unique_ptr<TestClient> menu_client_;    // the menus' connection
    std::vector<uint32_t> menus_;                // open menus (override-redirect windows)
    std::set<std::tuple<uint32_t, uint32_t, bool>> override_pairs_;  // (menu, managed window, menu above) after the last step
    std::unique_ptr<TestClient> wallpaper_client_;
    uint32_t wallpaper_ = 0;                     // an override-redirect window at the bottom from the start
    std::map<uint32_t, uint32_t> transients_;    // dialog -> the window it is a dialog of
    std::set<uint32_t> looped_;                  // windows of owner loops
    std::map<uint32_t, uint32_t> owners_;        // dialog -> its owner as vop held it after the last step
    std::set<uint32_t> listed_before_;           // the windows vop listed after the last step
    uint32_t dock_ = 0;
    std::array<uint32_t, 12> dock_strut_{};      // its _NET_WM_STRUT_PARTIAL
};

TEST_P(ModelCheck, RandomStepsKeepViewsAndScreenInAgreement) {
    expect_monitors_ = 2;
    std::vector<std::string> history;
    for (int i = 0; i <= steps_; ++i) {
        const std::string what = i == 0 ? "start" : step();
        history.push_back(fmt::format("{}: {}", i, what));
        if (std::getenv("VOP_MODEL_TRACE")) std::printf("%s\n", history.back().c_str());
        auto f = settle();
        if (!f.empty()) {
            std::string recent;
            for (size_t k = history.size() > 12 ? history.size() - 12 : 0; k < history.size(); ++k) recent += "\n  " + history[k];
            FAIL() << "seed " << seed_ << ", step " << i << " (" << what << "):\n  " << fmt::format("{}", fmt::join(f, "\n  "))
                   << "\nlast steps:" << recent << "\nmonitors: " << view("get_monitors").dump()
                   << "\nreplay with VOP_MODEL_SEED=" << seed_;
        }
        override_pairs_ = override_pairs();
        const json tree = view("get_tree");
        owners_ = owners_now(tree);
        listed_before_.clear();
        for (const auto& [w, ws] : listed(tree)) listed_before_.insert(w);
        if (expect_monitors_) {
            assigned_.clear();
            for (const json& m : view("get_monitors")) assigned_.push_back(m["workspaces"]);
            expect_monitors_.reset();
        }
        expect_ = nullptr;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ModelCheck, ::testing::ValuesIn(kSeeds));

}  // namespace
