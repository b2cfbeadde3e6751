// Keyboard focus with its grabs, urgency and active-window property; fullscreen on and off.
#include "core/window_manager.hpp"
#include "logging.hpp"
#include "x11/wm_requests.hpp"

#include <algorithm>

namespace vop {
namespace {
constexpr const char* kTarget = "vop::core";
}

XResult<void> WindowManager::set_focus(Window w, bool warp) {
    const std::optional<Window> previous = focused;
    if (focused && *focused != w) (void)connection->grab_button(*focused);  // click-to-focus again
    focused = w;
    workspaces[current_workspace].focused = w;
    // A floating window keeps its grab, so that a press in its edge zone still reaches vop.
    if (!is_floating(w)) (void)connection->ungrab_button(w);
    std::erase(focus_history, w);
    focus_history.insert(focus_history.begin(), w);
    if (auto it = windows.find(w); it != windows.end() && it->second.urgent) {
        log::debug(kTarget, "Clearing urgency for window {} on focus", w);
        it->second.urgent = false;
    }
    VOP_TRY(x11::set_input_focus(*connection, w));
    VOP_TRY(connection->set_active_window(w));
    VOP_TRY(update_borders());
    // Title bars show the focus too; nothing else would repaint them until they are exposed.
    if (previous && *previous != w) VOP_TRY(paint_titlebar(*previous));
    VOP_TRY(paint_titlebar(w));
    if (warp) {
        if (auto r = connection->warp_pointer_to_window(w); !r) log::warn(kTarget, "Failed to warp pointer: {}", r.error());
        last_warp = Clock::now();
    }
    return {};
}

XResult<void> WindowManager::toggle_fullscreen(Window w) {
    auto it = windows.find(w);
    if (it == windows.end()) return {};
    ManagedWindow& rec = it->second;
    Workspace& ws = workspaces[rec.workspace];
    const Atoms& a = connection->atoms;
    const uint32_t entering = rec.fullscreen ? 0 : 1;
    if (entering) {
        log::info(kTarget, "Window {} entering fullscreen", w);
        rec.floating_before_fullscreen = rec.floating;
        rec.fullscreen = true;
        const uint32_t state = a._NET_WM_STATE_FULLSCREEN;
        (void)x11::set_atoms(*connection, w, a._NET_WM_STATE, {&state, 1});
    } else {
        log::info(kTarget, "Window {} exiting fullscreen", w);
        rec.fullscreen = false;
        if (rec.floating_before_fullscreen != rec.floating) {
            if (rec.floating_before_fullscreen) {
                ws.root.remove(w);
                ws.add_floating(w);
            } else {
                ws.remove_floating(w);
                ws.root.insert_with_rect(w, ws.focused, focused_monitor_ref().rect);
            }
        }
        rec.floating = rec.floating_before_fullscreen;
        refresh_click_grab(w);
        (void)x11::set_atoms(*connection, w, a._NET_WM_STATE, {});
    }
    (void)x11::set_cardinals(*connection, w, a._NET_WM_BYPASS_COMPOSITOR, {&entering, 1});
    VOP_TRY(apply_layout());
    return connection->flush();
}

XResult<void> WindowManager::set_fullscreen(Window w, bool on) {
    auto it = windows.find(w);
    if (it == windows.end() || it->second.fullscreen == on) return {};
    return toggle_fullscreen(w);
}

std::optional<size_t> WindowManager::monitor_showing(size_t workspace) const {
    for (size_t i = 0; i < monitors.size(); ++i) {
        if (monitors[i].workspace == workspace) return i;
    }
    return std::nullopt;
}

std::optional<Window> WindowManager::focus_pick(size_t workspace) const {
    const Workspace& ws = workspaces[workspace];
    if (ws.focused) return ws.focused;
    if (!ws.floating.empty()) return ws.floating.back();
    return ws.root.first_window();
}

}  // namespace vop
