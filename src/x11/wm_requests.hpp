// Requests the core and the event loop send directly: properties, stacking, input focus, tree queries.
#pragma once

#include "x11/connection.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vop::x11 {

// ChangeProperty (Replace, format 32) of a list of values with type CARDINAL, WINDOW or ATOM.
XResult<void> set_cardinals(Connection& c, Window w, Atom property, std::span<const uint32_t> values);
XResult<void> set_windows(Connection& c, Window w, Atom property, std::span<const uint32_t> values);
XResult<void> set_atoms(Connection& c, Window w, Atom property, std::span<const uint32_t> values);
XResult<void> delete_property(Connection& c, Window w, Atom property);

// ConfigureWindow: `w` just above `sibling` (stack mode Above), or just below it; `why` is what a refusal
// redoes (see Connection::refused_restacks).
XResult<void> restack(Connection& c, Window w, Window sibling, RestackFor why);
XResult<void> restack_below(Connection& c, Window w, Window sibling, RestackFor why);
// SetInputFocus (revert to Parent, CurrentTime).
XResult<void> set_input_focus(Connection& c, Window w);
// GetInputFocus, waited for: every request before it has reached the server.
XResult<void> sync(Connection& c);
// A WM_PROTOCOLS ClientMessage carrying WM_DELETE_WINDOW.
XResult<void> send_delete_window(Connection& c, Window w);

// QueryTree of the root, waited for: its children bottom to top, and the request's sequence number (the
// answer holds every change the server made before that request).
struct RootChildren {
    std::vector<Window> bottom_to_top;
    uint32_t sequence = 0;
};
XResult<RootChildren> root_children(Connection& c);

struct WindowAttributes {
    bool viewable = false;
    bool override_redirect = false;
    bool mapped = false;  // mapped itself, viewable or not (its parent may be unmapped)
};
// GetWindowAttributes, waited for; none when the window vanished (a request that cannot be sent is an error).
XResult<std::optional<WindowAttributes>> window_attributes(Connection& c, Window w);

// Where a window is now: its parent, whether it is mapped itself (viewable or not), and whether vop selects
// events on it (a client's window that vop took in does; another window that has since taken the id of one
// destroyed does not).
struct WindowPlace {
    Window parent = 0;
    bool mapped = false;
    bool watched = false;
};
// GetWindowAttributes and QueryTree of each, one round trip for all; none for a window that vanished.
XResult<std::vector<std::optional<WindowPlace>>> places_of(Connection& c, std::span<const Window> windows);
XResult<std::optional<WindowPlace>> window_place(Connection& c, Window w);

// Where a window really is: its outer corner in root coordinates (whatever its parent), its size and
// its border width. GetGeometry and TranslateCoordinates, waited for; none when the window vanished.
struct RootGeometry {
    Rect rect;
    uint16_t border_width = 0;
};
XResult<std::optional<RootGeometry>> root_geometry(Connection& c, Window w);
// A synthetic ConfigureNotify that tells a client the geometry it has (how a refused ConfigureRequest is
// answered).
XResult<void> send_configure_notify(Connection& c, Window w, const RootGeometry& g);

}  // namespace vop::x11
