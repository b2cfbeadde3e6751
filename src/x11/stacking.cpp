// The stacking order of the root's children, followed from notifications; where raised windows go in it.
#include "x11/stacking.hpp"

#include <algorithm>

namespace vop {
namespace {
// Sequence numbers wrap: compared as a signed distance, as the server issues them in order.
bool before(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }
}  // namespace

void StackMirror::reset(std::vector<Window> bottom_to_top, uint32_t sequence) {
    order_ = std::move(bottom_to_top);
    reset_at_ = sequence;
    sure_ = true;
    awaiting_ = before(sequence, own_);
}

void StackMirror::sent(uint32_t sequence) {
    own_ = sequence;
    awaiting_ = true;
}

void StackMirror::saw(uint32_t sequence) {
    if (before(own_, sequence)) awaiting_ = false;
}

bool StackMirror::follows(uint32_t sequence) {
    if (before(sequence, reset_at_)) return false;
    // vop's request makes one notification on the root at most, ahead of any later one.
    if (!before(sequence, own_)) awaiting_ = false;
    return true;
}

void StackMirror::created(Window w, uint32_t sequence) {
    if (!follows(sequence)) return;
    std::erase(order_, w);
    order_.push_back(w);
}

void StackMirror::removed(Window w, uint32_t sequence) {
    if (follows(sequence)) std::erase(order_, w);
}

void StackMirror::restacked(Window w, Window sibling, uint32_t sequence) {
    if (!follows(sequence)) return;
    auto it = std::find(order_.begin(), order_.end(), w);
    if (it == order_.end()) {
        sure_ = false;  // a child never seen arriving
        return;
    }
    order_.erase(it);
    if (sibling == 0) {
        order_.insert(order_.begin(), w);
        return;
    }
    auto at = std::find(order_.begin(), order_.end(), sibling);
    if (at == order_.end()) {
        sure_ = false;
        order_.push_back(w);
        return;
    }
    order_.insert(at + 1, w);
}

void StackMirror::circulated(Window w, bool to_top, uint32_t sequence) {
    if (!follows(sequence)) return;
    if (std::find(order_.begin(), order_.end(), w) == order_.end()) {
        sure_ = false;
        return;
    }
    std::erase(order_, w);
    if (to_top) {
        order_.push_back(w);
    } else {
        order_.insert(order_.begin(), w);
    }
}

std::optional<Window> topmost_in_layer(std::span<const Window> stack, const std::function<bool(Window)>& in_layer,
                                       std::span<const Window> except) {
    for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
        if (in_layer(*it) && std::find(except.begin(), except.end(), *it) == except.end()) return *it;
    }
    return std::nullopt;
}

std::vector<Restack> plan_raise(std::span<const Window> stack, std::span<const Window> wanted,
                                const std::function<bool(Window)>& in_layer) {
    std::vector<Window> now(stack.begin(), stack.end());  // as it will be after the restacks so far
    auto at = [&](Window w) { return std::find(now.begin(), now.end(), w); };
    auto is_wanted = [&](Window w) { return std::find(wanted.begin(), wanted.end(), w) != wanted.end(); };
    std::vector<Restack> out;
    std::optional<Window> below = topmost_in_layer(stack, in_layer, wanted);  // none: the bottom
    for (Window w : wanted) {
        auto it = at(w);
        if (it == now.end()) continue;  // not a child of the root
        auto from = below ? at(*below) + 1 : now.begin();
        // In place when nothing else lies between it and the one before; a window that did (a menu over
        // the layer) is left above it, never passed on the way up.
        if (from <= it && std::all_of(from, it, is_wanted)) {
            below = w;
            continue;
        }
        now.erase(it);
        now.insert(below ? at(*below) + 1 : now.begin(), w);
        out.push_back({w, below.value_or(0)});
        below = w;
    }
    return out;
}

}  // namespace vop
