// Connection: the one X connection, with its root window, atoms, cursors and screen size.
#pragma once

#include "x11/error.hpp"

#include <array>
#include <cstdint>
#include <memory>

struct xcb_connection_t;

namespace vop {

using Window = uint32_t;
using Atom = uint32_t;

// The 31 atoms in intern order.
#define VOP_ATOMS(X)                                                                                   \
    X(WM_PROTOCOLS) X(WM_DELETE_WINDOW) X(WM_TRANSIENT_FOR) X(WM_HINTS) X(WM_NORMAL_HINTS)              \
    X(_NET_WM_WINDOW_TYPE) X(_NET_WM_WINDOW_TYPE_DIALOG) X(_NET_WM_WINDOW_TYPE_UTILITY)                 \
    X(_NET_WM_WINDOW_TYPE_TOOLBAR) X(_NET_WM_WINDOW_TYPE_SPLASH) X(_NET_WM_WINDOW_TYPE_NOTIFICATION)    \
    X(_NET_WM_WINDOW_TYPE_DOCK) X(_NET_WM_WINDOW_TYPE_DESKTOP) X(_NET_WM_STATE) X(_NET_WM_STATE_MODAL)  \
    X(_NET_WM_STATE_FULLSCREEN) X(_NET_SUPPORTED) X(_NET_SUPPORTING_WM_CHECK) X(_NET_CLIENT_LIST)       \
    X(_NET_CLIENT_LIST_STACKING) X(_NET_CLOSE_WINDOW) X(_NET_WM_NAME) X(_NET_NUMBER_OF_DESKTOPS)        \
    X(_NET_CURRENT_DESKTOP) X(_NET_DESKTOP_NAMES) X(_NET_WM_DESKTOP) X(_NET_ACTIVE_WINDOW)              \
    X(UTF8_STRING) X(_NET_WM_BYPASS_COMPOSITOR) X(_NET_WM_STRUT) X(_NET_WM_STRUT_PARTIAL)

struct Atoms {
#define VOP_ATOM_FIELD(name) Atom name = 0;
    VOP_ATOMS(VOP_ATOM_FIELD)
#undef VOP_ATOM_FIELD
};
inline constexpr size_t kAtomCount = 31;
extern const std::array<const char*, kAtomCount> kAtomNames;

struct Cursors {
    uint32_t normal = 0, move = 0, top_left = 0, top_right = 0, bottom_left = 0, bottom_right = 0, left = 0,
             right = 0, top = 0, bottom = 0;
};

class Connection {
public:
    // Connects to the server named by DISPLAY, interns the atoms and creates the cursors.
    static XResult<std::unique_ptr<Connection>> create();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Takes SubstructureRedirect on the root window.
    XResult<void> become_wm();
    XResult<void> flush();
    // Error::Connection when the connection has broken, else success.
    XResult<void> check() const;

    xcb_connection_t* conn = nullptr;
    unsigned screen_num = 0;
    Window root = 0;
    Atoms atoms;
    Cursors cursors;
    uint16_t screen_width = 0;
    uint16_t screen_height = 0;
    // Also read off the screen at connection time, for frames and the root background.
    uint32_t black_pixel = 0;
    uint32_t white_pixel = 0;
    uint8_t root_depth = 0;
    uint32_t root_visual = 0;

private:
    Connection() = default;
    XResult<void> create_cursors();
};

}  // namespace vop
