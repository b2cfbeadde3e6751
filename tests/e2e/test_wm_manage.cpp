// Managing real client windows: tiling geometry, floating dialogs, docks and struts, unmanaging, adoption.
#include "ipc_fixture.hpp"

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <random>

using namespace vop::test;

namespace {
bool contains(const std::vector<uint32_t>& v, uint32_t x) { return std::find(v.begin(), v.end(), x) != v.end(); }
}  // namespace

TEST_F(WmTest, TilesWindowsSideBySideThenStacked) {
    start();
    uint32_t a = client_->open_window({.instance = "one", .class_name = "One"});
    // Work area (8, 8, 1904, 1064): the window sits half the inner gap inside it, borders within the cell.
    EXPECT_TRUE(has_geometry(a, {12, 12, 1892, 1052, 2}));
    EXPECT_TRUE(becomes([&] { return active() == a && client_->input_focus() == a; }));
    // The pointer moves to the new window's centre.
    auto pointer = [&] {
        auto* r = xcb_query_pointer_reply(client_->conn(), xcb_query_pointer(client_->conn(), root()), nullptr);
        std::pair<int, int> p{r ? r->root_x : -1, r ? r->root_y : -1};
        std::free(r);
        return p;
    };
    EXPECT_TRUE(becomes([&] { return pointer() == std::pair<int, int>{12 + 2 + 946, 12 + 2 + 526}; }));

    uint32_t b = client_->open_window({.instance = "two", .class_name = "Two"});
    EXPECT_TRUE(has_geometry(a, {12, 12, 940, 1052, 2}));
    EXPECT_TRUE(has_geometry(b, {964, 12, 940, 1052, 2}));
    EXPECT_TRUE(becomes([&] { return active() == b && client_->input_focus() == b; }));

    // The focused window's cell (952x1064) is taller than wide: the third window stacks below it.
    uint32_t c = client_->open_window({.instance = "three", .class_name = "Three"});
    EXPECT_TRUE(has_geometry(b, {964, 12, 940, 520, 2}));
    EXPECT_TRUE(has_geometry(c, {964, 544, 940, 520, 2}));

    auto list = client_list();
    EXPECT_EQ(list.size(), 3u);
    for (uint32_t w : {a, b, c}) {
        EXPECT_TRUE(contains(list, w));
        EXPECT_EQ(client_->property_u32(w, "_NET_WM_DESKTOP"), std::vector<uint32_t>{0});
    }
    EXPECT_EQ(client_->property_u32(root(), "_NET_CLIENT_LIST_STACKING")->size(), 3u);
    // The focused window shows the focused colour, the others the unfocused one.
    EXPECT_TRUE(becomes([&] { return client_->root_pixel(965, 700) == 0x5294e2; }));
    EXPECT_EQ(client_->root_pixel(12, 300), 0x2d2d2du);
    EXPECT_EQ(client_->root_pixel(965, 300), 0x2d2d2du);
}

TEST_F(WmTest, DestroyedAndWithdrawnWindowsLeaveTheModel) {
    start();
    uint32_t a = client_->open_window();
    uint32_t b = client_->open_window();
    ASSERT_TRUE(has_geometry(b, {964, 12, 940, 1052, 2}));

    client_->destroy(b);
    EXPECT_TRUE(has_geometry(a, {12, 12, 1892, 1052, 2}));
    EXPECT_TRUE(becomes([&] { return client_list() == std::vector<uint32_t>{a} && active() == a; }));

    uint32_t c = client_->open_window();
    ASSERT_TRUE(has_geometry(c, {964, 12, 940, 1052, 2}));
    client_->unmap(c);  // the client withdraws it
    EXPECT_TRUE(has_geometry(a, {12, 12, 1892, 1052, 2}));
    EXPECT_TRUE(becomes([&] { return client_list() == std::vector<uint32_t>{a}; }));
    EXPECT_TRUE(becomes([&] { return client_->input_focus() == a; }));

    client_->destroy(a);
    EXPECT_TRUE(becomes([&] { return client_list().empty(); }));
    EXPECT_TRUE(becomes([&] { return active() == 0; })) << "no window is active any more";
}

// Whatever crosses them in one flush, before vop reads any of it, a client's last word on its window holds: every
// ordered pair of eight requests (and a map, withdraw, map or the reverse), from a window on screen, one on a hidden
// workspace and one withdrawn, framed or not. A window its client last mapped ends managed, listed once and on
// screen when its workspace is; one it withdrew, unmapped while on screen, destroyed or put into a window of its
// own ends let go, left where its client put it, mapped or not as it was.
TEST_F(WmTest, TheClientsLastWordHoldsWhateverCrossesItInOneFlush) {
    std::vector<std::vector<int>> runs{{0, 2, 0}, {2, 0, 2}};
    for (int first = 0; first < 8; ++first) {
        for (int second = 0; second < 8; ++second) runs.push_back({first, second});
    }
    const char* const kStarts[] = {"on screen", "hidden", "withdrawn"};
    for (const char* frames : {"false", "true"}) {
        start(kPlainConfig + "vop.rule({ class = 'Away' }, { workspace = 3 })\nvop.set('titlebar_enabled', " + frames + ")\n");
        TestClient c(x_.display());
        SocketClient json(vop_->runtime_dir() + "/vop.sock");
        intern_request_atoms(c);
        // Both round trips twice: vop has handled the events of the flush, then those of its own requests.
        auto settle = [&] {
            for (int k = 0; k < 2; ++k) c.sync(), json.request(R"({"command":"get_tree"})");
        };
        for (int from = 0; from < 3; ++from) {
            for (const auto& run : runs) {
                std::string what = fmt::format("title bars {}, a window {}, then", frames, kStarts[from]);
                for (int op : run) what += std::string(" ") + kClientRequests[op];
                const uint32_t w = c.open_window({.instance = "app", .class_name = from == 1 ? "Away" : "Here"});
                const uint32_t host = c.create_window();
                ASSERT_TRUE(becomes([&] { return contains(client_list(), w); })) << what;
                if (from == 2) c.withdraw(w);
                settle();
                ClientWill will{.mapped = from == 0, .withdrawn = from == 2};
                c.hold(true);
                for (int op : run) {
                    if (!will.gone && !will.embedded) send_request(c, op, w, host, 2, will);
                }
                c.hold(false);
                settle();
                const auto list = client_list();
                if (will.gone || will.embedded || will.withdrawn) {
                    EXPECT_FALSE(contains(list, w)) << what;
                    EXPECT_TRUE(will.embedded || !c.viewable(w)) << what;
                    EXPECT_TRUE(!will.embedded ||
                                (c.parent(w) == host && (c.map_state(w) != XCB_MAP_STATE_UNMAPPED) == will.mapped))
                        << what;
                } else {
                    EXPECT_EQ(std::count(list.begin(), list.end(), w), 1) << what;
                    const auto desktop = c.property_u32(w, "_NET_WM_DESKTOP").value_or(std::vector<uint32_t>{99});
                    EXPECT_EQ(c.viewable(w), desktop == std::vector<uint32_t>{current_desktop()}) << what;
                }
                c.destroy(w);
                c.destroy(host);
                c.send_root_message(root(), "_NET_CURRENT_DESKTOP", {0, 0, 0, 0, 0});
                settle();
            }
        }
    }
}

TEST_F(WmTest, DialogsAndTransientsFloatCentred) {
    start();
    uint32_t main = client_->open_window();
    ASSERT_TRUE(has_geometry(main, {12, 12, 1892, 1052, 2}));
    uint32_t dialog = client_->open_window({.window_type = {"_NET_WM_WINDOW_TYPE_DIALOG"}});
    // 640x480 centred on the monitor, its border inside that box; the tiled window keeps its place.
    EXPECT_TRUE(has_geometry(dialog, {640, 300, 636, 476, 2}));
    EXPECT_TRUE(has_geometry(main, {12, 12, 1892, 1052, 2}));
    EXPECT_TRUE(becomes([&] { return client_->input_focus() == dialog; }));
    // Floating windows also get pointer motion (for the edge cursor).
    EXPECT_TRUE(becomes([&] { return (client_->all_event_masks(dialog).value_or(0) & 0x620050) == 0x620050; }));
    EXPECT_EQ(client_->all_event_masks(main).value_or(0) & 0x40, 0u);

    // A menu open over the dialog stays over it through a layout pass, and over a window mapped meanwhile.
    const uint32_t menu = client_->open_window({.x = 700, .y = 350, .override_redirect = true});
    SocketClient json(vop_->runtime_dir() + "/vop.sock");
    ASSERT_EQ(json.request(R"({"command":"equalize"})").value_or(""), R"({"success":true})");
    ASSERT_TRUE(vop_->wait_idle());
    EXPECT_EQ(top_shown(), menu);

    uint32_t transient = client_->open_window({.transient_for = main});
    EXPECT_TRUE(has_geometry(transient, {640, 300, 636, 476, 2}));
    EXPECT_TRUE(has_geometry(main, {12, 12, 1892, 1052, 2}));
    ASSERT_TRUE(vop_->wait_idle());
    EXPECT_EQ(top_shown(), menu);

    // With nothing fullscreen, nothing hides the window focused before the closed one: it takes the focus back,
    // not the dialog the closed one leaves open.
    const uint32_t other = client_->open_window();
    for (uint32_t w : {transient, other, main}) {
        client_->send_root_message(w, "_NET_ACTIVE_WINDOW", {2, 0, 0, 0, 0});
        ASSERT_TRUE(becomes([&] { return active() == w; }));
    }
    client_->destroy(main);
    EXPECT_TRUE(becomes([&] { return active() == other && client_->input_focus() == other; }));

    // In one flush a new window (or dock) is mapped and the topmost managed one goes: destroyed, or put into
    // another window. vop places the new one before it reads that, against a sibling that is gone; the menu
    // stays on top.
    auto top_managed = [&] {
        const auto kids = client_->children(root()), list = client_list();
        return *std::find_if(kids.rbegin(), kids.rend(), [&](uint32_t w) { return contains(list, w); });
    };
    const uint32_t holder = client_->create_window();
    const std::pair<bool, std::vector<std::string>> cases[] = {
        {true, {}}, {false, {}}, {true, {"_NET_WM_WINDOW_TYPE_DOCK"}}};
    for (const auto& [destroy, type] : cases) {
        const uint32_t gone = top_managed(), b = client_->create_window({.window_type = type});
        xcb_map_window(client_->conn(), b);
        destroy ? xcb_destroy_window(client_->conn(), gone) : xcb_reparent_window(client_->conn(), gone, holder, 0, 0);
        xcb_flush(client_->conn());
        EXPECT_TRUE(becomes([&] { return client_->viewable(b) && !contains(client_list(), gone); }));
        ASSERT_TRUE(vop_->wait_idle());
        EXPECT_EQ(top_shown(), menu) << destroy;
        EXPECT_TRUE(log_contains(fmt::format("Restack of window {} above {} failed: X error {}", b, gone,
                                             destroy ? "BadWindow" : "BadMatch")));
    }
    // Later raises keep under it too.
    client_->open_window();
    ASSERT_TRUE(vop_->wait_idle());
    EXPECT_EQ(top_shown(), menu);
}

TEST_F(WmTest, DocksReserveTheirEdgeWithoutBeingManaged) {
    start();
    uint32_t a = client_->open_window();
    ASSERT_TRUE(has_geometry(a, {12, 12, 1892, 1052, 2}));
    uint32_t dock = client_->open_window({.x = 0, .y = 0, .width = 1920, .height = 30,
                                          .window_type = {"_NET_WM_WINDOW_TYPE_DOCK"},
                                          .strut = std::array<uint32_t, 4>{0, 0, 30, 0}});
    EXPECT_TRUE(becomes([&] { return client_->viewable(dock); }));
    EXPECT_TRUE(has_geometry(a, {12, 42, 1892, 1022, 2}));
    EXPECT_FALSE(contains(client_list(), dock));
    EXPECT_EQ(client_->input_focus(), a);

    // A hostile strut larger than the screen cannot wrap the work area around.
    uint32_t hostile = client_->open_window({.window_type = {"_NET_WM_WINDOW_TYPE_DOCK"},
                                             .strut = std::array<uint32_t, 4>{0xFFFFFFF0u, 0xFFFFFFF0u, 0, 0}});
    EXPECT_TRUE(becomes([&] { return client_->viewable(hostile); }));
    client_->destroy(hostile);
    // A desktop window goes under the managed ones, which stay in sight.
    const uint32_t desktop = client_->open_window({.width = 1920, .height = 1080,
                                                   .window_type = {"_NET_WM_WINDOW_TYPE_DESKTOP"}});
    EXPECT_TRUE(becomes([&] {
        const auto c = client_->children(root());
        return client_->viewable(desktop) && std::find(c.begin(), c.end(), desktop) < std::find(c.begin(), c.end(), a);
    }));
    EXPECT_EQ(client_->input_focus(), a);
    client_->destroy(desktop);

    client_->unmap(dock);
    EXPECT_TRUE(has_geometry(a, {12, 12, 1892, 1052, 2}));
}

TEST_F(WmTest, AdoptsWindowsThatExistedBeforeStart) {
    TestClient early(x_.display());
    uint32_t a = early.open_window({.instance = "early", .class_name = "Early"});
    uint32_t b = early.open_window({.window_type = {"_NET_WM_WINDOW_TYPE_DIALOG"}});
    uint32_t menu = early.open_window({.override_redirect = true});
    uint32_t hidden = early.create_window();
    // A bar already on screen keeps its edge and is not tiled.
    uint32_t dock = early.open_window({.x = 0, .y = 0, .width = 1920, .height = 30,
                                       .window_type = {"_NET_WM_WINDOW_TYPE_DOCK"},
                                       .strut = std::array<uint32_t, 4>{0, 0, 30, 0}});
    early.sync();
    start();
    EXPECT_TRUE(has_geometry(a, {12, 42, 1892, 1022, 2}));
    EXPECT_TRUE(has_geometry(b, {640, 300, 636, 476, 2}));
    auto list = client_list();
    EXPECT_TRUE(contains(list, a) && contains(list, b));
    EXPECT_FALSE(contains(list, menu));
    EXPECT_FALSE(contains(list, hidden));
    EXPECT_FALSE(contains(list, dock));
    EXPECT_TRUE(has_geometry(dock, {0, 0, 1920, 30, 0}));
    EXPECT_TRUE(vop_->wait_for_log("Adopted 2 existing windows"));
}

TEST_F(WmTest, ConfigureRequestsAreHonouredOrAnswered) {
    start();
    uint32_t loose = client_->create_window({.x = 5, .y = 5, .width = 100, .height = 50});
    client_->configure(loose, 300, 200, 111, 77);
    EXPECT_TRUE(has_geometry(loose, {300, 200, 111, 77, 0}));
    // A managed window's request is not honoured: the layout's geometry stands, and the client is told so
    // by a synthetic ConfigureNotify with the geometry it has.
    uint32_t managed = client_->open_window();
    ASSERT_TRUE(has_geometry(managed, {12, 12, 1892, 1052, 2}));
    client_->take_configure_notifies();
    client_->configure(managed, 300, 200, 111, 77);
    EXPECT_TRUE(answered(managed, {12, 12, 1892, 1052, 2}));
    EXPECT_TRUE(has_geometry(managed, {12, 12, 1892, 1052, 2}));
}

TEST_F(WmTest, SurvivesWindowsThatVanishAtOnce) {
    start();
    // Map and destroy in one batch: every request vop makes about these windows fails.
    for (int i = 0; i < 20; ++i) {
        uint32_t w = client_->create_window({.instance = "flash", .class_name = "Flash", .urgent = true});
        client_->map(w);
        client_->destroy(w);
    }
    uint32_t a = client_->open_window();
    EXPECT_TRUE(has_geometry(a, {12, 12, 1892, 1052, 2}));
    EXPECT_TRUE(becomes([&] { return client_list() == std::vector<uint32_t>{a}; }));
    // Nothing unusual about them: one gone before vop looked is not managed at all, and the pointer warp to one
    // that went after is no warning.
    for (const auto& r : log_records()) EXPECT_FALSE(r.level == "WARN" && r.message.starts_with("Failed to warp"));
}

// Gaps and a border as large as the settings take are cut to what the monitor holds (the border first, the gaps
// to what it leaves): every tiled window, border included, lies wholly on the monitor; a larger border is refused.
TEST_F(WmTest, SizesLargerThanTheMonitorKeepWindowsOnIt) {
    start(kPlainConfig + "vop.set('gap_outer', 32767) vop.set('gap_inner', 32767) vop.set('border_width', 32767)\n"
                         "vop.set('border_width', 40000)\n");
    const uint32_t a = client_->open_window();
    EXPECT_TRUE(has_geometry(a, {0, 0, 842, 2, 539}));
    EXPECT_TRUE(log_contains("Out-of-range value for config key: border_width (40000)"));
    const uint32_t b = client_->open_window(), c = client_->open_window();
    ASSERT_TRUE(becomes([&] { return active() == c; }));
    ASSERT_TRUE(vop_->wait_idle());
    for (uint32_t w : {a, b, c}) EXPECT_TRUE(client_->geometry(w).value_or(Geometry{-1}).on_screen(1920, 1080)) << w;
    // Without title bars, their height takes nothing from the gaps.
    start(kPlainConfig + "vop.set('titlebar_height', 32767)\n");
    EXPECT_TRUE(has_geometry(client_->open_window(), {12, 12, 1892, 1052, 2}));
}

TEST_F(WmTest, FocusColourBeatsUrgency) {
    start();
    uint32_t a = client_->open_window();
    ASSERT_TRUE(becomes([&] { return active() == a; }));
    client_->set_wm_hints(a, true, std::nullopt);
    EXPECT_TRUE(vop_->wait_for_log("urgency changed: false -> true"));
    EXPECT_TRUE(becomes([&] { return client_->root_pixel(12, 300) == 0x5294e2; }));
}

TEST(WmStart, FailingScriptEndsTheStart) {
    XServer x;
    VopProcess vop({.display = x.display(), .env = {{"NO_COLOR", "1"}}, .init_lua = "vop.set('gap_inner', 4)\nerror('boom')\n"});
    ASSERT_EQ(vop.wait_exit(), std::optional<int>(1)) << vop.describe();
    EXPECT_NE(vop.out().find("ERROR vop: Fatal error: Config error: "), std::string::npos) << vop.out();
    EXPECT_NE(vop.out().find("boom"), std::string::npos) << vop.out();
}

// Clients that map, unmap and destroy windows at random, some dying mid-way with their connection,
// must leave vop running and its client list naming exactly the windows still alive.
TEST_F(WmTest, SurvivesAStormOfClients) {
    start();
    std::mt19937 rng(7);
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 4; ++i) clients.push_back(std::make_unique<TestClient>(x_.display()));
    std::vector<std::pair<size_t, uint32_t>> alive;
    for (int step = 0; step < 300; ++step) {
        size_t c = rng() % clients.size();
        switch (rng() % 6) {
            case 0:
            case 1:
            case 2: {
                uint32_t w = clients[c]->create_window({.urgent = rng() % 2 == 0});
                clients[c]->map(w);
                alive.emplace_back(c, w);
                break;
            }
            case 3:
                if (!alive.empty()) {
                    auto& [owner, w] = alive[rng() % alive.size()];
                    clients[owner]->unmap(w);
                }
                break;
            case 4:
                if (!alive.empty()) {
                    size_t k = rng() % alive.size();
                    clients[alive[k].first]->destroy(alive[k].second);
                    alive.erase(alive.begin() + static_cast<long>(k));
                }
                break;
            case 5:
                if (step % 50 == 5) {
                    // The connection goes away mid-map: every window of that client dies with it.
                    uint32_t w = clients[c]->create_window();
                    clients[c]->map(w);
                    clients[c] = std::make_unique<TestClient>(x_.display());
                    std::erase_if(alive, [&](const auto& p) { return p.first == c; });
                }
                break;
        }
    }
    for (auto& cl : clients) cl->sync();
    // Let vop work through the storm: the list stops changing (for long enough that a loaded machine's pauses
    // do not count).
    std::vector<uint32_t> last = client_list();
    auto still = std::chrono::steady_clock::now();
    wait_until([&] {
        auto now = client_list();
        if (now != last) {
            last = now;
            still = std::chrono::steady_clock::now();
        }
        return std::chrono::steady_clock::now() - still > 1000ms;
    }, 20000ms);
    // Every living window is either listed and on screen, or unlisted and off it; nothing dead is listed.
    std::vector<uint32_t> want;
    for (auto& [owner, w] : alive) {
        if (clients[owner]->viewable(w)) want.push_back(w);
    }
    std::sort(want.begin(), want.end());
    auto got = client_list();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, want);
    EXPECT_TRUE(vop_->running());
}
