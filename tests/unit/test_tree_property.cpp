// Layout tree under long random sequences of operations: structure and tiling stay sound.
#include "core/tree.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

using vop::Direction;
using vop::Node;
using vop::Rect;
using vop::Window;

namespace {

// A small fixed generator so the sequence is the same with every standard library.
struct Rng {
    uint64_t state;
    uint32_t next() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(state >> 33);
    }
    uint32_t below(uint32_t n) { return n == 0 ? 0 : next() % n; }
};

// Empty string when the structure holds; otherwise what is wrong.
std::string structure_fault(const Node& n, bool is_root) {
    if (const auto* l = n.as_leaf()) {
        if (!is_root && !l->window) return "empty leaf below a split";
        return {};
    }
    const auto* s = n.as_split();
    if (!(s->ratio >= Node::kMinRatio && s->ratio <= Node::kMaxRatio))
        return "ratio out of range: " + std::to_string(s->ratio);
    if (auto f = structure_fault(*s->first, false); !f.empty()) return f;
    return structure_fault(*s->second, false);
}

bool overlap(const Rect& a, const Rect& b) {
    const int ax2 = a.x + a.width, ay2 = a.y + a.height;
    const int bx2 = b.x + b.width, by2 = b.y + b.height;
    return a.x < bx2 && b.x < ax2 && a.y < by2 && b.y < ay2;
}

void expect_tiles_exactly(const Node& n, Rect r, size_t windows) {
    const auto geo = n.calculate_geometries(r);
    ASSERT_EQ(geo.size(), windows);
    if (windows == 0) return;
    uint64_t area = 0;
    for (size_t i = 0; i < geo.size(); ++i) {
        const Rect& c = geo[i].second;
        ASSERT_GE(c.x, r.x);
        ASSERT_GE(c.y, r.y);
        ASSERT_LE(c.x + c.width, r.x + r.width);
        ASSERT_LE(c.y + c.height, r.y + r.height);
        area += uint64_t{c.width} * c.height;
        for (size_t j = i + 1; j < geo.size(); ++j) ASSERT_FALSE(overlap(c, geo[j].second)) << i << " and " << j;
    }
    // Inside, pairwise disjoint and with the full area: no gap is left.
    ASSERT_EQ(area, uint64_t{r.width} * r.height);
}

}  // namespace

TEST(TreeProperty, RandomOperationsKeepInvariants) {
    Rng rng{20260101};
    Node tree;
    std::set<Window> present;
    Window next_id = 1;
    size_t most = 0;
    const Direction dirs[] = {Direction::Left, Direction::Right, Direction::Up, Direction::Down};

    auto pick_present = [&]() -> Window {
        auto it = present.begin();
        std::advance(it, rng.below(static_cast<uint32_t>(present.size())));
        return *it;
    };

    for (int step = 0; step < 5000; ++step) {
        // A monitor-sized rectangle, not far from the origin so no coordinate wraps.
        const Rect screen{static_cast<int16_t>(rng.below(400)), static_cast<int16_t>(rng.below(400)),
                          static_cast<uint16_t>(rng.below(3000)), static_cast<uint16_t>(rng.below(2000))};
        const uint32_t op = rng.below(100);
        if (op < 30 || present.empty()) {
            std::optional<Window> target;
            const uint32_t how = rng.below(3);
            if (how == 1 && !present.empty()) target = pick_present();
            if (how == 2) target = 100000 + rng.below(10);  // never in the tree
            const Window w = next_id++;
            tree.insert_with_rect(w, target, screen);
            present.insert(w);
        } else if (op < 65) {
            const bool absent = rng.below(10) == 0;
            const Window w = absent ? 100000 + rng.below(10) : pick_present();
            ASSERT_EQ(tree.remove(w), !absent);
            present.erase(w);
        } else if (op < 73) {
            const Window a = pick_present();
            const Window b = pick_present();
            bool fa = false, fb = false;
            const auto before = tree.windows();
            tree.swap_impl(a, b, fa, fb);
            ASSERT_TRUE(fa);
            ASSERT_EQ(fb, a != b);
            ASSERT_EQ(tree.windows().size(), before.size());
        } else if (op < 95) {
            const Window w = pick_present();
            const float delta = static_cast<float>(rng.below(400)) / 1000.0f - 0.1f;
            const bool changed = tree.resize(w, dirs[rng.below(4)], delta);
            if (present.size() == 1) {
                ASSERT_FALSE(changed);
            }
        } else {
            tree.equalize();
        }

        SCOPED_TRACE("step " + std::to_string(step));
        ASSERT_EQ(structure_fault(tree, true), "");
        const auto ws = tree.windows();
        ASSERT_EQ(std::set<Window>(ws.begin(), ws.end()), present);
        ASSERT_EQ(ws.size(), present.size());
        ASSERT_EQ(tree.window_count(), present.size());
        ASSERT_EQ(tree.first_window(), ws.empty() ? std::nullopt : std::optional<Window>(ws.front()));
        expect_tiles_exactly(tree, screen, present.size());
        if (HasFatalFailure()) return;
        most = std::max(most, present.size());
    }
    // The walk must have built trees deep enough to mean something.
    EXPECT_GE(most, 12u);
}
