// The stacking order of the root's children, followed from notifications.
#include "x11/stacking.hpp"

#include <algorithm>

namespace vop {

void StackMirror::reset(std::vector<Window> bottom_to_top) {
    order_ = std::move(bottom_to_top);
    sure_ = true;
}

void StackMirror::created(Window w) {
    std::erase(order_, w);
    order_.push_back(w);
}

void StackMirror::raised(Window w) {
    auto it = std::find(order_.begin(), order_.end(), w);
    if (it == order_.end()) return;
    order_.erase(it);
    order_.push_back(w);
}

void StackMirror::removed(Window w) { std::erase(order_, w); }

void StackMirror::restacked(Window w, Window sibling) {
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

void StackMirror::circulated(Window w, bool to_top) {
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

bool StackMirror::top_is(std::span<const Window> order) const {
    return order_.size() >= order.size() && std::equal(order.rbegin(), order.rend(), order_.rbegin());
}

}  // namespace vop
