// Small window and input requests: grabs, cursors, pointer warps, configure/restack/map/unmap, two lookups.
#include "x11/connection.hpp"

#include "logging.hpp"

#include <xcb/xcb.h>

#include <cstdlib>
#include <string>

namespace vop {
namespace {
constexpr const char* kTarget = "vop::x11::connection";

constexpr uint16_t kModLock = 0x02;
constexpr uint16_t kModNumLock = 0x10;
constexpr uint16_t kAnyModifier = 0x8000;

std::string grab_status_name(uint8_t status) {
    static const char* const names[] = {"Success", "AlreadyGrabbed", "InvalidTime", "NotViewable", "Frozen"};
    if (status < std::size(names)) return names[status];
    return std::to_string(status);
}
}  // namespace

XResult<void> Connection::grab_key(uint16_t modifiers, uint8_t keycode) {
    // Also grab with Num Lock and Caps Lock on, so the binding works whatever their state.
    const uint16_t variants[] = {modifiers, static_cast<uint16_t>(modifiers | kModNumLock),
                                 static_cast<uint16_t>(modifiers | kModLock),
                                 static_cast<uint16_t>(modifiers | kModLock | kModNumLock)};
    for (uint16_t mods : variants) {
        xcb_grab_key(conn, 0, root, mods, keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        VOP_TRY(check());
    }
    return {};
}

XResult<void> Connection::grab_button(Window window) {
    // The pointer freezes at the press until the handler answers with AllowEvents: only then can the
    // click that focuses a window be replayed to it.
    xcb_grab_button(conn, 0, window, XCB_EVENT_MASK_BUTTON_PRESS, XCB_GRAB_MODE_SYNC, XCB_GRAB_MODE_ASYNC,
                    XCB_NONE, XCB_NONE, XCB_BUTTON_INDEX_ANY, kAnyModifier);
    return check();
}

XResult<void> Connection::ungrab_button(Window window) {
    xcb_ungrab_button(conn, XCB_BUTTON_INDEX_ANY, window, kAnyModifier);
    return check();
}

XResult<void> Connection::grab_mod_buttons() {
    // Mod1 and Mod4, each alone, with Num Lock, with Caps Lock, with both.
    const uint16_t mods[] = {0x08, 0x18, 0x0A, 0x1A, 0x40, 0x50, 0x42, 0x52};
    const uint16_t mask =
        XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE | XCB_EVENT_MASK_BUTTON_MOTION;
    for (uint8_t button : {XCB_BUTTON_INDEX_1, XCB_BUTTON_INDEX_3}) {
        for (uint16_t m : mods) {
            xcb_grab_button(conn, 0, root, mask, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE,
                            button, m);
            VOP_TRY(check());
        }
    }
    log::debug(kTarget, "Grabbed Mod+Button1/Button3 on root for floating move/resize");
    return {};
}

XResult<void> Connection::set_window_cursor(Window window, uint32_t cursor) {
    log::debug(kTarget, "set_window_cursor: window={} cursor={}", window, cursor);
    xcb_change_window_attributes(conn, window, XCB_CW_CURSOR, &cursor);
    return check();
}

XResult<void> Connection::clear_window_cursor(Window window) {
    log::debug(kTarget, "clear_window_cursor: window={}", window);
    const uint32_t none = XCB_NONE;  // the parent's cursor shows through
    xcb_change_window_attributes(conn, window, XCB_CW_CURSOR, &none);
    return check();
}

XResult<void> Connection::warp_pointer_to_window(Window window) {
    auto cookie = xcb_get_geometry(conn, window);
    VOP_TRY(check());
    xcb_generic_error_t* e = nullptr;
    xcb_get_geometry_reply_t* g = xcb_get_geometry_reply(conn, cookie, &e);
    if (!g) {
        std::string text = e ? describe_x_error(e->error_code, e->major_code, e->minor_code, e->resource_id,
                                                e->sequence)
                             : describe_conn_error(xcb_connection_has_error(conn));
        const uint8_t code = e ? e->error_code : 0;
        std::free(e);
        return err(Error::reply(text, code));
    }
    auto x = static_cast<int16_t>(g->width / 2);
    auto y = static_cast<int16_t>(g->height / 2);
    std::free(g);
    return window_change(xcb_warp_pointer(conn, XCB_NONE, window, 0, 0, 0, 0, x, y).sequence);
}

XResult<void> Connection::warp_pointer(int16_t x, int16_t y) {
    return window_change(xcb_warp_pointer(conn, XCB_NONE, root, 0, 0, 0, 0, x, y).sequence);
}

XResult<void> Connection::set_border(Window window, uint32_t border_width, uint32_t colour) {
    xcb_change_window_attributes(conn, window, XCB_CW_BORDER_PIXEL, &colour);
    VOP_TRY(check());
    // A border width that does not change moves nothing: it is not sent, and no batch is opened for it.
    if (auto it = border_widths_.find(window); it != border_widths_.end() && it->second == border_width) return {};
    VOP_TRY(configure(window, XCB_CONFIG_WINDOW_BORDER_WIDTH, {&border_width, 1}));
    border_widths_[window] = border_width;
    return {};
}

XResult<void> Connection::clear_root_area(int16_t x, int16_t y, uint16_t width, uint16_t height) {
    xcb_clear_area(conn, 0, root, x, y, width, height);
    return check();
}

XResult<void> Connection::configure_window(Window window, int16_t x, int16_t y, uint16_t width, uint16_t height,
                                           uint32_t border_width) {
    // Signed coordinates travel as 32-bit values, sign-extended.
    const uint32_t values[] = {static_cast<uint32_t>(static_cast<int32_t>(x)),
                               static_cast<uint32_t>(static_cast<int32_t>(y)), width, height, border_width};
    VOP_TRY(configure(window,
                      XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT |
                          XCB_CONFIG_WINDOW_BORDER_WIDTH,
                      values));
    border_widths_[window] = border_width;
    return {};
}

XResult<void> Connection::configure(Window window, uint16_t mask, std::span<const uint32_t> values) {
    // A border width set here is not known to be the remembered one any more.
    if (mask & XCB_CONFIG_WINDOW_BORDER_WIDTH) border_widths_.erase(window);
    const uint32_t sequence = xcb_configure_window(conn, window, mask, values.data()).sequence;
    if (mask & XCB_CONFIG_WINDOW_STACK_MODE) stack.sent(sequence);
    return window_change(sequence);
}

XResult<void> Connection::restack(Window window, Window sibling, bool above, RestackFor why) {
    const uint32_t values[] = {sibling, above ? XCB_STACK_MODE_ABOVE : XCB_STACK_MODE_BELOW};
    // Checked: a refusal waits with xcb for refused_restacks instead of coming with the events, so that it is
    // known as soon as any later reply is, before anything is placed against a window that never moved.
    const uint32_t sequence =
        xcb_configure_window_checked(conn, window, XCB_CONFIG_WINDOW_SIBLING | XCB_CONFIG_WINDOW_STACK_MODE, values)
            .sequence;
    stack.sent(sequence);
    if (auto dropped = restacks.add({sequence, window, sibling, above, why, restack_attempt})) {
        xcb_discard_reply(conn, dropped->sequence);
    }
    return window_change(sequence);
}

std::vector<RefusedRestack> Connection::refused_restacks(uint32_t sequence) {
    std::vector<RefusedRestack> out;
    for (const SentRestack& r : restacks.take_before(sequence)) {
        xcb_generic_error_t* e = xcb_request_check(conn, {r.sequence});
        if (!e) continue;
        out.push_back({r, refusal_of(r, e->error_code, e->resource_id),
                       describe_x_error(e->error_code, e->major_code, e->minor_code, e->resource_id, e->sequence)});
        std::free(e);
    }
    return out;
}

XResult<void> Connection::map_window(Window window) { return window_change(xcb_map_window(conn, window).sequence); }

XResult<void> Connection::unmap_window(Window window) {
    const uint32_t sequence = xcb_unmap_window(conn, window).sequence;
    own_unmaps.sent(window, sequence);
    return window_change(sequence);
}

XResult<void> Connection::reparent_window(Window window, Window parent, int16_t x, int16_t y) {
    const uint32_t sequence = xcb_reparent_window(conn, window, parent, x, y).sequence;
    stack.sent(sequence);
    // A mapped window is unmapped on the way (and mapped again).
    own_unmaps.sent(window, sequence);
    return window_change(sequence);
}

XResult<void> Connection::destroy_window(Window window) {
    const uint32_t sequence = xcb_destroy_window(conn, window).sequence;
    stack.sent(sequence);
    return window_change(sequence);
}

XResult<void> Connection::kill_client(Window window) {
    return window_change(xcb_kill_client(conn, window).sequence);
}

XResult<void> Connection::grab_pointer(std::optional<uint32_t> cursor) {
    auto cookie = xcb_grab_pointer(conn, 0, root, XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_BUTTON_RELEASE,
                                   XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC, XCB_NONE, cursor.value_or(XCB_NONE),
                                   XCB_CURRENT_TIME);
    VOP_TRY(check());
    xcb_generic_error_t* e = nullptr;
    xcb_grab_pointer_reply_t* r = xcb_grab_pointer_reply(conn, cookie, &e);
    if (!r) {
        std::string text = e ? describe_x_error(e->error_code, e->major_code, e->minor_code, e->resource_id,
                                                e->sequence)
                             : describe_conn_error(xcb_connection_has_error(conn));
        std::free(e);
        return err(Error::reply(text));
    }
    // A refused grab is not an error for the caller; the drag just gets no pointer events.
    log::debug(kTarget, "grab_pointer result: {}", grab_status_name(r->status));
    std::free(r);
    return {};
}

XResult<void> Connection::select_input(Window window, uint32_t event_mask) {
    xcb_change_window_attributes(conn, window, XCB_CW_EVENT_MASK, &event_mask);
    return check();
}

XResult<void> Connection::add_to_save_set(Window window) {
    xcb_change_save_set(conn, XCB_SET_MODE_INSERT, window);
    return check();
}

XResult<void> Connection::remove_from_save_set(Window window) {
    xcb_change_save_set(conn, XCB_SET_MODE_DELETE, window);
    return check();
}

std::optional<uint8_t> Connection::keycode_from_keysym(uint32_t keysym) {
    const xcb_setup_t* setup = xcb_get_setup(conn);
    const uint8_t first = setup->min_keycode;
    const int count = setup->max_keycode - setup->min_keycode + 1;
    if (count <= 0) return std::nullopt;
    auto cookie = xcb_get_keyboard_mapping(conn, first, static_cast<uint8_t>(count));
    if (xcb_connection_has_error(conn)) return std::nullopt;
    xcb_get_keyboard_mapping_reply_t* r = xcb_get_keyboard_mapping_reply(conn, cookie, nullptr);
    if (!r) return std::nullopt;
    const int per = r->keysyms_per_keycode;
    const int len = xcb_get_keyboard_mapping_keysyms_length(r);
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(r);
    std::optional<uint8_t> found;
    for (int row = 0; per > 0 && row < count && !found; ++row) {
        for (int col = 0; col < per; ++col) {
            int i = row * per + col;
            if (i >= len) break;
            if (syms[i] == keysym) {
                found = static_cast<uint8_t>(first + row);
                break;
            }
        }
    }
    std::free(r);
    return found;
}

bool Connection::supports_delete_window(Window window) {
    auto cookie = xcb_get_property(conn, 0, window, atoms.WM_PROTOCOLS, XCB_ATOM_ATOM, 0, 1024);
    if (xcb_connection_has_error(conn)) return false;
    xcb_get_property_reply_t* r = xcb_get_property_reply(conn, cookie, nullptr);
    if (!r) return false;
    bool found = false;
    if (r->type == XCB_ATOM_ATOM && r->format == 32) {
        const int n = xcb_get_property_value_length(r) / 4;
        const auto* v = static_cast<const uint32_t*>(xcb_get_property_value(r));
        for (int i = 0; i < n && !found; ++i) found = v[i] == atoms.WM_DELETE_WINDOW;
    }
    std::free(r);
    return found;
}

}  // namespace vop
