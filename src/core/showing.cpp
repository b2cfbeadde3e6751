// What the monitors show: hiding and showing workspaces, floating windows brought along, the focused
// monitor and the current workspace as pagers and bars are told of them.
#include "core/layout_math.hpp"
#include "core/window_manager.hpp"
#include "logging.hpp"
#include "x11/wm_requests.hpp"

#include <algorithm>

namespace vop {

void bring_onto(Rect& g, Rect target, std::span<const Monitor> was) {
    if (layout::centre_on(target, g)) return;
    auto from = std::find_if(was.begin(), was.end(), [&](const Monitor& m) { return layout::centre_on(m.rect, g); });
    g = layout::bring_inside(g, target, from != was.end() ? std::optional(from->rect) : std::nullopt);
}

// Floating geometry is absolute: a workspace shown on another monitor than before, or on a monitor that
// moved or shrank, would leave its floating windows elsewhere, or off the screen. They come along.
void WindowManager::bring_floating_to(size_t index, Rect target, std::span<const Monitor> was) {
    for (Window w : workspaces[index].floating) {
        if (auto it = windows.find(w); it != windows.end()) bring_onto(it->second.floating_geometry, target, was);
    }
}

bool WindowManager::in_hand(Window w, const std::optional<x11::WindowPlace>& place) const {
    return place && place->watched &&
           (place->parent == connection->root || frame_manager.frame_for_client(w) == place->parent);
}

XResult<std::vector<Window>> WindowManager::in_hand(std::vector<Window> clients) {
    auto places = x11::places_of(*connection, clients);
    if (!places) return places.take_error();
    std::vector<Window> out;
    for (size_t i = 0; i < clients.size(); ++i) {
        if (in_hand(clients[i], (*places)[i])) {
            out.push_back(clients[i]);
        } else {
            log::debug("vop::core", "Window {} is gone or in a window of its client's now, leaving it be", clients[i]);
        }
    }
    return out;
}

XResult<void> WindowManager::hide_workspace(size_t index) {
    auto clients = in_hand(workspaces[index].all_windows());
    if (!clients) return clients.take_error();
    for (Window w : *clients) {
        VOP_TRY(connection->unmap_window(w));
        if (auto frame = frame_manager.frame_for_client(w)) VOP_TRY(connection->unmap_window(*frame));
    }
    return {};
}

XResult<void> WindowManager::show_workspace(size_t index) {
    if (auto k = monitor_showing(index)) bring_floating_to(index, monitors[*k].rect);
    auto clients = in_hand(workspaces[index].all_windows());
    if (!clients) return clients.take_error();
    for (Window w : *clients) {
        if (auto frame = frame_manager.frame_for_client(w)) VOP_TRY(connection->map_window(*frame));
        VOP_TRY(connection->map_window(w));
    }
    return {};
}

XResult<void> WindowManager::announce_current_workspace(size_t old) {
    if (current_workspace == old) return {};
    VOP_TRY(connection->set_current_desktop(static_cast<uint32_t>(current_workspace)));
    workspace_changes.push_back({current_workspace, old});
    return {};
}

XResult<void> WindowManager::set_focused_monitor(size_t monitor) {
    const size_t old = current_workspace;
    focused_monitor = monitor;
    current_workspace = monitors[monitor].workspace;
    return announce_current_workspace(old);
}

XResult<void> WindowManager::focus_or_warp(std::optional<Window> w, bool warp) {
    if (w) return set_focus(*w, warp);
    VOP_TRY(clear_focus());
    if (warp) VOP_TRY(warp_to_monitor(focused_monitor));
    return {};
}

}  // namespace vop
