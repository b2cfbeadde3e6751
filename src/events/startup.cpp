// Before the first tick: key and button grabs, the EWMH root properties, adoption of existing windows.
#include "config/rules.hpp"
#include "core/window_manager.hpp"
#include "logging.hpp"
#include "x11/wm_requests.hpp"

namespace vop {
namespace {
constexpr const char* kTarget = "vop::x11::events";
}

XResult<void> WindowManager::setup_grabs() {
    auto state = lua_state->lock();
    for (const Keybind& kb : state->keybinds) {
        auto keycode = connection->keycode_from_keysym(kb.keysym);
        if (!keycode) continue;
        VOP_TRY(connection->grab_key(kb.modifiers, *keycode));
        log::debug(kTarget, "Grabbed {} +keycode {} for {}", modifier_mask_form(kb.modifiers), *keycode, kb.action);
    }
    VOP_TRY(connection->grab_mod_buttons());
    VOP_TRY(connection->flush());
    log::info(kTarget, "{} keybinds registered", state->keybinds.size());
    return {};
}

XResult<void> WindowManager::setup_ewmh_hints() {
    Connection& c = *connection;
    const Atoms& a = c.atoms;
    const uint32_t supported[] = {a._NET_SUPPORTED,         a._NET_SUPPORTING_WM_CHECK, a._NET_CLIENT_LIST,
                                  a._NET_CLIENT_LIST_STACKING, a._NET_NUMBER_OF_DESKTOPS, a._NET_CURRENT_DESKTOP,
                                  a._NET_DESKTOP_NAMES,     a._NET_WM_DESKTOP,          a._NET_ACTIVE_WINDOW,
                                  a._NET_CLOSE_WINDOW,      a._NET_WM_STATE,            a._NET_WM_STATE_FULLSCREEN,
                                  a._NET_WM_NAME};
    VOP_TRY(x11::set_atoms(c, c.root, a._NET_SUPPORTED, supported));
    VOP_TRY(c.setup_wm_check());
    VOP_TRY(x11::set_windows(c, c.root, a._NET_CLIENT_LIST, {}));
    VOP_TRY(x11::set_windows(c, c.root, a._NET_CLIENT_LIST_STACKING, {}));
    const uint32_t count = kWorkspaceCount;
    VOP_TRY(x11::set_cardinals(c, c.root, a._NET_NUMBER_OF_DESKTOPS, {&count, 1}));
    std::vector<std::string> names;
    for (const Workspace& ws : workspaces) names.push_back(ws.name);
    VOP_TRY(c.set_desktop_names(names));
    VOP_TRY(c.set_current_desktop(static_cast<uint32_t>(current_workspace)));
    VOP_TRY(c.set_active_window(std::nullopt));
    VOP_TRY(c.flush());
    log::info(kTarget, "EWMH workspace hints initialized: {} desktops", kWorkspaceCount);
    return {};
}

XResult<void> WindowManager::adopt_existing_windows() {
    auto children = x11::root_children(*connection);
    if (!children) return children.take_error();
    connection->stack.reset(children->bottom_to_top, children->sequence);
    size_t adopted = 0;
    bool docks_found = false;
    std::vector<Window> fullscreen;  // adopted windows that say they are fullscreen
    for (Window w : children->bottom_to_top) {
        auto attrs = x11::window_attributes(*connection, w);
        if (!attrs) return attrs.take_error();
        if (!*attrs || !(*attrs)->viewable || (*attrs)->override_redirect) continue;
        if (windows.count(w)) continue;
        // A bar or desktop already on screen is treated as when it maps: shown, its strut kept, not managed.
        if (connection->should_ignore(w)) {
            auto reserves = follow_dock(w);
            if (!reserves) return reserves.take_error();
            docks_found = docks_found || *reserves;
            continue;
        }
        // Rules decide floating only; a rule's workspace is not applied to windows already on screen.
        auto rule = check_rules(w);
        bool floating = rule.floating ? *rule.floating : connection->should_float(w);
        VOP_TRY(connection->select_input(w, floating ? kFloatingEventMask : kClientEventMask));
        VOP_TRY(connection->grab_button(w));
        floating ? manage_window_floating(w) : manage_window(w);
        if (asks_fullscreen(w)) fullscreen.push_back(w);
        ++adopted;
    }
    if (adopted == 0) return docks_found ? apply_layout() : XResult<void>{};
    // Their state must tell the truth: they are fullscreen (one per workspace, the last one wins).
    for (Window w : fullscreen) VOP_TRY(set_fullscreen(w, true));
    VOP_TRY(apply_layout());
    if (focused) VOP_TRY(set_focus(*focused, true));
    log::info(kTarget, "Adopted {} existing windows", adopted);
    return {};
}

}  // namespace vop
