// Floating windows: toggling between tiled and floating, raising; and closing windows.
#include "core/layout_math.hpp"
#include "core/window_manager.hpp"
#include "logging.hpp"
#include "x11/wm_requests.hpp"

#include <algorithm>

namespace vop {
namespace {
constexpr const char* kTarget = "vop::x11::events";
}

XResult<void> WindowManager::toggle_floating(Window w) {
    auto it = windows.find(w);
    if (it == windows.end()) {
        log::warn(kTarget, "toggle_floating: window {} not managed", w);
        return {};
    }
    ManagedWindow& rec = it->second;
    // The window's own workspace: focus follows the pointer onto windows of other monitors' workspaces.
    Workspace& ws = workspaces[rec.workspace];
    const Rect home = home_rect(rec.workspace);
    if (log::enabled(log::Level::Debug, kTarget)) {
        bool in_list = std::find(ws.floating.begin(), ws.floating.end(), w) != ws.floating.end();
        log::debug(kTarget, "toggle_floating: window={}, is_floating={}, in_tree={}, in_floating_list={}", w,
                   rec.floating, ws.root.contains(w), in_list);
    }
    if (rec.floating) {
        log::info(kTarget, "Returning window {} to tiled", w);
        rec.floating = false;
        VOP_TRY(follow_floating_state(w));
        ws.remove_floating(w);
        ws.root.insert_with_rect(w, ws.root.first_window(), home);
        return apply_layout();
    }
    log::info(kTarget, "Floating window {}", w);
    if (!ws.root.contains(w)) {
        log::warn(kTarget, "toggle_floating: window {} not in tree, cannot float", w);
        return {};
    }
    Rect g = layout::floating_size_large(home);
    log::debug(kTarget, "Floating geometry: {}", g);
    bool removed = ws.root.remove(w);
    log::debug(kTarget, "Removed from tree: {}", removed);
    rec.floating = true;
    rec.floating_geometry = g;
    VOP_TRY(follow_floating_state(w));
    ws.add_floating(w);
    return apply_layout();
}

XResult<void> WindowManager::raise_window(Window w) {
    auto rec = windows.find(w);
    auto& list = workspaces[rec != windows.end() ? rec->second.workspace : current_workspace].floating;
    if (auto it = std::find(list.begin(), list.end(), w); it != list.end()) {
        list.erase(it);
        list.push_back(w);
    }
    VOP_TRY(apply_stacking());
    return connection->flush();
}

XResult<void> WindowManager::close_window(Window w) {
    if (!windows.count(w)) {
        log::warn(kTarget, "close_window called on unmanaged window {}", w);
        return {};
    }
    log::info(kTarget, "Closing window {}", w);
    if (connection->supports_delete_window(w)) {
        log::info(kTarget, "Window {} supports WM_DELETE_WINDOW, sending graceful close", w);
        VOP_TRY(x11::send_delete_window(*connection, w));
    } else {
        log::info(kTarget, "Window {} doesn't support WM_DELETE_WINDOW, using kill_client", w);
        VOP_TRY(connection->kill_client(w));
    }
    return connection->flush();
}

}  // namespace vop
