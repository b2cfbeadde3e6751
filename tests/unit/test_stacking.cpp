// The mirror of the root's stacking order, and the plan of where raised windows go in it.
#include "core/raise.hpp"
#include "x11/own_unmaps.hpp"
#include "x11/stacking.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
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
    m.reset({1, 2}, 20);
    m.doubt();
    EXPECT_FALSE(m.sure()) << "doubted after a refused restack";
    EXPECT_EQ(m.read_at(), 20u);
}

TEST(SentRestacks, GivesBackThoseTheServerHasDealtWithAndStaysBounded) {
    SentRestacks r;
    auto sent = [](uint32_t seq) { return SentRestack{seq, 100 + seq, 200 + seq, true, RestackFor::Raise, 0}; };
    for (uint32_t seq : {5u, 7u, 9u}) EXPECT_EQ(r.add(sent(seq)), std::nullopt);
    EXPECT_TRUE(r.take_before(5).empty()) << "an event of request 5 does not settle request 5";
    EXPECT_EQ(r.take_before(9), (std::vector<SentRestack>{sent(5), sent(7)}));
    EXPECT_EQ(r.size(), 1u);
    // Full, the oldest gives way.
    for (uint32_t seq = 10; seq < 10 + SentRestacks::kLimit - 1; ++seq) EXPECT_EQ(r.add(sent(seq)), std::nullopt);
    EXPECT_EQ(r.add(sent(1000)), sent(9));
    EXPECT_EQ(r.size(), SentRestacks::kLimit);
    // Sequence numbers wrap: 1 comes after 0xFFFFFFF0.
    SentRestacks w;
    for (uint32_t seq : {0xFFFFFFF0u, 0xFFFFFFFFu, 1u}) EXPECT_EQ(w.add(sent(seq)), std::nullopt);
    EXPECT_EQ(w.take_before(1), (std::vector<SentRestack>{sent(0xFFFFFFF0u), sent(0xFFFFFFFFu)}));

    // BadWindow names the window or the sibling; BadMatch: the sibling is no sibling any more.
    const SentRestack s = sent(1);
    EXPECT_EQ(refusal_of(s, 3, s.window), Refusal::WindowGone);
    EXPECT_EQ(refusal_of(s, 3, s.sibling), Refusal::SiblingGone);
    EXPECT_EQ(refusal_of(s, 8, s.window), Refusal::SiblingGone);
    EXPECT_EQ(refusal_of(s, 2, s.sibling), Refusal::Other);
}

TEST(PlanRaise, LiftsWindowsJustAboveTheLayerAndNeverLowersOne) {
    // 1 and 2 tiled, 5 and 6 floating, 8 a dock; 7 and 9 are menus or a wallpaper (outside the layer).
    const std::set<Window> layer{1, 2, 5, 6, 8};
    auto in_layer = [&](Window w) { return layer.count(w) > 0; };
    struct Case {
        std::vector<Window> stack, wanted;
        std::vector<Restack> restacks;
    } cases[] = {
        {{1, 5, 6, 7}, {5, 6}, {}},
        {{5, 1, 6, 7}, {5, 6}, {{5, 1}}},
        {{6, 1, 7, 5}, {5, 6}, {{6, 5}}},  // 5 stays over the menu it lay over
        {{1, 5, 7, 6, 8, 9}, {5, 6}, {{5, 8}, {6, 5}}},
        {{5, 1, 2}, {5}, {{5, 2}}},
        {{7, 5}, {5}, {}},  // nothing of the layer to go above: never down under the wallpaper
        {{7, 6, 9, 5}, {5, 6}, {{6, 5}}},
        {{5, 1}, {5, 5}, {{5, 1}}},  // named twice (an owner loop): once
        {{5, 1, 6}, {5, 6, 5, 4}, {{5, 1}}},  // 4 is no child of the root
    };
    for (const Case& c : cases) {
        EXPECT_EQ(plan_raise(c.stack, c.wanted, in_layer), c.restacks) << ::testing::PrintToString(c.stack);
    }

    // Any stack and any wanted list, repeats included: applied, the plan leaves the wanted windows in order
    // above the rest of the layer, moves each at most once and only up, and moves nothing else.
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; ++round) {
        std::vector<Window> stack{1, 2, 5, 6, 7, 8, 9};
        std::shuffle(stack.begin(), stack.end(), rng);
        stack.resize(1 + rng() % stack.size());
        std::vector<Window> wanted(rng() % 5);
        for (Window& w : wanted) w = stack[rng() % stack.size()];
        std::erase_if(wanted, [&](Window w) { return !in_layer(w); });
        std::vector<Window> now = stack, firsts;
        for (Window w : wanted) {
            if (std::find(firsts.begin(), firsts.end(), w) == firsts.end()) firsts.push_back(w);
        }
        std::set<Window> moved;
        auto level = [&](Window w) { return std::find(now.begin(), now.end(), w) - now.begin(); };
        const auto plan = plan_raise(stack, wanted, in_layer);
        for (const Restack& r : plan) {
            ASSERT_TRUE(moved.insert(r.window).second) << "moved twice";
            ASSERT_NE(std::find(firsts.begin(), firsts.end(), r.window), firsts.end());
            ASSERT_LT(level(r.window), level(r.sibling)) << "moved down";
            now.erase(now.begin() + level(r.window));
            now.insert(now.begin() + level(r.sibling) + 1, r.window);
        }
        for (size_t k = 1; k < firsts.size(); ++k) EXPECT_LT(level(firsts[k - 1]), level(firsts[k]));
        for (Window w : now) {
            if (in_layer(w) && std::find(firsts.begin(), firsts.end(), w) == firsts.end() && !firsts.empty()) {
                EXPECT_LT(level(w), level(firsts.front())) << "wanted window under the rest of the layer";
            }
        }
    }
}

// An UnmapNotify is vop's only when its sequence number is that of vop's own request for that window.
TEST(OwnUnmaps, OnlyTheEventOfVopsOwnRequestIsVops) {
    OwnUnmaps u;
    u.sent(7, 100);  // hiding 7; its client had unmapped it already (event 99): no event will come of it
    u.sent(8, 101);
    u.saw(99);
    EXPECT_FALSE(u.absorb(7, 99)) << "the client's own unmap";
    EXPECT_FALSE(u.absorb(8, 100)) << "another window's request";
    EXPECT_TRUE(u.absorb(8, 101));
    EXPECT_FALSE(u.absorb(8, 101)) << "a second unmap in the same request is the client's";
    u.saw(102);  // every event of request 100 has been read: it made none
    EXPECT_EQ(u.size(), 0u);
    u.sent(9, 0xFFFFFFFFu);  // across the wrap of sequence numbers
    u.saw(0xFFFFFFFFu);
    EXPECT_EQ(u.awaited(9), 1u);
    u.saw(3);
    EXPECT_EQ(u.awaited(9), 0u);
    for (uint32_t k = 0; k < 10000; ++k) u.sent(1, k);
    EXPECT_LE(u.size(), 4096u) << "a loop that reads no event keeps a bounded record";
}

}  // namespace
}  // namespace vop
