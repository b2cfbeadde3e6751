// Several monitors under vop: start-up assignment, focus across monitors, rules, hotplug, and no RandR at all.
#include "ipc_fixture.hpp"
#include "wm_fixture.hpp"

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>

using namespace vop::test;

namespace {

bool contains(const std::vector<uint32_t>& v, uint32_t x) { return std::find(v.begin(), v.end(), x) != v.end(); }

// DUMMY0 is 1920x1080 at (0, 0), DUMMY1 1280x1024 at (1920, 0); gaps 8 and border 2 leave a lone window
// 12 pixels inside each monitor.
const Geometry kAloneOnFirst{12, 12, 1892, 1052, 2};
const Geometry kAloneOnSecond{1932, 12, 1252, 996, 2};

// vop on the dummy Xorg server (which can grow a second monitor), with the same helpers as WmTest.
class MonitorWmTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why_not;
        xorg_ = DummyXorg::start(why_not);
        if (!xorg_) GTEST_SKIP() << why_not;
    }
    void TearDown() override {
        client_.reset();
        if (vop_) {
            EXPECT_TRUE(vop_->running()) << "vop died during the test\n" << vop_->describe();
        }
        vop_.reset();
        xorg_.reset();
    }
    void start(const std::string& init_lua = kPlainConfig) {
        vop_ = std::make_unique<VopProcess>(
            VopOptions{.display = xorg_->display(), .env = {{"NO_COLOR", "1"}}, .init_lua = init_lua});
        // The compositor restart pauses start-up too: wait for the loop's own set-up before idling.
        ASSERT_TRUE(logged("EWMH workspace hints initialized") && vop_->wait_idle()) << vop_->describe();
        client_ = std::make_unique<TestClient>(xorg_->display());
    }

    ::testing::AssertionResult has_geometry(uint32_t w, Geometry want) {
        std::optional<Geometry> g;
        if (wait_until([&] {
                g = client_->geometry(w);
                return g && *g == want;
            }))
            return ::testing::AssertionSuccess();
        auto show = [](const Geometry& x) {
            return fmt::format("({}, {}) {}x{} border {}", x.x, x.y, x.width, x.height, x.border_width);
        };
        return ::testing::AssertionFailure() << "window " << w << " has " << (g ? show(*g) : "nothing")
                                             << ", want " << show(want);
    }
    bool becomes(std::function<bool()> pred) { return wait_until(std::move(pred)); }
    // vop's own terminal output: unlike /tmp/vop.log, no other test's vop writes there.
    bool logged(const std::string& text) {
        return wait_until([&] { return vop_->out().find(text) != std::string::npos; }, 5000ms);
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
    std::pair<int, int> pointer() {
        auto* r = xcb_query_pointer_reply(client_->conn(), xcb_query_pointer(client_->conn(), root()), nullptr);
        if (!r) return {-1, -1};
        std::pair<int, int> p{r->root_x, r->root_y};
        std::free(r);
        return p;
    }
    uint32_t root() { return client_->root(); }
    CommandResult run(const std::vector<std::string>& argv) { return run_command(xorg_->display(), argv); }
    // Every managed window is either viewable or on a workspace no monitor shows (then unmapped).
    void expect_viewable(std::initializer_list<uint32_t> shown, std::initializer_list<uint32_t> hidden) {
        for (uint32_t w : shown) EXPECT_TRUE(becomes([&] { return client_->viewable(w); })) << "window " << w;
        for (uint32_t w : hidden) EXPECT_TRUE(becomes([&] { return !client_->viewable(w); })) << "window " << w;
        auto list = client_list();
        for (uint32_t w : shown) EXPECT_TRUE(contains(list, w)) << "window " << w << " is no longer managed";
        for (uint32_t w : hidden) EXPECT_TRUE(contains(list, w)) << "window " << w << " is no longer managed";
    }

    // xdotool with its arguments. The first XTEST key switches the server's keyboard device and may be lost:
    // each test spends it on a key nobody binds first.
    void xdo(std::vector<std::string> args) {
        args.insert(args.begin(), "xdotool");
        auto r = run(args);
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_TRUE(vop_->wait_idle()) << vop_->describe();
    }
    // Mod4 and button 1 drag from one root point to another; `before_release` runs with the button still down.
    void drag(int x, int y, int tx, int ty, const std::function<void()>& before_release = {}) {
        auto n = [](int v) { return std::to_string(v); };
        std::vector<std::string> held{"mousemove", n(x), n(y), "keydown", "super", "mousedown", "1", "mousemove",
                                      n((x + tx) / 2), n((y + ty) / 2), "mousemove", n(tx), n(ty)};
        const std::vector<std::string> release{"mouseup", "1", "keyup", "super"};
        if (before_release) {
            xdo(held);
            before_release();
            held.clear();
        }
        held.insert(held.end(), release.begin(), release.end());
        xdo(held);
    }
    void fullscreen(uint32_t w) {
        ASSERT_EQ(run({"wmctrl", "-i", "-r", fmt::format("0x{:x}", w), "-b", "add,fullscreen"}).status, 0);
        ASSERT_TRUE(becomes([&] { return client_->says_fullscreen(w); }));
    }
    // Whether `w` lies above `under` in the root's stacking order.
    bool above(uint32_t w, uint32_t under) {
        auto c = client_->children(root());
        return std::find(std::find(c.begin(), c.end(), under), c.end(), w) != c.end();
    }

    std::unique_ptr<DummyXorg> xorg_;
    std::unique_ptr<VopProcess> vop_;
    std::unique_ptr<TestClient> client_;
};

TEST_F(MonitorWmTest, TwoMonitorsShowTheFirstTwoWorkspacesAndShareFocus) {
    xorg_->add_second_monitor();
    start();
    EXPECT_TRUE(logged("Monitor 'DUMMY0' starts with workspace 1"));
    EXPECT_TRUE(logged("Monitor 'DUMMY1' starts with workspace 2"));
    EXPECT_EQ(current_desktop(), 0u);

    // Monitor 0 has the focus: the new window fills its work area.
    uint32_t a = client_->open_window();
    EXPECT_TRUE(has_geometry(a, kAloneOnFirst));
    EXPECT_TRUE(becomes([&] { return active() == a && client_->input_focus() == a; }));

    // Workspace 2 is already on monitor 1: only the focus moves there, nothing is hidden.
    ASSERT_EQ(run({"wmctrl", "-s", "1"}).status, 0);
    EXPECT_TRUE(becomes([&] { return current_desktop() == 1; }));
    EXPECT_TRUE(becomes([&] { return pointer() == std::pair<int, int>{2560, 512}; }));
    EXPECT_TRUE(becomes([&] { return active() == 0; }));
    EXPECT_TRUE(client_->viewable(a));
    EXPECT_FALSE(vop_->out().find("Switching monitor") != std::string::npos);

    uint32_t b = client_->open_window();
    EXPECT_TRUE(has_geometry(b, kAloneOnSecond));
    EXPECT_EQ(client_->property_u32(b, "_NET_WM_DESKTOP"), std::vector<uint32_t>{1});
    EXPECT_TRUE(becomes([&] { return active() == b; }));
    EXPECT_TRUE(has_geometry(a, kAloneOnFirst));

    // Back to workspace 1: its remembered window gets the focus again.
    ASSERT_EQ(run({"wmctrl", "-s", "0"}).status, 0);
    EXPECT_TRUE(becomes([&] { return current_desktop() == 0 && active() == a; }));
    expect_viewable({a, b}, {});
}

TEST_F(MonitorWmTest, RuleForTheOtherMonitorsWorkspaceShowsTheWindowThere) {
    xorg_->add_second_monitor();
    start(kPlainConfig + R"(vop.rule({ class = "Chat" }, { workspace = 2 }))");
    uint32_t a = client_->open_window();
    ASSERT_TRUE(becomes([&] { return active() == a; }));
    uint32_t chat = client_->open_window({.instance = "chat", .class_name = "Chat"});
    EXPECT_TRUE(becomes([&] { return client_->viewable(chat); }));
    EXPECT_TRUE(has_geometry(chat, kAloneOnSecond));
    EXPECT_EQ(client_->property_u32(chat, "_NET_WM_DESKTOP"), std::vector<uint32_t>{1});
    // Placed, not focused: the focus stays where the user is.
    EXPECT_EQ(active(), a);
    EXPECT_EQ(client_->input_focus(), a);
    EXPECT_EQ(current_desktop(), 0u);
}

TEST_F(MonitorWmTest, AddedMonitorShowsTheLowestFreeWorkspaceWithItsWindows) {
    start(kPlainConfig + R"(vop.rule({ class = "Chat" }, { workspace = 2 }))");
    EXPECT_TRUE(logged("Monitor 'DUMMY0' starts with workspace 1"));
    uint32_t a = client_->open_window();
    ASSERT_TRUE(has_geometry(a, kAloneOnFirst));
    // Workspace 2 is not shown yet: the window waits there unmapped.
    uint32_t chat = client_->open_window({.instance = "chat", .class_name = "Chat"});
    ASSERT_TRUE(becomes([&] { return contains(client_list(), chat); }));
    EXPECT_FALSE(client_->viewable(chat));
    // A bar subscribed to output events hears of every refresh.
    SocketClient bar(vop_->runtime_dir() + "/vop-i3.sock");
    auto subscribed = bar.i3(2, R"(["output"])");
    ASSERT_TRUE(subscribed);
    EXPECT_EQ(subscribed->payload, R"({"success":true})");

    xorg_->add_second_monitor();
    auto event = bar.frame();
    ASSERT_TRUE(event);
    EXPECT_EQ(event->type, 0x80000001u);
    EXPECT_EQ(event->payload, R"({"change":"unspecified"})");
    EXPECT_TRUE(logged("Monitor 'DUMMY0' showing workspace 1"));
    EXPECT_TRUE(logged("Monitor 'DUMMY1' showing workspace 2"));
    EXPECT_TRUE(becomes([&] { return client_->viewable(chat); }));
    EXPECT_TRUE(has_geometry(chat, kAloneOnSecond));
    EXPECT_TRUE(has_geometry(a, kAloneOnFirst));
    // The focus stays where it was.
    EXPECT_EQ(active(), a);
    EXPECT_EQ(current_desktop(), 0u);

    // Now workspace 2 is shown: switching there only moves the focus to its monitor.
    ASSERT_EQ(run({"wmctrl", "-s", "1"}).status, 0);
    EXPECT_TRUE(becomes([&] { return current_desktop() == 1 && active() == chat; }));
    expect_viewable({a, chat}, {});
}

TEST_F(MonitorWmTest, HotplugKeepsEveryWindowReachable) {
    xorg_->add_second_monitor();
    start();
    uint32_t a = client_->open_window();
    ASSERT_TRUE(has_geometry(a, kAloneOnFirst));
    ASSERT_EQ(run({"wmctrl", "-s", "1"}).status, 0);
    ASSERT_TRUE(becomes([&] { return current_desktop() == 1; }));
    uint32_t b = client_->open_window();
    ASSERT_TRUE(has_geometry(b, kAloneOnSecond));
    ASSERT_TRUE(becomes([&] { return active() == b; }));

    // The focused monitor goes away: workspace 2 loses its monitor and is hidden, our unmap absorbed.
    xorg_->remove_second_monitor();
    EXPECT_TRUE(logged("Monitor 'DUMMY0' showing workspace 1"));
    expect_viewable({a}, {b});
    EXPECT_TRUE(logged(fmt::format("Ignoring UnmapNotify for window {} (intentional unmap, count now 0)", b)));
    EXPECT_FALSE(vop_->out().find(fmt::format("Unmanaging window {}", b)) != std::string::npos);
    // The focus falls back to monitor 0 and its workspace's window; pagers see workspace 1 as current.
    EXPECT_TRUE(becomes([&] { return active() == a && client_->input_focus() == a; }));
    EXPECT_EQ(current_desktop(), 0u);
    EXPECT_TRUE(has_geometry(a, kAloneOnFirst));

    // The hidden workspace is one switch away.
    ASSERT_EQ(run({"wmctrl", "-s", "1"}).status, 0);
    EXPECT_TRUE(has_geometry(b, kAloneOnFirst));
    expect_viewable({b}, {a});
    EXPECT_TRUE(becomes([&] { return active() == b; }));

    // A monitor comes back: it shows the lowest workspace no monitor shows (1), with its window mapped.
    xorg_->add_second_monitor();
    EXPECT_TRUE(logged("Monitor 'DUMMY1' showing workspace 1"));
    expect_viewable({a, b}, {});
    EXPECT_TRUE(has_geometry(a, kAloneOnSecond));
    EXPECT_TRUE(has_geometry(b, kAloneOnFirst));

    // Both stay managed through further unplugging and each workspace stays reachable.
    xorg_->remove_second_monitor();
    expect_viewable({b}, {a});
    ASSERT_EQ(run({"wmctrl", "-s", "0"}).status, 0);
    expect_viewable({a}, {b});
    EXPECT_TRUE(has_geometry(a, kAloneOnFirst));
    EXPECT_EQ(client_list().size(), 2u);
}

TEST_F(MonitorWmTest, WindowsAndFocusMoveBetweenMonitors) {
    xorg_->add_second_monitor();
    start();
    SocketClient vop_sock(vop_->runtime_dir() + "/vop.sock");
    ASSERT_TRUE(vop_sock.connected());
    auto command = [&](const std::string& name, const std::string& target) {
        return vop_sock.request(fmt::format(R"({{"command":"{}","args":{{"target":"{}"}}}})", name, target));
    };
    const std::optional<std::string> ok = R"({"success":true})";

    uint32_t a = client_->open_window();
    uint32_t b = client_->open_window();
    ASSERT_TRUE(has_geometry(b, {964, 12, 940, 1052, 2}));
    ASSERT_TRUE(becomes([&] { return active() == b; }));

    // The focused window goes to the next monitor's workspace and keeps the focus.
    EXPECT_EQ(command("move_to_monitor", "next"), ok);
    EXPECT_TRUE(has_geometry(b, kAloneOnSecond));
    EXPECT_TRUE(has_geometry(a, kAloneOnFirst));
    EXPECT_EQ(client_->property_u32(b, "_NET_WM_DESKTOP"), std::vector<uint32_t>{1});
    EXPECT_TRUE(becomes([&] { return active() == b && client_->input_focus() == b; }));

    // Monitor names match without regard to case.
    EXPECT_EQ(command("focus_monitor", "dummy0"), ok);
    EXPECT_TRUE(becomes([&] { return active() == a; }));
    EXPECT_EQ(command("focus_monitor", "HDMI-9"), ok);
    EXPECT_TRUE(logged("Monitor 'hdmi-9' not found"));

    // A floating window keeps its place relative to the monitor it moves to.
    uint32_t dialog = client_->open_window({.window_type = {"_NET_WM_WINDOW_TYPE_DIALOG"}});
    ASSERT_TRUE(has_geometry(dialog, {640, 300, 636, 476, 2}));
    ASSERT_TRUE(becomes([&] { return active() == dialog; }));
    EXPECT_EQ(command("move_to_monitor", "right"), ok);
    EXPECT_TRUE(has_geometry(dialog, {2560, 300, 636, 476, 2}));
    EXPECT_TRUE(becomes([&] { return active() == dialog; }));
    EXPECT_TRUE(has_geometry(b, kAloneOnSecond));

    // Workspace 1 no longer remembers the dialog: coming back focuses its own window.
    EXPECT_EQ(command("focus_monitor", "prev"), ok);
    EXPECT_TRUE(becomes([&] { return active() == a && client_->input_focus() == a; }));
    expect_viewable({a, b, dialog}, {});
}

// Under a fullscreen window its neighbours in the tree are hidden: the arrows pass to the other monitor.
TEST_F(MonitorWmTest, ArrowsLeaveAFullscreenMonitorAndComeBack) {
    xorg_->add_second_monitor();
    start(kPlainConfig + R"(
vop.rule({ class = "Chat" }, { workspace = 2 })
vop.bind("mod+Right", vop.focus("right"))
)");
    xdo({"key", "Shift_L"});
    SocketClient vop_sock(vop_->runtime_dir() + "/vop.sock");
    auto command = [&](const std::string& name, const std::string& direction) {
        return vop_sock.request(fmt::format(R"({{"command":"{}","args":{{"direction":"{}"}}}})", name, direction));
    };
    const std::optional<std::string> ok = R"({"success":true})";
    const uint32_t chat = client_->open_window({.instance = "chat", .class_name = "Chat"});
    const uint32_t a = client_->open_window();
    const uint32_t b = client_->open_window();  // right of a, hidden once a covers the monitor
    ASSERT_TRUE(becomes([&] { return active() == b; }));
    fullscreen(a);
    const Geometry covers_first{0, 0, 1920, 1080, 0};
    ASSERT_TRUE(has_geometry(a, covers_first));
    ASSERT_TRUE(becomes([&] { return active() == a; }));

    for (bool by_key : {false, true}) {
        if (by_key) {
            xdo({"key", "super+Right"});
        } else {
            EXPECT_EQ(command("focus", "right"), ok);
        }
        EXPECT_TRUE(becomes([&] { return active() == chat && client_->input_focus() == chat; })) << by_key;
        // Back to the fullscreen window, which stays fullscreen.
        EXPECT_EQ(command("focus", "left"), ok);
        EXPECT_TRUE(becomes([&] { return active() == a && client_->input_focus() == a; })) << by_key;
        EXPECT_TRUE(has_geometry(a, covers_first));
    }
    // Up and Down never change monitor.
    EXPECT_EQ(command("focus", "up"), ok);
    EXPECT_EQ(active(), a);
    // Swap takes the fullscreen window to the other monitor, which it covers there.
    EXPECT_EQ(command("swap", "right"), ok);
    EXPECT_TRUE(has_geometry(a, {1920, 0, 1280, 1024, 0}));
    EXPECT_TRUE(has_geometry(b, kAloneOnFirst));
    EXPECT_TRUE(becomes([&] { return active() == a && client_->says_fullscreen(a); }));

    // With a fullscreen window on this monitor too, a dialog of the one over there opens over it, with the focus;
    // a window that is no dialog of it still opens hidden under the fullscreen window, without the focus.
    client_->send_root_message(b, "_NET_ACTIVE_WINDOW", {2, 0, 0, 0, 0});
    ASSERT_TRUE(becomes([&] { return active() == b; }));
    fullscreen(b);
    const uint32_t dialog = client_->open_window({.transient_for = a});
    EXPECT_TRUE(becomes([&] { return active() == dialog && client_->input_focus() == dialog && client_->viewable(dialog); }));
    EXPECT_EQ(client_->property_u32(dialog, "_NET_WM_DESKTOP"), std::vector<uint32_t>{1});
    const auto kids = client_->children(client_->root());
    EXPECT_GT(std::find(kids.begin(), kids.end(), dialog), std::find(kids.begin(), kids.end(), a));
    const uint32_t plain = client_->open_window();
    ASSERT_TRUE(becomes([&] { return contains(client_list(), plain); }));
    EXPECT_EQ(active(), dialog);
}

// A window dropped on a monitor belongs to the workspace shown there and stays in sight.
TEST_F(MonitorWmTest, ADroppedWindowStaysInSightWhereThePointerLetsGo) {
    xorg_->add_second_monitor();
    start(kPlainConfig + R"(vop.rule({ class = "Video" }, { workspace = 2 }))");
    xdo({"key", "Shift_L"});
    const uint32_t video = client_->open_window({.instance = "video", .class_name = "Video"});
    ASSERT_TRUE(has_geometry(video, kAloneOnSecond));
    fullscreen(video);
    ASSERT_TRUE(has_geometry(video, {1920, 0, 1280, 1024, 0}));
    const uint32_t d = client_->open_window({.window_type = {"_NET_WM_WINDOW_TYPE_DIALOG"}});
    ASSERT_TRUE(has_geometry(d, {640, 300, 636, 476, 2}));
    ASSERT_TRUE(becomes([&] { return active() == d; }));

    // By its centre onto the fullscreen monitor: that one leaves fullscreen, the dialog is on top and focused.
    drag(960, 540, 2560, 540);
    EXPECT_TRUE(has_geometry(d, {2240, 300, 636, 476, 2}));
    EXPECT_TRUE(becomes([&] { return client_->property_u32(d, "_NET_WM_DESKTOP") == std::vector<uint32_t>{1}; }));
    EXPECT_TRUE(becomes([&] { return active() == d && client_->input_focus() == d; })) << "active " << active();
    EXPECT_TRUE(becomes([&] { return above(d, video); }));
    EXPECT_TRUE(has_geometry(video, kAloneOnSecond));
    EXPECT_FALSE(client_->says_fullscreen(video));

    // Held by its right side and let go with the pointer on the first monitor, its centre off every monitor:
    // it comes inside the monitor under the pointer, not back to its own.
    drag(2870, 540, 20, 540);
    EXPECT_TRUE(has_geometry(d, {0, 300, 636, 476, 2}));
    EXPECT_TRUE(becomes([&] { return client_->property_u32(d, "_NET_WM_DESKTOP") == std::vector<uint32_t>{0}; }));
    EXPECT_TRUE(becomes([&] { return active() == d && current_desktop() == 0; }));
    expect_viewable({d, video}, {});

    // Sticking out over the next monitor from under its own monitor's fullscreen window, and dragged by the
    // part in sight back onto its own monitor, or let go there with its centre off every monitor (so that it
    // falls back to the monitor under the pointer, its own): that fullscreen ends and it is on top with the
    // focus.
    const uint32_t t = client_->open_window();
    ASSERT_TRUE(becomes([&] { return active() == t; }));
    for (bool off_every_monitor : {false, true}) {
        auto g = client_->geometry(d);
        ASSERT_TRUE(g);
        drag(g->x + g->width / 2 + 2, g->y + g->height / 2 + 2, 1820, 540);
        fullscreen(t);
        ASSERT_TRUE(becomes([&] { return active() == t && above(t, d); })) << off_every_monitor;
        off_every_monitor ? drag(2130, 310, 1910, 1075) : drag(2000, 540, 1000, 540);
        EXPECT_TRUE(becomes([&] { return active() == d && above(d, t) && !client_->says_fullscreen(t); }))
            << off_every_monitor;
        g = client_->geometry(d);
        EXPECT_TRUE(g && g->x + g->width + 4 <= 1920 && g->y + g->height + 4 <= 1080) << off_every_monitor;
    }

    // Made fullscreen while the drag holds it with its centre over the other monitor: the drop leaves it on its
    // own workspace, covering its own monitor.
    const auto g = client_->geometry(d);
    ASSERT_TRUE(g);
    drag(g->x + g->width / 2, g->y + g->height / 2, 2560, 540, [&] { fullscreen(d); });
    EXPECT_TRUE(has_geometry(d, {0, 0, 1920, 1080, 0}));
    EXPECT_EQ(client_->property_u32(d, "_NET_WM_DESKTOP"), std::vector<uint32_t>{0});
}

TEST_F(MonitorWmTest, FramesFollowTheirWorkspaceThroughHotplug) {
    xorg_->add_second_monitor();
    start(kPlainConfig + R"(
vop.set("titlebar_enabled", true)
vop.set("titlebar_height", 20)
)");
    uint32_t a = client_->open_window();
    ASSERT_TRUE(becomes([&] { return active() == a; }));
    ASSERT_EQ(run({"wmctrl", "-s", "1"}).status, 0);
    uint32_t b = client_->open_window();
    uint32_t fb = 0;
    ASSERT_TRUE(becomes([&] {
        auto p = client_->parent(b);
        fb = p && *p != root() ? *p : 0;
        return fb != 0;
    }));
    // The frame takes the cell on the second monitor, the client sits below its bar.
    EXPECT_TRUE(has_geometry(fb, {1932, 12, 1252, 996, 2}));
    EXPECT_TRUE(has_geometry(b, {1934, 34, 1252, 976, 0}));

    xorg_->remove_second_monitor();
    EXPECT_TRUE(becomes([&] { return !client_->viewable(fb) && !client_->viewable(b); }));
    EXPECT_TRUE(logged(fmt::format("Ignoring UnmapNotify for window {} (intentional unmap, count now 0)", b)));
    expect_viewable({a}, {b});

    xorg_->add_second_monitor();
    EXPECT_TRUE(logged("Monitor 'DUMMY1' showing workspace 2"));
    EXPECT_TRUE(becomes([&] { return client_->viewable(fb) && client_->viewable(b); }));
    EXPECT_TRUE(has_geometry(fb, {1932, 12, 1252, 996, 2}));

    // No unmap of ours is left over: the client's own withdrawal unmanages it.
    client_->unmap(b);
    EXPECT_TRUE(becomes([&] { return client_->parent(b) == root() && !client_->geometry(fb); }));
    EXPECT_TRUE(becomes([&] { return client_list() == std::vector<uint32_t>{a}; }));
}

TEST_F(MonitorWmTest, FloatingWindowsComeAlongToTheMonitorShowingTheirWorkspace) {
    xorg_->add_second_monitor();
    start();
    uint32_t a = client_->open_window();
    ASSERT_TRUE(has_geometry(a, kAloneOnFirst));
    ASSERT_EQ(run({"wmctrl", "-s", "1"}).status, 0);
    // 640x480 centred on the 1280x1024 monitor.
    uint32_t dialog = client_->open_window({.window_type = {"_NET_WM_WINDOW_TYPE_DIALOG"}});
    ASSERT_TRUE(has_geometry(dialog, {2240, 272, 636, 476, 2}));

    // Its monitor goes: shown again on the remaining one, the dialog must not stay off the screen.
    xorg_->remove_second_monitor();
    expect_viewable({a}, {dialog});
    ASSERT_EQ(run({"wmctrl", "-s", "1"}).status, 0);
    EXPECT_TRUE(becomes([&] { return client_->viewable(dialog); }));
    EXPECT_TRUE(has_geometry(dialog, {640, 300, 636, 476, 2}));

    // Monitor 1 comes back with workspace 1. Workspace 2 moves from monitor 0 to monitor 1 by two
    // switches, and its dialog keeps its place relative to the monitor.
    xorg_->add_second_monitor();
    EXPECT_TRUE(has_geometry(a, kAloneOnSecond));
    ASSERT_EQ(run({"wmctrl", "-s", "2"}).status, 0);
    EXPECT_TRUE(becomes([&] { return !client_->viewable(dialog); }));
    ASSERT_EQ(run({"wmctrl", "-s", "0"}).status, 0);
    ASSERT_EQ(run({"wmctrl", "-s", "1"}).status, 0);
    EXPECT_TRUE(becomes([&] { return client_->viewable(dialog) && !client_->viewable(a); }));
    EXPECT_TRUE(has_geometry(dialog, {2560, 300, 636, 476, 2}));
    EXPECT_TRUE(becomes([&] { return active() == dialog; }));
}

TEST_F(MonitorWmTest, DocksReserveOnlyTheMonitorsTheyReachInto) {
    start();
    uint32_t a = client_->open_window();
    ASSERT_TRUE(has_geometry(a, kAloneOnFirst));
    // Plugged in after the start: the screen grows to 3200x1080, and struts count from its edges.
    xorg_->add_second_monitor();
    ASSERT_TRUE(logged("Monitor 'DUMMY1' showing workspace 2"));
    ASSERT_EQ(run({"wmctrl", "-s", "1"}).status, 0);
    uint32_t b = client_->open_window();
    ASSERT_TRUE(has_geometry(b, kAloneOnSecond));
    auto dock = [&](int16_t y, uint16_t height, std::array<uint32_t, 12> partial) {
        return client_->open_window({.x = 1920, .y = y, .width = 1280, .height = height,
                                     .window_type = {"_NET_WM_WINDOW_TYPE_DOCK"}, .strut_partial = partial});
    };
    // A top bar on the right monitor leaves the left one whole.
    uint32_t top = dock(0, 30, {0, 0, 30, 0, 0, 0, 0, 0, 1920, 3199, 0, 0});
    EXPECT_TRUE(has_geometry(b, {1932, 42, 1252, 966, 2}));
    // A bottom bar of 30 on the shorter monitor announces 86 from the screen's bottom: it takes just its 30.
    uint32_t bottom = dock(994, 30, {0, 0, 0, 86, 0, 0, 0, 0, 0, 0, 1920, 3199});
    EXPECT_TRUE(has_geometry(b, {1932, 42, 1252, 936, 2}));
    // A plain strut spans its whole edge, but one on the right reaches only into the right monitor.
    auto plain = [&](std::array<uint32_t, 4> strut) {
        return client_->open_window({.window_type = {"_NET_WM_WINDOW_TYPE_DOCK"}, .strut = strut});
    };
    uint32_t side = plain({0, 50, 0, 0});
    EXPECT_TRUE(has_geometry(b, {1932, 42, 1202, 936, 2}));
    // A strut as wide as the left monitor would leave nothing to tile in: ignored there, with a warning.
    uint32_t wall = plain({1920, 0, 0, 0});
    EXPECT_TRUE(logged("leave monitor 'DUMMY0' too small to tile in, ignoring them there"));
    EXPECT_TRUE(has_geometry(a, kAloneOnFirst));
    EXPECT_TRUE(has_geometry(b, {1932, 42, 1202, 936, 2}));
    for (uint32_t d : {top, bottom, side, wall}) client_->destroy(d);
    EXPECT_TRUE(has_geometry(b, kAloneOnSecond));
    EXPECT_TRUE(has_geometry(a, kAloneOnFirst));
}

// Eleven 640x480 outputs: DUMMY0 at the top left, DUMMY1..DUMMY10 in two rows below it; sorted by x,
// DUMMY5 (x 3200) comes last.
void eleven_outputs(DummyXorg& x) {
    std::vector<std::string> argv = {"xrandr", "--output", "DUMMY0", "--mode", "640x480", "--pos", "0x0"};
    for (int i = 1; i <= 10; ++i) {
        const std::string out = "DUMMY" + std::to_string(i);
        ASSERT_EQ(run_command(x.display(), {"xrandr", "--addmode", out, "640x480"}).status, 0);
        argv.insert(argv.end(), {"--output", out, "--mode", "640x480", "--pos",
                                 fmt::format("{}x{}", (i % 6) * 640, 1080 + i / 6 * 480)});
    }
    auto r = run_command(x.display(), argv);
    ASSERT_EQ(r.status, 0) << r.err;
}

TEST_F(MonitorWmTest, MonitorsBeyondTheTenthAreIgnored) {
    eleven_outputs(*xorg_);
    start();
    EXPECT_TRUE(logged("Ignoring monitor 'DUMMY5' at (3200, 1080)"));
    SocketClient vop_sock(vop_->runtime_dir() + "/vop.sock");
    ASSERT_TRUE(vop_sock.connected());
    // Ten monitors, each showing its own workspace.
    auto shown = [&] {
        std::vector<int> ws;
        auto reply = vop_sock.request(R"({"command":"get_monitors"})");
        if (!reply) return ws;
        auto j = nlohmann::json::parse(*reply, nullptr, false);
        if (j.is_discarded() || !j.contains("data")) return ws;
        for (const auto& m : j["data"]) ws.push_back(m["active_workspace"].get<int>());
        std::sort(ws.begin(), ws.end());
        return ws;
    };
    const std::vector<int> all = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(shown(), all);

    uint32_t a = client_->open_window();
    EXPECT_TRUE(has_geometry(a, {12, 12, 612, 452, 2}));
    ASSERT_EQ(run({"wmctrl", "-s", "9"}).status, 0);
    EXPECT_TRUE(becomes([&] { return current_desktop() == 9; }));
    EXPECT_TRUE(client_->viewable(a));

    // One output off: the ignored one is used now; back on: ten again. Never two monitors on one workspace.
    ASSERT_EQ(run({"xrandr", "--output", "DUMMY1", "--off"}).status, 0);
    EXPECT_TRUE(becomes([&] { return vop_->out().find("Monitor 'DUMMY5' showing workspace") != std::string::npos; }));
    EXPECT_EQ(shown(), all);
    ASSERT_EQ(run({"xrandr", "--output", "DUMMY1", "--mode", "640x480", "--pos", "640x1080"}).status, 0);
    EXPECT_TRUE(becomes([&] { return shown() == all && client_->viewable(a); }));
    EXPECT_EQ(client_list(), std::vector<uint32_t>{a});
}

// Without RandR the whole screen is the one monitor "default".
TEST(NoRandrWmTest, OneDefaultMonitorCoversTheScreen) {
    XServer x(XServer::kNoRandr);
    VopProcess vop({.display = x.display(), .env = {{"NO_COLOR", "1"}}, .init_lua = kPlainConfig});
    ASSERT_TRUE(wait_until([&] { return vop.out().find("EWMH workspace hints initialized") != std::string::npos; }))
        << vop.describe();
    const std::string out = vop.out();
    EXPECT_NE(out.find("Failed to detect monitors: "), std::string::npos) << vop.describe();
    EXPECT_NE(out.find(", using single screen"), std::string::npos) << out;
    EXPECT_NE(out.find("Monitor 'default' starts with workspace 1"), std::string::npos) << out;

    TestClient client(x.display());
    uint32_t a = client.open_window();
    EXPECT_TRUE(wait_until([&] { return client.geometry(a) == Geometry{12, 12, 1892, 1052, 2}; }));
    EXPECT_TRUE(vop.running()) << vop.describe();
}

}  // namespace
