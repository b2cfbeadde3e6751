// The pointer: click to focus, Mod+drag move and resize, edge-zone resize with its cursor, focus follows mouse.
#include "core/layout_math.hpp"
#include "core/window_manager.hpp"
#include "logging.hpp"

#include <xcb/xcb.h>

#include <algorithm>

namespace vop {
namespace {
constexpr const char* kTarget = "vop::x11::events";
constexpr uint16_t kDragMods = 0x08 | 0x40;  // Mod1, Mod4
constexpr auto kWarpQuiet = std::chrono::milliseconds(50);

uint32_t edge_cursor_of(const Cursors& c, ResizeEdge e) {
    switch (e) {
        case ResizeEdge::TopLeft: return c.top_left;
        case ResizeEdge::Top: return c.top;
        case ResizeEdge::TopRight: return c.top_right;
        case ResizeEdge::Left: return c.left;
        case ResizeEdge::Right: return c.right;
        case ResizeEdge::BottomLeft: return c.bottom_left;
        case ResizeEdge::Bottom: return c.bottom;
        case ResizeEdge::BottomRight: return c.bottom_right;
        case ResizeEdge::None: return 0;
    }
    return 0;
}

std::string drag_form(const DragState& d) {
    if (d.kind == DragState::Kind::Move) {
        return fmt::format("Move {{ window: {}, start_x: {}, start_y: {}, start_geometry: {} }}", d.window, d.start_x,
                           d.start_y, d.start_geometry);
    }
    return fmt::format("Resize {{ window: {}, start_x: {}, start_y: {}, start_geometry: {}, edge: {} }}", d.window,
                       d.start_x, d.start_y, d.start_geometry, d.edge);
}

}  // namespace

// The client inside a frame, or the window itself.
static Window client_of(const WindowManager& wm, Window w) { return wm.frame_manager.client_for_frame(w).value_or(w); }

// Puts a floating window at its record's geometry the way the layout pass does: through its frame when
// it has one, so the title bar moves with it.
static XResult<void> place_floating(WindowManager& wm, Window w, Rect g) {
    auto it = wm.windows.find(w);
    if (it == wm.windows.end()) return {};
    const layout::Decorations d = wm.decorations_of(w);
    const Rect box = layout::floating_box(g, d.border_width);
    if (it->second.frame && wm.config.titlebar_enabled) {
        const uint16_t h = layout::framed_floating_height(g, d.border_width, d.titlebar_height);
        return wm.frame_manager.configure_frame(*wm.connection, w, g.x, g.y, box.width, h,
                                                static_cast<uint16_t>(d.titlebar_height),
                                                static_cast<uint16_t>(d.border_width));
    }
    return wm.connection->configure_window(w, g.x, g.y, box.width, box.height, d.border_width);
}

static XResult<void> start_drag(WindowManager& wm, DragState d, uint32_t cursor) {
    const Window w = d.window;
    wm.drag_state = d;
    VOP_TRY(wm.connection->clear_window_cursor(w));
    VOP_TRY(wm.connection->grab_pointer(cursor));
    return wm.connection->flush();
}

// What becomes of a press once vop has handled it: handed on to the window under the pointer, or kept.
enum class PressEnd { Replay, Keep };

static XResult<PressEnd> press_action(WindowManager& wm, const xcb_button_press_event_t* ev) {
    const uint8_t b = ev->detail;
    const int16_t px = ev->root_x, py = ev->root_y;
    log::debug(kTarget, "ButtonPress on window {}, child {}, button {}", ev->event, ev->child, b);
    if (wm.drag_state) {
        log::debug(kTarget, "Already in drag state, ignoring ButtonPress");
        return PressEnd::Keep;
    }
    const Window e = client_of(wm, ev->event);
    const bool modified = ev->state & kDragMods;
    if (modified) {
        // On the root's grab the window under the pointer is the child: a frame stands for its client.
        const Window t = client_of(wm, ev->event == wm.connection->root && ev->child ? ev->child : ev->event);
        auto it = wm.windows.find(t);
        // A fullscreen window covers its monitor whatever its floating place: there is nothing to drag.
        if (it != wm.windows.end() && it->second.floating && !it->second.fullscreen && (b == 1 || b == 3)) {
            const Rect g = it->second.floating_geometry;
            if (b == 1) {
                log::debug(kTarget, "Starting move for floating window {}", t);
                VOP_TRY(start_drag(wm, {DragState::Kind::Move, t, px, py, g, ResizeEdge::None},
                                   wm.connection->cursors.move));
                return PressEnd::Keep;
            }
            const ResizeEdge edge = nearest_corner(g, px, py);
            log::debug(kTarget, "Starting resize for floating window {}, edge {}", t, edge);
            VOP_TRY(start_drag(wm, {DragState::Kind::Resize, t, px, py, g, edge},
                               edge_cursor_of(wm.connection->cursors, edge)));
            return PressEnd::Keep;
        }
    }
    auto it = wm.windows.find(e);
    const bool e_floating = it != wm.windows.end() && it->second.floating;
    log::debug(kTarget, "Edge resize check: window={}, is_floating={}, button={}, pos=({},{})", e, e_floating, b, px,
               py);
    // A fullscreen window covers its monitor, not its floating geometry: it has no edge zone.
    if (b == 1 && !modified && e_floating && !it->second.fullscreen) {
        const Rect g = it->second.floating_geometry;
        const ResizeEdge edge = edge_at(g, px, py);
        log::debug(kTarget, "Edge detection: geometry=({},{} {}x{}), edge={}", g.x, g.y, g.width, g.height, edge);
        if (edge != ResizeEdge::None) {
            log::info(kTarget, "Starting edge resize for floating window {}, edge {}", e, edge);
            log::debug(kTarget, "Grabbing pointer for resize, geometry={}", g);
            VOP_TRY(start_drag(wm, {DragState::Kind::Resize, e, px, py, g, edge},
                               edge_cursor_of(wm.connection->cursors, edge)));
            return PressEnd::Keep;
        }
    }
    // Not managed (gone meanwhile) or already focused: the click is the client's.
    if (it == wm.windows.end() || wm.focused == e) return PressEnd::Replay;
    // set_focus moves the click grabs: the window losing focus gets its grab back.
    VOP_TRY(wm.set_focus(e, false));
    if (wm.is_floating(e)) VOP_TRY(wm.raise_window(e));
    return PressEnd::Replay;
}

// A floating window lives on the monitor its centre lies on: dropped with its centre on another monitor, it
// goes to the workspace shown there (its monitor becomes the focused one when it has the focus). Dropped with
// its centre on no monitor, it belongs where the pointer was released (its own monitor when that is on none
// either) and comes inside that monitor. The user just put it there: a fullscreen window that would cover it
// there, on its own monitor too, leaves fullscreen and it takes the focus.
static XResult<void> drop_floating(WindowManager& wm, Window w, int16_t px, int16_t py) {
    ManagedWindow& rec = wm.windows.at(w);
    const auto home = wm.monitor_showing(rec.workspace);
    if (!home) return {};
    Rect& g = rec.floating_geometry;
    bool moved = false, carried = false;
    if (!layout::centre_on(wm.monitors[*home].rect, g)) {
        auto on = std::find_if(wm.monitors.begin(), wm.monitors.end(),
                               [&](const Monitor& m) { return layout::centre_on(m.rect, g); });
        if (on == wm.monitors.end()) {
            on = std::find_if(wm.monitors.begin(), wm.monitors.end(),
                              [&](const Monitor& m) { return layout::point_on(m.rect, px, py); });
            if (on == wm.monitors.end()) on = wm.monitors.begin() + static_cast<std::ptrdiff_t>(*home);
            g = layout::bring_inside(g, on->rect, on->rect);
        }
        const auto m = static_cast<size_t>(on - wm.monitors.begin());
        moved = true;
        carried = m != *home;
        if (carried) {
            log::info(kTarget, "Window {} dropped on monitor {}, moving it to workspace {}", w, m, on->workspace + 1);
            VOP_TRY(wm.carry_to_monitor(w, m));
        }
    }
    auto uncovered = wm.uncover(w);
    if (!uncovered) return uncovered.take_error();
    if (*uncovered || (carried && wm.focused == w)) VOP_TRY(wm.set_focus(w, false));
    if (!*uncovered && !moved) return {};
    return wm.apply_layout();
}

// A press on a client's click grab has frozen the pointer, so every way out of here thaws it: the
// press is replayed to the client unless vop kept it for a drag, or the handling failed. The event's own
// time makes a late answer harmless: it cannot thaw a freeze that a later press started.
XResult<void> WindowManager::handle_button_press(const void* event) {
    auto* ev = static_cast<const xcb_button_press_event_t*>(event);
    auto end = press_action(*this, ev);
    const bool replay = end && *end == PressEnd::Replay;
    xcb_allow_events(connection->conn, replay ? XCB_ALLOW_REPLAY_POINTER : XCB_ALLOW_ASYNC_POINTER, ev->time);
    if (!end) {
        (void)connection->flush();
        return end.take_error();
    }
    VOP_TRY(connection->check());
    return connection->flush();
}

XResult<void> WindowManager::handle_motion_notify(const void* event) {
    auto* ev = static_cast<const xcb_motion_notify_event_t*>(event);
    const int16_t px = ev->root_x, py = ev->root_y;
    if (drag_state) {
        const DragState& d = *drag_state;
        log::debug(kTarget, "Motion during drag: root({},{}), drag_state={}", px, py, drag_form(d));
        const auto dx = static_cast<int16_t>(px - d.start_x), dy = static_cast<int16_t>(py - d.start_y);
        auto it = windows.find(d.window);
        // Gone, tiled or made fullscreen meanwhile: its place is the layout's now, the drag moves nothing.
        if (it == windows.end() || !it->second.floating || it->second.fullscreen) return {};
        Rect& g = it->second.floating_geometry;
        if (d.kind == DragState::Kind::Move) {
            g.x = static_cast<int16_t>(d.start_geometry.x + dx);
            g.y = static_cast<int16_t>(d.start_geometry.y + dy);
        } else {
            g = calculate_resize(d.start_geometry, d.edge, dx, dy);
        }
        VOP_TRY(place_floating(*this, d.window, g));
        return connection->flush();
    }
    const Window e = client_of(*this, ev->event);
    if (is_floating(e)) return update_edge_cursor(e, px, py);
    return {};
}

XResult<void> WindowManager::handle_button_release(const void* event) {
    auto* ev = static_cast<const xcb_button_release_event_t*>(event);
    log::debug(kTarget, "ButtonRelease: button={}, window={}, in_drag={}", ev->detail, ev->event,
               drag_state.has_value());
    if (!drag_state) return {};
    const Window w = drag_state->window;
    drag_state.reset();
    log::debug(kTarget, "Ending drag operation");
    xcb_ungrab_pointer(connection->conn, XCB_CURRENT_TIME);
    VOP_TRY(connection->check());
    VOP_TRY(connection->flush());
    if (!is_floating(w) || windows.at(w).fullscreen) return {};
    VOP_TRY(drop_floating(*this, w, ev->root_x, ev->root_y));
    return update_edge_cursor(w, ev->root_x, ev->root_y);
}

// Whether a crossing takes the pointer out of a client's family (its frame and itself) or into it from
// outside; between a frame and its client the details are Inferior and Ancestor.
static bool across_families(uint8_t detail) {
    return detail == XCB_NOTIFY_DETAIL_NONLINEAR || detail == XCB_NOTIFY_DETAIL_NONLINEAR_VIRTUAL;
}

// Every crossing counts, whatever its mode or detail: a launcher's grab takes the pointer out of the client
// with a Grab crossing, and the pointer is still where that crossing says.
XResult<void> WindowManager::handle_leave_notify(const void* event) {
    auto* ev = static_cast<const xcb_leave_notify_event_t*>(event);
    last_crossing = {client_of(*this, ev->event), ev->root_x, ev->root_y};
    return {};
}

XResult<void> WindowManager::handle_enter_notify(const void* event) {
    auto* ev = static_cast<const xcb_enter_notify_event_t*>(event);
    const Window e = client_of(*this, ev->event);
    // Into the client of the last crossing, from outside it, at the very spot: what covered it went away (a
    // popup, a menu, a launcher), the pointer did not move. Its frame and then itself may both report that.
    // Between a frame and its client the pointer moves with a Leave and an Enter at one spot: that is motion.
    const bool resting = across_families(ev->detail) && last_crossing.client == e && last_crossing.x == ev->root_x &&
                         last_crossing.y == ev->root_y;
    last_crossing = {e, ev->root_x, ev->root_y};
    if (drag_state) return {};
    if (Clock::now() - last_warp < kWarpQuiet) return {};
    if (ev->mode != XCB_NOTIFY_MODE_NORMAL) return {};
    // Only the user moving the pointer moves the focus. A crossing that vop's own configure, map, unmap,
    // restack or warp caused carries the sequence number of that request.
    if (connection->caused_by_own_request(reinterpret_cast<const xcb_generic_event_t*>(event)->full_sequence)) {
        log::trace(kTarget, "EnterNotify on window {} caused by our own request, ignored", ev->event);
        return {};
    }
    if (resting) {
        log::trace(kTarget, "EnterNotify on window {} without pointer motion, ignored", ev->event);
        return {};
    }
    if (!windows.count(e) || focused == e) return {};
    log::debug(kTarget, "Focus follows mouse: focusing window {}", e);
    VOP_TRY(set_focus(e, false));
    if (is_floating(e)) VOP_TRY(raise_window(e));
    return connection->flush();
}

XResult<void> WindowManager::update_edge_cursor(Window w, int16_t x, int16_t y) {
    const bool had_edge = edge_cursor && edge_cursor->second != ResizeEdge::None;
    if (!is_floating(w)) {
        if (had_edge) VOP_TRY(connection->clear_window_cursor(edge_cursor->first));
        edge_cursor.reset();
        return {};
    }
    const ResizeEdge edge = edge_at(windows.at(w).floating_geometry, x, y);
    if (edge_cursor && *edge_cursor == std::pair{w, edge}) return {};
    // Leaving one window's zone straight into another's must not leave the first one's cursor behind.
    if (had_edge && (edge == ResizeEdge::None || edge_cursor->first != w)) {
        VOP_TRY(connection->clear_window_cursor(edge_cursor->first));
    }
    if (edge != ResizeEdge::None) VOP_TRY(connection->set_window_cursor(w, edge_cursor_of(connection->cursors, edge)));
    edge_cursor = std::pair{w, edge};
    return connection->flush();
}

}  // namespace vop
