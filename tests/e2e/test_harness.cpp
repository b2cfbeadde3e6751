// The test harness itself: servers, the test client, stub programs and commands do what later tests rely on.
#include "harness.hpp"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <signal.h>

#include <algorithm>

using namespace vop::test;

TEST(Harness, XvfbServersAreIndependentAndRandrIsOptional) {
    XServer a;
    XServer b(XServer::kNoRandr);
    EXPECT_NE(a.display(), b.display());
    auto with = run_command(a.display(), {"xdpyinfo", "-queryExtensions"});
    auto without = run_command(b.display(), {"xdpyinfo", "-queryExtensions"});
    ASSERT_EQ(with.status, 0) << with.err;
    ASSERT_EQ(without.status, 0) << without.err;
    EXPECT_NE(with.out.find("RANDR"), std::string::npos);
    EXPECT_EQ(without.out.find("RANDR"), std::string::npos);
    EXPECT_NE(with.out.find("dimensions:    1920x1080 pixels"), std::string::npos) << with.out;

    b.stop();
    EXPECT_FALSE(b.alive());
    EXPECT_NE(run_command(b.display(), {"xdpyinfo"}).status, 0) << "a stopped server is gone";
}

TEST(Harness, MultiMonitorServerAddsAndRemovesASecondMonitor) {
    std::string why;
    auto x = DummyXorg::start(why);
    if (!x) GTEST_SKIP() << why;
    const MonitorInfo first{"DUMMY0", 0, 0, 1920, 1080, true};
    const MonitorInfo second{"DUMMY1", 1920, 0, 1280, 1024, false};
    EXPECT_EQ(list_monitors(x->display()), std::vector<MonitorInfo>{first});
    auto outputs = run_command(x->display(), {"xrandr"});
    EXPECT_EQ(std::count(outputs.out.begin(), outputs.out.end(), '\n') > 16, true);
    EXPECT_NE(outputs.out.find("DUMMY15 disconnected"), std::string::npos) << outputs.out;

    x->add_second_monitor();
    EXPECT_EQ(list_monitors(x->display()), (std::vector<MonitorInfo>{first, second}));
    x->remove_second_monitor();
    EXPECT_EQ(list_monitors(x->display()), std::vector<MonitorInfo>{first});
}

TEST(Harness, ClientWindowsCarryTheirPropertiesAndGeometry) {
    XServer x;
    TestClient c(x.display());
    uint32_t parent = c.open_window({.x = 10, .y = 10, .width = 50, .height = 50});
    const std::string bad_utf8 = "caf\xc3\xa9 \xff\xfe";
    WindowSpec desc{.x = 100,
                    .y = 50,
                    .width = 300,
                    .height = 200,
                    .border_width = 5,
                    .instance = "inst",
                    .class_name = "Klass",
                    .net_wm_name = bad_utf8,
                    .wm_name = "Latin \xe9",
                    .window_type = {"_NET_WM_WINDOW_TYPE_DIALOG"},
                    .state = {"_NET_WM_STATE_MODAL", "_NET_WM_STATE_FULLSCREEN"},
                    .transient_for = parent,
                    .strut = std::array<uint32_t, 4>{0, 0, 30, 0},
                    .strut_partial = std::array<uint32_t, 12>{0, 0, 30, 0, 0, 0, 0, 0, 0, 1919, 0, 0},
                    .urgent = true,
                    .input = false,
                    .protocols = {"WM_DELETE_WINDOW", "WM_TAKE_FOCUS"}};
    uint32_t w = c.create_window(desc);

    EXPECT_EQ(c.map_state(w), XCB_MAP_STATE_UNMAPPED);
    EXPECT_EQ(c.property_bytes(w, "WM_CLASS"), std::string("inst\0Klass\0", 11));
    EXPECT_EQ(c.property_bytes(w, "_NET_WM_NAME"), bad_utf8);
    EXPECT_EQ(c.property_type(w, "_NET_WM_NAME"), "UTF8_STRING");
    EXPECT_EQ(c.property_bytes(w, "WM_NAME"), "Latin \xe9");
    EXPECT_EQ(c.property_atoms(w, "_NET_WM_WINDOW_TYPE"), std::vector<std::string>{"_NET_WM_WINDOW_TYPE_DIALOG"});
    EXPECT_EQ(c.property_atoms(w, "_NET_WM_STATE"), desc.state);
    EXPECT_EQ(c.property_u32(w, "WM_TRANSIENT_FOR"), std::vector<uint32_t>{parent});
    EXPECT_EQ(c.property_u32(w, "_NET_WM_STRUT"), (std::vector<uint32_t>{0, 0, 30, 0}));
    EXPECT_EQ(c.property_u32(w, "_NET_WM_STRUT_PARTIAL")->size(), 12u);
    auto hints = c.property_u32(w, "WM_HINTS");
    ASSERT_TRUE(hints);
    ASSERT_EQ(hints->size(), 9u);
    EXPECT_EQ((*hints)[0], 1u | 256u) << "input and urgency flags";
    EXPECT_EQ((*hints)[1], 0u) << "input false";
    EXPECT_EQ(c.property_atoms(w, "WM_PROTOCOLS"), desc.protocols);
    EXPECT_FALSE(c.property_bytes(w, "WM_ICON_NAME"));

    c.map(w);
    EXPECT_TRUE(wait_until([&] { return c.viewable(w); }));
    EXPECT_EQ(c.geometry(w), (Geometry{100, 50, 300, 200, 5}));
    EXPECT_EQ(c.parent(w), c.root());
    auto kids = c.children(c.root());
    ASSERT_GE(kids.size(), 2u);
    EXPECT_EQ(kids.back(), w) << "the last one mapped is on top";
    // The window's background (white) and its border (black by default) as shown on the root.
    EXPECT_EQ(c.root_pixel(150, 100), 0xFFFFFFu);
    EXPECT_EQ(c.root_pixel(102, 52), 0x000000u);
    EXPECT_EQ(c.root_pixel(1000, 1000), 0x000000u);

    c.configure(w, 400, 300, 120, 80);
    EXPECT_TRUE(wait_until([&] { return c.geometry(w) == Geometry{400, 300, 120, 80, 5}; }));
    c.unmap(w);
    EXPECT_TRUE(wait_until([&] { return c.map_state(w) == XCB_MAP_STATE_UNMAPPED; }));
    c.destroy(w);
    EXPECT_TRUE(wait_until([&] { return !c.geometry(w); })) << "readers on a vanished window give nothing";
    EXPECT_FALSE(c.property_bytes(w, "WM_NAME"));
    EXPECT_TRUE(c.connected()) << "errors about the vanished window did not break the connection";
}

TEST(Harness, ClientMessagesReachTheRedirectingClient) {
    XServer x;
    TestClient wm(x.display());
    ASSERT_EQ(wm.select_input_checked(wm.root(), XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT), 0);
    TestClient app(x.display());
    uint32_t w = app.open_window();
    app.send_root_message(w, "_NET_ACTIVE_WINDOW", {2, 0, 0, 0, 0});
    std::vector<ClientMessage> got;
    ASSERT_TRUE(wait_until([&] {
        auto m = wm.take_client_messages();
        got.insert(got.end(), m.begin(), m.end());
        return !got.empty();
    }));
    EXPECT_EQ(got[0].type, "_NET_ACTIVE_WINDOW");
    EXPECT_EQ(got[0].window, w);
    EXPECT_EQ(got[0].data[0], 2u);
    EXPECT_EQ(app.select_input_checked(app.root(), XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT), XCB_ACCESS);
    EXPECT_FALSE(wait_until([&] { return app.viewable(w); }, 100ms)) << "the map request went to the redirecting client";
}

TEST(Harness, InputFocusIsReadBack) {
    XServer x;
    TestClient app(x.display());
    uint32_t w = app.open_window();
    ASSERT_TRUE(wait_until([&] { return app.viewable(w); }));
    EXPECT_NE(app.input_focus(), w);
    auto r = run_command(x.display(), {"xdotool", "windowfocus", "--sync", std::to_string(w)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(app.input_focus(), w);
}

TEST(Harness, CommandsReportStatusAndOutput) {
    auto ok = run_command("", {"sh", "-c", "echo out; echo err >&2; echo \"[$DISPLAY][$EXTRA]\"; exit 3"},
                          {{"EXTRA", "x"}});
    EXPECT_EQ(ok.status, 3);
    EXPECT_EQ(ok.out, "out\n[][x]\n");
    EXPECT_EQ(ok.err, "err\n");
    EXPECT_EQ(run_command(":7", {"sh", "-c", "echo $DISPLAY"}).out, ":7\n");
    EXPECT_EQ(run_command("", {"sh", "-c", "kill -TERM $$"}).status, 128 + SIGTERM);
    EXPECT_EQ(run_command("", {"no-such-program-here"}).status, 127);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run_command("", {"sleep", "30"}, {}, 200ms).status, -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(Harness, StubProgramsRecordAndTouchNothing) {
    TempDir log;
    const EnvChanges env = {{"PATH", std::string(VOP_STUB_DIR) + ":/usr/bin:/bin"},
                            {"VOP_STUB_LOG", log.path()},
                            {"I3SOCK", "/run/x/vop-i3.sock"}};
    StubLog stubs(log.path());
    EXPECT_EQ(run_command(":5", {"systemctl", "--user", "import-environment", "DISPLAY", "XAUTHORITY"}, env).status, 0);
    EXPECT_EQ(run_command("", {"systemctl", "--user", "start", "graphical-session.target"}, env).status, 0);
    EXPECT_EQ(run_command("", {"pkill", "-x", "picom"}, env).status, 0);
    EXPECT_EQ(run_command("", {"picom", "-b", "--config", "/tmp/a b/picom.conf"}, env).status, 0);
    stubs.set_exit("pkill", 1);
    EXPECT_EQ(run_command("", {"pkill", "-x", "picom"}, env).status, 1);

    EXPECT_EQ(stubs.lines("systemctl"), (std::vector<std::string>{"--user import-environment DISPLAY XAUTHORITY",
                                                                  "--user start graphical-session.target"}));
    EXPECT_EQ(stubs.calls("picom"), (std::vector<std::vector<std::string>>{{"-b", "--config", "/tmp/a b/picom.conf"}}));
    EXPECT_EQ(stubs.calls("pkill").size(), 2u);
    ASSERT_EQ(stubs.env("systemctl").size(), 2u);
    EXPECT_EQ(stubs.env("systemctl")[0], "I3SOCK=/run/x/vop-i3.sock\tDISPLAY=:5\tXAUTHORITY=\tSIGPIPE=default\tSIGBLK=0000000000000000");

    // The bar stays up, records HUP, ends on TERM.
    SpawnOptions opts;
    opts.env = env;
    Child bar({"vopbar", "daemon"}, opts);
    ASSERT_TRUE(wait_until([&] { return stubs.pids("vopbar").size() == 1; }));
    EXPECT_EQ(stubs.pids("vopbar")[0], bar.pid());
    bar.signal(SIGHUP);
    ASSERT_TRUE(wait_until([&] { return stubs.signals("vopbar") == std::vector<std::string>{"HUP"}; }));
    EXPECT_TRUE(bar.running());
    bar.signal(SIGTERM);
    EXPECT_EQ(bar.wait_exit(), 0);
    EXPECT_EQ(stubs.signals("vopbar"), (std::vector<std::string>{"HUP", "TERM"}));
    EXPECT_EQ(stubs.lines("vopbar"), std::vector<std::string>{"daemon"});
}

TEST(Harness, VopRunsInAPrivateEnvironment) {
    XServer x;
    VopProcess vop({.display = x.display(), .env = {{"NO_COLOR", "1"}}});
    ASSERT_TRUE(vop.wait_ready()) << vop.describe();
    ASSERT_TRUE(vop.wait_idle()) << vop.describe();
    auto environ_of = read_file("/proc/" + std::to_string(vop.pid()) + "/environ");
    auto has = [&](const std::string& kv) { return environ_of.find(std::string("\0", 1) + kv + '\0') != std::string::npos; };
    EXPECT_TRUE(has("HOME=" + vop.home()));
    EXPECT_TRUE(has("XDG_CONFIG_HOME=" + vop.config_home()));
    EXPECT_TRUE(has("XDG_RUNTIME_DIR=" + vop.runtime_dir()));
    EXPECT_TRUE(has("DISPLAY=" + x.display()));
    EXPECT_NE(environ_of.find(std::string("\0PATH=", 6) + VOP_STUB_DIR + ":"), std::string::npos);
    EXPECT_EQ(environ_of.find("VOP_LOG="), std::string::npos);
    EXPECT_EQ(vop.stop(), 0) << "SIGTERM is a clean shutdown";
    EXPECT_FALSE(vop.wait_ready(0ms)) << "an exited vop is not ready";
}

// The start-up tests lean on this parser to check the exact record format, so it must refuse near misses.
TEST(Harness, LogRecordParserIsStrict) {
    auto r = parse_record("2026-01-31T09:05:07.012345Z  INFO vop::core: a: b");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->timestamp, "2026-01-31T09:05:07.012345Z");
    EXPECT_EQ(r->level, "INFO");
    EXPECT_EQ(r->target, "vop::core");
    EXPECT_EQ(r->message, "a: b");
    EXPECT_TRUE(parse_record("2026-01-31T09:05:07.012345Z ERROR vop: "));
    for (const char* bad : {"2026-01-31T09:05:07.012345Z INFO vop: x",   // level not right-aligned
                            "2026-01-31T09:05:07.012345Z  INFO  vop: x",  // extra blank
                            "2026-01-31T09:05:07.01234Z  INFO vop: x",    // five digits of microseconds
                            "2026-01-31 09:05:07.012345Z  INFO vop: x",   // no T
                            "2026-01-31T09:05:07.012345  INFO vop: x",    // no Z
                            "2026-01-31T09:05:07.012345Z  info vop: x",   // lower-case level
                            "2026-01-31T09:05:07.012345Z  INFO vop x",    // no colon
                            "2026-01-31T09:05:07.012345Z  INFO : x",      // no target
                            "\x1b[2m2026-01-31T09:05:07.012345Z\x1b[0m  INFO vop: x"}) {
        EXPECT_FALSE(parse_record(bad)) << bad;
    }
    EXPECT_EQ(strip_ansi("\x1b[2mA\x1b[0m \x1b[31;1mB\x1b[0m\x1b"), "A B\x1b");
}
