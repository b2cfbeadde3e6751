// What the monitors show: hiding and showing workspaces, floating windows brought along, the focused
// monitor and the current workspace as pagers and bars are told of them.
#include "core/layout_math.hpp"
#include "core/window_manager.hpp"

#include <algorithm>

namespace vop {
namespace {

bool contains_point(Rect r, int x, int y) {
    return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
}

}  // namespace

void shift_floating(ManagedWindow& rec, Rect from, Rect to) {
    rec.floating_geometry.x = static_cast<int16_t>(rec.floating_geometry.x + to.x - from.x);
    rec.floating_geometry.y = static_cast<int16_t>(rec.floating_geometry.y + to.y - from.y);
}

// Floating geometry is absolute: a workspace shown on another monitor than before would leave its
// floating windows on that other monitor, or off the screen when that monitor is gone. They come along,
// keeping their place relative to the monitor when it still exists, else centred.
void WindowManager::bring_floating_to(size_t index, Rect target) {
    for (Window w : workspaces[index].floating) {
        auto it = windows.find(w);
        if (it == windows.end()) continue;
        Rect& g = it->second.floating_geometry;
        const int cx = g.x + g.width / 2, cy = g.y + g.height / 2;
        if (contains_point(target, cx, cy)) continue;
        auto from = std::find_if(monitors.begin(), monitors.end(),
                                 [&](const Monitor& m) { return contains_point(m.rect, cx, cy); });
        if (from != monitors.end()) {
            shift_floating(it->second, from->rect, target);
        } else {
            g.x = static_cast<int16_t>(target.x + (target.width - g.width) / 2);
            g.y = static_cast<int16_t>(target.y + (target.height - g.height) / 2);
        }
    }
}

XResult<void> WindowManager::hide_workspace(size_t index) {
    for (Window w : workspaces[index].all_windows()) {
        if (auto it = windows.find(w); it != windows.end()) ++it->second.pending_unmaps;
        VOP_TRY(connection->unmap_window(w));
        if (auto frame = frame_manager.frame_for_client(w)) VOP_TRY(connection->unmap_window(*frame));
    }
    return {};
}

XResult<void> WindowManager::show_workspace(size_t index) {
    if (auto k = monitor_showing(index)) bring_floating_to(index, monitors[*k].rect);
    for (Window w : workspaces[index].all_windows()) {
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
