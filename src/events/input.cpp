// Key presses: the binding lookup, and the execution table that maps each action kind to its command.
#include "config/rules.hpp"
#include "core/window_manager.hpp"
#include "logging.hpp"
#include "x11/wm_requests.hpp"

#include <xcb/xcb.h>

#include <algorithm>
#include <array>

namespace vop {
namespace {
constexpr const char* kTarget = "vop::x11::events";

// Shift, Control, Mod1, Mod4: Lock, Num Lock and the other modifiers never change a chord.
constexpr uint16_t kChordMods = 0x4D;

using ActionHandler = XResult<void> (*)(WindowManager&, const Action&);

size_t workspace_index(uint64_t n) { return n == 0 ? 0 : static_cast<size_t>(n - 1); }

XResult<void> with_direction(const Action& a, auto&& run) {
    auto d = parse_direction(a.text);
    if (!d) return {};
    return run(*d);
}

// The next (step 1) or previous (step -1) workspace holding a window, the current one last.
XResult<void> cycle_workspaces(WindowManager& wm, int step) {
    const size_t c = wm.workspaces.size();
    for (size_t k = 1; k <= c; ++k) {
        const size_t cand = step > 0 ? (wm.current_workspace + k) % c : (wm.current_workspace + c - k) % c;
        const Workspace& ws = wm.workspaces[cand];
        if (ws.root.window_count() > 0 || !ws.floating.empty()) return wm.switch_workspace_impl(cand, true);
    }
    return {};
}

// Runs `op` on the focused window; without one the action does nothing.
template <class F>
XResult<void> on_focused(WindowManager& wm, F op) {
    if (!wm.focused) return {};
    return op(*wm.focused);
}

constexpr size_t kKinds = static_cast<size_t>(ActionKind::LuaCallback) + 1;

constexpr std::array<ActionHandler, kKinds> make_action_table() {
    std::array<ActionHandler, kKinds> t{};
    auto at = [&](ActionKind k) -> ActionHandler& { return t[static_cast<size_t>(k)]; };
    at(ActionKind::Focus) = [](WindowManager& wm, const Action& a) {
        return with_direction(a, [&](Direction d) { return wm.focus_direction(d); });
    };
    at(ActionKind::Swap) = [](WindowManager& wm, const Action& a) {
        return with_direction(a, [&](Direction d) { return wm.swap_direction(d); });
    };
    at(ActionKind::Resize) = [](WindowManager& wm, const Action& a) {
        return with_direction(a, [&](Direction d) { return wm.resize_direction(d, a.amount); });
    };
    at(ActionKind::CloseWindow) = [](WindowManager& wm, const Action&) {
        return on_focused(wm, [&](Window w) { return wm.close_window(w); });
    };
    at(ActionKind::ForceCloseWindow) = [](WindowManager& wm, const Action&) {
        return on_focused(wm, [&](Window w) { return wm.force_close_window(w); });
    };
    at(ActionKind::Workspace) = [](WindowManager& wm, const Action& a) {
        return wm.switch_workspace_impl(workspace_index(a.number), true);
    };
    at(ActionKind::WorkspaceNext) = [](WindowManager& wm, const Action&) { return cycle_workspaces(wm, 1); };
    at(ActionKind::WorkspacePrev) = [](WindowManager& wm, const Action&) { return cycle_workspaces(wm, -1); };
    at(ActionKind::MoveToWorkspace) = [](WindowManager& wm, const Action& a) {
        return wm.move_to_workspace(workspace_index(a.number));
    };
    at(ActionKind::Equalize) = [](WindowManager& wm, const Action&) { return wm.equalize(); };
    at(ActionKind::Reload) = [](WindowManager& wm, const Action&) -> XResult<void> {
        // A script that fails has said so in the log; a chord has no one else to tell.
        if (auto r = wm.reload_config(); !r) return r.take_error();
        return {};
    };
    at(ActionKind::Exit) = [](WindowManager& wm, const Action&) -> XResult<void> {
        log::info(kTarget, "Exit requested, will exit event loop");
        wm.running = false;
        return {};
    };
    at(ActionKind::ToggleFloating) = [](WindowManager& wm, const Action&) {
        return on_focused(wm, [&](Window w) { return wm.toggle_floating(w); });
    };
    at(ActionKind::ToggleFullscreen) = [](WindowManager& wm, const Action&) {
        return on_focused(wm, [&](Window w) { return wm.toggle_fullscreen(w); });
    };
    at(ActionKind::CycleFloating) = [](WindowManager& wm, const Action&) { return wm.cycle_floating(); };
    at(ActionKind::FocusMonitor) = [](WindowManager& wm, const Action& a) { return wm.focus_monitor(a.text); };
    at(ActionKind::MoveToMonitor) = [](WindowManager& wm, const Action& a) { return wm.move_to_monitor(a.text); };
    at(ActionKind::LuaCallback) = [](WindowManager& wm, const Action& a) -> XResult<void> {
        // A failing callback is the script's problem: logged, never an error of the window manager.
        if (auto r = wm.lua_config->execute_callback(a.number); !r) {
            log::error(kTarget, "Lua callback error: {}", r.error());
        }
        return {};
    };
    return t;
}
constexpr std::array<ActionHandler, kKinds> kActions = make_action_table();

}  // namespace

XResult<void> WindowManager::handle_key_press(const void* event) {
    auto* ev = static_cast<const xcb_key_press_event_t*>(event);
    const uint16_t mods = ev->state & kChordMods;
    log::trace(kTarget, "KeyPress: keycode={}, raw_state={}, filtered_mods={}", ev->detail,
               modifier_mask_form(ev->state), modifier_mask_form(mods));
    std::optional<Action> action;
    {
        // Released before the action runs: callbacks and reloads take the lock themselves.
        auto state = lua_state->lock();
        for (const Keybind& kb : state->keybinds) {
            auto code = connection->keycode_from_keysym(kb.keysym);
            if (code && *code == ev->detail && kb.modifiers == mods) {
                action = kb.action;
                break;
            }
        }
    }
    if (!action) return {};
    log::debug(kTarget, "Executing action: {}", *action);
    return execute_action(*action);
}

XResult<void> WindowManager::execute_action(const Action& action) {
    const auto kind = static_cast<size_t>(action.kind);
    if (kind >= kActions.size() || !kActions[kind]) return {};
    return kActions[kind](*this, action);
}

// What the floating cycle goes through: the workspace's floating windows in list order; under a fullscreen
// window, that window and its dialogs (the rest stays hidden under it), in an order raising does not change.
static std::vector<Window> cycle_list(const WindowManager& wm) {
    const auto cover = wm.fullscreen_on(wm.current_workspace);
    if (!cover) return wm.workspaces[wm.current_workspace].floating;
    std::vector<Window> list = wm.dialogs_of(*cover);
    std::sort(list.begin(), list.end());  // by id: raising reorders the floating list
    list.insert(list.begin(), *cover);
    return list;
}

XResult<void> WindowManager::cycle_floating() {
    const std::vector<Window> list = cycle_list(*this);
    if (list.empty()) {
        log::debug(kTarget, "No floating windows to cycle");
        return {};
    }
    size_t next = 0;
    if (focused) {
        auto it = std::find(list.begin(), list.end(), *focused);
        if (it != list.end() && it + 1 != list.end()) next = static_cast<size_t>(it - list.begin()) + 1;
    }
    const Window w = list[next];
    VOP_TRY(set_focus(w, true));
    VOP_TRY(raise_window(w));
    log::debug(kTarget, "Cycled to floating window {} (idx {})", w, next);
    return {};
}

XResult<void> WindowManager::force_close_window(Window w) {
    log::info(kTarget, "Force closing window {}", w);
    VOP_TRY(connection->kill_client(w));
    return connection->flush();
}

}  // namespace vop
