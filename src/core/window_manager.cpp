// Building the window-manager state at start-up, and re-reading the monitors after RandR changes.
#include "core/window_manager.hpp"

#include "config/picom.hpp"
#include "core/rule_match.hpp"
#include "ipc/i3_server.hpp"
#include "ipc/server.hpp"
#include "logging.hpp"

#include <cstdlib>
#include <set>
#include <utility>

namespace vop {
namespace {
constexpr const char* kTarget = "vop::core";
}

WindowManager::~WindowManager() = default;

XResult<std::unique_ptr<WindowManager>> WindowManager::create(std::unique_ptr<Connection> conn) {
    std::unique_ptr<WindowManager> wm(new WindowManager());
    wm->connection = std::move(conn);
    for (size_t i = 0; i < kWorkspaceCount; ++i) {
        wm->workspaces[i].name = std::to_string(i + 1);
        wm->workspaces[i].id = static_cast<unsigned>(i + 1);
    }
    auto lua = LuaConfig::create();
    if (!lua) return err(Error::config(lua.error().message));
    wm->lua_config = std::make_unique<LuaConfig>(std::move(lua).value());
    wm->lua_state = wm->lua_config->state();
    if (auto r = wm->lua_config->load(); !r) return err(Error::config(r.error().message));
    wm->config = wm->lua_state->lock()->config;

    wm->start_compositor();

    if (auto s = IpcServer::create()) {
        wm->ipc_server = std::move(s).value();
    } else {
        log::warn(kTarget, "Failed to start IPC server: {}", s.error());
    }
    if (auto s = I3IpcServer::create()) {
        wm->i3_ipc_server = std::move(s).value();
    } else {
        log::warn(kTarget, "Failed to start i3-compatible IPC server: {}", s.error());
        // Children must not be pointed at some other i3 socket this process inherited.
        unsetenv("I3SOCK");
    }
    if (auto r = wm->connection->select_randr_input(); !r) {
        log::warn(kTarget, "Failed to subscribe to RandR events: {}", r.error());
    }
    auto found = wm->connection->detect_monitors();
    if (!found) {
        log::warn(kTarget, "Failed to detect monitors: {}, using single screen", found.error());
    } else {
        wm->monitors = std::move(found).value();
    }
    if (wm->monitors.empty()) {
        wm->monitors.push_back(Monitor::fallback(wm->connection->screen_width, wm->connection->screen_height));
    }
    for (size_t i = 0; i < wm->monitors.size(); ++i) {
        wm->monitors[i].workspaces = {i};
        wm->monitors[i].workspace = i;
        log::debug(kTarget, "Monitor '{}' starts with workspace {}", wm->monitors[i].name, i + 1);
    }
    wm->last_warp = Clock::now();
    return wm;
}

XResult<void> WindowManager::refresh_monitors() {
    log::info(kTarget, "Refreshing monitor configuration");
    // Struts count from the screen's edges, so the layout needs the screen's new size.
    connection->update_screen_size();
    std::vector<Monitor> fresh;
    if (auto found = connection->detect_monitors(); !found) {
        log::warn(kTarget, "Failed to detect monitors: {}, keeping current", found.error());
        fresh = monitors;
    } else {
        fresh = std::move(found).value();
    }
    if (fresh.empty()) fresh.push_back(Monitor::fallback(connection->screen_width, connection->screen_height));

    std::set<size_t> used;
    for (size_t i = 0; i < fresh.size(); ++i) {
        size_t ws = 0;
        if (i < monitors.size()) {
            ws = monitors[i].workspace;
        } else {
            while (ws < kWorkspaceCount && used.count(ws)) ++ws;
            if (ws == kWorkspaceCount) ws = 0;
        }
        fresh[i].workspace = ws;
        fresh[i].workspaces = {ws};
        used.insert(ws);
        log::info(kTarget, "Monitor '{}' showing workspace {}", fresh[i].name, ws + 1);
    }
    // Keep every window reachable: a workspace no monitor shows any more is hidden as a switch
    // would hide it, and one newly shown is mapped.
    std::set<size_t> before, after;
    for (const Monitor& m : monitors) before.insert(m.workspace);
    for (const Monitor& m : fresh) after.insert(m.workspace);
    for (size_t ws : before) {
        if (!after.count(ws)) VOP_TRY(hide_workspace(ws));
    }
    const std::vector<Monitor> was = std::exchange(monitors, std::move(fresh));
    if (focused_monitor >= monitors.size()) focused_monitor = 0;
    const size_t old_current = current_workspace;
    current_workspace = monitors[focused_monitor].workspace;
    // A monitor that moved, changed its mode or now shows another workspace must still hold the floating
    // windows of the workspace it shows.
    for (const Monitor& m : monitors) bring_floating_to(m.workspace, m.rect, was);
    for (size_t ws : after) {
        if (!before.count(ws)) VOP_TRY(show_workspace(ws));
    }
    VOP_TRY(apply_layout());
    // Focus follows the pointer onto other monitors' windows, so the focused window may have been on a
    // monitor that went away even when the focused monitor stays.
    auto rec = focused ? windows.find(*focused) : windows.end();
    const bool focus_hidden = rec != windows.end() && !is_shown(rec->second.workspace);
    if (current_workspace == old_current && !focus_hidden) return {};
    // The focus must not stay on a window that was just hidden, and pagers and bars must not name a
    // workspace no monitor shows as the current one.
    VOP_TRY(announce_current_workspace(old_current));
    VOP_TRY(focus_or_warp(focus_pick(current_workspace), true));
    return connection->flush();
}

void WindowManager::start_compositor() {
    if (auto r = picom::write_config(config); !r) {
        log::warn(kTarget, "Failed to generate picom config: {}", r.error());
    }
}

RuleActions WindowManager::check_rules(Window w) {
    auto state = lua_state->lock();
    auto cls = connection->get_wm_class(w).value_or(WmClass{});
    std::string title = connection->get_window_title(w).value_or("");
    log::debug(kTarget, "Checking rules for window {}: class={}, instance={}, title={}", w, cls.class_name,
               cls.instance, title);
    return match_rules(state->rules, w, cls.class_name, cls.instance, title);
}

}  // namespace vop
