// Taking client windows into the model and out of it, their frames and title bars, and the EWMH client lists.
#include "core/layout_math.hpp"
#include "core/window_manager.hpp"
#include "logging.hpp"
#include "x11/wm_requests.hpp"

#include <algorithm>

namespace vop {
namespace {
constexpr const char* kTarget = "vop::core";
constexpr Rect kTiledFloatingGeometry{0, 0, 640, 480};
}  // namespace

void WindowManager::write_wm_desktop(Window w, size_t workspace) {
    const uint32_t value = static_cast<uint32_t>(workspace);
    (void)x11::set_cardinals(*connection, w, connection->atoms._NET_WM_DESKTOP, {&value, 1});
}

void WindowManager::manage_common(Window w, size_t ws, bool floating, Rect geometry) {
    ManagedWindow rec;
    rec.floating_geometry = geometry;
    rec.workspace = ws;
    rec.window = w;
    rec.floating = floating;
    find_owner(rec);
    windows.emplace(w, std::move(rec));
    // In the save-set the server maps the window again should vop go away while it is hidden.
    (void)connection->add_to_save_set(w);
    write_wm_desktop(w, ws);
    Workspace& target = workspaces[ws];
    if (floating) {
        target.add_floating(w);
    } else {
        target.root.insert_with_rect(w, target.focused, focused_monitor_ref().rect);
    }
}

void WindowManager::manage_window(Window w) {
    if (w == connection->root || windows.count(w)) return;
    log::info(kTarget, "Managing window {} (tiled)", w);
    manage_common(w, current_workspace, false, kTiledFloatingGeometry);
    workspaces[current_workspace].focused = w;
    // The window losing focus here gets its click-to-focus grab back (set_focus will see w as focused).
    if (focused && *focused != w) (void)connection->grab_button(*focused);
    focused = w;
    update_client_lists();
}

void WindowManager::manage_window_on_workspace(Window w, size_t ws) {
    if (w == connection->root || windows.count(w)) return;
    log::info(kTarget, "Managing window {} on workspace {} (tiled)", w, ws + 1);
    manage_common(w, ws, false, kTiledFloatingGeometry);
    update_client_lists();
}

void WindowManager::manage_window_floating(Window w) {
    if (w == connection->root || windows.count(w)) return;
    log::info(kTarget, "Managing window {} (floating)", w);
    manage_common(w, current_workspace, true, layout::floating_size_small(focused_monitor_ref().rect));
    workspaces[current_workspace].focused = w;
    // The window losing focus here gets its click-to-focus grab back (set_focus will see w as focused).
    if (focused && *focused != w) (void)connection->grab_button(*focused);
    focused = w;
    update_client_lists();
}

void WindowManager::manage_window_floating_on_workspace(Window w, size_t ws) {
    if (w == connection->root || windows.count(w)) return;
    log::info(kTarget, "Managing window {} on workspace {} (floating)", w, ws + 1);
    // Centred where its workspace is shown, so it does not appear over another monitor's windows.
    manage_common(w, ws, true, layout::floating_size_large(home_rect(ws)));
    update_client_lists();
}

std::optional<Window> WindowManager::create_frame_for_window(Window client) {
    if (!config.titlebar_enabled) return std::nullopt;
    std::string title = connection->get_window_title(client).value_or("");
    Rect m = focused_monitor_ref().rect;
    const layout::Decorations d = layout::fit_decorations(m, config.border_width, config.titlebar_height);
    // Until the layout places it, the frame waits at the monitor's corner, wholly on the monitor.
    const Rect first = layout::client_on(m, d, 400, 300);
    auto frame = frame_manager.create_frame(*connection, connection->root, client, first.x, first.y, first.width,
                                            first.height,
                                            static_cast<uint16_t>(d.titlebar_height),
                                            static_cast<uint16_t>(d.border_width),
                                            config.border_color_unfocused, config.titlebar_color_unfocused);
    if (!frame) {
        log::error(kTarget, "Failed to create frame for window {}: {}", client, frame.error());
        return std::nullopt;
    }
    if (auto it = windows.find(client); it != windows.end()) {
        it->second.frame = *frame;
        it->second.title = std::move(title);
    }
    return *frame;
}

XResult<void> WindowManager::follow_titlebar_setting(bool had_titlebars) {
    const bool on = config.titlebar_enabled;
    if (on == had_titlebars) return {};
    log::info(kTarget, "Title bars turned {}, {} {} managed windows", on ? "on" : "off",
              on ? "framing" : "unframing", windows.size());
    for (auto& [w, rec] : windows) {
        if (rec.frame.has_value() == on) continue;
        auto place = x11::window_place(*connection, w);
        if (!place) return place.take_error();
        if (!in_hand(w, *place)) continue;
        // Reparenting a mapped client unmaps it on the way (and maps it again): the connection knows that
        // unmap for its own.
        const bool mapped = (*place)->mapped;
        if (on) {
            if (!create_frame_for_window(w)) continue;
            VOP_TRY(stack_new(w));
            // Hidden workspaces stay hidden: only a client on screen gets its frame on screen.
            if (mapped && is_shown(rec.workspace)) VOP_TRY(frame_manager.map_frame(*connection, w));
        } else {
            // The client goes back to the root, still mapped if it was; the layout puts it in place.
            (void)frame_manager.destroy_frame(*connection, connection->root, w);
            rec.frame.reset();
            VOP_TRY(stack_new(w));
        }
    }
    VOP_TRY(apply_layout());
    // The reparenting took the input focus off the focused client (it was unmapped for a moment).
    if (focused) VOP_TRY(set_focus(*focused, false));
    return connection->flush();
}

XResult<void> WindowManager::paint_titlebar(Window client) {
    if (!config.titlebar_enabled) return {};
    // The whole bar is painted, whatever part of it was exposed; no frame, nothing to paint.
    auto frame_width = frame_manager.frame_width(*connection, client);
    if (!frame_width) return {};
    auto it = windows.find(client);
    const std::string title = it == windows.end() ? std::string() : it->second.title;
    const bool is_focused = focused == client;
    // The bar as high as the layout made it.
    const uint32_t height = decorations_of(client).titlebar_height;
    return frame_manager.draw_titlebar(*connection, client, title, *frame_width, static_cast<uint16_t>(height),
                                       is_focused ? config.titlebar_color_focused : config.titlebar_color_unfocused,
                                       config.titlebar_text_color, is_focused);
}

void WindowManager::unmanage_window(Window w) {
    auto it = windows.find(w);
    if (it == windows.end()) return;
    ManagedWindow rec = std::move(it->second);
    windows.erase(it);
    log::info(kTarget, "Unmanaging window {} from workspace {}", w, rec.workspace + 1);
    connection->forget_window(w);
    // Left to its client: should vop go away, the server must not map it again.
    (void)connection->remove_from_save_set(w);
    if (rec.frame) {
        if (auto r = frame_manager.destroy_frame(*connection, connection->root, w); !r) {
            log::warn(kTarget, "Failed to destroy frame for window {}: {}", w, r.error());
        }
    }
    Workspace& ws = workspaces[rec.workspace];
    if (rec.floating) {
        ws.remove_floating(w);
    } else {
        ws.root.remove(w);
    }
    const std::vector<Window> dependants = hand_on_dialogs(rec);
    std::erase(focus_history, w);
    // The window may be gone: no cursor request may name it later.
    if (edge_cursor && edge_cursor->first == w) edge_cursor.reset();
    std::erase_if(focus_memory, [w](const auto& kv) { return kv.first.first == w || kv.second == w; });

    // The fallback when the gone window had focus: the workspace's most recently focused window, else its first
    // tiled one, else its topmost floating one. Under a fullscreen window, where that one may be hidden, a dialog
    // the gone window leaves open comes first: the application waits for it.
    const bool under_fullscreen = fullscreen_on(rec.workspace).has_value();
    auto next_on_workspace = [&]() -> std::optional<Window> {
        for (Window h : focus_history) {
            if (under_fullscreen && std::find(dependants.begin(), dependants.end(), h) != dependants.end()) return h;
        }
        if (under_fullscreen && !dependants.empty()) return dependants.back();
        for (Window h : focus_history) {
            auto r = windows.find(h);
            if (r != windows.end() && r->second.workspace == rec.workspace) return h;
        }
        if (auto first = ws.root.first_window()) return first;
        if (!ws.floating.empty()) return ws.floating.back();
        return std::nullopt;
    };
    if (focused == w) {
        auto next = next_on_workspace();
        focused = next;
        ws.focused = next;
    } else if (ws.focused == w) {
        // Never remember a dead window: the focus pick would focus it when the workspace is shown.
        ws.focused = next_on_workspace();
    }
    for (Workspace& other : workspaces) {
        if (&other != &ws && other.focused == w) other.focused.reset();
    }
    update_client_lists();
}

void WindowManager::update_client_lists() {
    std::vector<uint32_t> ids;
    ids.reserve(windows.size());
    for (const auto& kv : windows) ids.push_back(kv.first);
    if (auto r = x11::set_windows(*connection, connection->root, connection->atoms._NET_CLIENT_LIST, ids); !r) {
        log::warn(kTarget, "Failed to update client list: {}", r.error());
    }
    if (auto r = x11::set_windows(*connection, connection->root, connection->atoms._NET_CLIENT_LIST_STACKING, ids);
        !r) {
        log::warn(kTarget, "Failed to update client list stacking: {}", r.error());
    }
}

}  // namespace vop
