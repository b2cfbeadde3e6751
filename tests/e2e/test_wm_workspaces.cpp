// Workspaces, rules and client requests driven by pagers (wmctrl) and raw EWMH client messages.
#include "wm_fixture.hpp"

#include <xcb/xcb.h>

#include <algorithm>
#include <csignal>

using namespace vop::test;

namespace {
bool contains(const std::vector<uint32_t>& v, uint32_t x) { return std::find(v.begin(), v.end(), x) != v.end(); }
std::string hex(uint32_t w) { return fmt::format("0x{:08x}", w); }
}  // namespace

TEST_F(WmTest, PublishesTheDesktopHints) {
    start();
    EXPECT_EQ(client_->property_u32(root(), "_NET_NUMBER_OF_DESKTOPS"), std::vector<uint32_t>{10});
    EXPECT_EQ(current_desktop(), 0u);
    EXPECT_EQ(active(), 0u);
    auto names = client_->property_bytes(root(), "_NET_DESKTOP_NAMES");
    ASSERT_TRUE(names);
    EXPECT_EQ(*names, std::string("1\0" "2\0" "3\0" "4\0" "5\0" "6\0" "7\0" "8\0" "9\0" "10\0", 21));
    auto supported = client_->property_atoms(root(), "_NET_SUPPORTED");
    ASSERT_TRUE(supported);
    EXPECT_EQ(supported->size(), 13u);
    auto check = client_->property_u32(root(), "_NET_SUPPORTING_WM_CHECK");
    ASSERT_TRUE(check && check->size() == 1);
    auto r = run({"wmctrl", "-m"});
    EXPECT_NE(r.out.find("Name: vop"), std::string::npos) << r.out << r.err;
}

TEST_F(WmTest, SwitchingWorkspacesHidesAndRestoresWindows) {
    start();
    uint32_t a = client_->open_window();
    uint32_t b = client_->open_window();
    ASSERT_TRUE(has_geometry(b, {964, 12, 940, 1052, 2}));
    client_->send_root_message(a, "_NET_ACTIVE_WINDOW", {1, 0, 0, 0, 0});
    ASSERT_TRUE(becomes([&] { return active() == a; }));

    ASSERT_EQ(run({"wmctrl", "-s", "2"}).status, 0);
    EXPECT_TRUE(becomes([&] { return current_desktop() == 2 && !client_->viewable(a) && !client_->viewable(b); }));
    EXPECT_TRUE(becomes([&] { return active() == 0; }));
    // Hidden, not forgotten: our own unmaps are absorbed.
    EXPECT_EQ(client_list().size(), 2u);

    uint32_t c = client_->open_window();
    EXPECT_TRUE(has_geometry(c, {12, 12, 1892, 1052, 2}));
    EXPECT_EQ(client_->property_u32(c, "_NET_WM_DESKTOP"), std::vector<uint32_t>{2});

    ASSERT_EQ(run({"wmctrl", "-s", "0"}).status, 0);
    EXPECT_TRUE(becomes([&] { return client_->viewable(a) && client_->viewable(b) && !client_->viewable(c); }));
    // The workspace's remembered window gets the focus back.
    EXPECT_TRUE(becomes([&] { return active() == a && client_->input_focus() == a; }));
    EXPECT_TRUE(has_geometry(a, {12, 12, 940, 1052, 2}));
    EXPECT_EQ(client_list().size(), 3u);

    // Out-of-range desktops are ignored.
    client_->send_root_message(root(), "_NET_CURRENT_DESKTOP", {10, 0, 0, 0, 0});
    client_->send_root_message(root(), "_NET_CURRENT_DESKTOP", {0xFFFFFFFF, 0, 0, 0, 0});
    client_->sync();
    EXPECT_TRUE(vop_->wait_for_log("ClientMessage: _NET_CURRENT_DESKTOP to 4294967295"));
    EXPECT_EQ(current_desktop(), 0u);

    // Activating a window of a hidden workspace shows that workspace.
    client_->send_root_message(c, "_NET_ACTIVE_WINDOW", {1, 0, 0, 0, 0});
    EXPECT_TRUE(becomes([&] { return current_desktop() == 2 && client_->viewable(c) && active() == c; }));
}

TEST_F(WmTest, RulesPlaceWindowsOnWorkspacesAndFloatThem) {
    start(kPlainConfig + R"(
vop.rule({ class = "mail" }, { workspace = 3 })
vop.rule({ instance = "zero" }, { workspace = 0 })
vop.rule({ instance = "far" }, { workspace = 15 })
vop.rule({ title = "Float Me" }, { floating = true })
)");
    uint32_t here = client_->open_window();
    ASSERT_TRUE(becomes([&] { return active() == here; }));
    uint32_t mail = client_->open_window({.instance = "thunder", .class_name = "Mail-Client"});
    uint32_t zero = client_->open_window({.instance = "zero", .class_name = "Z"});
    uint32_t far = client_->open_window({.instance = "far", .class_name = "F"});
    uint32_t floaty = client_->open_window({.net_wm_name = "please Float Me now"});

    EXPECT_TRUE(becomes([&] { return client_list().size() == 5; }));
    EXPECT_EQ(client_->property_u32(mail, "_NET_WM_DESKTOP"), std::vector<uint32_t>{2});
    EXPECT_EQ(client_->property_u32(zero, "_NET_WM_DESKTOP"), std::vector<uint32_t>{0});
    EXPECT_EQ(client_->property_u32(far, "_NET_WM_DESKTOP"), std::vector<uint32_t>{9});
    EXPECT_FALSE(client_->viewable(mail));
    EXPECT_FALSE(client_->viewable(far));
    EXPECT_TRUE(has_geometry(floaty, {640, 300, 636, 476, 2}));

    ASSERT_EQ(run({"wmctrl", "-s", "2"}).status, 0);
    EXPECT_TRUE(becomes([&] { return client_->viewable(mail); }));
    EXPECT_TRUE(has_geometry(mail, {12, 12, 1892, 1052, 2}));
    EXPECT_TRUE(becomes([&] { return active() == mail; }));
}

TEST_F(WmTest, FullscreenRequestsCoverTheMonitorAndRestore) {
    start();
    uint32_t a = client_->open_window({.state = {"_NET_WM_STATE_STICKY"}});
    uint32_t b = client_->open_window();
    ASSERT_TRUE(has_geometry(a, {12, 12, 940, 1052, 2}));
    ASSERT_EQ(run({"wmctrl", "-i", "-r", hex(a), "-b", "add,fullscreen"}).status, 0);
    EXPECT_TRUE(has_geometry(a, {0, 0, 1920, 1080, 0}));
    // The client's own states stay; only the fullscreen one is added and later removed.
    const std::vector<std::string> sticky{"_NET_WM_STATE_STICKY"};
    const std::vector<std::string> sticky_fullscreen{"_NET_WM_STATE_STICKY", "_NET_WM_STATE_FULLSCREEN"};
    EXPECT_EQ(client_->property_atoms(a, "_NET_WM_STATE"), sticky_fullscreen);
    EXPECT_EQ(client_->property_u32(a, "_NET_WM_BYPASS_COMPOSITOR"), std::vector<uint32_t>{1});
    client_->send_root_message(a, "_NET_ACTIVE_WINDOW", {1, 0, 0, 0, 0});
    ASSERT_TRUE(becomes([&] { return active() == a; }));

    // A new window opens behind the fullscreen one, which keeps the focus and covers the monitor.
    uint32_t c = client_->open_window();
    ASSERT_TRUE(becomes([&] { return contains(client_list(), c) && client_->viewable(c); }));
    ASSERT_TRUE(vop_->wait_idle());
    EXPECT_EQ(active(), a);
    EXPECT_EQ(client_->input_focus(), a);
    EXPECT_TRUE(has_geometry(a, {0, 0, 1920, 1080, 0}));
    EXPECT_EQ(top_shown(), a) << "the fullscreen window is not on top";
    client_->destroy(c);
    ASSERT_TRUE(becomes([&] { return !contains(client_list(), c); }));
    // So does one naming itself as what it is transient for.
    const uint32_t loop = client_->create_window();
    client_->set_window_ids(loop, "WM_TRANSIENT_FOR", {loop});
    client_->map(loop);
    ASSERT_TRUE(becomes([&] { return client_->viewable(loop); }));

    // A dialog of the fullscreen window, and a dialog of that dialog, show above it with the focus; the
    // fullscreen stays, and the focus comes back to it when they go.
    const uint32_t dialog = client_->open_window({.transient_for = a});
    ASSERT_TRUE(becomes([&] { return client_->input_focus() == dialog && active() == dialog; }));
    const uint32_t inner = client_->open_window({.transient_for = dialog});
    ASSERT_TRUE(becomes([&] { return client_->input_focus() == inner && top_shown() == inner; }));
    const std::vector<uint32_t> stack = client_->children(root());
    auto level = [&](uint32_t w) { return std::find(stack.begin(), stack.end(), w) - stack.begin(); };
    EXPECT_GT(level(dialog), level(a));
    EXPECT_TRUE(has_geometry(a, {0, 0, 1920, 1080, 0}));
    // The middle one goes while it has the focus: the inner one is now a dialog of the fullscreen window,
    // still above it, and takes the focus.
    client_->send_root_message(dialog, "_NET_ACTIVE_WINDOW", {2, 0, 0, 0, 0});
    ASSERT_TRUE(becomes([&] { return client_->input_focus() == dialog; }));
    client_->unmap(dialog);
    EXPECT_TRUE(becomes([&] { return client_->input_focus() == inner && active() == inner; }));
    EXPECT_EQ(top_shown(), inner);
    EXPECT_TRUE(client_->says_fullscreen(a));
    // Hidden and shown again by its application while the middle one is still hidden: the same.
    client_->unmap(inner);
    ASSERT_TRUE(becomes([&] { return !contains(client_list(), inner); }));
    client_->map(inner);
    EXPECT_TRUE(becomes([&] { return client_->input_focus() == inner && top_shown() == inner; }));
    client_->destroy(inner);
    client_->destroy(dialog);
    EXPECT_TRUE(becomes([&] { return client_->input_focus() == a && active() == a; }));
    EXPECT_EQ(top_shown(), a);
    // The same when the fullscreen window, not the inner dialog, held the focus before the middle one.
    const uint32_t middle = client_->open_window({.transient_for = a});
    ASSERT_TRUE(becomes([&] { return active() == middle; }));
    const uint32_t last = client_->open_window({.transient_for = middle});
    for (uint32_t w : {last, a, middle}) {
        client_->send_root_message(w, "_NET_ACTIVE_WINDOW", {2, 0, 0, 0, 0});
        ASSERT_TRUE(becomes([&] { return client_->input_focus() == w && active() == w; })) << w;
    }
    client_->destroy(middle);
    EXPECT_TRUE(becomes([&] { return client_->input_focus() == last && active() == last; }));
    EXPECT_TRUE(has_geometry(a, {0, 0, 1920, 1080, 0}));
    client_->destroy(last);
    client_->destroy(loop);

    // Adding it again changes nothing; toggling leaves fullscreen and restores the tiled place.
    ASSERT_EQ(run({"wmctrl", "-i", "-r", hex(a), "-b", "add,fullscreen"}).status, 0);
    ASSERT_EQ(run({"wmctrl", "-i", "-r", hex(a), "-b", "toggle,fullscreen"}).status, 0);
    EXPECT_TRUE(has_geometry(a, {12, 12, 940, 1052, 2}));
    EXPECT_TRUE(has_geometry(b, {964, 12, 940, 1052, 2}));
    EXPECT_EQ(client_->property_atoms(a, "_NET_WM_STATE"), sticky);
    EXPECT_EQ(client_->property_u32(a, "_NET_WM_BYPASS_COMPOSITOR"), std::vector<uint32_t>{0});
}

TEST_F(WmTest, CloseRequestsAskPolitelyOrKill) {
    start();
    uint32_t polite = client_->open_window({.protocols = {"WM_DELETE_WINDOW"}});
    ASSERT_TRUE(becomes([&] { return active() == polite; }));
    ASSERT_EQ(run({"wmctrl", "-i", "-c", hex(polite)}).status, 0);
    std::vector<ClientMessage> got;
    ASSERT_TRUE(becomes([&] {
        auto more = client_->take_client_messages();
        got.insert(got.end(), more.begin(), more.end());
        return !got.empty();
    }));
    EXPECT_EQ(got[0].type, "WM_PROTOCOLS");
    EXPECT_EQ(got[0].window, polite);
    EXPECT_EQ(got[0].data[0], client_->atom("WM_DELETE_WINDOW"));
    EXPECT_TRUE(contains(client_list(), polite)) << "a polite close leaves the window to its client";

    // A client that does not take WM_DELETE_WINDOW is disconnected; its window goes.
    auto rude_client = std::make_unique<TestClient>(x_.display());
    uint32_t rude = rude_client->open_window();
    ASSERT_TRUE(becomes([&] { return contains(client_list(), rude); }));
    ASSERT_EQ(run({"wmctrl", "-i", "-c", hex(rude)}).status, 0);
    EXPECT_TRUE(becomes([&] { return !contains(client_list(), rude); }));
    EXPECT_TRUE(contains(client_list(), polite));
}

TEST_F(WmTest, UrgencyColoursTheBorderUntilFocused) {
    start();
    uint32_t a = client_->open_window();
    uint32_t b = client_->open_window();
    ASSERT_TRUE(becomes([&] { return active() == b; }));
    client_->set_wm_hints(a, true, std::nullopt);
    EXPECT_TRUE(becomes([&] { return client_->root_pixel(12, 300) == 0xff5555; }));
    EXPECT_TRUE(vop_->wait_for_log("urgency changed: false -> true"));
    client_->send_root_message(a, "_NET_ACTIVE_WINDOW", {1, 0, 0, 0, 0});
    EXPECT_TRUE(becomes([&] { return client_->root_pixel(12, 300) == 0x5294e2; }));
    EXPECT_TRUE(becomes([&] { return client_->root_pixel(965, 300) == 0x2d2d2d; }));
}

TEST_F(WmTest, HiddenWindowsComeBackWhenTheManagerDies) {
    start();
    uint32_t a = client_->open_window();
    ASSERT_TRUE(has_geometry(a, {12, 12, 1892, 1052, 2}));
    ASSERT_EQ(run({"wmctrl", "-s", "4"}).status, 0);
    ASSERT_TRUE(becomes([&] { return !client_->viewable(a); }));
    vop_->signal(SIGKILL);
    vop_->wait_exit();
    vop_.reset();
    // The server maps save-set windows again when their manager's connection closes.
    EXPECT_TRUE(becomes([&] { return client_->viewable(a); }));
}
