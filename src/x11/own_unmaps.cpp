// Matching UnmapNotify events to the requests of vop's that made them.
#include "x11/own_unmaps.hpp"

#include <algorithm>

namespace vop {
namespace {
// Sequence numbers wrap: compared as a signed distance, as the server issues them in order.
bool before(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }
// A loop that reads no event for a long while keeps the newest entries only.
constexpr size_t kMaxPending = 4096;
}  // namespace

void OwnUnmaps::sent(Window w, uint32_t sequence) {
    pending_.emplace_back(sequence, w);
    if (pending_.size() > kMaxPending) pending_.pop_front();
}

void OwnUnmaps::saw(uint32_t sequence) {
    while (!pending_.empty() && before(pending_.front().first, sequence)) pending_.pop_front();
}

bool OwnUnmaps::absorb(Window w, uint32_t sequence) {
    auto it = std::find(pending_.begin(), pending_.end(), std::pair{sequence, w});
    if (it == pending_.end()) return false;
    pending_.erase(it);
    return true;
}

size_t OwnUnmaps::awaited(Window w) const {
    return static_cast<size_t>(std::count_if(pending_.begin(), pending_.end(), [w](const auto& p) { return p.second == w; }));
}

}  // namespace vop
