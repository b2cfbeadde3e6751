// Workspace and monitor commands: showing workspaces, moving windows between workspaces and monitors.
#include "core/window_manager.hpp"
#include "logging.hpp"
#include "util/unicode.hpp"
#include "x11/wm_requests.hpp"

#include <algorithm>

namespace vop {
namespace {
constexpr const char* kTarget = "vop::x11::events";

bool ascii_iequal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

}  // namespace

XResult<void> WindowManager::switch_workspace_impl(size_t i, bool warp) {
    if (i >= kWorkspaceCount) return {};
    if (auto k = monitor_showing(i)) {
        if (*k == focused_monitor) return {};
        log::info(kTarget, "Workspace {} already visible on monitor {}, focusing it", i + 1, *k);
        VOP_TRY(set_focused_monitor(*k));
    } else {
        const size_t K = focused_monitor;
        const size_t p = monitors[K].workspace;
        const size_t old = current_workspace;
        log::info(kTarget, "Switching monitor {} from workspace {} to {}", K, p + 1, i + 1);
        VOP_TRY(hide_workspace(p));
        monitors[K].workspace = i;
        current_workspace = i;
        VOP_TRY(show_workspace(i));
        VOP_TRY(apply_layout());
        VOP_TRY(announce_current_workspace(old));
    }
    VOP_TRY(focus_or_warp(focus_pick(i), warp));
    return connection->flush();
}

XResult<void> WindowManager::move_to_workspace(size_t i) {
    if (i >= kWorkspaceCount || !focused) return {};
    const Window w = *focused;
    auto it = windows.find(w);
    ManagedWindow* rec = it == windows.end() ? nullptr : &it->second;
    const size_t s = rec ? rec->workspace : current_workspace;
    if (i == s) return {};
    const bool fl = rec && rec->floating;
    log::info(kTarget, "Moving window {} from workspace {} to {} (floating: {})", w, s + 1, i + 1, fl);
    Workspace& src = workspaces[s];
    if (fl) {
        src.remove_floating(w);
    } else {
        src.root.remove(w);
    }
    std::optional<Window> c = src.root.first_window();
    if (!c && !src.floating.empty()) c = src.floating.back();
    src.focused = c;
    if (rec) rec->workspace = i;
    if (rec && rec->fullscreen) VOP_TRY(end_other_fullscreen(w, i));
    const uint32_t desk = static_cast<uint32_t>(i);
    VOP_TRY(x11::set_cardinals(*connection, w, connection->atoms._NET_WM_DESKTOP, {&desk, 1}));
    auto k = monitor_showing(i);
    Workspace& dst = workspaces[i];
    if (fl) {
        dst.add_floating(w);
        if (k) bring_onto(rec->floating_geometry, monitors[*k].rect, monitors);
    } else {
        dst.root.insert_with_rect(w, dst.focused, k ? monitors[*k].rect : focused_monitor_ref().rect);
    }
    dst.focused = w;
    // Its client may have taken it away meanwhile: then its events, still to come, let it go.
    auto held = in_hand({w});
    if (!held) return held.take_error();
    const bool ours = !held->empty();
    if (ours && k) {
        if (auto frame = frame_manager.frame_for_client(w)) VOP_TRY(connection->map_window(*frame));
        VOP_TRY(connection->map_window(w));
    } else if (ours) {
        VOP_TRY(connection->unmap_window(w));
        if (auto frame = frame_manager.frame_for_client(w)) VOP_TRY(connection->unmap_window(*frame));
    }
    VOP_TRY(apply_layout());
    if (config.follow_window_on_move) {
        VOP_TRY(switch_workspace_impl(i, true));
    } else if (s == current_workspace || !k) {
        // The window left its place under the user's eyes (or went out of sight): its workspace's next
        // window takes the focus.
        if (c) {
            VOP_TRY(set_focus(*c, true));
        } else {
            VOP_TRY(clear_focus());
        }
    }
    return connection->flush();
}

// "next"/"right" and "prev"/"left" wrap around; anything else names a monitor (ASCII case folded).
// A target that names no monitor is logged and gives none.
static std::optional<size_t> resolve_monitor(const std::vector<Monitor>& monitors, size_t current,
                                             std::string_view raw) {
    const std::string target = unicode::to_lower(raw);
    const size_t n = monitors.size();
    if (target == "next" || target == "right") return (current + 1) % n;
    if (target == "prev" || target == "left") return current == 0 ? n - 1 : current - 1;
    for (size_t i = 0; i < n; ++i) {
        if (ascii_iequal(monitors[i].name, target)) return i;
    }
    log::warn(kTarget, "Monitor '{}' not found", target);
    return std::nullopt;
}

XResult<void> WindowManager::focus_monitor(std::string_view target) {
    if (monitors.size() < 2) return {};
    auto m = resolve_monitor(monitors, focused_monitor, target);
    if (!m || *m == focused_monitor) return {};
    log::info(kTarget, "Focusing monitor {}: '{}'", *m, monitors[*m].name);
    VOP_TRY(set_focused_monitor(*m));
    VOP_TRY(focus_or_warp(focus_pick(current_workspace), true));
    return connection->flush();
}

XResult<void> WindowManager::carry_to_monitor(Window w, size_t m) {
    auto it = windows.find(w);
    ManagedWindow* rec = it == windows.end() ? nullptr : &it->second;
    const bool fl = rec && rec->floating;
    const size_t d = monitors[m].workspace;
    // The window's own workspace: a window dragged with the mouse need not be on the current one.
    const size_t s = rec ? rec->workspace : current_workspace;
    Workspace& src = workspaces[s];
    if (fl) {
        src.remove_floating(w);
    } else {
        src.root.remove(w);
    }
    // The source workspace must not remember a window that now lives elsewhere.
    if (src.focused == w) {
        src.focused = src.root.first_window();
        if (!src.focused && !src.floating.empty()) src.focused = src.floating.back();
    }
    if (rec) {
        if (fl) bring_onto(rec->floating_geometry, monitors[m].rect, monitors);
        rec->workspace = d;
        if (rec->fullscreen) VOP_TRY(end_other_fullscreen(w, d));
    }
    Workspace& dst = workspaces[d];
    if (fl) {
        dst.add_floating(w);
    } else {
        dst.root.insert_with_rect(w, dst.focused, monitors[m].rect);
    }
    write_wm_desktop(w, d);
    return {};
}

XResult<void> WindowManager::move_to_monitor(std::string_view target) {
    if (monitors.size() < 2 || !focused) return {};
    const Window w = *focused;
    auto m = resolve_monitor(monitors, focused_monitor, target);
    if (!m || *m == focused_monitor) return {};
    const size_t d = monitors[*m].workspace;
    log::info(kTarget, "Moving window {} to monitor {}: '{}' (workspace {})", w, *m, monitors[*m].name, d + 1);
    VOP_TRY(carry_to_monitor(w, *m));
    workspaces[d].focused = w;
    VOP_TRY(set_focused_monitor(*m));
    VOP_TRY(apply_layout());
    VOP_TRY(set_focus(w, true));
    return connection->flush();
}

}  // namespace vop
