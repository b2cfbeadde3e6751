// The mirror of the root's stacking order, and where raised windows go in it.
#include "x11/stacking.hpp"

#include <gtest/gtest.h>

#include <set>

namespace vop {
namespace {

TEST(StackMirror, HoldsOnlyOrdersTheServerHad) {
    StackMirror m;
    m.reset({1, 2, 3}, 10);
    // A client puts 1 just above 2; before vop reads that, vop raises 2 (request 11). The server did the
    // client's restack first, then raised 2 above 3.
    m.sent(11);
    EXPECT_FALSE(m.sure()) << "vop's raise is not reported back yet";
    m.restacked(1, 2, 10);
    EXPECT_FALSE(m.sure());
    m.restacked(2, 3, 11);
    EXPECT_TRUE(m.sure());
    EXPECT_EQ(m.order(), (std::vector<Window>{1, 3, 2}));

    // A fresh read holds what came before it; only later notifications change it.
    m.sent(12);
    m.reset({3, 1, 2}, 13);
    EXPECT_TRUE(m.sure());
    m.restacked(3, 2, 12);
    m.created(4, 13);
    EXPECT_EQ(m.order(), (std::vector<Window>{3, 1, 2, 4}));
    // A vop request that is never reported (its window died) is settled by any later event.
    m.sent(14);
    m.saw(14);
    EXPECT_FALSE(m.sure());
    m.saw(15);
    EXPECT_TRUE(m.sure());
    m.restacked(9, 1, 16);
    EXPECT_FALSE(m.sure()) << "a window it never saw arrive";
}

TEST(StackMirror, RaisedWindowsStayUnderWhatLiesAboveTheLayer) {
    // 1 and 2 tiled, 5 and 6 floating, 8 a dock; 7 and 9 are menus (outside the layer).
    const std::set<Window> layer{1, 2, 5, 6, 8};
    auto in_layer = [&](Window w) { return layer.count(w) > 0; };
    struct Case {
        std::vector<Window> stack, wanted;
        std::vector<Restack> restacks;
    } cases[] = {
        {{1, 5, 6, 7}, {5, 6}, {}},
        {{5, 1, 6, 7}, {5, 6}, {{5, 1}}},
        {{6, 1, 7, 5}, {5, 6}, {{5, 1}, {6, 5}}},
        {{1, 5, 7, 6, 8, 9}, {5, 6}, {{5, 8}, {6, 5}}},
        {{7, 5}, {5}, {{5, 0}}},
        {{5, 1, 2}, {5}, {{5, 2}}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(plan_raise(c.stack, c.wanted, in_layer), c.restacks) << ::testing::PrintToString(c.stack);
    }
}

}  // namespace
}  // namespace vop
