// Layout arithmetic: struts per monitor, work area, gaps and borders, 1-pixel minimum, floating sizes and places.
#include "core/layout_math.hpp"
#include "core/tree.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

using vop::Rect;
using namespace vop::layout;

TEST(LayoutMath, WorkAreaAndTiledBox) {
    Rect screen{0, 0, 1920, 1080};
    Rect wa = work_area(screen, {}, 8);
    EXPECT_EQ(wa, (Rect{8, 8, 1904, 1064}));
    EXPECT_EQ(tiled_box(wa, wa, 8, {.border_width = 2}), (Rect{12, 12, 1892, 1052}));
    // Gaps that fit stay as they are; larger ones are cut, the inner one first, to what a 2-pixel client leaves.
    EXPECT_EQ(fit_gaps(screen, {8, 8}, {.border_width = 2}), (Gaps{8, 8}));
    EXPECT_EQ(fit_gaps(Rect{0, 0, 1280, 800}, {32767, 32767}, {2, 20}), (Gaps{387, 0}));
    EXPECT_EQ(fit_gaps(Rect{0, 0, 1280, 800}, {8, 32767}, {2, 20}), (Gaps{8, 758}));

    // A top reservation of 30 moves and shrinks the area; the second monitor keeps its offset.
    EXPECT_EQ(work_area(Rect{1920, 0, 1280, 1024}, {0, 0, 30, 0}, 8), (Rect{1928, 38, 1264, 978}));
    // Reservations larger than the monitor saturate at 0 rather than wrapping.
    EXPECT_EQ(work_area(Rect{0, 0, 100, 100}, {60, 60, 0, 0}, 0).width, 0);
    // Hostile struts whose 16-bit sum would wrap to a small number still leave nothing.
    EXPECT_EQ(work_area(Rect{0, 0, 1920, 1080}, {65535, 1, 0, 0}, 0).width, 0);
    EXPECT_EQ(work_area(Rect{0, 0, 1920, 1080}, {0, 0, 0xFFFFFFF0u, 0x20u}, 0).height, 0);
}

// Two monitors side by side on a 3200x1080 screen, the right one shorter: struts count from the screen's
// edges and apply where their span meets a monitor, as deep as they reach into it.
TEST(LayoutMath, StrutsReachIntoTheMonitorsTheyTouch) {
    const Rect left{0, 0, 1920, 1080}, right{1920, 0, 1280, 1024};
    auto top = [](uint32_t h, uint32_t from, uint32_t to) {
        return vop::Strut{.top = h, .top_start_x = from, .top_end_x = to};
    };
    auto bottom = [](uint32_t h, uint32_t from, uint32_t to) {
        return vop::Strut{.bottom = h, .bottom_start_x = from, .bottom_end_x = to};
    };
    struct Case {
        const char* name;
        std::vector<vop::Strut> struts;
        Reservation on_left, on_right;
    };
    const Case cases[] = {
        {"plain top strut spans both", {{0, 0, 30, 0}}, {0, 0, 30, 0}, {0, 0, 30, 0}},
        {"top bar on the right monitor", {top(30, 1920, 3199)}, {}, {0, 0, 30, 0}},
        {"span ending on the boundary touches", {top(30, 0, 1920)}, {0, 0, 30, 0}, {0, 0, 30, 0}},
        {"bottom bar on the shorter monitor", {bottom(86, 1920, 3199)}, {}, {0, 0, 0, 30}},
        {"plain bottom strut", {{0, 0, 0, 86}}, {0, 0, 0, 86}, {0, 0, 0, 30}},
        {"right strut stays on the right", {{0, 50, 0, 0}}, {}, {0, 50, 0, 0}},
        {"left strut past the first monitor", {{2000, 0, 0, 0}}, {1920, 0, 0, 0}, {80, 0, 0, 0}},
        {"reversed span covers nothing", {top(30, 3000, 100)}, {}, {}},
        {"deepest strut per side", {{0, 0, 25, 0}, {0, 0, 30, 0}, top(40, 1920, 3199)}, {0, 0, 30, 0}, {0, 0, 40, 0}},
        {"hostile depths held to each monitor", {{0, 0, 0, 0xFFFFFFFFu}}, {0, 0, 0, 1080}, {0, 0, 0, 1024}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(monitor_reservation(c.struts, left, 3200, 1080), c.on_left) << c.name;
        EXPECT_EQ(monitor_reservation(c.struts, right, 3200, 1080), c.on_right) << c.name;
    }
    // One monitor covering the screen: every strut as it is.
    const std::vector<vop::Strut> one = {{10, 20, 30, 40}};
    EXPECT_EQ(monitor_reservation(one, Rect{0, 0, 1920, 1080}, 1920, 1080), (Reservation{10, 20, 30, 40}));

    // Room to tile: at least 2 pixels left inside gap and borders.
    EXPECT_TRUE(room_to_tile(Rect{0, 0, 12, 100}, 8, {.border_width = 1}));
    EXPECT_FALSE(room_to_tile(Rect{0, 0, 11, 100}, 8, {.border_width = 1}));
    EXPECT_FALSE(room_to_tile(work_area(left, {1920, 0, 0, 0}, 8), 8, {.border_width = 2}));
}

TEST(LayoutMath, NeverBelowOnePixel) {
    const Rect cell{0, 0, 10, 10};
    EXPECT_EQ(tiled_box(cell, cell, 8, {.border_width = 2}), (Rect{4, 4, 1, 1}));
    EXPECT_EQ(floating_box(Rect{5, 6, 3, 100}, 2), (Rect{5, 6, 1, 96}));
    EXPECT_EQ(client_height(20, 20), 1);
    EXPECT_EQ(client_height(100, 20), 80);
}

// Sizes as large as the settings take, each alone and all together, on small monitors, with and without a bar
// reserving the top and title bars, one to a dozen tiled windows: every window, borders and title bar
// included, lies wholly on its monitor, and every client (a new frame's and a floating one's too) is at
// least 1x1.
TEST(LayoutMath, LargestSizesKeepEveryWindowWhollyOnItsMonitor) {
    const Rect monitors[] = {{0, 0, 1280, 800}, {1920, 0, 800, 600}, {0, 0, 3, 3}, {0, 0, 1, 1}};
    const uint32_t sizes[] = {0, 8, 799, 32767};
    std::vector<vop::Node> trees(4);
    for (vop::Window w = 1; w <= 12; ++w) {
        for (size_t t = 0; t < trees.size(); ++t) {
            if (w <= std::array{1u, 2u, 5u, 12u}[t]) trees[t].insert_with_rect(w, std::nullopt, monitors[0]);
        }
    }
    size_t faults = 0;
    std::string first;
    // A window's whole box: its client, a framed one's title bar, and its borders.
    auto inside = [](Rect outer, Rect m) {
        return outer.x >= m.x && outer.x + int64_t{outer.width} <= m.x + int64_t{m.width} && outer.y >= m.y &&
               outer.y + int64_t{outer.height} <= m.y + int64_t{m.height};
    };
    auto check = [&](Rect m, Rect outer, uint32_t client_w, uint32_t client_h, const std::string& what) {
        if (inside(outer, m) && client_w >= 1 && client_h >= 1) return;
        if (faults++ == 0) first = fmt::format("{}: {} on {}, client {}x{}", what, outer, m, client_w, client_h);
    };
    auto lay_out = [&](Rect m, uint32_t gap_outer, uint32_t gap_inner, uint32_t border, uint32_t bar, bool framed,
                       Reservation r) {
        const std::string what = fmt::format("gaps {} {} border {} bar {} framed {} top {}", gap_outer, gap_inner,
                                             border, bar, framed, r.top);
        const Decorations d = fit_decorations(m, border, framed ? bar : 0);
        const Gaps gaps = fit_gaps(m, {gap_outer, gap_inner}, d);
        const Rect area = tiling_area(m, r, gaps, d).value_or(work_area(m, {}, gaps.outer));
        const auto bw = static_cast<uint16_t>(2 * d.border_width), tb = static_cast<uint16_t>(d.titlebar_height);
        for (const vop::Node& tree : trees) {
            for (const auto& [w, cell] : tree.calculate_geometries(area)) {
                const Rect box = tiled_box(cell, area, gaps.inner, d);
                const uint16_t client = framed ? client_height(box.height, tb) : box.height;
                const Rect outer{box.x, box.y, uint16_t(box.width + bw), uint16_t(client + (framed ? tb : 0) + bw)};
                // Where its cell holds it, a window keeps to its cell; elsewhere to its monitor.
                const bool fits = outer.width <= cell.width && outer.height <= cell.height;
                check(fits ? cell : m, outer, box.width, client, what + fmt::format(" window {}", w));
            }
        }
        const Rect first_frame = client_on(m, d, 400, 300);
        check(m, {m.x, m.y, uint16_t(first_frame.width + bw), uint16_t(first_frame.height + tb + bw)},
              first_frame.width, first_frame.height, what + " new frame");
        // A floating window keeps its place and size: its borders and title bar are cut to fit it.
        for (const Rect g : {floating_size_small(m), Rect{m.x, m.y, 1, 1}, Rect{m.x, m.y, 2, 3}}) {
            if (g.width == 0 || g.height == 0) continue;  // no room for the 1x1 client on a monitor of nothing
            const Decorations fd = floating_decorations(m, g, border, framed ? bar : 0);
            const auto fbw = static_cast<uint16_t>(2 * fd.border_width), ftb = static_cast<uint16_t>(fd.titlebar_height);
            const Rect box = floating_box(g, fd.border_width);
            const uint16_t client = framed ? framed_floating_height(g, fd.border_width, ftb) : box.height;
            const Rect outer{g.x, g.y, uint16_t(box.width + fbw), uint16_t(client + (framed ? ftb : 0) + fbw)};
            check(g, outer, box.width, client, what + fmt::format(" floating {}", g));
        }
    };
    for (const Rect& m : monitors) {
        for (uint32_t gap_outer : sizes) {
            for (uint32_t gap_inner : sizes) {
                for (uint32_t border : sizes) {
                    for (uint32_t bar : sizes) {
                        for (bool framed : {false, true}) {
                            for (Reservation r : {Reservation{}, Reservation{0, 0, 30, 0}, Reservation{0, 0, bar, 0}})
                                lay_out(m, gap_outer, gap_inner, border, bar, framed, r);
                        }
                    }
                }
            }
        }
    }
    EXPECT_EQ(faults, 0u) << "first: " << first;
}

TEST(LayoutMath, FloatingSizes) {
    struct Case {
        Rect monitor, small, large;
    };
    const Case cases[] = {
        {{0, 0, 1920, 1080}, {640, 300, 640, 480}, {192, 108, 1536, 864}},
        {{0, 0, 800, 600}, {80, 60, 640, 480}, {80, 60, 640, 480}},
        {{0, 0, 600, 400}, {20, 20, 560, 360}, {60, 40, 480, 320}},
        {{0, 0, 400, 300}, {20, 20, 360, 260}, {0, 0, 400, 300}},
        // A narrow monitor: the large size sticks out on both sides, centred.
        {{0, 0, 300, 300}, {20, 20, 260, 260}, {-50, 0, 400, 300}},
        {{1920, 0, 1280, 1024}, {2240, 272, 640, 480}, {2048, 102, 1024, 819}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(floating_size_small(c.monitor), c.small) << fmt::format("{}", c.monitor);
        EXPECT_EQ(floating_size_large(c.monitor), c.large) << fmt::format("{}", c.monitor);
    }
}

TEST(LayoutMath, Centre) {
    auto p = centre(Rect{1920, 0, 1281, 1024});
    EXPECT_EQ(p.x, 1920 + 640);
    EXPECT_EQ(p.y, 512);
}

// A floating window whose monitor changed keeps its place relative to the monitor it was on, but always
// ends wholly on the new one, shrunk only where it does not fit.
TEST(LayoutMath, BringInside) {
    const Rect left{0, 0, 1920, 1080}, right{1920, 0, 1280, 1024}, small{0, 0, 800, 600};
    struct Case {
        Rect g, target;
        std::optional<Rect> from;
        Rect want;
    };
    const Case cases[] = {
        {{100, 200, 640, 480}, right, left, {2020, 200, 640, 480}},
        // Near the far corner of the larger monitor: pushed back just far enough.
        {{1500, 900, 640, 480}, right, left, {2560, 544, 640, 480}},
        {{1536, 864, 640, 480}, small, left, {160, 120, 640, 480}},
        // Larger than the monitor: as large as the monitor.
        {{192, 108, 1536, 864}, small, left, {0, 0, 800, 600}},
        // From no known monitor: centred.
        {{5000, 5000, 640, 480}, small, std::nullopt, {80, 60, 640, 480}},
        {{-3000, 40, 1000, 700}, small, std::nullopt, {0, 0, 800, 600}},
        // Pulled back onto its own monitor (from == target) it moves only as far as it must.
        {{1800, -30, 200, 100}, left, left, {1720, 0, 200, 100}},
    };
    for (const Case& c : cases) {
        const Rect got = bring_inside(c.g, c.target, c.from);
        EXPECT_EQ(got, c.want) << fmt::format("{} onto {}", c.g, c.target);
        EXPECT_TRUE(centre_on(c.target, got));
    }
    // The centre counts on the area's own pixels only: its right and bottom edges lie outside.
    EXPECT_TRUE(centre_on(Rect{0, 0, 100, 100}, Rect{49, 49, 100, 100}));
    EXPECT_FALSE(centre_on(Rect{0, 0, 100, 100}, Rect{50, 0, 100, 100}));
    EXPECT_FALSE(centre_on(Rect{0, 0, 100, 100}, Rect{0, 50, 100, 100}));
}
