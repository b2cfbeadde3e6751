// Pure geometry of the layout pass: work areas, window boxes inside cells, floating sizes.
#pragma once

#include "core/rect.hpp"
#include "core/strut.hpp"

#include <cstdint>
#include <optional>
#include <span>

namespace vop::layout {

// Screen edges reserved by docks or the bar.
struct Reservation {
    uint32_t left = 0, right = 0, top = 0, bottom = 0;
    bool operator==(const Reservation&) const = default;
};

// A monitor's reserved edges: per side the deepest reach of any strut into it. Struts count from the edges
// of the whole screen, so a side reaches in only as far as it goes past the monitor's own edge, and only
// where its span meets the monitor; no side reaches further than the monitor is wide or high.
Reservation monitor_reservation(std::span<const Strut> struts, Rect monitor, uint16_t screen_width,
                                uint16_t screen_height);

// The border width and title-bar height windows get on a monitor: the settings, as far as they fit on it
// together (two borders and a title bar leave a pixel of client). More would put frames past its edges.
struct Decorations {
    uint32_t border_width = 0;
    uint32_t titlebar_height = 0;
};
Decorations fit_decorations(Rect monitor, uint32_t border_width, uint32_t titlebar_height);
// A floating window's: those of its monitor, cut further to what its own geometry holds, so that it keeps the
// size it was given, borders and title bar included.
Decorations floating_decorations(Rect monitor, Rect geometry, uint32_t border_width, uint32_t titlebar_height);

// A monitor's area less the reserved edges and the outer gap (saturating sizes; its corner on the monitor).
Rect work_area(Rect monitor, Reservation r, uint32_t gap_outer);

// Whether a tiled window alone in the area would still have a client of at least 2 pixels each way.
bool room_to_tile(Rect area, uint32_t gap_inner, Decorations d);

struct Gaps {
    uint32_t outer = 0, inner = 0;
    bool operator==(const Gaps&) const = default;
};
// The gaps as far as they leave a window alone on the monitor its decorations and a client of 2 pixels each
// way (the outer gap kept first); none where the monitor has no more room than that.
Gaps fit_gaps(Rect monitor, Gaps wanted, Decorations d);

// The work area the tiles of a monitor get; none when the reserved edges leave no room to tile in it.
std::optional<Rect> tiling_area(Rect monitor, Reservation r, Gaps gaps, Decorations d);

// A tiled window's box inside its cell of `area` (a framed window's title bar and client together): gap and
// borders taken off, never below 1 pixel. Borders and title bar included it stays on its cell, or where the
// cell is too small for them, on the area.
Rect tiled_box(Rect cell, Rect area, uint32_t gap_inner, Decorations d);

// A floating window's client size from its floating geometry (borders inside), never below 1 pixel.
Rect floating_box(Rect geometry, uint32_t border_width);

// Height of a framed client under a title bar of the given height.
uint16_t client_height(uint16_t h_before_raise, uint32_t titlebar_height);
// The same for a framed floating window.
uint16_t framed_floating_height(Rect geometry, uint32_t border_width, uint32_t titlebar_height);

// A client of at most width x height at the monitor's corner, no larger than its frame leaves on the monitor.
Rect client_on(Rect monitor, Decorations d, uint16_t width, uint16_t height);

// Floating geometry of a newly managed floating window on the current workspace.
Rect floating_size_small(Rect monitor);
// Floating geometry of a new floating window on another workspace, and of a window floated by command.
Rect floating_size_large(Rect monitor);

// Whether the point lies on `area`.
bool point_on(Rect area, int32_t x, int32_t y);
// Whether the centre of `g` (halves rounded down) lies on `area`.
bool centre_on(Rect area, Rect g);

// A floating geometry brought onto `target`: moved by the offset from `from` to `target` (`from` being the
// monitor it lay on, when known) or else centred on `target`; then shrunk to `target` where it is larger, and
// moved just as far as it takes to lie wholly on it.
Rect bring_inside(Rect g, Rect target, std::optional<Rect> from);

// Centre of a monitor (halves rounded down, 16-bit wrapping sums).
struct Point {
    int16_t x, y;
};
Point centre(Rect monitor);

}  // namespace vop::layout
