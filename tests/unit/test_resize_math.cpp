// Edge zones, corner choice and the mouse-resize arithmetic of floating windows.
#include "core/resize_math.hpp"

#include <gtest/gtest.h>

using namespace vop;

TEST(EdgeAt, ZonesOfA400x300WindowAt100) {
    const Rect g{100, 100, 400, 300};
    struct Case {
        int16_t x, y;
        ResizeEdge want;
    };
    const Case cases[] = {
        {100, 100, ResizeEdge::TopLeft},     {111, 250, ResizeEdge::Left},   {112, 250, ResizeEdge::None},
        {499, 399, ResizeEdge::BottomRight}, {488, 250, ResizeEdge::Right},  {487, 250, ResizeEdge::None},
        {300, 399, ResizeEdge::Bottom},      {300, 388, ResizeEdge::Bottom}, {300, 387, ResizeEdge::None},
        {300, 100, ResizeEdge::Top},         {300, 111, ResizeEdge::Top},    {300, 112, ResizeEdge::None},
        {499, 101, ResizeEdge::TopRight},    {101, 399, ResizeEdge::BottomLeft}, {488, 388, ResizeEdge::BottomRight},
        // Every strip is 12 pixels inside the window: none reaches the pixels just outside it.
        {99, 250, ResizeEdge::None},         {500, 250, ResizeEdge::None},   {300, 99, ResizeEdge::None},
        {300, 400, ResizeEdge::None},        {500, 400, ResizeEdge::None},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(edge_at(g, c.x, c.y), c.want) << "at (" << c.x << ", " << c.y << ")";
    }
}

TEST(EdgeAt, NarrowWindowPrefersLeftWhereBothSideZonesMeet) {
    const Rect g{100, 100, 20, 300};
    EXPECT_EQ(edge_at(g, 110, 250), ResizeEdge::Left);
    EXPECT_EQ(edge_at(g, 119, 250), ResizeEdge::Right);
    EXPECT_EQ(edge_at(g, 120, 250), ResizeEdge::None);
}

TEST(EdgeAt, WindowsNearTheSixteenBitLimitDoNotWrapIntoZones) {
    // A window hanging off the negative side of the screen still has its zones where they are.
    const Rect g{-50, -50, 100, 100};
    EXPECT_EQ(edge_at(g, -50, 0), ResizeEdge::Left);
    EXPECT_EQ(edge_at(g, 0, 0), ResizeEdge::None);
    EXPECT_EQ(edge_at(g, 49, 49), ResizeEdge::BottomRight);
    EXPECT_EQ(edge_at(g, 50, 50), ResizeEdge::None);
}

TEST(NearestCorner, QuartersPickTheirCorner) {
    const Rect g{100, 100, 400, 300};
    EXPECT_EQ(nearest_corner(g, 450, 350), ResizeEdge::BottomRight);
    EXPECT_EQ(nearest_corner(g, 120, 120), ResizeEdge::TopLeft);
    EXPECT_EQ(nearest_corner(g, 450, 120), ResizeEdge::TopRight);
    EXPECT_EQ(nearest_corner(g, 120, 350), ResizeEdge::BottomLeft);
    // The halves start exactly at the middle (rounded down).
    EXPECT_EQ(nearest_corner(g, 300, 250), ResizeEdge::BottomRight);
    EXPECT_EQ(nearest_corner(g, 299, 249), ResizeEdge::TopLeft);
    EXPECT_EQ(nearest_corner(Rect{0, 0, 5, 5}, 2, 2), ResizeEdge::BottomRight);
}

TEST(CalculateResize, EveryEdgeMovesItsSides) {
    const Rect s{100, 100, 400, 300};
    struct Case {
        ResizeEdge edge;
        int16_t dx, dy;
        Rect want;
    };
    const Case cases[] = {
        {ResizeEdge::TopLeft, 10, 20, {110, 120, 390, 280}},
        {ResizeEdge::Top, 10, 20, {100, 120, 400, 280}},
        {ResizeEdge::TopRight, 10, 20, {100, 120, 410, 280}},
        {ResizeEdge::Left, 10, 20, {110, 100, 390, 300}},
        {ResizeEdge::Right, 10, 20, {100, 100, 410, 300}},
        {ResizeEdge::BottomLeft, 10, 20, {110, 100, 390, 320}},
        {ResizeEdge::Bottom, 10, 20, {100, 100, 400, 320}},
        {ResizeEdge::BottomRight, 10, 20, {100, 100, 410, 320}},
        {ResizeEdge::None, 10, 20, {100, 100, 400, 300}},
        {ResizeEdge::BottomRight, -30, -40, {100, 100, 370, 260}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(calculate_resize(s, c.edge, c.dx, c.dy), c.want) << resize_edge_name(c.edge);
    }
}

TEST(CalculateResize, SizesStopAtFiftyWhileTheMovedSideSlides) {
    const Rect s{100, 100, 300, 300};
    EXPECT_EQ(calculate_resize(s, ResizeEdge::Left, 400, 0), (Rect{500, 100, 50, 300}));
    EXPECT_EQ(calculate_resize(s, ResizeEdge::Top, 0, 290), (Rect{100, 390, 300, 50}));
    EXPECT_EQ(calculate_resize(s, ResizeEdge::BottomRight, -1000, -260), (Rect{100, 100, 50, 50}));
    EXPECT_EQ(calculate_resize(s, ResizeEdge::Right, -251, 0).width, 50);
    EXPECT_EQ(calculate_resize(s, ResizeEdge::Right, -250, 0).width, 50);
    EXPECT_EQ(calculate_resize(s, ResizeEdge::Right, -249, 0).width, 51);
}

TEST(CalculateResize, SixteenBitArithmeticWraps) {
    // A size that wraps past 32767 reads as negative and is held at the minimum.
    const Rect s{0, 0, 32760, 100};
    EXPECT_EQ(calculate_resize(s, ResizeEdge::Right, 100, 0).width, 50);
    EXPECT_EQ(calculate_resize(Rect{32760, 0, 100, 100}, ResizeEdge::Left, 10, 0).x, -32766);
}

TEST(ResizeEdge, PrintedByName) {
    EXPECT_EQ(fmt::format("{}", ResizeEdge::TopLeft), "TopLeft");
    EXPECT_EQ(fmt::format("{}", ResizeEdge::BottomRight), "BottomRight");
    EXPECT_EQ(fmt::format("{}", ResizeEdge::None), "None");
}
