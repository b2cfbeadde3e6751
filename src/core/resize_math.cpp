// Edge zones, corner choice and mouse-resize arithmetic of floating windows.
#include "core/resize_math.hpp"

namespace vop {
namespace {

int16_t add16(int16_t a, int b) { return static_cast<int16_t>(static_cast<uint16_t>(a + b)); }

// 16-bit wrapping size change, held at the minimum when it reads below it as a signed value.
uint16_t sized(uint16_t v, int delta) {
    const auto r = static_cast<uint16_t>(v + delta);
    return static_cast<int16_t>(r) < static_cast<int16_t>(kMinResize) ? kMinResize : r;
}

}  // namespace

std::string_view resize_edge_name(ResizeEdge edge) {
    switch (edge) {
        case ResizeEdge::TopLeft: return "TopLeft";
        case ResizeEdge::Top: return "Top";
        case ResizeEdge::TopRight: return "TopRight";
        case ResizeEdge::Left: return "Left";
        case ResizeEdge::Right: return "Right";
        case ResizeEdge::BottomLeft: return "BottomLeft";
        case ResizeEdge::Bottom: return "Bottom";
        case ResizeEdge::BottomRight: return "BottomRight";
        case ResizeEdge::None: return "None";
    }
    return "None";
}

ResizeEdge edge_at(Rect g, int16_t px, int16_t py) {
    const int16_t x2 = add16(g.x, g.width), y2 = add16(g.y, g.height);
    // Each strip is kEdgeZone pixels inside the window; x2 and y2 are the first pixels past it.
    const bool left = g.x <= px && px < add16(g.x, kEdgeZone);
    const bool right = add16(x2, -kEdgeZone) <= px && px < x2;
    const bool top = g.y <= py && py < add16(g.y, kEdgeZone);
    const bool bottom = add16(y2, -kEdgeZone) <= py && py < y2;
    if (top && left) return ResizeEdge::TopLeft;
    if (top && right) return ResizeEdge::TopRight;
    if (bottom && left) return ResizeEdge::BottomLeft;
    if (right) {
        if (bottom) return ResizeEdge::BottomRight;
        return left ? ResizeEdge::Left : ResizeEdge::Right;  // narrower than both zones
    }
    if (left) return ResizeEdge::Left;
    if (top) return ResizeEdge::Top;
    if (bottom) return ResizeEdge::Bottom;
    return ResizeEdge::None;
}

ResizeEdge nearest_corner(Rect g, int16_t px, int16_t py) {
    const bool lower = py >= add16(g.y, g.height / 2);
    const bool right = px >= add16(g.x, g.width / 2);
    if (lower) return right ? ResizeEdge::BottomRight : ResizeEdge::BottomLeft;
    return right ? ResizeEdge::TopRight : ResizeEdge::TopLeft;
}

Rect calculate_resize(Rect s, ResizeEdge edge, int16_t dx, int16_t dy) {
    switch (edge) {
        case ResizeEdge::TopLeft: return {add16(s.x, dx), add16(s.y, dy), sized(s.width, -dx), sized(s.height, -dy)};
        case ResizeEdge::Top: return {s.x, add16(s.y, dy), s.width, sized(s.height, -dy)};
        case ResizeEdge::TopRight: return {s.x, add16(s.y, dy), sized(s.width, dx), sized(s.height, -dy)};
        case ResizeEdge::Left: return {add16(s.x, dx), s.y, sized(s.width, -dx), s.height};
        case ResizeEdge::Right: return {s.x, s.y, sized(s.width, dx), s.height};
        case ResizeEdge::BottomLeft: return {add16(s.x, dx), s.y, sized(s.width, -dx), sized(s.height, dy)};
        case ResizeEdge::Bottom: return {s.x, s.y, s.width, sized(s.height, dy)};
        case ResizeEdge::BottomRight: return {s.x, s.y, sized(s.width, dx), sized(s.height, dy)};
        case ResizeEdge::None: return s;
    }
    return s;
}

}  // namespace vop
