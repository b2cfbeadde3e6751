// X events about the life of windows and requests from clients: map, configure, unmap, destroy,
// expose, property changes, client messages and RandR changes.
#include "config/rules.hpp"
#include "core/window_manager.hpp"
#include "logging.hpp"
#include "x11/wm_requests.hpp"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <algorithm>

namespace vop {
namespace {
constexpr const char* kTarget = "vop::x11::events";
}

XResult<void> WindowManager::handle_map_request(const void* event) {
    auto* ev = static_cast<const xcb_map_request_event_t*>(event);
    const Window w = ev->window;
    log::debug(kTarget, "MapRequest for window {}", w);
    if (connection->should_ignore(w)) {
        log::info(kTarget, "Window {} is dock/desktop, mapping without managing", w);
        // Known as a dock from here on, it joins the windows vop stacks, under any menu open; a desktop
        // window goes under the rest of them.
        auto reserves = follow_dock(w);
        if (!reserves) return reserves.take_error();
        VOP_TRY(connection->is_desktop(w) ? stack_desktop(w) : stack_new(w));
        VOP_TRY(connection->map_window(w));
        if (*reserves) VOP_TRY(apply_layout());
        return connection->flush();
    }
    if (w != connection->root && !windows.count(w)) {
        // Destroyed since it asked, or put by its client into a window of its own: nothing to map or manage.
        auto place = x11::window_place(*connection, w);
        if (!place) return place.take_error();
        if (!*place || (*place)->parent != connection->root) {
            log::debug(kTarget, "Window {} is no longer a child of the root, ignoring its MapRequest", w);
            return {};
        }
    }
    if (w == connection->root || windows.count(w)) {
        // A window of a workspace no monitor shows stays unmapped until its workspace is shown.
        if (auto it = windows.find(w); it != windows.end() && !is_shown(it->second.workspace)) return {};
        VOP_TRY(connection->map_window(w));
        return connection->flush();
    }
    RuleActions rule = check_rules(w);
    uint64_t n = rule.workspace.value_or(current_workspace + 1);
    size_t t = n == 0 ? 0 : static_cast<size_t>(std::min<uint64_t>(n - 1, kWorkspaceCount - 1));
    bool floating = rule.floating ? *rule.floating : connection->should_float(w);
    // A window that maps already saying it is fullscreen asks for it, as the request would.
    const bool wants_fullscreen = asks_fullscreen(w);
    VOP_TRY(connection->select_input(w, floating ? kFloatingEventMask : kClientEventMask));
    VOP_TRY(connection->grab_button(w));
    if (!rule.workspace && fullscreen_on(t)) {
        // A dialog of a fullscreen window on another monitor would open unseen under this one's fullscreen
        // window: it opens where its owner is, over it, and the focus goes along.
        const auto owner = fullscreen_owner(first_managed_owner(w, connection->get_transient_for(w)));
        const size_t home = owner ? windows.at(*owner).workspace : t;
        if (auto k = monitor_showing(home); k && home != t) {
            VOP_TRY(set_focused_monitor(*k));
            t = current_workspace;
        }
    }
    if (t == current_workspace) {
        const std::optional<Window> before = focused, remembered = workspaces[t].focused;
        floating ? manage_window_floating(w) : manage_window(w);
        // Under a fullscreen window the new one would take the keys unseen: the focus stays where it was.
        const bool covered = fullscreen_cover(w).has_value();
        const bool framed = create_frame_for_window(w).has_value();
        VOP_TRY(stack_new(w));
        if (framed) VOP_TRY(frame_manager.map_frame(*connection, w));
        VOP_TRY(connection->map_window(w));
        if (wants_fullscreen) {
            VOP_TRY(set_fullscreen(w, true));
            return set_focus(w, true);
        }
        VOP_TRY(apply_layout());
        if (!covered) return set_focus(w, true);
        workspaces[t].focused = remembered;
        if (before) return set_focus(*before, false);
        return clear_focus();
    }
    floating ? manage_window_floating_on_workspace(w, t) : manage_window_on_workspace(w, t);
    create_frame_for_window(w);
    VOP_TRY(stack_new(w));
    if (is_shown(t)) {
        // Another monitor shows that workspace: the window belongs on screen there.
        if (frame_manager.frame_for_client(w)) VOP_TRY(frame_manager.map_frame(*connection, w));
        VOP_TRY(connection->map_window(w));
    }
    if (wants_fullscreen) return set_fullscreen(w, true);
    return apply_layout();
}

XResult<void> WindowManager::handle_configure_request(const void* event) {
    auto* ev = static_cast<const xcb_configure_request_event_t*>(event);
    log::trace(kTarget, "ConfigureRequest for window {}", ev->window);
    if (windows.count(ev->window)) {
        // The layout decides managed windows' geometry. A client whose request is refused still gets an
        // answer, the geometry it has, or it may wait for one forever.
        auto g = x11::root_geometry(*connection, ev->window);
        if (!g) return g.take_error();
        if (!*g) return {};
        VOP_TRY(x11::send_configure_notify(*connection, ev->window, **g));
        return connection->flush();
    }
    uint32_t values[7];
    size_t n = 0;
    const uint16_t mask = ev->value_mask;
    if (mask & XCB_CONFIG_WINDOW_X) values[n++] = static_cast<uint32_t>(static_cast<int32_t>(ev->x));
    if (mask & XCB_CONFIG_WINDOW_Y) values[n++] = static_cast<uint32_t>(static_cast<int32_t>(ev->y));
    if (mask & XCB_CONFIG_WINDOW_WIDTH) values[n++] = ev->width;
    if (mask & XCB_CONFIG_WINDOW_HEIGHT) values[n++] = ev->height;
    if (mask & XCB_CONFIG_WINDOW_BORDER_WIDTH) values[n++] = ev->border_width;
    if (mask & XCB_CONFIG_WINDOW_SIBLING) values[n++] = ev->sibling;
    if (mask & XCB_CONFIG_WINDOW_STACK_MODE) values[n++] = ev->stack_mode;
    VOP_TRY(connection->configure(ev->window, mask & 0x7f, {values, n}));
    return connection->flush();
}

// After a window left: clear the root, lay out again, and focus what the model chose (or the monitor).
XResult<void> WindowManager::refocus_after_loss() {
    VOP_TRY(connection->clear_root_area(0, 0, connection->screen_width, connection->screen_height));
    VOP_TRY(apply_layout());
    // With nothing left to focus, pagers must not be left naming a gone window.
    VOP_TRY(focus_or_warp(focused, true));
    return connection->flush();
}

XResult<void> WindowManager::handle_unmap_notify(const void* event) {
    auto* ev = static_cast<const xcb_unmap_notify_event_t*>(event);
    const Window w = ev->window;
    log::debug(kTarget, "UnmapNotify for window {} (event on {})", w, ev->event);
    // A client's unmap reaches us on the client itself and on its parent: the root, or its frame, which may
    // be one just destroyed when title bars were turned off. Only the parent's copy counts.
    if (ev->event == w) {
        log::debug(kTarget, "Ignoring UnmapNotify (not from root, likely StructureNotify)");
        return {};
    }
    // Only the event vop's own request made is vop's; a synthetic one is a client withdrawing its window
    // (ICCCM), never such an echo.
    const bool synthetic = (ev->response_type & 0x80) != 0;
    if (!synthetic && connection->own_unmaps.absorb(w, static_cast<const xcb_generic_event_t*>(event)->full_sequence)) {
        log::debug(kTarget, "Ignoring UnmapNotify for window {} (intentional unmap, count now {})", w,
                   connection->own_unmaps.awaited(w));
        return {};
    }
    docks.erase(w);
    if (struts.erase(w)) {
        log::info(kTarget, "Dock window {} unmapped, removing strut", w);
        VOP_TRY(apply_layout());
        return connection->flush();
    }
    if (!windows.count(w)) return {};
    return release_window(w);
}

// Its client withdrew the window or put it into one of its own: it is left where its client put it and
// without the state vop gave it, so that it starts afresh when mapped again. Only a map of vop's own that came
// after the client's unmap (its workspace shown meanwhile) is taken back.
XResult<void> WindowManager::release_window(Window w) {
    auto place = x11::window_place(*connection, w);
    if (!place) return place.take_error();
    // Not watched: the client is gone and another window has its id now, which is none of vop's business.
    if (*place && (*place)->watched) {
        if (in_hand(w, *place) && (*place)->mapped) VOP_TRY(connection->unmap_window(w));
        (void)x11::delete_property(*connection, w, connection->atoms._NET_WM_STATE);
        (void)x11::delete_property(*connection, w, connection->atoms._NET_WM_DESKTOP);
    }
    return forget_window(w);
}

// Unmanages a window that its client withdrew or destroyed. Only one that was on screen (or focused)
// may move the focus and the pointer.
XResult<void> WindowManager::forget_window(Window w) {
    auto it = windows.find(w);
    const bool seen = it != windows.end() && (is_shown(it->second.workspace) || focused == w);
    unmanage_window(w);
    if (seen) return refocus_after_loss();
    return connection->flush();
}

XResult<void> WindowManager::handle_destroy_notify(const void* event) {
    auto* ev = static_cast<const xcb_destroy_notify_event_t*>(event);
    const Window w = ev->window;
    log::debug(kTarget, "DestroyNotify for window {}", w);
    if (ev->event == connection->root) {
        connection->stack.removed(w, static_cast<const xcb_generic_event_t*>(event)->full_sequence);
    }
    docks.erase(w);
    const bool dock = struts.erase(w) > 0;
    if (dock) log::info(kTarget, "Dock window {} destroyed, removing strut", w);
    // A menu or tooltip going away changes nothing here: no refocus, and above all no pointer warp.
    if (!dock && !windows.count(w)) return {};
    if (!dock) return forget_window(w);
    unmanage_window(w);
    return refocus_after_loss();
}

XResult<void> WindowManager::handle_expose(const void* event) {
    auto* ev = static_cast<const xcb_expose_event_t*>(event);
    if (ev->count != 0) return {};
    auto client = frame_manager.client_for_frame(ev->window);
    if (!client || !config.titlebar_enabled) return {};
    VOP_TRY(paint_titlebar(*client));
    return connection->flush();
}

XResult<void> WindowManager::handle_property_notify(const void* event) {
    auto* ev = static_cast<const xcb_property_notify_event_t*>(event);
    const Window w = ev->window;
    if (ev->atom == connection->atoms._NET_WM_STRUT || ev->atom == connection->atoms._NET_WM_STRUT_PARTIAL) {
        return reread_strut(w);
    }
    if (ev->atom != XCB_ATOM_WM_HINTS || !windows.count(w)) return {};
    log::debug(kTarget, "WM_HINTS changed for window {}", w);
    auto hints = connection->get_wm_hints(w);
    if (!hints) return {};
    auto it = windows.find(w);
    const bool old = it != windows.end() && it->second.urgent;
    if (hints->urgent == old) return {};
    log::info(kTarget, "Window {} urgency changed: {} -> {}", w, old, hints->urgent);
    if (it != windows.end()) it->second.urgent = hints->urgent;
    VOP_TRY(update_borders());
    return connection->flush();
}

XResult<void> WindowManager::handle_client_message(const void* event) {
    auto* ev = static_cast<const xcb_client_message_event_t*>(event);
    const Window w = ev->window;
    const Atoms& a = connection->atoms;
    const uint32_t* data = ev->data.data32;
    if (ev->type == a._NET_ACTIVE_WINDOW) {
        log::debug(kTarget, "ClientMessage: _NET_ACTIVE_WINDOW for window {}", w);
        auto it = windows.find(w);
        if (it != windows.end()) {
            VOP_TRY(uncover(w));
            if (it->second.workspace != current_workspace) VOP_TRY(switch_workspace_impl(it->second.workspace, true));
            VOP_TRY(set_focus(w, false));
            if (is_floating(w)) VOP_TRY(raise_window(w));
        }
    } else if (ev->type == a._NET_CURRENT_DESKTOP) {
        log::debug(kTarget, "ClientMessage: _NET_CURRENT_DESKTOP to {}", data[0]);
        if (data[0] < kWorkspaceCount) VOP_TRY(switch_workspace_impl(data[0], true));
    } else if (ev->type == a._NET_CLOSE_WINDOW) {
        log::debug(kTarget, "ClientMessage: _NET_CLOSE_WINDOW for window {}", w);
        if (windows.count(w)) VOP_TRY(close_window(w));
    } else if (ev->type == a._NET_WM_STATE) {
        log::debug(kTarget, "ClientMessage: _NET_WM_STATE action={} property={} for window {}", data[0], data[1], w);
        if (data[1] == a._NET_WM_STATE_FULLSCREEN) {
            if (data[0] == 0) VOP_TRY(set_fullscreen(w, false));
            if (data[0] == 1) VOP_TRY(set_fullscreen(w, true));
            if (data[0] == 2) VOP_TRY(toggle_fullscreen(w));
        }
    } else {
        log::trace(kTarget, "Unhandled ClientMessage type: {}", ev->type);
    }
    return connection->flush();
}

XResult<void> WindowManager::handle_randr_notify(const void*) {
    log::info(kTarget, "RandR notify event, refreshing monitors");
    VOP_TRY(refresh_monitors());
    broadcast_i3_output_event();
    return {};
}

XResult<void> WindowManager::handle_screen_change(const void*) {
    log::info(kTarget, "RandR screen change detected, refreshing monitors");
    VOP_TRY(refresh_monitors());
    broadcast_i3_output_event();
    return {};
}

}  // namespace vop
