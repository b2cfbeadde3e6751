// Reload after editing init.lua, pressed as a chord: gaps, title bars, bindings, key grabs, the compositor file.
#include "test_input_fixture.hpp"

#include <xcb/xcb.h>

#include <signal.h>

using namespace vop::test;

namespace {

constexpr uint16_t kAlt = XCB_MOD_MASK_1;

const std::string kBefore = R"(
vop.set("gap_inner", 8)
vop.set("gap_outer", 8)
vop.set("border_width", 2)
vop.bind("mod+shift+r", vop.reload)
vop.bind("alt+1", vop.workspace(2))
)";

const std::string kAfter = R"(
vop.set("gap_inner", 20)
vop.set("gap_outer", 30)
vop.set("border_width", 2)
vop.bind("mod+shift+r", vop.reload)
vop.bind("alt+2", vop.workspace(3))
vop.picom_rule({ match = 'class_g = "URxvt" && name *= "a\\b"', opacity = 0.9 })
vop.picom_rule({ match = "window_type = 'dock'", shadow = false })
)";

class Reload : public InputTest {
protected:
    void reload_with(const std::string& script) {
        write_file(init_lua_path(), script);
        const size_t before = count("Reloading configuration");
        key("super+shift+r");
        ASSERT_TRUE(becomes([&] { return count("Reloading configuration") > before; })) << output();
        ASSERT_TRUE(vop_->wait_idle());
    }
    size_t count(const std::string& text) {
        const std::string out = output();
        size_t k = 0;
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++k;
        return k;
    }
    std::string picom_path() { return vop_->config_home() + "/vop/picom.conf"; }
};

}  // namespace

TEST_F(Reload, NewGapsBindingsAndGrabsTakeEffect) {
    start(kBefore);
    const uint32_t a = open();
    const uint32_t b = open();
    // Outer gap plus half the inner gap.
    ASSERT_EQ(geo(a).x, 12);
    const uint8_t one = keycode_of("1"), two = keycode_of("2");
    ASSERT_NE(one, 0);
    EXPECT_FALSE(chord_free(kAlt, one)) << "vop holds alt+1";
    EXPECT_TRUE(chord_free(kAlt, two));

    reload_with(kAfter);
    EXPECT_TRUE(logged("Configuration reloaded"));
    // Every window gets the new gaps: 30 + 20 / 2.
    EXPECT_TRUE(becomes([&] { return geo(a).x == 40 && geo(a).y == 40 && geo(b).y == 40; }))
        << geo(a).x << "," << geo(a).y << " / " << geo(b).y;
    EXPECT_TRUE(chord_free(kAlt, one)) << "a chord removed from the script is no longer swallowed";
    EXPECT_FALSE(chord_free(kAlt, two));
    key("alt+2");
    EXPECT_TRUE(becomes([&] { return current_desktop() == 2; }));

    // The compositor file was rewritten with the new rules and picom restarted once more.
    const std::string conf = read_file(picom_path());
    EXPECT_NE(conf.find("        match = \"class_g = \\\"URxvt\\\" && name *= \\\"a\\\\b\\\"\";\n"
                        "        opacity = 0.90;\n    },\n"),
              std::string::npos)
        << conf;
    EXPECT_NE(conf.find("        shadow = false;\n    }\n);\n"), std::string::npos) << "no comma after the last rule";
    EXPECT_TRUE(becomes([&] { return vop_->stubs().lines("picom").size() == 2; }));
    EXPECT_EQ(vop_->stubs().lines("pkill"), (std::vector<std::string>{"picom", "picom"}));
}

TEST_F(Reload, AScriptErrorKeepsTheRunningConfiguration) {
    start(kBefore + "vop.rule({ class = \"Mail\" }, { workspace = 3 })\n");
    const uint32_t a = open();
    const Geometry g = geo(a);
    // The run registers other settings, a binding and a rule before it fails, all on line 1.
    reload_with("vop.set('gap_outer', 40) vop.bind('alt+1', vop.workspace(5)) "
                "vop.rule({ class = 'Mail' }, { workspace = 6 }) error('broken')\n");
    EXPECT_TRUE(logged("Config reload failed: init.lua:1: broken")) << output();
    EXPECT_EQ(count("Configuration reloaded"), 0u);
    // A new window makes vop lay out again, still with the old gaps; the old rule places it.
    const uint32_t b = open();
    EXPECT_TRUE(becomes([&] { return geo(a).x == g.x && geo(a).y == g.y && geo(b).y == g.y; }));
    const uint32_t mail = client_->open_window({.instance = "mail", .class_name = "Mail"});
    EXPECT_TRUE(becomes([&] { return client_->property_u32(mail, "_NET_WM_DESKTOP") == std::vector<uint32_t>{2}; }));
    EXPECT_EQ(vop_->stubs().lines("pkill").size(), 1u) << "the compositor is left alone";
    // The chord bound before still runs its own action.
    key("alt+1");
    EXPECT_TRUE(becomes([&] { return current_desktop() == 1; }));
    // Once the script is mended, the reload chord still works.
    reload_with(kAfter);
    EXPECT_TRUE(logged("Configuration reloaded")) << output();
    key("alt+2");
    EXPECT_TRUE(becomes([&] { return current_desktop() == 2; }));
}

TEST_F(Reload, DefaultCompositorFileAndRestartAtStart) {
    start();
    const std::string kept =
        read_file((std::filesystem::path(__FILE__).parent_path() / ".." / "unit" / "picom_default.conf").string());
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(read_file(picom_path()), kept);
    EXPECT_TRUE(becomes([&] { return vop_->stubs().lines("picom").size() == 1; }));
    EXPECT_EQ(vop_->stubs().lines("pkill"), std::vector<std::string>{"picom"});
    EXPECT_EQ(vop_->stubs().lines("picom"), std::vector<std::string>{"-b --config " + picom_path()});
}

TEST_F(Reload, TheBarFollowsTheScript) {
    const std::string with_bar = kBefore + "vop.bar = { height = 24 }\n";
    start(with_bar);
    const auto stubs = vop_->stubs();
    ASSERT_TRUE(becomes([&] { return stubs.pids("vopbar").size() == 1; })) << output();
    // A running bar is asked to reload, not started twice.
    reload_with(with_bar);
    EXPECT_TRUE(becomes([&] { return stubs.signals("vopbar") == std::vector<std::string>{"HUP"}; }));
    EXPECT_EQ(stubs.pids("vopbar").size(), 1u);
    // Without the table the bar is stopped.
    reload_with(kBefore);
    EXPECT_TRUE(becomes([&] { return stubs.signals("vopbar") == std::vector<std::string>{"HUP", "TERM"}; }));
    // With it again a new bar starts.
    reload_with(with_bar);
    EXPECT_TRUE(becomes([&] { return stubs.pids("vopbar").size() == 2; }));
    // A bar that died is started anew on the next reload.
    ::kill(stubs.pids("vopbar").back(), SIGKILL);
    reload_with(with_bar);
    // The loop has usually reaped it already, so the check fails rather than finding its status.
    EXPECT_TRUE(becomes([&] {
        return count("will respawn") + count("Failed to check vopbar status") == 1;
    })) << output();
    EXPECT_TRUE(becomes([&] { return stubs.pids("vopbar").size() == 3; }));
}

// Title bars switched off and on by reloading: clients leave their frames for the root and come back into
// new ones, in their cells, the hidden ones staying hidden, every one still managed and the focus kept.
TEST_F(Reload, TitleBarsTurnedOffAndOn) {
    const std::string framed = kBefore + "vop.set(\"titlebar_enabled\", true)\nvop.set(\"titlebar_height\", 20)\n";
    start(framed);
    auto wmctrl_desktop = [&](int n) {
        ASSERT_EQ(run_command(x_.display(), {"wmctrl", "-s", std::to_string(n)}).status, 0);
        ASSERT_TRUE(becomes([&] { return current_desktop() == static_cast<uint32_t>(n); }));
        ASSERT_TRUE(vop_->wait_idle());
    };
    auto framed_in = [&](uint32_t w) {
        auto p = client_->parent(w);
        return p && *p != client_->root();
    };
    const uint32_t a = open();
    const uint32_t b = open();
    wmctrl_desktop(1);
    const uint32_t hidden = open();
    wmctrl_desktop(0);
    ASSERT_TRUE(becomes([&] { return active() == b && framed_in(a) && framed_in(b) && framed_in(hidden); }));
    ASSERT_TRUE(becomes([&] { return geo(b) == Geometry{966, 34, 940, 1032, 0}; }));

    // Off, then on again: each client in its cell, the hidden one still hidden, the focus kept.
    struct Pass {
        std::string script;
        bool framed;
        Geometry a, b, hidden;
    };
    const Pass passes[] = {
        {kBefore, false, {12, 12, 940, 1052, 2}, {964, 12, 940, 1052, 2}, {12, 12, 1892, 1052, 2}},
        {framed, true, {14, 34, 940, 1032, 0}, {966, 34, 940, 1032, 0}, {14, 34, 1892, 1032, 0}},
    };
    for (const Pass& p : passes) {
        SCOPED_TRACE(p.framed ? "on" : "off");
        wmctrl_desktop(0);
        reload_with(p.script);
        EXPECT_TRUE(becomes([&] {
            return framed_in(a) == p.framed && framed_in(b) == p.framed && framed_in(hidden) == p.framed;
        }));
        EXPECT_TRUE(becomes([&] { return geo(a) == p.a && geo(b) == p.b; }));
        EXPECT_TRUE(client_->viewable(a) && client_->viewable(b));
        EXPECT_FALSE(client_->viewable(hidden));
        EXPECT_TRUE(becomes([&] { return client_->input_focus() == b && active() == b; }));
        wmctrl_desktop(1);
        EXPECT_TRUE(becomes([&] { return client_->viewable(hidden) && geo(hidden) == p.hidden; }));
    }

    // None of our reparenting unmaps was taken for a withdrawal, and none is left over to swallow one.
    EXPECT_EQ(output().find("Unmanaging window"), std::string::npos) << output();
    auto list = [&] {
        return client_->property_u32(client_->root(), "_NET_CLIENT_LIST").value_or(std::vector<uint32_t>{});
    };
    EXPECT_EQ(list().size(), 3u);
    client_->unmap(hidden);
    EXPECT_TRUE(becomes([&] { return list().size() == 2u && client_->parent(hidden) == client_->root(); }));
}

// Sizes as large as the settings take, title bars on: each frame (title bar and borders included) and each
// client lies wholly on the screen, and the reloads succeed. A title bar alone takes what the borders leave
// and is painted that high: the focused one's accent line shows at its foot.
TEST_F(Reload, LargestSizesKeepEveryWindowOnTheScreen) {
    start(kBefore);
    const uint32_t a = open(), b = open();
    auto on_screen = [&](uint32_t w) { return client_->geometry(w).value_or(Geometry{-1}).on_screen(1920, 1080); };
    auto frame = [&](uint32_t w) { return client_->parent(w).value_or(client_->root()); };
    auto all_on_screen = [&] {
        return frame(a) != client_->root() && frame(b) != client_->root() && on_screen(frame(a)) &&
               on_screen(frame(b)) && on_screen(a) && on_screen(b);
    };
    const std::string framed = kBefore + "vop.set('titlebar_enabled', true)\n";
    reload_with(framed + "vop.set('titlebar_height', 32767)\n");
    EXPECT_TRUE(becomes(all_on_screen));
    const Geometry f = geo(frame(b));
    const int bar_foot = f.y + static_cast<int>(f.border_width + f.height - geo(b).height) - 1;
    EXPECT_TRUE(becomes([&] { return client_->root_pixel(f.x + 20, bar_foot) == 0x5294e2; }));

    std::string largest = framed;
    for (const char* key : {"gap_outer", "gap_inner", "border_width", "titlebar_height"})
        largest += fmt::format("vop.set('{}', 32767)\n", key);
    reload_with(largest);
    EXPECT_TRUE(becomes(all_on_screen));
    EXPECT_EQ(count("Configuration reloaded"), 2u);
}
