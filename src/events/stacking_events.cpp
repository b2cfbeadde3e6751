// The root's substructure notifications that keep the mirror of its stacking order.
#include "core/window_manager.hpp"
#include "logging.hpp"

#include <xcb/xcb.h>

namespace vop {
namespace {
uint32_t sequence_of(const void* event) { return static_cast<const xcb_generic_event_t*>(event)->full_sequence; }
}  // namespace

XResult<void> WindowManager::handle_create_notify(const void* event) {
    auto* ev = static_cast<const xcb_create_notify_event_t*>(event);
    if (ev->parent == connection->root) connection->stack.created(ev->window, sequence_of(event));
    return {};
}

XResult<void> WindowManager::handle_configure_notify(const void* event) {
    // Clients report their own configure too (StructureNotify): only the root's copy is about its children.
    auto* ev = static_cast<const xcb_configure_notify_event_t*>(event);
    if (ev->event == connection->root) connection->stack.restacked(ev->window, ev->above_sibling, sequence_of(event));
    return {};
}

XResult<void> WindowManager::handle_reparent_notify(const void* event) {
    auto* ev = static_cast<const xcb_reparent_notify_event_t*>(event);
    if (ev->event == connection->root) {
        if (ev->parent == connection->root) {
            connection->stack.reparented_here(ev->window, sequence_of(event));
        } else {
            connection->stack.removed(ev->window, sequence_of(event));
        }
    }
    // A client that puts its window into one of its own (a tab or plugin host) takes it back from vop. vop's
    // own reparents go to the root or into its frames.
    const Window w = ev->window;
    if (!windows.count(w) || ev->parent == connection->root || connection->created_here(ev->parent)) return {};
    log::info("vop::x11::events", "Window {} was reparented into {} by its client, letting it go", w, ev->parent);
    return release_window(w);
}

XResult<void> WindowManager::handle_circulate_notify(const void* event) {
    auto* ev = static_cast<const xcb_circulate_notify_event_t*>(event);
    if (ev->event == connection->root) {
        connection->stack.circulated(ev->window, ev->place == XCB_PLACE_ON_TOP, sequence_of(event));
    }
    return {};
}

}  // namespace vop
