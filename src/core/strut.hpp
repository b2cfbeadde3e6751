// Strut: the screen edges a dock reserves, each with the span along the edge that it covers.
#pragma once

#include <cstdint>

namespace vop {

// Widths count from the edges of the whole screen (the root window), spans are root coordinates along
// the edge, both ends included. A strut without spans covers its whole edge.
struct Strut {
    static constexpr uint32_t kWholeEdge = UINT32_MAX;
    uint32_t left = 0;
    uint32_t right = 0;
    uint32_t top = 0;
    uint32_t bottom = 0;
    uint32_t left_start_y = 0, left_end_y = kWholeEdge;
    uint32_t right_start_y = 0, right_end_y = kWholeEdge;
    uint32_t top_start_x = 0, top_end_x = kWholeEdge;
    uint32_t bottom_start_x = 0, bottom_end_x = kWholeEdge;
    bool operator==(const Strut&) const = default;
};

}  // namespace vop
