// Title-bar frames under vop: reparenting, geometry, borders, painting, withdrawal, workspaces, Expose, vop's death.
#include "wm_fixture.hpp"

#include <xcb/xcb.h>

#include <signal.h>

#include <cstdlib>

using namespace vop::test;

namespace {

constexpr uint32_t kBarFocused = 0x113355;
constexpr uint32_t kBarUnfocused = 0x446688;
constexpr uint32_t kText = 0xffffff;
constexpr uint32_t kAccent = 0x5294e2;  // the line under a focused window's title
constexpr uint32_t kBorderFocused = 0x22aa22;
constexpr uint32_t kBorderUnfocused = 0x2d2d2d;

const std::string kFramedConfig = R"(
vop.set("gap_inner", 8)
vop.set("gap_outer", 8)
vop.set("border_width", 2)
vop.set("border_color_focused", "#22aa22")
vop.set("border_color_unfocused", "#2d2d2d")
vop.set("titlebar_enabled", true)
vop.set("titlebar_height", 20)
vop.set("titlebar_color_focused", "#113355")
vop.set("titlebar_color_unfocused", "#446688")
vop.set("titlebar_text_color", "#ffffff")
)";

// vop's own terminal output: unlike /tmp/vop.log, no other test's vop writes there.
bool printed(VopProcess& vop, const std::string& text) {
    return wait_until([&] { return strip_ansi(vop.out()).find(text) != std::string::npos; }, 5000ms);
}

// The compositor restart pauses start-up as well; the loop's own set-up comes after it.
bool loop_started(VopProcess& vop) { return printed(vop, "EWMH workspace hints initialized") && vop.wait_idle(); }

class FrameWmTest : public WmTest {
protected:
    void start_framed() {
        start(kFramedConfig);
        ASSERT_TRUE(loop_started(*vop_)) << vop_->describe();
    }
    // The frame vop put `client` in, once it has one.
    uint32_t frame_of(uint32_t client) {
        uint32_t frame = 0;
        becomes([&] {
            auto p = client_->parent(client);
            frame = p && *p != root() ? *p : 0;
            return frame != 0;
        });
        return frame;
    }
    // Position of `w` inside its parent.
    std::pair<int, int> position_in_parent(uint32_t w) {
        auto* g = xcb_get_geometry_reply(client_->conn(), xcb_get_geometry(client_->conn(), w), nullptr);
        if (!g) return {-1, -1};
        std::pair<int, int> p{g->x, g->y};
        std::free(g);
        return p;
    }
    std::pair<int, int> pointer() {
        auto* r = xcb_query_pointer_reply(client_->conn(), xcb_query_pointer(client_->conn(), root()), nullptr);
        if (!r) return {-1, -1};
        std::pair<int, int> p{r->root_x, r->root_y};
        std::free(r);
        return p;
    }
    // How many pixels of the root rectangle have `colour`.
    int count_pixels(int16_t x, int16_t y, uint16_t w, uint16_t h, uint32_t colour) {
        auto* img = xcb_get_image_reply(
            client_->conn(), xcb_get_image(client_->conn(), XCB_IMAGE_FORMAT_Z_PIXMAP, root(), x, y, w, h, ~0u),
            nullptr);
        if (!img) return -1;
        const uint8_t* d = xcb_get_image_data(img);
        const int len = xcb_get_image_data_length(img);
        int n = 0;
        for (int i = 0; i + 3 < len; i += 4) {
            n += (static_cast<uint32_t>(d[i + 2]) << 16 | static_cast<uint32_t>(d[i + 1]) << 8 | d[i]) == colour;
        }
        std::free(img);
        return n;
    }
};

TEST_F(FrameWmTest, NewWindowIsFramedWhereTheLayoutSays) {
    start_framed();
    uint32_t a = client_->open_window({.net_wm_name = "first window"});
    uint32_t fa = frame_of(a);
    ASSERT_NE(fa, 0u);
    // The frame takes the tiled cell and the border; the client sits below the 20-pixel bar, borderless.
    EXPECT_TRUE(has_geometry(fa, {12, 12, 1892, 1052, 2}));
    EXPECT_TRUE(has_geometry(a, {14, 34, 1892, 1032, 0}));
    EXPECT_EQ(position_in_parent(a), (std::pair<int, int>{0, 20}));
    EXPECT_TRUE(becomes([&] { return client_->viewable(fa) && client_->viewable(a); }));
    EXPECT_TRUE(becomes([&] { return active() == a && client_->input_focus() == a; }));
    EXPECT_EQ(client_list(), std::vector<uint32_t>{a});
    // A refused ConfigureRequest is answered in root coordinates, whatever the parent.
    client_->take_configure_notifies();
    client_->configure(a, 0, 0, 300, 200);
    EXPECT_TRUE(answered(a, {14, 34, 1892, 1032, 0}));

    // The frame's border shows the focus colour; the bar is painted: background, title text, accent line.
    EXPECT_TRUE(becomes([&] { return client_->root_pixel(12, 500) == kBorderFocused; }));
    EXPECT_TRUE(becomes([&] { return client_->root_pixel(1800, 19) == kBarFocused; }));
    EXPECT_GT(count_pixels(14, 14, 200, 18, kText), 20) << "no title text in the bar";
    EXPECT_EQ(count_pixels(14, 32, 1892, 2, kAccent), 2 * 1892);

    // A second window: both frames split the screen, the first loses the focus colours.
    uint32_t b = client_->open_window({.net_wm_name = "second"});
    uint32_t fb = frame_of(b);
    ASSERT_NE(fb, 0u);
    EXPECT_TRUE(has_geometry(fa, {12, 12, 940, 1052, 2}));
    EXPECT_TRUE(has_geometry(fb, {964, 12, 940, 1052, 2}));
    EXPECT_TRUE(has_geometry(b, {966, 34, 940, 1032, 0}));
    EXPECT_TRUE(becomes([&] { return client_->root_pixel(12, 500) == kBorderUnfocused; }));
    EXPECT_TRUE(becomes([&] { return client_->root_pixel(964, 500) == kBorderFocused; }));
    // The bars follow the focus: only the focused window's bar has its colour and the accent line.
    EXPECT_TRUE(becomes([&] { return client_->root_pixel(900, 19) == kBarUnfocused; }));
    EXPECT_TRUE(becomes([&] { return count_pixels(14, 32, 940, 2, kAccent) == 0; }));
    EXPECT_TRUE(becomes([&] { return client_->root_pixel(1800, 19) == kBarFocused; }));
    EXPECT_TRUE(becomes([&] { return count_pixels(966, 32, 940, 2, kAccent) == 2 * 940; }));

    client_->send_root_message(a, "_NET_ACTIVE_WINDOW", {1, 0, 0, 0, 0});
    EXPECT_TRUE(becomes([&] { return client_->root_pixel(900, 19) == kBarFocused; }));
    EXPECT_TRUE(becomes([&] { return client_->root_pixel(1800, 19) == kBarUnfocused; }));
    EXPECT_TRUE(becomes([&] { return count_pixels(966, 32, 940, 2, kAccent) == 0; }));
}

TEST_F(FrameWmTest, FloatingFramesKeepTheirBoxAndStayOnTop) {
    start_framed();
    uint32_t a = client_->open_window();
    uint32_t dialog = client_->open_window({.window_type = {"_NET_WM_WINDOW_TYPE_DIALOG"}});
    uint32_t fd = frame_of(dialog);
    ASSERT_NE(fd, 0u);
    // The frame fills the 640x480 floating box, border included; the client gets what is below the bar.
    EXPECT_TRUE(has_geometry(fd, {640, 300, 636, 476, 2}));
    EXPECT_TRUE(has_geometry(dialog, {642, 322, 636, 456, 0}));
    EXPECT_TRUE(has_geometry(frame_of(a), {12, 12, 1892, 1052, 2}));
    EXPECT_TRUE(becomes([&] { return top_shown() == fd; }));
    EXPECT_TRUE(becomes([&] { return client_->root_pixel(1000, 310) == kBarFocused; }));
}

TEST_F(FrameWmTest, WithdrawnOrDestroyedClientsLeaveTheirFrames) {
    start_framed();
    uint32_t a = client_->open_window();
    uint32_t b = client_->open_window();
    uint32_t fa = frame_of(a), fb = frame_of(b);
    ASSERT_TRUE(fa && fb);
    ASSERT_TRUE(has_geometry(fb, {964, 12, 940, 1052, 2}));

    // Withdrawing reports the unmap on the frame: the window is unmanaged, handed back to the root and
    // the frame destroyed.
    client_->unmap(b);
    EXPECT_TRUE(becomes([&] { return client_->parent(b) == root(); }));
    EXPECT_TRUE(becomes([&] { return !client_->geometry(fb); })) << "frame " << fb << " still exists";
    EXPECT_TRUE(becomes([&] { return client_list() == std::vector<uint32_t>{a}; }));
    EXPECT_TRUE(has_geometry(fa, {12, 12, 1892, 1052, 2}));
    EXPECT_TRUE(becomes([&] { return active() == a; }));

    // Mapped again, it gets a fresh frame.
    client_->map(b);
    uint32_t fb2 = frame_of(b);
    ASSERT_NE(fb2, 0u);
    EXPECT_NE(fb2, fb);
    EXPECT_TRUE(has_geometry(fb2, {964, 12, 940, 1052, 2}));

    client_->destroy(b);
    EXPECT_TRUE(becomes([&] { return !client_->geometry(fb2); }));
    EXPECT_TRUE(becomes([&] { return client_list() == std::vector<uint32_t>{a}; }));
    EXPECT_TRUE(has_geometry(fa, {12, 12, 1892, 1052, 2}));
}

TEST_F(FrameWmTest, WorkspaceSwitchesHideAndShowFrames) {
    start_framed();
    uint32_t a = client_->open_window();
    uint32_t fa = frame_of(a);
    ASSERT_NE(fa, 0u);
    ASSERT_TRUE(becomes([&] { return client_->viewable(fa); }));

    ASSERT_EQ(run({"wmctrl", "-s", "1"}).status, 0);
    EXPECT_TRUE(becomes([&] { return current_desktop() == 1 && !client_->viewable(fa); }));
    EXPECT_EQ(client_->map_state(a), XCB_MAP_STATE_UNMAPPED);
    EXPECT_TRUE(printed(*vop_, fmt::format("Ignoring UnmapNotify for window {} (intentional unmap", a)));
    EXPECT_EQ(client_list(), std::vector<uint32_t>{a});

    // A window opened on the empty workspace is framed there.
    uint32_t b = client_->open_window();
    uint32_t fb = frame_of(b);
    ASSERT_NE(fb, 0u);
    EXPECT_TRUE(has_geometry(fb, {12, 12, 1892, 1052, 2}));

    ASSERT_EQ(run({"wmctrl", "-s", "0"}).status, 0);
    EXPECT_TRUE(becomes([&] { return client_->viewable(fa) && client_->viewable(a) && !client_->viewable(fb); }));
    EXPECT_TRUE(has_geometry(fa, {12, 12, 1892, 1052, 2}));
    EXPECT_TRUE(becomes([&] { return active() == a; }));

    // Our own unmap was absorbed, so the client's own withdrawal still unmanages it.
    client_->unmap(a);
    EXPECT_TRUE(becomes([&] { return client_->parent(a) == root() && !client_->geometry(fa); }));
    EXPECT_TRUE(becomes([&] { return client_list() == std::vector<uint32_t>{b}; }));
}

TEST_F(FrameWmTest, ExposeRepaintsTheWholeBar) {
    start_framed();
    uint32_t a = client_->open_window({.net_wm_name = "exposed"});
    uint32_t fa = frame_of(a);
    ASSERT_NE(fa, 0u);
    ASSERT_TRUE(has_geometry(fa, {12, 12, 1892, 1052, 2}));
    ASSERT_TRUE(becomes([&] { return client_->root_pixel(1500, 20) == kBarFocused; }));

    // Cover a piece of the bar far from its left edge, then uncover it: the server clears that piece to
    // the frame's background and vop has to paint it again, accent line included.
    // The cover is like a menu: closing it must not make the pointer jump.
    xcb_warp_pointer(client_->conn(), XCB_NONE, root(), 0, 0, 0, 0, 1500, 700);
    uint32_t cover = client_->open_window({.x = 1400, .y = 0, .width = 300, .height = 60, .override_redirect = true});
    ASSERT_TRUE(becomes([&] { return client_->viewable(cover); }));
    client_->destroy(cover);
    EXPECT_TRUE(becomes([&] { return count_pixels(1400, 14, 300, 18, kBarFocused) == 300 * 18; }))
        << count_pixels(1400, 14, 300, 18, kBarUnfocused) << " pixels left in the frame's background";
    EXPECT_TRUE(becomes([&] { return count_pixels(1400, 32, 300, 2, kAccent) == 600; }));
    EXPECT_TRUE(becomes([&] { return count_pixels(22, 14, 200, 18, kText) > 20; }));
    EXPECT_EQ(pointer(), (std::pair<int, int>{1500, 700}));
}

TEST_F(FrameWmTest, FullscreenFramedWindowCoversTheMonitor) {
    start_framed();
    uint32_t a = client_->open_window();
    uint32_t b = client_->open_window();
    uint32_t fb = frame_of(b);
    ASSERT_NE(fb, 0u);
    ASSERT_TRUE(has_geometry(b, {966, 34, 940, 1032, 0}));
    ASSERT_EQ(run({"wmctrl", "-i", "-r", fmt::format("0x{:x}", b), "-b", "add,fullscreen"}).status, 0);
    // Neither the bar nor the frame's border shows: the client has the whole monitor.
    EXPECT_TRUE(has_geometry(b, {0, 0, 1920, 1080, 0}));
    EXPECT_TRUE(has_geometry(fb, {0, 0, 1920, 1080, 0}));
    EXPECT_EQ(top_shown(), fb) << "the fullscreen frame is not on top";

    ASSERT_EQ(run({"wmctrl", "-i", "-r", fmt::format("0x{:x}", b), "-b", "remove,fullscreen"}).status, 0);
    EXPECT_TRUE(has_geometry(fb, {964, 12, 940, 1052, 2}));
    EXPECT_TRUE(has_geometry(b, {966, 34, 940, 1032, 0}));
    EXPECT_TRUE(has_geometry(frame_of(a), {12, 12, 940, 1052, 2}));
    EXPECT_TRUE(becomes([&] { return client_->root_pixel(1500, 20) == kBarFocused; }));
}

// Windows a dying vop leaves behind stay alive and visible, framed ones back on the root, hidden ones mapped.
TEST_F(WmTest, KilledVopLeavesEveryClientMapped) {
    for (bool titlebars : {false, true}) {
        SCOPED_TRACE(titlebars ? "with title bars" : "without title bars");
        client_.reset();
        vop_.reset();
        start(titlebars ? kFramedConfig : kPlainConfig);
        ASSERT_TRUE(loop_started(*vop_)) << vop_->describe();
        uint32_t shown = client_->open_window();
        ASSERT_TRUE(becomes([&] { return active() == shown; }));
        ASSERT_EQ(run({"wmctrl", "-s", "1"}).status, 0);
        uint32_t hidden = client_->open_window();
        ASSERT_TRUE(becomes([&] { return active() == hidden; }));
        ASSERT_EQ(run({"wmctrl", "-s", "0"}).status, 0);
        ASSERT_TRUE(becomes([&] { return !client_->viewable(hidden) && client_->viewable(shown); }));

        vop_->signal(SIGKILL);
        ASSERT_TRUE(vop_->wait_exit(5000ms));
        for (uint32_t w : {shown, hidden}) {
            EXPECT_TRUE(becomes([&] { return client_->parent(w) == root() && client_->viewable(w); }))
                << "window " << w;
        }
        vop_.reset();
        client_->destroy(shown);
        client_->destroy(hidden);
    }
}

}  // namespace
