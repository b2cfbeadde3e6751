// Node: inserting, removing, resizing and laying out windows in a workspace's layout tree.
#include "core/tree.hpp"

#include <cmath>
#include <cstdlib>

namespace vop {

Node Node::leaf(std::optional<Window> w) {
    Node n;
    n.v_ = Leaf{w};
    return n;
}

Node Node::split(bool horizontal, float ratio, Node first, Node second) {
    Node n;
    n.v_ = Split{horizontal, ratio, std::make_unique<Node>(std::move(first)),
                 std::make_unique<Node>(std::move(second))};
    return n;
}

Node::Node(const Node& other) {
    if (const Leaf* l = other.as_leaf()) {
        v_ = *l;
    } else {
        const Split& s = std::get<Split>(other.v_);
        v_ = Split{s.horizontal, s.ratio, std::make_unique<Node>(*s.first), std::make_unique<Node>(*s.second)};
    }
}

Node& Node::operator=(const Node& other) {
    if (this != &other) {
        Node copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Node::Node(Node&& other) noexcept : v_(std::move(other.v_)) { other.v_ = Leaf{}; }

Node& Node::operator=(Node&& other) noexcept {
    if (this != &other) {
        // `other` may live inside this node's own subtree: take it out before replacing.
        std::variant<Leaf, Split> taken = std::move(other.v_);
        other.v_ = Leaf{};
        v_ = std::move(taken);
    }
    return *this;
}

unsigned Node::window_count() const {
    if (const Leaf* l = as_leaf()) return l->window ? 1 : 0;
    const Split& s = std::get<Split>(v_);
    return s.first->window_count() + s.second->window_count();
}

namespace {
void collect(const Node& n, std::vector<Window>& out) {
    if (const Node::Leaf* l = n.as_leaf()) {
        if (l->window) out.push_back(*l->window);
        return;
    }
    collect(*n.as_split()->first, out);
    collect(*n.as_split()->second, out);
}
}  // namespace

std::vector<Window> Node::windows() const {
    std::vector<Window> out;
    collect(*this, out);
    return out;
}

bool Node::contains(Window w) const {
    if (const Leaf* l = as_leaf()) return l->window == w;
    const Split& s = std::get<Split>(v_);
    return s.first->contains(w) || s.second->contains(w);
}

std::optional<Window> Node::first_window() const {
    if (const Leaf* l = as_leaf()) return l->window;
    const Split& s = std::get<Split>(v_);
    if (auto w = s.first->first_window()) return w;
    return s.second->first_window();
}

std::pair<Rect, Rect> Node::split_rect(Rect r, bool horizontal, float ratio) {
    const uint16_t length = horizontal ? r.width : r.height;
    // 32-bit float product, clamped to the 16-bit range and truncated; NaN gives 0.
    const float product = ratio * static_cast<float>(length);
    uint16_t p = 0;
    if (product >= 65535.0f) {
        p = 65535;
    } else if (product > 0.0f) {
        p = static_cast<uint16_t>(product);
    }
    const uint16_t rest = p >= length ? 0 : static_cast<uint16_t>(length - p);
    Rect a = r;
    Rect b = r;
    if (horizontal) {
        a.width = p;
        b.x = static_cast<int16_t>(static_cast<uint16_t>(r.x) + p);
        b.width = rest;
    } else {
        a.height = p;
        b.y = static_cast<int16_t>(static_cast<uint16_t>(r.y) + p);
        b.height = rest;
    }
    return {a, b};
}

namespace {
void geometries_into(const Node& n, Rect r, std::vector<WindowGeometry>& out) {
    if (const Node::Leaf* l = n.as_leaf()) {
        if (l->window) out.emplace_back(*l->window, r);
        return;
    }
    const Node::Split& s = *n.as_split();
    auto [a, b] = Node::split_rect(r, s.horizontal, s.ratio);
    geometries_into(*s.first, a, out);
    geometries_into(*s.second, b, out);
}
}  // namespace

std::vector<WindowGeometry> Node::calculate_geometries(Rect rect) const {
    std::vector<WindowGeometry> out;
    geometries_into(*this, rect, out);
    return out;
}

void Node::insert_with_rect(Window w, std::optional<Window> target, Rect rect) {
    Node* cur = this;
    Rect r = rect;
    bool follow = target.has_value();
    const Window t = target.value_or(0);
    while (Split* s = std::get_if<Split>(&cur->v_)) {
        auto [a, b] = split_rect(r, s->horizontal, s->ratio);
        if (follow && s->first->contains(t)) {
            cur = s->first.get();
            r = a;
        } else {
            // Once the target is known to be elsewhere, keep to the last leaf.
            if (follow && !s->second->contains(t)) follow = false;
            cur = s->second.get();
            r = b;
        }
    }
    Leaf& l = std::get<Leaf>(cur->v_);
    if (!l.window) {
        l.window = w;
        return;
    }
    const Window old = *l.window;
    *cur = split(r.width > r.height, 0.5f, leaf(old), leaf(w));
}

bool Node::remove(Window w) {
    if (Leaf* l = std::get_if<Leaf>(&v_)) {
        if (l->window != w) return false;
        l->window.reset();
        return true;
    }
    Split& s = std::get<Split>(v_);
    auto empty_leaf = [](const Node& n) {
        const Leaf* l = n.as_leaf();
        return l && !l->window;
    };
    if (s.first->remove(w)) {
        if (empty_leaf(*s.first)) *this = std::move(*s.second);
        return true;
    }
    if (s.second->remove(w)) {
        if (empty_leaf(*s.second)) *this = std::move(*s.first);
        return true;
    }
    return false;
}

void Node::equalize() {
    if (Split* s = std::get_if<Split>(&v_)) {
        s->ratio = 0.5f;
        s->first->equalize();
        s->second->equalize();
    }
}

bool Node::resize(Window w, Direction dir, float delta) {
    const bool want_horizontal = dir == Direction::Left || dir == Direction::Right;
    Node* cur = this;
    while (Split* s = std::get_if<Split>(&cur->v_)) {
        const bool in_first = s->first->contains(w);
        const bool in_second = !in_first && s->second->contains(w);
        if (!in_first && !in_second) return false;
        if (s->horizontal == want_horizontal) {
            // Right/Down move the shared edge right/down: a bigger share for `first`.
            const bool grows_first = dir == Direction::Right || dir == Direction::Down;
            const float signed_delta = grows_first ? delta : -delta;
            float r = in_first ? s->ratio + signed_delta : s->ratio - signed_delta;
            // NaN (from a NaN delta) fails both comparisons; keep the old ratio then.
            if (std::isnan(r)) r = s->ratio;
            if (r < kMinRatio) r = kMinRatio;
            if (r > kMaxRatio) r = kMaxRatio;
            s->ratio = r;
            return true;
        }
        cur = in_first ? s->first.get() : s->second.get();
    }
    return false;
}

void Node::swap_impl(Window a, Window b, bool& found_a, bool& found_b) {
    if (Leaf* l = std::get_if<Leaf>(&v_)) {
        if (l->window == a) {
            l->window = b;
            found_a = true;
        } else if (l->window == b) {
            l->window = a;
            found_b = true;
        }
        return;
    }
    Split& s = std::get<Split>(v_);
    s.first->swap_impl(a, b, found_a, found_b);
    s.second->swap_impl(a, b, found_a, found_b);
}

std::optional<Window> Node::find_adjacent(const std::vector<WindowGeometry>& geometries, Window from,
                                          Direction dir, std::optional<Window> preferred) {
    const WindowGeometry* origin = nullptr;
    for (const auto& g : geometries) {
        if (g.first == from) {
            origin = &g;
            break;
        }
    }
    if (!origin) return std::nullopt;
    auto centre = [](const Rect& r) {
        return std::pair<int32_t, int32_t>{int32_t{r.x} + r.width / 2, int32_t{r.y} + r.height / 2};
    };
    const auto [fx, fy] = centre(origin->second);
    const bool along_x = dir == Direction::Left || dir == Direction::Right;

    std::optional<Window> best;
    int64_t best_score = 0;
    bool preferred_is_candidate = false;
    for (const auto& [w, r] : geometries) {
        if (w == from) continue;
        const auto [cx, cy] = centre(r);
        bool beyond = false;
        switch (dir) {
            case Direction::Left: beyond = cx < fx; break;
            case Direction::Right: beyond = cx > fx; break;
            case Direction::Up: beyond = cy < fy; break;
            case Direction::Down: beyond = cy > fy; break;
        }
        if (!beyond) continue;
        if (preferred && w == *preferred) preferred_is_candidate = true;
        const int64_t dx = std::llabs(int64_t{cx} - fx);
        const int64_t dy = std::llabs(int64_t{cy} - fy);
        const int64_t score = along_x ? dx + 100 * dy : dy + 100 * dx;
        if (!best || score < best_score) {
            best = w;
            best_score = score;
        }
    }
    if (preferred_is_candidate) return preferred;
    return best;
}

}  // namespace vop
