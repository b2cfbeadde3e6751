// Layout arithmetic for the X protocol's 16-bit fields: sizes and gaps are taken wide, differences saturate,
// and offsets stay on the area they are taken in, so no setting can wrap a coordinate around.
#include "core/layout_math.hpp"

#include <algorithm>

namespace vop::layout {
namespace {

uint16_t sat_sub(uint64_t a, uint64_t b) {
    return static_cast<uint16_t>(a > b ? std::min<uint64_t>(a - b, 0xFFFF) : 0);
}
int16_t wrap_add(int32_t a, int32_t b) { return static_cast<int16_t>(static_cast<uint16_t>(a + b)); }
uint16_t at_least_1(uint16_t v) { return v < 2 ? 1 : v; }
uint64_t twice(uint32_t v) { return 2 * uint64_t{v}; }

// `origin` moved on by `by`, but no further than the last pixel of the `length` it lies in.
int16_t within(int16_t origin, uint64_t by, uint16_t length) {
    return static_cast<int16_t>(origin + static_cast<int32_t>(std::min<uint64_t>(by, length ? length - 1u : 0)));
}

// Start of a span `size` long that would start at `at`, kept on [lo, lo + length) where it fits there.
int64_t keep_on(int64_t at, uint64_t size, int64_t lo, uint16_t length) {
    return size > length ? lo : std::clamp<int64_t>(at, lo, lo + length - static_cast<int64_t>(size));
}

// Position of a size centred in a monitor: the difference is taken as a signed 16-bit value.
int16_t centred(int16_t origin, uint16_t outer, uint32_t inner) {
    int16_t diff = static_cast<int16_t>(static_cast<uint16_t>(outer - inner));
    return wrap_add(origin, diff / 2);
}

Rect centred_rect(Rect m, uint32_t w, uint32_t h) {
    return Rect{centred(m.x, m.width, w), centred(m.y, m.height, h), static_cast<uint16_t>(w),
                static_cast<uint16_t>(h)};
}

// Whether the span [start, end] along an edge meets [lo, lo + length).
bool span_meets(uint32_t start, uint32_t end, int64_t lo, uint16_t length) {
    return start <= end && length > 0 && int64_t{start} < lo + length && int64_t{end} >= lo;
}

// Depth of a side `width` wide, measured from the screen edge that lies `gap` beyond the monitor's edge.
uint32_t depth_past(uint32_t width, int64_t gap, uint16_t monitor_size) {
    const int64_t depth = int64_t{width} - std::max<int64_t>(gap, 0);
    return depth <= 0 ? 0 : static_cast<uint32_t>(std::min<int64_t>(depth, monitor_size));
}

// How deep each side of one strut reaches into the monitor.
Reservation strut_reach(const Strut& s, Rect m, uint16_t screen_width, uint16_t screen_height) {
    const int64_t right_gap = int64_t{screen_width} - (int64_t{m.x} + m.width);
    const int64_t bottom_gap = int64_t{screen_height} - (int64_t{m.y} + m.height);
    Reservation r;
    if (span_meets(s.left_start_y, s.left_end_y, m.y, m.height)) r.left = depth_past(s.left, m.x, m.width);
    if (span_meets(s.right_start_y, s.right_end_y, m.y, m.height)) r.right = depth_past(s.right, right_gap, m.width);
    if (span_meets(s.top_start_x, s.top_end_x, m.x, m.width)) r.top = depth_past(s.top, m.y, m.height);
    if (span_meets(s.bottom_start_x, s.bottom_end_x, m.x, m.width))
        r.bottom = depth_past(s.bottom, bottom_gap, m.height);
    return r;
}

}  // namespace

Reservation monitor_reservation(std::span<const Strut> struts, Rect m, uint16_t screen_width,
                                uint16_t screen_height) {
    Reservation total;
    for (const Strut& s : struts) {
        const Reservation r = strut_reach(s, m, screen_width, screen_height);
        total.left = std::max(total.left, r.left);
        total.right = std::max(total.right, r.right);
        total.top = std::max(total.top, r.top);
        total.bottom = std::max(total.bottom, r.bottom);
    }
    return total;
}

bool room_to_tile(Rect area, uint32_t gap_inner, Decorations d) {
    return sat_sub(sat_sub(area.width, gap_inner), twice(d.border_width)) >= 2 &&
           sat_sub(sat_sub(area.height, gap_inner), twice(d.border_width) + d.titlebar_height) >= 2;
}

Gaps fit_gaps(Rect m, Gaps wanted, Decorations d) {
    const uint64_t across = sat_sub(m.width, twice(d.border_width) + 2);
    const uint64_t down = sat_sub(m.height, twice(d.border_width) + d.titlebar_height + 2);
    const uint64_t outer = std::min<uint64_t>({wanted.outer, across / 2, down / 2});
    const uint64_t inner = std::min<uint64_t>({wanted.inner, across - 2 * outer, down - 2 * outer});
    return Gaps{static_cast<uint32_t>(outer), static_cast<uint32_t>(inner)};
}

Rect work_area(Rect m, Reservation r, uint32_t gap_outer) {
    // Struts come from clients: each side is clamped to the monitor before anything is summed, the sums are
    // wide and the corner stays on the monitor, so neither a reservation nor a gap can wrap the area around.
    const uint64_t left = std::min<uint32_t>(r.left, m.width), right = std::min<uint32_t>(r.right, m.width);
    const uint64_t top = std::min<uint32_t>(r.top, m.height), bottom = std::min<uint32_t>(r.bottom, m.height);
    return Rect{within(m.x, gap_outer + left, m.width), within(m.y, gap_outer + top, m.height),
                sat_sub(m.width, left + right + twice(gap_outer)), sat_sub(m.height, top + bottom + twice(gap_outer))};
}

std::optional<Rect> tiling_area(Rect monitor, Reservation r, Gaps gaps, Decorations d) {
    const Rect area = work_area(monitor, r, gaps.outer);
    if (r == Reservation{} || room_to_tile(area, gaps.inner, d)) return area;
    return std::nullopt;
}

Rect tiled_box(Rect cell, Rect area, uint32_t gap_inner, Decorations d) {
    const uint64_t borders = twice(d.border_width);
    const uint16_t w = at_least_1(sat_sub(sat_sub(cell.width, gap_inner), borders));
    const uint16_t h = at_least_1(sat_sub(sat_sub(cell.height, gap_inner), borders));
    // Half the gap in from the cell's corner, as far as the whole window still fits in the cell. In a cell
    // smaller than its borders and title bar it overlaps its neighbours rather than leave the area.
    const uint64_t outer_w = w + borders, outer_h = std::max<uint64_t>(h, uint64_t{d.titlebar_height} + 1) + borders;
    const int64_t x = keep_on(cell.x + int64_t{gap_inner / 2}, outer_w, cell.x, cell.width);
    const int64_t y = keep_on(cell.y + int64_t{gap_inner / 2}, outer_h, cell.y, cell.height);
    return Rect{static_cast<int16_t>(keep_on(x, outer_w, area.x, area.width)),
                static_cast<int16_t>(keep_on(y, outer_h, area.y, area.height)), w, h};
}

Rect floating_box(Rect g, uint32_t border_width) {
    return Rect{g.x, g.y, at_least_1(sat_sub(g.width, twice(border_width))),
                at_least_1(sat_sub(g.height, twice(border_width)))};
}

uint16_t client_height(uint16_t h, uint32_t titlebar_height) {
    return h > titlebar_height ? static_cast<uint16_t>(h - titlebar_height) : 1;
}

uint16_t framed_floating_height(Rect g, uint32_t border_width, uint32_t titlebar_height) {
    return client_height(sat_sub(g.height, twice(border_width)), titlebar_height);
}

Decorations fit_decorations(Rect m, uint32_t border_width, uint32_t titlebar_height) {
    const uint32_t side = std::min(m.width, m.height);
    const uint32_t border = std::min(border_width, side > 0 ? (side - 1) / 2 : 0);
    return Decorations{border, std::min<uint32_t>(titlebar_height, sat_sub(m.height, twice(border) + 1))};
}

Decorations floating_decorations(Rect m, Rect g, uint32_t border_width, uint32_t titlebar_height) {
    const Decorations d = fit_decorations(m, border_width, titlebar_height);
    return fit_decorations(g, d.border_width, d.titlebar_height);
}

Rect client_on(Rect m, Decorations d, uint16_t width, uint16_t height) {
    const uint16_t w = at_least_1(sat_sub(m.width, twice(d.border_width))), h =
        at_least_1(sat_sub(m.height, twice(d.border_width) + d.titlebar_height));
    return Rect{m.x, m.y, std::min(width, w), std::min(height, h)};
}

Rect floating_size_small(Rect m) {
    uint32_t w = std::min<uint32_t>(sat_sub(m.width, 40), 640);
    uint32_t h = std::min<uint32_t>(sat_sub(m.height, 40), 480);
    return centred_rect(m, w, h);
}

Rect floating_size_large(Rect m) {
    uint32_t w = std::max<uint32_t>(400, uint32_t{m.width} * 4 / 5);
    uint32_t h = std::max<uint32_t>(300, uint32_t{m.height} * 4 / 5);
    return centred_rect(m, w, h);
}

bool point_on(Rect area, int32_t x, int32_t y) {
    return x >= area.x && x < area.x + area.width && y >= area.y && y < area.y + area.height;
}

bool centre_on(Rect area, Rect g) { return point_on(area, g.x + g.width / 2, g.y + g.height / 2); }

Rect bring_inside(Rect g, Rect target, std::optional<Rect> from) {
    const uint16_t w = std::min(g.width, target.width), h = std::min(g.height, target.height);
    int32_t x, y;
    if (from) {
        x = g.x + target.x - from->x;
        y = g.y + target.y - from->y;
    } else {
        x = target.x + (target.width - g.width) / 2;
        y = target.y + (target.height - g.height) / 2;
    }
    x = std::clamp<int32_t>(x, target.x, target.x + target.width - w);
    y = std::clamp<int32_t>(y, target.y, target.y + target.height - h);
    return Rect{static_cast<int16_t>(x), static_cast<int16_t>(y), w, h};
}

Point centre(Rect m) { return Point{wrap_add(m.x, m.width / 2), wrap_add(m.y, m.height / 2)}; }

}  // namespace vop::layout
