// Pointer geometry of floating windows: which edge zone a point is in, and the resize it drives.
#pragma once

#include "core/rect.hpp"

#include <cstdint>
#include <string_view>

namespace vop {

enum class ResizeEdge : uint8_t { TopLeft, Top, TopRight, Left, Right, BottomLeft, Bottom, BottomRight, None };

// "TopLeft", ..., "None".
std::string_view resize_edge_name(ResizeEdge edge);

// Width of the zone along each edge of a floating window where a plain press resizes.
inline constexpr int16_t kEdgeZone = 12;
// Smallest width and height a mouse resize leaves.
inline constexpr uint16_t kMinResize = 50;

// The edge zone of `geometry` that holds (px, py), None outside every zone.
ResizeEdge edge_at(Rect geometry, int16_t px, int16_t py);

// The corner of the quarter of `geometry` that holds (px, py): where a Mod+button-3 resize grabs.
ResizeEdge nearest_corner(Rect geometry, int16_t px, int16_t py);

// `start` resized from `edge` by the pointer moving (dx, dy), in 16-bit wrapping arithmetic. Sizes
// stay at least kMinResize; the moved side still follows the full delta, so the window slides.
Rect calculate_resize(Rect start, ResizeEdge edge, int16_t dx, int16_t dy);

}  // namespace vop

template <>
struct fmt::formatter<vop::ResizeEdge> : fmt::formatter<std::string_view> {
    auto format(vop::ResizeEdge e, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(vop::resize_edge_name(e), ctx);
    }
};
