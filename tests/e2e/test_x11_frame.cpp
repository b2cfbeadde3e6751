// Frames: reparenting, geometry, title-bar painting (read back as pixels), borders and teardown.
#include "test_x11_fixture.hpp"

#include "x11/frame.hpp"

namespace vop::x11test {
namespace {

constexpr uint16_t kBar = 20;
constexpr uint32_t kBg = 0x222222, kText = 0xFFFFFF, kAccent = 0x5294E2, kBorder = 0xFF0000;

class FrameTest : public X11Test {
protected:
    // A client of `w` x `h` framed at (x, y) with border 2, mapped with its frame.
    Window framed(int16_t x, int16_t y, uint16_t w = 300, uint16_t h = 200) {
        xcb_window_t client_win = make_window(0, 0, w, h);
        auto f = frames.create_frame(*c, c->root, client_win, x, y, w, h, kBar, 2, kBorder, kBg);
        EXPECT_TRUE(f.ok());
        EXPECT_TRUE(frames.map_frame(*c, client_win).ok());
        EXPECT_TRUE(c->map_window(client_win).ok());
        sync_wm();
        return client_win;
    }
    Window frame_of(Window client_win) { return frames.frame_for_client(client_win).value_or(0); }
    // Colours found in a rectangle of a window.
    std::set<uint32_t> colours(xcb_window_t w, int x0, int y0, int x1, int y1) {
        auto all = pixels(w, static_cast<int16_t>(x0), static_cast<int16_t>(y0), static_cast<uint16_t>(x1 - x0),
                          static_cast<uint16_t>(y1 - y0));
        return std::set<uint32_t>(all.begin(), all.end());
    }
    size_t root_children() {
        auto r = xcb_query_tree_reply(client, xcb_query_tree(client, c->root), nullptr);
        size_t n = r ? xcb_query_tree_children_length(r) : 0;
        free(r);
        return n;
    }
    std::vector<uint8_t> wm_errors() {
        sync_wm();
        std::vector<uint8_t> codes;
        while (xcb_generic_event_t* ev = xcb_poll_for_event(c->conn)) {
            if (ev->response_type == 0) codes.push_back(reinterpret_cast<xcb_generic_error_t*>(ev)->error_code);
            free(ev);
        }
        return codes;
    }

    FrameManager frames;
};

TEST_F(FrameTest, ClientSitsBelowTheTitleBar) {
    xcb_window_t client_win = make_window(5, 5, 300, 200);
    auto made = frames.create_frame(*c, c->root, client_win, 50, 60, 300, 200, kBar, 2, kBorder, kBg);
    ASSERT_TRUE(made.ok()) << made.error().to_string();
    const Window frame = made.value();
    sync_wm();

    Geometry f = geometry(frame);
    EXPECT_EQ(f.x, 50);
    EXPECT_EQ(f.y, 60);
    EXPECT_EQ(f.width, 300u);
    EXPECT_EQ(f.height, 220u);
    EXPECT_EQ(f.border, 2u);
    EXPECT_EQ(parent(client_win), frame);
    Geometry g = geometry(client_win);
    EXPECT_EQ(g.x, 0);
    EXPECT_EQ(g.y, 20);
    EXPECT_EQ(g.width, 300u);
    EXPECT_EQ(g.height, 200u);
    EXPECT_EQ(g.border, 0u);
    EXPECT_EQ(map_state(frame), XCB_MAP_STATE_UNMAPPED);  // mapping is the caller's business
    EXPECT_EQ(frames.frame_for_client(client_win), std::optional<Window>(frame));
    EXPECT_EQ(frames.client_for_frame(frame), std::optional<Window>(client_win));
    EXPECT_TRUE(logged(log::Level::Debug, fmt::format("Created frame {} for client {} at (50, 60) size 300x220 "
                                                      "(titlebar: 20)",
                                                      frame, client_win)));

    // A second frame for the same client is not made: the first one comes back.
    const size_t children = root_children();
    auto again = frames.create_frame(*c, c->root, client_win, 0, 0, 10, 10, kBar, 2, kBorder, kBg);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.value(), frame);
    sync_wm();
    EXPECT_EQ(root_children(), children);
    EXPECT_EQ(parent(client_win), frame);
    EXPECT_EQ(frames.client_to_frame().size(), 1u);
    EXPECT_EQ(frames.frame_to_client().size(), 1u);
    EXPECT_TRUE(wm_errors().empty());
}

TEST_F(FrameTest, ConfigureMovesFrameAndSizesClient) {
    Window w = framed(0, 0);
    ASSERT_TRUE(frames.configure_frame(*c, w, -10, 40, 400, 300, kBar, 3).ok());
    sync_wm();
    Geometry f = geometry(frame_of(w));
    EXPECT_EQ(f.x, -10);
    EXPECT_EQ(f.y, 40);
    EXPECT_EQ(f.width, 400u);
    EXPECT_EQ(f.height, 320u);
    EXPECT_EQ(f.border, 3u);
    Geometry g = geometry(w);
    EXPECT_EQ(g.x, 0);
    EXPECT_EQ(g.y, 20);
    EXPECT_EQ(g.width, 400u);
    EXPECT_EQ(g.height, 300u);
}

TEST_F(FrameTest, TitleBarPainting) {
    struct Case {
        const char* name;
        std::string title;
        bool focused;
        bool text_drawn;
    };
    const Case cases[] = {
        {"focused with title", "Hello", true, true},
        {"unfocused with title", "Hello", false, true},
        {"focused without title", "", true, false},
        {"title longer than one text request", std::string(600, 'W'), true, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Window w = framed(100, 100);
        const Window frame = frame_of(w);
        ASSERT_TRUE(frames.draw_titlebar(*c, w, k.title, 300, kBar, kBg, kText, k.focused).ok());
        sync_wm();
        EXPECT_EQ(pixel(frame, 295, 2), kBg);
        // Accent line on rows 18 and 19 when focused; the text baseline is row 16.
        const uint32_t bottom = k.focused ? kAccent : kBg;
        EXPECT_EQ(colours(frame, 0, 18, 300, 20), std::set<uint32_t>{bottom});
        const auto text_area = colours(frame, 8, 4, 8 + 30, 18);
        EXPECT_EQ(text_area.count(kText) == 1, k.text_drawn);
        if (k.text_drawn) {  // glyphs end on the row above the baseline (16) and start at x 8
            EXPECT_EQ(colours(frame, 8, 15, 38, 16).count(kText), 1u);
            EXPECT_EQ(colours(frame, 0, 16, 300, 18), std::set<uint32_t>{kBg});
            EXPECT_EQ(colours(frame, 0, 0, 8, 18), std::set<uint32_t>{kBg});
        }
        EXPECT_EQ(colours(frame, 0, 0, 300, 18).size(), k.text_drawn ? 2u : 1u);  // nothing but bg and text
        EXPECT_TRUE(wm_errors().empty());
    }
}

TEST_F(FrameTest, EveryBarGetsItsOwnTextBackground) {
    Window a = framed(0, 0);
    Window b = framed(0, 300);
    const uint32_t first_bg = 0x111111, second_bg = 0x00AA00;
    ASSERT_TRUE(frames.draw_titlebar(*c, a, "first", 300, kBar, first_bg, kText, false).ok());
    ASSERT_TRUE(frames.draw_titlebar(*c, b, "i i", 300, kBar, second_bg, kText, false).ok());
    sync_wm();
    // The text box of the second bar is filled with its own background, not the first bar's.
    EXPECT_EQ(colours(frame_of(b), 0, 0, 300, 20), (std::set<uint32_t>{second_bg, kText}));
    EXPECT_EQ(colours(frame_of(a), 0, 0, 300, 20), (std::set<uint32_t>{first_bg, kText}));
}

TEST_F(FrameTest, BorderColourOnTheFrame) {
    Window w = framed(100, 100);
    ASSERT_TRUE(frames.set_frame_border(*c, w, 0x0000FF).ok());
    sync_wm();
    EXPECT_EQ(pixel(c->root, 100, 150), 0x0000FFu);  // left border column of the frame
    EXPECT_EQ(pixel(c->root, 101, 150), 0x0000FFu);
}

TEST_F(FrameTest, DestroyReturnsClientToRoot) {
    Window w = framed(100, 100);
    const Window frame = frame_of(w);
    records.clear();
    ASSERT_TRUE(frames.destroy_frame(*c, c->root, w).ok());
    sync_wm();
    EXPECT_EQ(parent(w), c->root);
    EXPECT_FALSE(exists(frame));
    EXPECT_TRUE(exists(w));
    EXPECT_EQ(frames.frame_for_client(w), std::nullopt);
    EXPECT_EQ(frames.client_for_frame(frame), std::nullopt);
    EXPECT_TRUE(logged(log::Level::Debug, fmt::format("Destroyed frame {} for client {}", frame, w)));

    // Without a frame every operation does nothing and succeeds.
    records.clear();
    EXPECT_TRUE(frames.destroy_frame(*c, c->root, w).ok());
    EXPECT_TRUE(frames.configure_frame(*c, w, 0, 0, 10, 10, kBar, 1).ok());
    EXPECT_TRUE(frames.draw_titlebar(*c, w, "x", 10, kBar, kBg, kText, true).ok());
    EXPECT_TRUE(frames.set_frame_border(*c, w, kBorder).ok());
    EXPECT_TRUE(frames.map_frame(*c, w).ok());
    EXPECT_TRUE(records.empty());
    sync_wm();
    Geometry g = geometry(w);
    EXPECT_EQ(g.width, 300u);
    EXPECT_TRUE(wm_errors().empty());
}

TEST_F(FrameTest, FramedClientSurvivesTheManager) {
    Window w = framed(100, 100);
    const Window root = c->root;
    c.reset();  // the window manager exits or dies
    EXPECT_TRUE(test::wait_until([&] { return parent(w) == root; }));
    EXPECT_EQ(map_state(w), XCB_MAP_STATE_VIEWABLE);
}

}  // namespace
}  // namespace vop::x11test
