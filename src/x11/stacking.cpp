// The stacking order of the root's children, followed from notifications and read afresh when unsure; the
// record of sent restacks.
#include "x11/stacking.hpp"

#include "logging.hpp"
#include "x11/wm_requests.hpp"

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

std::optional<SentRestack> SentRestacks::add(const SentRestack& r) {
    sent_.push_back(r);
    if (sent_.size() <= kLimit) return std::nullopt;
    SentRestack oldest = sent_.front();
    sent_.pop_front();
    return oldest;
}

std::vector<SentRestack> SentRestacks::take_before(uint32_t sequence) {
    std::vector<SentRestack> out;
    while (!sent_.empty() && before(sent_.front().sequence, sequence)) {
        out.push_back(sent_.front());
        sent_.pop_front();
    }
    return out;
}

Refusal refusal_of(const SentRestack& r, uint8_t error_code, uint32_t resource) {
    constexpr uint8_t kBadWindow = 3, kBadMatch = 8;
    if (error_code == kBadWindow && resource == r.window) return Refusal::WindowGone;
    if ((error_code == kBadWindow && resource == r.sibling) || error_code == kBadMatch) return Refusal::SiblingGone;
    return Refusal::Other;
}

bool x11::stacking_known(Connection& c) {
    if (c.stack.sure()) return true;
    auto kids = x11::root_children(c);
    if (!kids) {
        log::warn("vop::x11", "Failed to read the stacking order: {}", kids.error());
        return false;
    }
    c.stack.reset(std::move(kids->bottom_to_top), kids->sequence);
    return true;
}

}  // namespace vop
