// The pointer through XTEST: Mod+drag move and resize, edge-zone resize and cursor, click focus, focus follows mouse.
#include "ipc_fixture.hpp"
#include "test_input_fixture.hpp"

#include <algorithm>
#include <csignal>

using namespace vop::test;

namespace {

const std::string kScript = R"(
vop.set("gap_inner", 8)
vop.set("gap_outer", 8)
vop.set("border_width", 2)
)";

class Mouse : public InputTest {
protected:
    // Outer box of a window (borders included) as root coordinates.
    struct Box {
        int x, y, w, h;
        int cx() const { return x + w / 2; }
        int cy() const { return y + h / 2; }
    };
    Box box(uint32_t w) {
        Geometry g = geo(w);
        return {g.x, g.y, static_cast<int>(g.width + 2 * g.border_width),
                static_cast<int>(g.height + 2 * g.border_width)};
    }
    static std::string n(int v) { return std::to_string(v); }
    // Holds `mod` (if any) and button `b` from (x, y) to (x + dx, y + dy); `midway` (xdotool arguments) runs
    // once the button is down.
    void drag(const std::string& mod, int b, int x, int y, int dx, int dy, std::vector<std::string> midway = {}) {
        std::vector<std::string> a = {"mousemove", n(x), n(y), "sleep", "0.1"};
        if (!mod.empty()) a.insert(a.end(), {"keydown", mod});
        a.insert(a.end(), {"mousedown", n(b), "sleep", "0.1"});
        if (!midway.empty()) {
            a.insert(a.end(), {"mousemove", n(x + dx / 4), n(y + dy / 4)});
            xdo(a);
            xdo(midway);
            a.clear();
        }
        a.insert(a.end(), {"mousemove", n(x + dx / 2), n(y + dy / 2), "sleep",
                           "0.05", "mousemove", n(x + dx), n(y + dy), "sleep", "0.1", "mouseup", n(b)});
        if (!mod.empty()) a.insert(a.end(), {"keyup", mod});
        xdo(a);
    }
    // ButtonPress events our windows received so far, on `w`.
    size_t presses_on(uint32_t w) {
        for (uint32_t p : client_->take_events(XCB_BUTTON_PRESS)) presses_.push_back(p);
        return static_cast<size_t>(std::count(presses_.begin(), presses_.end(), w));
    }
    // Clicks `w` while `other` holds the focus: the pointer must get there, and the click must both focus
    // `w` and reach its client.
    void first_click_reaches(uint32_t w, uint32_t other) {
        const std::pair<int, int> at{box(w).cx(), box(w).cy()};
        pointer_to(at.first, at.second);
        EXPECT_EQ(client_->pointer(), at) << "the pointer does not move: it is frozen";
        activate(other);
        const size_t n = presses_on(w);
        xdo({"click", "1"});
        EXPECT_TRUE(becomes([&] { return active() == w && presses_on(w) == n + 1; }))
            << "active " << active() << ", presses " << presses_on(w) << "\n" << output();
    }
    void popups_under_the_resting_pointer(const std::string& script);
    std::vector<uint32_t> presses_;
    // Runs xdotool while vop is stopped, so that vop reads those events only after `meanwhile` ran too.
    void while_vop_stopped(std::vector<std::string> args, const std::function<void()>& meanwhile) {
        args.insert(args.begin(), "xdotool");
        vop_->signal(SIGSTOP);
        const auto r = run_command(x_.display(), args);
        meanwhile();
        vop_->signal(SIGCONT);
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_TRUE(vop_->wait_idle());
    }
    size_t count(const std::string& text) {
        const std::string out = output();
        size_t k = 0;
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++k;
        return k;
    }
};

}  // namespace

TEST_F(Mouse, SuperButtonOneDragMovesAFloatingWindowByTheDistance) {
    start(kScript);
    const uint32_t f = open_floating();
    const Geometry before = geo(f);
    const Box b = box(f);
    drag("super", 1, b.cx(), b.cy(), 100, -50);
    EXPECT_TRUE(becomes([&] {
        Geometry g = geo(f);
        return g.x == before.x + 100 && g.y == before.y - 50 && g.width == before.width &&
               g.height == before.height;
    })) << geo(f).x << "," << geo(f).y;
    EXPECT_TRUE(vop_->running());
}

TEST_F(Mouse, SuperButtonThreeResizesFromTheNearestCornerDownToFifty) {
    start(kScript);
    const uint32_t f = open_floating();
    const Geometry g0 = geo(f);
    Box b = box(f);
    // Lower right quarter: the bottom-right corner follows the pointer.
    drag("super", 3, b.x + b.w - 20, b.y + b.h - 20, 60, 40);
    EXPECT_TRUE(becomes([&] {
        Geometry g = geo(f);
        return g.x == g0.x && g.y == g0.y && g.width == g0.width + 60 && g.height == g0.height + 40;
    }));
    // Upper left quarter dragged far past the opposite corner: held at 50x50 (46 inside the borders).
    b = box(f);
    drag("super", 3, b.x + 20, b.y + 20, b.w + 200, b.h + 200);
    EXPECT_TRUE(becomes([&] { return geo(f).width == 46 && geo(f).height == 46; }))
        << geo(f).width << "x" << geo(f).height;
    EXPECT_EQ(geo(f).x, b.x + b.w + 200) << "the moved corner slides with the pointer";
}

TEST_F(Mouse, ModifiedDragOnATiledWindowDoesNothing) {
    start(kScript + "vop.bind('mod+f', vop.toggle_floating) vop.bind('mod+shift+f', vop.toggle_fullscreen)\n");
    const uint32_t t = open();
    const Geometry g0 = geo(t);
    const Box b = box(t);
    drag("alt", 1, b.cx(), b.cy(), 80, 80);
    ASSERT_TRUE(logged("ButtonRelease: button=1, window=")) << "the drag was never handled";
    EXPECT_EQ(geo(t), g0);

    // A floating window made fullscreen, or tiled, while a drag holds it is the layout's: the rest of the
    // drag leaves it where the layout put it.
    const uint32_t f = open_floating();
    drag("super", 1, box(f).cx(), box(f).cy(), 120, 80, {"key", "super+shift+f"});
    EXPECT_TRUE(becomes([&] { return geo(f) == Geometry{0, 0, 1920, 1080, 0} && client_->says_fullscreen(f); }));
    key("super+shift+f");
    ASSERT_TRUE(becomes([&] { return !client_->says_fullscreen(f); }));
    drag("super", 1, box(f).cx(), box(f).cy(), 120, 80, {"key", "super+f"});
    ASSERT_TRUE(vop_->wait_idle());
    EXPECT_TRUE(becomes([&] {
        const Box bf = box(f), bt = box(t);
        return bf.y == bt.y && bf.h == bt.h && (bf.x >= bt.x + bt.w || bt.x >= bf.x + bf.w);
    }))
        << geo(f).x << "," << geo(f).y << " " << geo(f).width << "x" << geo(f).height;
}

TEST_F(Mouse, PlainDragInTheEdgeZoneResizesFromThatEdge) {
    start(kScript);
    const uint32_t f = open_floating();
    const uint32_t t = open();
    const Geometry g0 = geo(f);
    const Box b = box(f);
    // The pointer rests in the right edge zone while focus is elsewhere, so the press reaches vop.
    pointer_to(b.x + b.w - 4, b.cy());
    activate(t);
    drag("", 1, b.x + b.w - 4, b.cy(), 40, 30);
    EXPECT_TRUE(becomes([&] {
        Geometry g = geo(f);
        return g.x == g0.x && g.y == g0.y && g.width == g0.width + 40 && g.height == g0.height;
    })) << geo(f).width << "x" << geo(f).height;
    EXPECT_NE(output().find("Starting edge resize for floating window " + n(f) + ", edge Right"), std::string::npos);
}

TEST_F(Mouse, EdgeCursorFollowsTheZoneUnderThePointer) {
    start(kScript);
    const uint32_t f1 = open_floating();
    const uint32_t f2 = open_floating();
    // Put f2 right beside f1, which it covered: f1's right zone touches f2's left zone.
    Box b2 = box(f2);
    const int w1 = box(f1).w;
    drag("super", 1, b2.cx(), b2.cy(), w1, 0);
    ASSERT_TRUE(becomes([&] { return box(f2).x == box(f1).x + w1; }));
    const Box b1 = box(f1);
    b2 = box(f2);
    const std::string set1 = "set_window_cursor: window=" + n(f1), clear1 = "clear_window_cursor: window=" + n(f1);
    const std::string set2 = "set_window_cursor: window=" + n(f2);

    pointer_to(b1.x + b1.w - 4, b1.cy());
    ASSERT_TRUE(becomes([&] { return count(set1) == 1; })) << output();
    // Moving inside the same zone sends nothing more.
    pointer_to(b1.x + b1.w - 5, b1.cy() + 3);
    pointer_to(b1.x + b1.w - 6, b1.cy() + 6);
    EXPECT_EQ(count(set1), 1u);
    const size_t clears = count(clear1);
    // Straight from f1's zone into f2's: f1 loses its resize cursor.
    pointer_to(b2.x + 4, b2.cy());
    EXPECT_TRUE(becomes([&] { return count(set2) >= 1; }));
    EXPECT_TRUE(becomes([&] { return count(clear1) > clears; })) << output();
    // The middle of a window clears the cursor.
    const std::string clear2 = "clear_window_cursor: window=" + n(f2);
    const size_t clears2 = count(clear2);
    pointer_to(b2.cx(), b2.cy());
    EXPECT_TRUE(becomes([&] { return count(clear2) > clears2; }));

    // A window that goes away with its resize cursor shown is forgotten: no request names it later.
    pointer_to(b2.x + 4, b2.cy());
    ASSERT_TRUE(becomes([&] { return count(set2) >= 2; })) << output();
    const size_t clears_before = count(clear2), sets1 = count(set1);
    client_->destroy(f2);
    ASSERT_TRUE(logged("Unmanaging window " + n(f2)));
    pointer_to(b1.cx(), b1.cy());
    pointer_to(b1.x + b1.w - 4, b1.cy());
    ASSERT_TRUE(becomes([&] { return count(set1) > sets1; })) << output();
    EXPECT_EQ(count(clear2), clears_before) << output();
}

TEST_F(Mouse, ClickFocusesAnUnfocusedWindow) {
    start(kScript);
    const uint32_t a = open();
    const uint32_t b = open();
    pointer_to(box(a).cx(), box(a).cy());
    activate(b);
    xdo({"click", "1"});
    EXPECT_TRUE(becomes([&] { return active() == a; })) << output();
}

TEST_F(Mouse, FocusFollowsThePointerButNotRightAfterAWarp) {
    start(kScript + "vop.bind(\"alt+l\", vop.focus(\"right\"))\n");
    const uint32_t a = open();
    const uint32_t b = open();
    ASSERT_EQ(active(), b);
    pointer_to(box(a).cx(), box(a).cy());
    EXPECT_TRUE(becomes([&] { return active() == a; }));
    pointer_to(box(b).cx(), box(b).cy());
    EXPECT_TRUE(becomes([&] { return active() == b; }));

    // Focus moves to b with a warp, and the pointer lands in a within the quiet time: a is not focused.
    pointer_to(box(a).cx(), box(a).cy());
    ASSERT_TRUE(becomes([&] { return active() == a; }));
    xdo({"key", "alt+l", "sleep", "0.01", "mousemove", n(box(a).cx() + 20), n(box(a).cy())});
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(active(), b);
}

TEST_F(Mouse, WithTitleBarsTheDragMovesTheFrame) {
    start(kScript + "vop.set(\"titlebar_enabled\", true)\nvop.set(\"titlebar_height\", 20)\n");
    const uint32_t f = open_floating();
    auto frame = client_->parent(f);
    ASSERT_TRUE(frame && *frame != client_->root()) << "the floating window has a frame";
    const Geometry c0 = geo(f), f0 = geo(*frame);
    // Grab it by the title bar, which is the frame itself.
    drag("super", 1, f0.x + 40, f0.y + 10, 70, 30);
    EXPECT_TRUE(becomes([&] { return geo(*frame).x == f0.x + 70 && geo(*frame).y == f0.y + 30; }))
        << geo(*frame).x << "," << geo(*frame).y;
    EXPECT_EQ(geo(f).x, c0.x + 70);
    EXPECT_EQ(geo(f).y, c0.y + 30);
    EXPECT_EQ(client_->parent(f), frame) << "the client stays inside its frame";
}

TEST_F(Mouse, TheFocusingClickReachesTheClientAndThePointerNeverStaysFrozen) {
    start(kScript);
    const uint32_t a = open({.events = XCB_EVENT_MASK_BUTTON_PRESS});
    const uint32_t b = open({.events = XCB_EVENT_MASK_BUTTON_PRESS});
    first_click_reaches(a, b);

    // A press on a window that is gone when vop reads it.
    const uint32_t c = open();
    activate(a);  // the pointer stays over c, which holds its click grab again
    while_vop_stopped({"click", "1"}, [&] {
        client_->destroy(c);
        client_->sync();
    });
    ASSERT_TRUE(becomes([&] { return !client_->geometry(c) && logged("Unmanaging window " + n(c)); }));
    first_click_reaches(b, a);

    // A press of another button while vop starts a drag (once it runs, its pointer grab reports no presses).
    const Box f = box(open_floating());
    while_vop_stopped({"mousemove", n(f.cx()), n(f.cy()), "keydown", "super", "mousedown", "1", "mousedown", "3",
                       "mouseup", "3", "mouseup", "1", "keyup", "super"},
                      [] {});
    EXPECT_TRUE(logged("Already in drag state, ignoring ButtonPress")) << output();
    first_click_reaches(a, b);
}

TEST_F(Mouse, TheEdgeZoneOfTheFocusedFloatingWindowResizesItAndOtherClicksReachIt) {
    start(kScript);
    const uint32_t f = open({.window_type = {"_NET_WM_WINDOW_TYPE_DIALOG"}, .events = XCB_EVENT_MASK_BUTTON_PRESS});
    ASSERT_EQ(active(), f);
    const Geometry g0 = geo(f);
    const Box b = box(f);
    pointer_to(b.x + b.w - 4, b.cy());
    drag("", 1, b.x + b.w - 4, b.cy(), 40, 0);
    EXPECT_TRUE(becomes([&] {
        Geometry g = geo(f);
        return g.x == g0.x && g.y == g0.y && g.width == g0.width + 40 && g.height == g0.height;
    })) << geo(f).width << "x" << geo(f).height;
    pointer_to(box(f).cx(), box(f).cy());
    xdo({"click", "1"});
    EXPECT_TRUE(becomes([&] { return presses_on(f) == 1; })) << "only the click in the middle reaches the client";
    EXPECT_EQ(active(), f);
}

TEST_F(Mouse, OnlyThePointerMovingMovesTheFocus) {
    start(kScript + "vop.bind(\"alt+r\", vop.resize(\"left\", 0.1))\n");
    open();
    const uint32_t b = open();
    // The pointer rests in b near the edge, which the resize then moves past it into a's side.
    const int bx = box(b).x;
    pointer_to(bx + 30, box(b).cy());
    ASSERT_EQ(active(), b);
    key("alt+r");
    ASSERT_TRUE(becomes([&] { return box(b).x > bx + 30; }));
    EXPECT_FALSE(wait_until([&] { return active() != b; }, 500ms)) << "focus went to " << active();

    // Two floating windows overlap under the pointer, the lower one focused; a layout pass restacks
    // nothing (the pointer crosses into neither) and moves no focus.
    const WindowSpec floating{.window_type = {"_NET_WM_WINDOW_TYPE_DIALOG"}, .events = XCB_EVENT_MASK_ENTER_WINDOW};
    const uint32_t f1 = open(floating);
    open(floating);
    activate(f1);
    client_->take_events(XCB_ENTER_NOTIFY);
    const size_t before = count("Focus follows mouse");
    SocketClient json(vop_->runtime_dir() + "/vop.sock");
    ASSERT_EQ(json.request(R"({"command":"equalize"})").value_or(""), R"({"success":true})");
    EXPECT_FALSE(wait_until([&] { return count("Focus follows mouse") > before + 1; }, 1000ms))
        << count("Focus follows mouse") - before << " focus changes";
    EXPECT_EQ(active(), f1);
    EXPECT_EQ(client_->take_events(XCB_ENTER_NOTIFY).size(), 0u);
}

TEST_F(Mouse, QuickSweepsEndOnTheWindowThePointerRestsIn) {
    start(kScript + "vop.bind(\"alt+r\", vop.resize(\"left\", 0.02))\n");
    const uint32_t a = open(), b = open(), c = open();
    using Spot = std::pair<int, int>;
    // High up in a tiled window, clear of the floating ones.
    auto high = [&](uint32_t w) { return Spot{box(w).cx(), box(w).y + 40}; };
    auto sweep = [&](Spot from, Spot via, Spot to, const char* pause) {
        pointer_to(from.first, from.second);
        xdo({"mousemove", n(via.first), n(via.second), "sleep", pause, "mousemove", n(to.first), n(to.second)});
        // vop may not have read the last crossings yet when it looks idle: a focus left elsewhere stays there.
        return wait_until([&] { return client_->pointer() == to && active() == client_->pointer_child(); }, 2000ms);
    };
    // Two floating windows side by side, overlapping in the middle. The one a sweep passes over is raised on
    // its focus, maybe only once the pointer rests over the overlap in the other one: the crossing that raise
    // makes is vop's, not the user's.
    const uint32_t f = open_floating(), g = open_floating();
    drag("super", 1, box(g).cx(), box(g).cy(), -box(g).w / 2, 0);
    ASSERT_TRUE(becomes([&] { return box(g).x == box(f).x - box(f).w / 2; }));
    const Spot g_only{box(g).x + box(g).w / 4, box(g).cy()}, f_only{box(f).x + box(f).w * 3 / 4, box(f).cy()};
    const Spot both{box(f).x + box(f).w / 4, box(f).cy()};
    const std::vector<std::array<Spot, 3>> sweeps = {{high(a), high(b), high(c)},
                                                     {high(c), high(b), high(a)},
                                                     {f_only, g_only, both},
                                                     {g_only, f_only, both}};
    int missed = 0, run = 0;
    // One miss says it: more would only add their waits.
    for (int i = 0; i < 20 && !missed; ++i) {
        for (const char* pause : {"0", "0.002"}) {
            for (const auto& [from, via, to] : sweeps) {
                if (missed) break;
                missed += !sweep(from, via, to, pause);
                ++run;
            }
        }
    }
    EXPECT_EQ(missed, 0) << "sweeps ending elsewhere than where the pointer rests";
    // A sweep focuses at most its three windows: vop's raises must not toss the focus to and fro.
    EXPECT_LE(count("Focus follows mouse"), 3u * run);
    // A chord and a pointer move sent together: the move still focuses.
    pointer_to(high(a).first, high(a).second);
    ASSERT_TRUE(becomes([&] { return active() == a; }));
    xdo({"key", "alt+r", "mousemove", n(high(c).first), n(high(c).second)});
    EXPECT_TRUE(becomes([&] { return active() == c; })) << "active " << active();
}

// A popup shows under the pointer resting on a and goes again while b has the focus; the last two times
// it is a launcher's, which takes the pointer and keyboard first and lets go before it hides.
void Mouse::popups_under_the_resting_pointer(const std::string& script) {
    start(script);
    const uint32_t a = open(), b = open();
    // The pointer enters a, then moves on inside it where no crossing tells vop.
    pointer_to(box(a).cx(), box(a).cy());
    pointer_to(box(a).cx() + 30, box(a).cy() + 20);
    ASSERT_TRUE(becomes([&] { return active() == a; }));
    activate(b);
    const int px = box(a).cx() + 30, py = box(a).cy() + 20;
    for (int i = 0; i < 5; ++i) {
        const bool launcher = i >= 3;
        if (launcher) {
            ASSERT_TRUE(client_->grab_input(true));
        }
        const uint32_t popup = client_->open_window({.x = static_cast<int16_t>(px - 50), .y = static_cast<int16_t>(py - 50),
                                                     .override_redirect = true});
        client_->sync();
        ASSERT_TRUE(vop_->wait_idle());
        if (launcher) client_->grab_input(false);
        i % 2 ? client_->unmap(popup) : client_->destroy(popup);
        client_->sync();
        ASSERT_TRUE(vop_->wait_idle());
    }
    EXPECT_FALSE(wait_until([&] { return active() != b; }, 300ms)) << "focus went to " << active();
    // The pointer moving still moves the focus: from b into a, and from just above a (its title bar, when
    // it has one: the frame's Leave and the client's Enter come at one spot) into a.
    pointer_to(box(b).cx(), box(b).cy());
    pointer_to(box(a).cx(), box(a).cy());
    EXPECT_TRUE(becomes([&] { return active() == a; }));
    pointer_to(box(a).cx(), box(a).y - 5);
    activate(b);
    pointer_to(box(a).cx(), box(a).y + 5);
    EXPECT_TRUE(becomes([&] { return active() == a; }));
}

TEST_F(Mouse, APopupUnderTheRestingPointerMovesNoFocus) { popups_under_the_resting_pointer(kScript); }

TEST_F(Mouse, APopupUnderTheRestingPointerMovesNoFocusWithTitleBars) {
    popups_under_the_resting_pointer(kScript + "vop.set(\"titlebar_enabled\", true)\n");
}
