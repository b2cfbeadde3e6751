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

// ConfigureWindow with only the stack mode Above.
XResult<void> raise_window(Connection& c, Window w);
// SetInputFocus (revert to Parent, CurrentTime).
XResult<void> set_input_focus(Connection& c, Window w);
// GetInputFocus, waited for: every request before it has reached the server.
XResult<void> sync(Connection& c);
// KillClient: the server closes the client's connection.
XResult<void> kill_client(Connection& c, Window w);
// A WM_PROTOCOLS ClientMessage carrying WM_DELETE_WINDOW.
XResult<void> send_delete_window(Connection& c, Window w);

// QueryTree of the root, waited for: its children bottom to top.
XResult<std::vector<Window>> root_children(Connection& c);

struct WindowAttributes {
    bool viewable = false;
    bool override_redirect = false;
};
// GetWindowAttributes, waited for; none when the window vanished (a request that cannot be sent is an error).
XResult<std::optional<WindowAttributes>> window_attributes(Connection& c, Window w);

}  // namespace vop::x11
