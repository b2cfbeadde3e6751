// Keyboard focus with its grabs, urgency and active-window property; what goes with the floating state;
// fullscreen on and off.
#include "core/window_manager.hpp"
#include "logging.hpp"
#include "x11/wm_requests.hpp"

#include <algorithm>

namespace vop {
namespace {
constexpr const char* kTarget = "vop::core";
}

XResult<void> WindowManager::set_focus(Window w, bool warp) {
    // The keys never go to a window hidden under a fullscreen one: the fullscreen window takes them.
    if (auto cover = fullscreen_cover(w)) {
        log::debug(kTarget, "Window {} is under fullscreen window {}, focusing that", w, *cover);
        w = *cover;
    }
    const std::optional<Window> previous = focused;
    if (focused && *focused != w) (void)connection->grab_button(*focused);  // click-to-focus again
    focused = w;
    auto rec = windows.find(w);
    // Focus reaches other monitors' windows (the pointer, a click, an activation): the keys go where the focus
    // is, so the focused window's monitor becomes the focused one, as pagers and bars are told.
    if (rec != windows.end()) {
        auto k = monitor_showing(rec->second.workspace);
        if (k && *k != focused_monitor) VOP_TRY(set_focused_monitor(*k));
    }
    workspaces[rec != windows.end() ? rec->second.workspace : current_workspace].focused = w;
    // A floating window keeps its grab, so that a press in its edge zone still reaches vop.
    if (!is_floating(w)) (void)connection->ungrab_button(w);
    std::erase(focus_history, w);
    focus_history.insert(focus_history.begin(), w);
    if (rec != windows.end() && rec->second.urgent) {
        log::debug(kTarget, "Clearing urgency for window {} on focus", w);
        rec->second.urgent = false;
    }
    VOP_TRY(x11::set_input_focus(*connection, w));
    VOP_TRY(connection->set_active_window(w));
    VOP_TRY(update_borders());
    // Title bars show the focus too; nothing else would repaint them until they are exposed.
    if (previous && *previous != w) VOP_TRY(paint_titlebar(*previous));
    VOP_TRY(paint_titlebar(w));
    if (warp) {
        if (auto r = connection->warp_pointer_to_window(w); !r) {
            const auto level = r.error().window_gone() ? log::Level::Debug : log::Level::Warn;
            log::log(level, kTarget, "Failed to warp pointer: {}", r.error());
        }
        last_warp = Clock::now();
    }
    return {};
}

XResult<void> WindowManager::clear_focus() {
    const std::optional<Window> previous = focused;
    focused.reset();
    if (previous) (void)connection->grab_button(*previous);  // click-to-focus again
    // The window keeps no keys vop calls unfocused; the root still gets the bound ones.
    VOP_TRY(x11::set_input_focus(*connection, connection->root));
    VOP_TRY(connection->set_active_window(std::nullopt));
    VOP_TRY(update_borders());
    if (previous) VOP_TRY(paint_titlebar(*previous));
    return {};
}

bool WindowManager::is_floating(Window w) const {
    auto it = windows.find(w);
    return it != windows.end() && it->second.floating;
}

XResult<void> WindowManager::follow_floating_state(Window w) {
    if (!windows.count(w)) return {};
    const bool floating = is_floating(w);
    VOP_TRY(connection->select_input(w, floating ? kFloatingEventMask : kClientEventMask));
    if (!floating && edge_cursor && edge_cursor->first == w) {
        VOP_TRY(connection->clear_window_cursor(w));
        edge_cursor.reset();
    }
    // Grab failures are ignored, as set_focus ignores them.
    if (focused != w || floating) {
        (void)connection->grab_button(w);
    } else {
        (void)connection->ungrab_button(w);
    }
    return {};
}

XResult<void> WindowManager::flip_fullscreen(Window w) {
    auto it = windows.find(w);
    if (it == windows.end()) return {};
    ManagedWindow& rec = it->second;
    Workspace& ws = workspaces[rec.workspace];
    const Atoms& a = connection->atoms;
    const uint32_t entering = rec.fullscreen ? 0 : 1;
    // The client's other states (sticky, above, ...) are its own: only the fullscreen atom changes.
    std::vector<Atom> state = connection->get_wm_state(w);
    std::erase(state, a._NET_WM_STATE_FULLSCREEN);
    if (entering) {
        log::info(kTarget, "Window {} entering fullscreen", w);
        rec.floating_before_fullscreen = rec.floating;
        rec.fullscreen = true;
        state.push_back(a._NET_WM_STATE_FULLSCREEN);
    } else {
        log::info(kTarget, "Window {} exiting fullscreen", w);
        rec.fullscreen = false;
        if (rec.floating_before_fullscreen != rec.floating) {
            if (rec.floating_before_fullscreen) {
                ws.root.remove(w);
                ws.add_floating(w);
            } else {
                ws.remove_floating(w);
                ws.root.insert_with_rect(w, ws.focused, home_rect(rec.workspace));
            }
            // A floating place kept from long ago comes to its monitor.
            if (rec.floating_before_fullscreen && is_shown(rec.workspace)) {
                bring_floating_to(rec.workspace, home_rect(rec.workspace));
            }
        }
        rec.floating = rec.floating_before_fullscreen;
        VOP_TRY(follow_floating_state(w));
    }
    (void)x11::set_atoms(*connection, w, a._NET_WM_STATE, state);
    (void)x11::set_cardinals(*connection, w, a._NET_WM_BYPASS_COMPOSITOR, {&entering, 1});
    return {};
}

XResult<void> WindowManager::toggle_fullscreen(Window w) {
    auto it = windows.find(w);
    if (it == windows.end()) return {};
    const bool entering = !it->second.fullscreen;
    if (entering) VOP_TRY(end_other_fullscreen(w, it->second.workspace));
    VOP_TRY(flip_fullscreen(w));
    VOP_TRY(apply_layout());
    // Now over its monitor, it takes the keys from a window it covers, and on the current workspace.
    if (entering && focused != w) {
        const bool covers_focus = focused && fullscreen_cover(*focused) == w;
        if (covers_focus || it->second.workspace == current_workspace) VOP_TRY(set_focus(w, false));
    }
    return connection->flush();
}

XResult<void> WindowManager::end_other_fullscreen(Window w, size_t workspace) {
    // One fullscreen window per workspace: the newest one wins.
    for (const auto& [other, rec] : windows) {
        if (other != w && rec.workspace == workspace && rec.fullscreen) return flip_fullscreen(other);
    }
    return {};
}

bool WindowManager::asks_fullscreen(Window w) {
    const std::vector<Atom> state = connection->get_wm_state(w);
    return std::find(state.begin(), state.end(), connection->atoms._NET_WM_STATE_FULLSCREEN) != state.end();
}

std::optional<Window> WindowManager::fullscreen_on(size_t workspace) const {
    for (const auto& [w, rec] : windows) {
        if (rec.workspace == workspace && rec.fullscreen) return w;
    }
    return std::nullopt;
}

std::optional<Window> WindowManager::fullscreen_cover(Window w) const {
    auto it = windows.find(w);
    if (it == windows.end()) return std::nullopt;
    auto cover = fullscreen_on(it->second.workspace);
    // A dialog of the fullscreen window shows above it: the application waits for its answer.
    if (!cover || *cover == w || is_transient_of(w, *cover)) return std::nullopt;
    return cover;
}

XResult<void> WindowManager::set_fullscreen(Window w, bool on) {
    auto it = windows.find(w);
    if (it == windows.end() || it->second.fullscreen == on) return {};
    return toggle_fullscreen(w);
}

XResult<bool> WindowManager::uncover(Window w) {
    auto cover = fullscreen_cover(w);
    if (!cover) return false;
    VOP_TRY(set_fullscreen(*cover, false));
    return true;
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
