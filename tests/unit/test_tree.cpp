// Layout tree: insertion, splitting arithmetic, removal, resizing, swapping and adjacency.
#include "core/tree.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

using vop::Direction;
using vop::Node;
using vop::Rect;
using vop::Window;
using vop::WindowGeometry;

namespace {

Node leaf(Window w) { return Node::leaf(w); }
Node hsplit(float ratio, Node a, Node b) { return Node::split(true, ratio, std::move(a), std::move(b)); }
Node vsplit(float ratio, Node a, Node b) { return Node::split(false, ratio, std::move(a), std::move(b)); }

Node tree_of(const std::vector<Window>& ws, Rect r) {
    Node n;
    for (Window w : ws) n.insert_with_rect(w, std::nullopt, r);
    return n;
}

constexpr Rect kWide{0, 0, 1920, 1080};

}  // namespace

TEST(TreeQueries, EmptyAndFilledTrees) {
    Node empty;
    EXPECT_EQ(empty.window_count(), 0u);
    EXPECT_TRUE(empty.windows().empty());
    EXPECT_FALSE(empty.contains(1));
    EXPECT_EQ(empty.first_window(), std::nullopt);
    EXPECT_TRUE(empty.calculate_geometries(kWide).empty());

    Node n = hsplit(0.5f, vsplit(0.5f, leaf(4), leaf(2)), hsplit(0.5f, leaf(9), leaf(1)));
    EXPECT_EQ(n.window_count(), 4u);
    EXPECT_EQ(n.windows(), (std::vector<Window>{4, 2, 9, 1}));
    EXPECT_TRUE(n.contains(9));
    EXPECT_FALSE(n.contains(3));
    EXPECT_EQ(n.first_window(), 4u);
}

TEST(TreeInsert, FirstWindowTakesWholeRect) {
    Node n;
    n.insert_with_rect(7, std::nullopt, kWide);
    ASSERT_TRUE(n.is_leaf());
    EXPECT_EQ(n.as_leaf()->window, 7u);
    EXPECT_EQ(n.calculate_geometries(kWide), (std::vector<WindowGeometry>{{7, kWide}}));
}

TEST(TreeInsert, SecondWindowSplitsAcrossLongerSide) {
    struct Case {
        Rect rect;
        bool horizontal;
        Rect first;
        Rect second;
    } cases[] = {
        {{0, 0, 1920, 1080}, true, {0, 0, 960, 1080}, {960, 0, 960, 1080}},
        {{0, 0, 1080, 1920}, false, {0, 0, 1080, 960}, {0, 960, 1080, 960}},
        {{0, 0, 1000, 1000}, false, {0, 0, 1000, 500}, {0, 500, 1000, 500}},
        {{10, 20, 1001, 1000}, true, {10, 20, 500, 1000}, {510, 20, 501, 1000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(fmt::format("{}", c.rect));
        Node n = tree_of({1, 2}, c.rect);
        ASSERT_TRUE(n.is_split());
        EXPECT_EQ(n.as_split()->horizontal, c.horizontal);
        EXPECT_EQ(n.as_split()->ratio, 0.5f);
        EXPECT_EQ(n.calculate_geometries(c.rect), (std::vector<WindowGeometry>{{1, c.first}, {2, c.second}}));
    }
}

TEST(TreeInsert, TargetDecidesWhichLeafSplits) {
    struct Case {
        const char* name;
        std::optional<Window> target;
        std::vector<Window> order;
    } cases[] = {
        {"target in first", 1, {1, 4, 2, 3}},
        {"target deep in second", 2, {1, 2, 4, 3}},
        {"target last", 3, {1, 2, 3, 4}},
        {"target absent", 99, {1, 2, 3, 4}},
        {"no target", std::nullopt, {1, 2, 3, 4}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // 1 | (2 / 3): the last leaf is 3.
        Node n = tree_of({1, 2, 3}, kWide);
        n.insert_with_rect(4, c.target, kWide);
        EXPECT_EQ(n.windows(), c.order);
    }
}

TEST(TreeInsert, OrientationUsesTheTargetsOwnRect) {
    Node n = tree_of({1, 2}, kWide);  // two 960x1080 halves: taller than wide
    n.insert_with_rect(3, 1, kWide);
    const auto* left = n.as_split()->first->as_split();
    ASSERT_NE(left, nullptr);
    EXPECT_FALSE(left->horizontal);
    EXPECT_EQ(n.calculate_geometries(kWide),
              (std::vector<WindowGeometry>{
                  {1, {0, 0, 960, 540}}, {3, {0, 540, 960, 540}}, {2, {960, 0, 960, 1080}}}));
}

TEST(TreeSplitRect, Arithmetic) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* name;
        Rect rect;
        bool horizontal;
        float ratio;
        Rect first;
        Rect second;
    } cases[] = {
        {"odd width", {0, 0, 1001, 10}, true, 0.5f, {0, 0, 500, 10}, {500, 0, 501, 10}},
        {"zero width", {5, 5, 0, 10}, true, 0.5f, {5, 5, 0, 10}, {5, 5, 0, 10}},
        {"odd height", {0, 0, 10, 7}, false, 0.5f, {0, 0, 10, 3}, {0, 3, 10, 4}},
        {"truncates", {0, 0, 1000, 10}, true, 0.3337f, {0, 0, 333, 10}, {333, 0, 667, 10}},
        {"nan ratio", {0, 0, 1000, 10}, true, nan, {0, 0, 0, 10}, {0, 0, 1000, 10}},
        {"negative ratio", {0, 0, 1000, 10}, true, -0.5f, {0, 0, 0, 10}, {0, 0, 1000, 10}},
        {"rest saturates", {0, 0, 1000, 10}, true, 2.0f, {0, 0, 2000, 10}, {2000, 0, 0, 10}},
        {"clamped to 16 bits", {0, 0, 1000, 10}, true, 100.0f, {0, 0, 65535, 10}, {-1, 0, 0, 10}},
        {"x wraps", {32000, 0, 2000, 10}, true, 0.5f, {32000, 0, 1000, 10}, {-32536, 0, 1000, 10}},
        {"y wraps", {0, 32767, 10, 4}, false, 0.5f, {0, 32767, 10, 2}, {0, -32767, 10, 2}},
        {"negative origin", {-100, -50, 10, 100}, false, 0.25f, {-100, -50, 10, 25}, {-100, -25, 10, 75}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto [a, b] = Node::split_rect(c.rect, c.horizontal, c.ratio);
        EXPECT_EQ(a, c.first);
        EXPECT_EQ(b, c.second);
        Node n = Node::split(c.horizontal, c.ratio, leaf(1), leaf(2));
        EXPECT_EQ(n.calculate_geometries(c.rect), (std::vector<WindowGeometry>{{1, c.first}, {2, c.second}}));
    }
}

TEST(TreeRemove, PromotesSiblingWithItsOwnShape) {
    // Removing first's only window: the stacked 0.7 split moves up unchanged.
    Node n = hsplit(0.3f, leaf(1), vsplit(0.7f, leaf(2), leaf(3)));
    EXPECT_TRUE(n.remove(1));
    ASSERT_TRUE(n.is_split());
    EXPECT_FALSE(n.as_split()->horizontal);
    EXPECT_EQ(n.as_split()->ratio, 0.7f);
    EXPECT_EQ(n.windows(), (std::vector<Window>{2, 3}));

    // Removing second's only window promotes first.
    Node m = hsplit(0.3f, vsplit(0.6f, leaf(1), leaf(2)), leaf(3));
    EXPECT_TRUE(m.remove(3));
    EXPECT_EQ(m.as_split()->ratio, 0.6f);
    EXPECT_EQ(m.windows(), (std::vector<Window>{1, 2}));

    // Deep removal collapses only the innermost split.
    Node d = hsplit(0.4f, leaf(1), vsplit(0.6f, leaf(2), hsplit(0.8f, leaf(3), leaf(4))));
    EXPECT_TRUE(d.remove(3));
    EXPECT_EQ(d.as_split()->ratio, 0.4f);
    EXPECT_EQ(d.as_split()->second->as_split()->second->as_leaf()->window, 4u);
}

TEST(TreeRemove, AbsentAndLastWindow) {
    Node n = hsplit(0.3f, leaf(1), vsplit(0.7f, leaf(2), leaf(3)));
    const auto before = n.calculate_geometries(kWide);
    EXPECT_FALSE(n.remove(42));
    EXPECT_EQ(n.calculate_geometries(kWide), before);

    Node one = leaf(5);
    EXPECT_TRUE(one.remove(5));
    ASSERT_TRUE(one.is_leaf());
    EXPECT_EQ(one.as_leaf()->window, std::nullopt);
    EXPECT_FALSE(one.remove(5));

    Node all = tree_of({1, 2, 3}, kWide);
    for (Window w : {2u, 1u, 3u}) EXPECT_TRUE(all.remove(w));
    EXPECT_TRUE(all.is_leaf());
    EXPECT_EQ(all.window_count(), 0u);
}

TEST(TreeResize, DirectionAndSide) {
    // A positive delta grows the named window for Right and Down and shrinks it for Left and Up, on either
    // side of the split: the ratio (the first child's share) moves up or down accordingly.
    struct Case {
        bool horizontal;
        Window w;
        Direction dir;
        float expected;
    } cases[] = {
        {true, 1, Direction::Right, 0.6f}, {true, 2, Direction::Right, 0.4f},
        {true, 1, Direction::Left, 0.4f},  {true, 2, Direction::Left, 0.6f},
        {false, 1, Direction::Down, 0.6f}, {false, 2, Direction::Down, 0.4f},
        {false, 1, Direction::Up, 0.4f},   {false, 2, Direction::Up, 0.6f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(fmt::format("window {} {}", c.w, c.dir));
        Node n = Node::split(c.horizontal, 0.5f, leaf(1), leaf(2));
        EXPECT_TRUE(n.resize(c.w, c.dir, 0.1f));
        EXPECT_FLOAT_EQ(n.as_split()->ratio, c.expected);
        // The other axis finds no split to change.
        const Direction cross = c.horizontal ? Direction::Down : Direction::Right;
        EXPECT_FALSE(n.resize(c.w, cross, 0.1f));
    }
}

TEST(TreeResize, ChangesTopmostMatchingSplitOnly) {
    // Window 3 sits under a stacked split inside a side-by-side one.
    Node n = hsplit(0.5f, leaf(1), vsplit(0.5f, leaf(2), hsplit(0.5f, leaf(3), leaf(4))));
    EXPECT_TRUE(n.resize(3, Direction::Left, 0.1f));
    EXPECT_FLOAT_EQ(n.as_split()->ratio, 0.6f);  // window 3 is in second: Left grows first
    const auto* inner = n.as_split()->second->as_split()->second->as_split();
    EXPECT_EQ(inner->ratio, 0.5f);
    EXPECT_TRUE(n.resize(3, Direction::Down, 0.1f));
    EXPECT_FLOAT_EQ(n.as_split()->second->as_split()->ratio, 0.4f);
}

TEST(TreeResize, RefusalsAndClamping) {
    Node single = leaf(1);
    EXPECT_FALSE(single.resize(1, Direction::Right, 0.05f));
    Node stacked = vsplit(0.5f, leaf(1), vsplit(0.5f, leaf(2), leaf(3)));
    EXPECT_FALSE(stacked.resize(3, Direction::Left, 0.05f));
    EXPECT_FALSE(stacked.resize(42, Direction::Up, 0.05f));
    EXPECT_EQ(stacked.as_split()->ratio, 0.5f);

    Node n = hsplit(0.5f, leaf(1), leaf(2));
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(n.resize(1, Direction::Right, 0.05f));
    EXPECT_EQ(n.as_split()->ratio, Node::kMaxRatio);
    for (int i = 0; i < 40; ++i) EXPECT_TRUE(n.resize(2, Direction::Right, 0.05f));
    EXPECT_EQ(n.as_split()->ratio, Node::kMinRatio);
    EXPECT_TRUE(n.resize(1, Direction::Right, std::numeric_limits<float>::quiet_NaN()));
    EXPECT_EQ(n.as_split()->ratio, Node::kMinRatio);
    EXPECT_TRUE(n.resize(1, Direction::Right, std::numeric_limits<float>::infinity()));
    EXPECT_EQ(n.as_split()->ratio, Node::kMaxRatio);
}

TEST(TreeEqualizeSwap, RatiosResetAndWindowsTradePlaces) {
    Node n = hsplit(0.2f, vsplit(0.8f, leaf(1), leaf(2)), hsplit(0.9f, leaf(3), leaf(4)));
    n.equalize();
    EXPECT_EQ(n.as_split()->ratio, 0.5f);
    EXPECT_EQ(n.as_split()->first->as_split()->ratio, 0.5f);
    EXPECT_EQ(n.as_split()->second->as_split()->ratio, 0.5f);
    EXPECT_FALSE(n.as_split()->first->as_split()->horizontal);

    bool fa = false, fb = false;
    n.swap_impl(1, 4, fa, fb);
    EXPECT_TRUE(fa);
    EXPECT_TRUE(fb);
    EXPECT_EQ(n.windows(), (std::vector<Window>{4, 2, 3, 1}));

    // One side missing: the other is renamed, the flags tell which was met and stay set.
    fa = false;
    fb = true;
    n.swap_impl(2, 99, fa, fb);
    EXPECT_TRUE(fa);
    EXPECT_TRUE(fb);
    EXPECT_EQ(n.windows(), (std::vector<Window>{4, 99, 3, 1}));
}

TEST(TreeFindAdjacent, Scoring) {
    // A 2x2 grid of 100x100 cells: 1 2 / 3 4, plus a far tall window 5 on the right.
    const std::vector<WindowGeometry> grid{
        {1, {0, 0, 100, 100}},   {2, {100, 0, 100, 100}},  {3, {0, 100, 100, 100}},
        {4, {100, 100, 100, 100}}, {5, {300, 0, 100, 200}},
    };
    // Two windows with the same centre x; and three in a row with two tied at equal score.
    const std::vector<WindowGeometry> column{{1, {0, 0, 100, 100}}, {2, {0, 100, 100, 100}}};
    const std::vector<WindowGeometry> ties{
        {1, {100, 100, 100, 100}}, {2, {200, 0, 100, 100}}, {3, {200, 200, 100, 100}}};
    // A near window off to the side and a far one on the line of travel.
    const std::vector<WindowGeometry> weight{
        {1, {0, 0, 100, 100}}, {2, {100, 100, 100, 100}}, {3, {500, 0, 100, 100}}};
    struct Case {
        const char* name;
        const std::vector<WindowGeometry>* geo;
        Window from;
        Direction dir;
        std::optional<Window> preferred;
        std::optional<Window> expected;
    } cases[] = {
        {"right neighbour", &grid, 1, Direction::Right, std::nullopt, 2},
        {"down neighbour", &grid, 1, Direction::Down, std::nullopt, 3},
        {"nothing left of the edge", &grid, 1, Direction::Left, std::nullopt, std::nullopt},
        {"level pairs are no candidates", &column, 1, Direction::Right, std::nullopt, std::nullopt},
        {"level pairs, left", &column, 2, Direction::Left, std::nullopt, std::nullopt},
        {"same column below", &column, 1, Direction::Down, std::nullopt, 2},
        {"tie goes to the earlier", &ties, 1, Direction::Right, std::nullopt, 2},
        {"preferred among candidates", &ties, 1, Direction::Right, 3, 3},
        {"preferred behind is ignored", &grid, 2, Direction::Right, 1, 5},
        {"preferred not in list", &grid, 1, Direction::Right, 77, 2},
        {"off-axis costs 100 per pixel", &weight, 1, Direction::Right, std::nullopt, 3},
        {"off-axis costs 100 per pixel, down", &weight, 1, Direction::Down, std::nullopt, 2},
        {"unknown start", &grid, 42, Direction::Right, std::nullopt, std::nullopt},
        {"up from the bottom row", &grid, 4, Direction::Up, std::nullopt, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Node::find_adjacent(*c.geo, c.from, c.dir, c.preferred), c.expected);
    }
}

TEST(TreeFindAdjacent, CentresUseHalvesRoundedDown) {
    // Centres: 1 at (1, 0), 2 at (1, 0) too (width 3 halves to 1): level, so no candidate.
    const std::vector<WindowGeometry> g{{1, {0, 0, 2, 1}}, {2, {0, 0, 3, 1}}};
    EXPECT_EQ(Node::find_adjacent(g, 1, Direction::Right, std::nullopt), std::nullopt);
    EXPECT_EQ(Node::find_adjacent(g, 2, Direction::Left, std::nullopt), std::nullopt);
}

TEST(TreeCopy, DeepCopyAndMove) {
    Node a = tree_of({1, 2, 3}, kWide);
    Node b = a;
    EXPECT_TRUE(b.remove(2));
    EXPECT_EQ(a.windows(), (std::vector<Window>{1, 2, 3}));
    EXPECT_EQ(b.windows(), (std::vector<Window>{1, 3}));
    Node c = std::move(a);
    EXPECT_EQ(c.windows(), (std::vector<Window>{1, 2, 3}));
    a = c;
    EXPECT_EQ(a.calculate_geometries(kWide), c.calculate_geometries(kWide));
}
