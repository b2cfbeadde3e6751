// Key chords of the default script and of test scripts, pressed with xdotool: every action reaches its command.
#include "test_input_fixture.hpp"

#include <xcb/xcb.h>

using namespace vop::test;

namespace {

class Keys : public InputTest {};

// A script whose chords leave traces in files under HOME.
const std::string kCallbackScript = R"(
local home = os.getenv("HOME")
local function touch(name)
    return function()
        local f = io.open(home .. "/" .. name, "w")
        f:write("ran")
        f:close()
    end
end
vop.bind("mod+Return", touch("return"))
vop.bind("mod+shift+y", touch("shift-y"))
vop.bind("alt+u", touch("first"))
vop.bind("alt+u", touch("second"))
vop.bind("alt+e", function() error("boom from the script") end)
vop.bind("alt+n", vop.workspace_next())
vop.bind("alt+p", vop.workspace_prev())
vop.bind("alt+2", vop.workspace(2))
vop.bind("alt+k", vop.force_close_window)
)";

}  // namespace

TEST_F(Keys, WorkspaceChordsShowMoveAndRemember) {
    start();
    const uint32_t a = open();
    key("super+2");
    EXPECT_TRUE(becomes([&] { return current_desktop() == 1; }));
    EXPECT_TRUE(becomes([&] { return !client_->viewable(a); }));
    key("super+1");
    EXPECT_TRUE(becomes([&] { return current_desktop() == 0 && client_->viewable(a); }));
    EXPECT_EQ(active(), a) << "the workspace's remembered window is focused again";

    const uint32_t b = open();
    key("super+shift+3");
    // The default script follows the moved window.
    EXPECT_TRUE(becomes([&] { return current_desktop() == 2; }));
    EXPECT_TRUE(becomes([&] { return active() == b && client_->viewable(b) && !client_->viewable(a); }));
    auto desk = client_->property_u32(b, "_NET_WM_DESKTOP");
    ASSERT_TRUE(desk && !desk->empty());
    EXPECT_EQ((*desk)[0], 2u);
}

TEST_F(Keys, DirectionalFocusRemembersTheWayBack) {
    start();
    const uint32_t a = open();  // left
    const uint32_t b = open();  // top right
    const uint32_t c = open();  // bottom right
    ASSERT_LT(geo(a).x, geo(b).x);
    ASSERT_LT(geo(b).y, geo(c).y);
    key("super+h");
    EXPECT_TRUE(becomes([&] { return active() == a; }));
    key("super+l");
    EXPECT_TRUE(becomes([&] { return active() == c; })) << "back to the window focus came from, not the nearer one";
    key("super+k");
    EXPECT_TRUE(becomes([&] { return active() == b; }));
    key("super+h");
    EXPECT_TRUE(becomes([&] { return active() == a; }));
    key("super+l");
    EXPECT_TRUE(becomes([&] { return active() == b; }));
    // Nothing further right on the only monitor: focus stays.
    key("super+l");
    EXPECT_EQ(active(), b);
}

TEST_F(Keys, SwapResizeAndEqualize) {
    start();
    const uint32_t a = open();
    const uint32_t b = open();
    const Geometry ga = geo(a), gb = geo(b);
    ASSERT_LT(ga.x, gb.x);
    key("super+h");
    ASSERT_TRUE(becomes([&] { return active() == a; }));

    key("super+ctrl+l");
    // 5% of the 1904-pixel work area moves to the left window.
    EXPECT_TRUE(becomes([&] { return geo(a).width > ga.width + 90 && geo(a).width < ga.width + 100; }))
        << geo(a).width << " from " << ga.width;
    EXPECT_TRUE(becomes([&] { return geo(b).x > gb.x + 90; }));
    key("super+e");
    EXPECT_TRUE(becomes([&] { return geo(a) == ga && geo(b) == gb; }));

    key("super+shift+l");
    EXPECT_TRUE(becomes([&] { return geo(a).x == gb.x && geo(b).x == ga.x; }));
    EXPECT_EQ(active(), a) << "focus follows the moved window";
}

TEST_F(Keys, FloatFullscreenAndCycle) {
    start();
    const uint32_t a = open();
    key("super+f");
    // Four-fifths of 1920x1080, centred, borders inside.
    EXPECT_TRUE(becomes([&] { return geo(a) == Geometry{192, 108, 1532, 860, 2}; }))
        << geo(a).x << "," << geo(a).y << " " << geo(a).width << "x" << geo(a).height;
    key("super+shift+f");
    EXPECT_TRUE(becomes([&] { return geo(a) == Geometry{0, 0, 1920, 1080, 0}; }));
    auto state = client_->property_atoms(a, "_NET_WM_STATE");
    EXPECT_TRUE(state && state->size() == 1 && (*state)[0] == "_NET_WM_STATE_FULLSCREEN");
    key("super+shift+f");
    EXPECT_TRUE(becomes([&] { return geo(a) == Geometry{192, 108, 1532, 860, 2}; }));

    const uint32_t f2 = open_floating();
    ASSERT_EQ(active(), f2);
    key("super+grave");
    EXPECT_TRUE(becomes([&] { return active() == a; }));
    key("super+grave");
    EXPECT_TRUE(becomes([&] { return active() == f2; }));
    key("super+grave");
    EXPECT_TRUE(becomes([&] { return active() == a; }));
    // The cycled window is on top.
    auto kids = client_->children(client_->root());
    auto pos = [&](uint32_t w) { return std::find(kids.begin(), kids.end(), w) - kids.begin(); };
    EXPECT_GT(pos(a), pos(f2));

    // Under a fullscreen window the cycle goes through it and its dialogs, and comes back to the dialog;
    // the other floating window stays hidden under it.
    key("super+shift+f");
    ASSERT_TRUE(becomes([&] { return geo(a) == Geometry{0, 0, 1920, 1080, 0}; }));
    const uint32_t dialog = open({.transient_for = a});
    for (uint32_t next : {a, dialog, a, dialog}) {
        key("super+grave");
        EXPECT_TRUE(becomes([&] { return active() == next && client_->input_focus() == next; })) << next;
    }
    kids = client_->children(client_->root());
    EXPECT_GT(pos(dialog), pos(a));
    EXPECT_GT(pos(a), pos(f2));

    // Two windows naming each other as owner, the fullscreen one made first (so listed first, where a loop
    // would count it twice): the cycle still reaches the other.
    key("super+2");
    const uint32_t full = client_->create_window({.state = {"_NET_WM_STATE_FULLSCREEN"}});
    const uint32_t other = open({.transient_for = full});
    client_->set_window_ids(full, "WM_TRANSIENT_FOR", {other});
    client_->map(full);
    ASSERT_TRUE(becomes([&] { return active() == full && client_->says_fullscreen(full); }));
    for (uint32_t next : {other, full, other}) {
        key("super+grave");
        EXPECT_TRUE(becomes([&] { return active() == next && client_->input_focus() == next; })) << next;
    }
}

TEST_F(Keys, CloseAsksPolitelyOrKills) {
    start();
    const uint32_t polite = open({.protocols = {"WM_DELETE_WINDOW"}});
    key("super+q");
    std::vector<ClientMessage> got;
    EXPECT_TRUE(becomes([&] {
        for (auto& m : client_->take_client_messages()) got.push_back(m);
        return !got.empty();
    }));
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].type, "WM_PROTOCOLS");
    EXPECT_EQ(client_->atom_name(got[0].data[0]), "WM_DELETE_WINDOW");
    EXPECT_TRUE(client_->connected()) << "a polite close must not kill the client";

    TestClient other(x_.display());
    open({}, &other);
    key("super+q");
    EXPECT_TRUE(becomes([&] { return !other.connected() || other.children(other.root()).empty(); }));
    EXPECT_TRUE(becomes([&] { return active() == polite; }));
}

TEST_F(Keys, ChordsFireWithNumLockAndCapsLockOn) {
    start();
    key("Num_Lock");
    key("Caps_Lock");
    // Both locks are really on.
    auto cookie = xcb_query_pointer(client_->conn(), client_->root());
    xcb_query_pointer_reply_t* p = xcb_query_pointer_reply(client_->conn(), cookie, nullptr);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->mask & (XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2), XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2);
    std::free(p);
    key("super+3");
    EXPECT_TRUE(becomes([&] { return current_desktop() == 2; }));
    key("super+1");
    EXPECT_TRUE(becomes([&] { return current_desktop() == 0; }));
}

TEST_F(Keys, LuaCallbacksRunAndTheirErrorsAreOnlyLogged) {
    start(kCallbackScript);
    const std::string home = vop_->home();
    key("super+Return");
    EXPECT_TRUE(becomes([&] { return read_file(home + "/return") == "ran"; })) << output();

    key("alt+e");
    EXPECT_TRUE(becomes([&] {
        return strip_ansi(output()).find("ERROR vop::x11::events: Lua callback error: ") != std::string::npos;
    })) << output();
    EXPECT_NE(output().find("boom from the script"), std::string::npos);
    EXPECT_TRUE(vop_->running());

    // Keys are handled in order: once a later chord's callback has run, the earlier press was handled too.
    auto handled = [&] {
        std::filesystem::remove(home + "/return");
        key("super+Return");
        return becomes([&] { return std::filesystem::exists(home + "/return"); });
    };

    // Exact modifiers: Mod4 alone does not fire a Mod4+Shift binding.
    key("super+y");
    ASSERT_TRUE(handled());
    EXPECT_FALSE(std::filesystem::exists(home + "/shift-y"));
    key("super+shift+y");
    EXPECT_TRUE(becomes([&] { return std::filesystem::exists(home + "/shift-y"); }));

    // Two bindings of one chord: the first registered wins.
    key("alt+u");
    ASSERT_TRUE(handled());
    EXPECT_TRUE(std::filesystem::exists(home + "/first"));
    EXPECT_FALSE(std::filesystem::exists(home + "/second"));
}

TEST_F(Keys, NextAndPreviousSkipEmptyWorkspaces) {
    start(kCallbackScript);
    const uint32_t a = open();
    key("alt+2");
    ASSERT_TRUE(becomes([&] { return current_desktop() == 1; }));
    open();
    key("alt+n");
    EXPECT_TRUE(becomes([&] { return current_desktop() == 0 && active() == a; })) << "wraps past the empty ones";
    key("alt+p");
    EXPECT_TRUE(becomes([&] { return current_desktop() == 1; }));
    key("alt+p");
    EXPECT_TRUE(becomes([&] { return current_desktop() == 0; }));
}

TEST_F(Keys, ForceCloseKillsEvenAPoliteClient) {
    start(kCallbackScript);
    TestClient other(x_.display());
    open({.protocols = {"WM_DELETE_WINDOW"}}, &other);
    key("alt+k");
    EXPECT_TRUE(becomes([&] { return !other.connected() || other.children(other.root()).empty(); }));
    EXPECT_TRUE(logged("Force closing window"));
}

TEST_F(Keys, ExitChordAndStopSignalsEndCleanlyAndLeaveClientsAlive) {
    // A session manager ends vop with SIGTERM, a terminal with SIGINT or SIGHUP: all shut down like exit.
    const std::pair<int, const char*> ways[] = {{0, "Exit requested, will exit event loop"},
                                                {SIGTERM, "Received SIGTERM, will exit event loop"},
                                                {SIGINT, "Received SIGINT, will exit event loop"},
                                                {SIGHUP, "Received SIGHUP, will exit event loop"}};
    for (const auto& [sig, record] : ways) {
        SCOPED_TRACE(record);
        client_.reset();
        start();
        const uint32_t a = open();
        const uint32_t b = open();
        exited_ = true;
        if (sig == 0) {
            ASSERT_EQ(run_command(x_.display(), {"xdotool", "key", "super+shift+Escape"}).status, 0);
        } else {
            vop_->signal(sig);
        }
        ASSERT_EQ(vop_->wait_exit(), 0) << vop_->describe();
        // The loop's last record; only the debug notes of the sockets' removal may follow it.
        auto lines = split_lines(strip_ansi(vop_->out()));
        auto last = std::find_if(lines.rbegin(), lines.rend(),
                                 [](const std::string& l) { return l.find("Event loop exited") != std::string::npos; });
        ASSERT_NE(last, lines.rend()) << vop_->out();
        for (auto it = lines.rbegin(); it != last; ++it) {
            if (it->empty()) continue;
            EXPECT_NE(it->find("DEBUG"), std::string::npos) << *it;
        }
        EXPECT_NE(output().find(record), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(vop_->runtime_dir() + "/vop.sock"));
        EXPECT_FALSE(std::filesystem::exists(vop_->runtime_dir() + "/vop-i3.sock"));
        const auto stubs = vop_->stubs();
        const auto pk = stubs.lines("pkill");
        EXPECT_NE(std::find(pk.begin(), pk.end(), "-x picom"), pk.end());
        const auto sc = stubs.lines("systemctl");
        ASSERT_FALSE(sc.empty());
        EXPECT_EQ(sc.back(), "--user stop graphical-session.target");
        // Started after the signal came, it still has the default dispositions and nothing blocked.
        EXPECT_NE(stubs.env("systemctl").back().find("SIGPIPE=default\tSIGBLK=0000000000000000"), std::string::npos)
            << stubs.env("systemctl").back();
        EXPECT_TRUE(becomes([&] { return client_->viewable(a) && client_->viewable(b); }));
        EXPECT_TRUE(client_->connected());
    }
}
