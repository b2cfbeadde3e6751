// EWMH publishing: the supporting-WM check window and the root's desktop properties.
#include "x11/connection.hpp"

#include "logging.hpp"

#include <xcb/xcb.h>

namespace vop {
namespace {
constexpr const char* kTarget = "vop::x11::connection";
}

XResult<Window> Connection::setup_wm_check() {
    Window check_window = xcb_generate_id(conn);
    if (check_window == static_cast<Window>(-1)) return err(Error::reply_or_id("resource ids exhausted"));
    // Never mapped: it only carries the properties that name the window manager.
    xcb_create_window(conn, XCB_COPY_FROM_PARENT, check_window, root, -1, -1, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
    VOP_TRY(check());
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, root, atoms._NET_SUPPORTING_WM_CHECK, XCB_ATOM_WINDOW, 32, 1,
                        &check_window);
    VOP_TRY(check());
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, check_window, atoms._NET_SUPPORTING_WM_CHECK, XCB_ATOM_WINDOW,
                        32, 1, &check_window);
    VOP_TRY(check());
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, check_window, atoms._NET_WM_NAME, atoms.UTF8_STRING, 8, 3,
                        "vop");
    VOP_TRY(check());
    log::info(kTarget, "Created WM check window {}", check_window);
    return check_window;
}

XResult<void> Connection::set_current_desktop(uint32_t index) {
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, root, atoms._NET_CURRENT_DESKTOP, XCB_ATOM_CARDINAL, 32, 1,
                        &index);
    return check();
}

XResult<void> Connection::set_desktop_names(const std::vector<std::string>& names) {
    std::string bytes;
    for (const std::string& n : names) {
        bytes += n;
        bytes += '\0';
    }
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, root, atoms._NET_DESKTOP_NAMES, atoms.UTF8_STRING, 8,
                        static_cast<uint32_t>(bytes.size()), bytes.data());
    return check();
}

XResult<void> Connection::set_active_window(std::optional<Window> window) {
    const Window value = window.value_or(XCB_NONE);
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, root, atoms._NET_ACTIVE_WINDOW, XCB_ATOM_WINDOW, 32, 1, &value);
    return check();
}

}  // namespace vop
