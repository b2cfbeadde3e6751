// Action: what a key binding does, with its payload and the printed form used in log lines.
#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vop {

// The 18 kinds, in declaration order.
enum class ActionKind : uint8_t {
    Focus,
    Swap,
    Resize,
    CloseWindow,
    ForceCloseWindow,
    Workspace,
    WorkspaceNext,
    WorkspacePrev,
    MoveToWorkspace,
    Equalize,
    Reload,
    Exit,
    ToggleFloating,
    ToggleFullscreen,
    CycleFloating,
    FocusMonitor,
    MoveToMonitor,
    LuaCallback,
};

// A tagged value: `kind` says which payload fields mean anything.
//   Focus, Swap:                  text = direction
//   Resize:                       text = direction, amount = ratio step
//   Workspace, MoveToWorkspace:   number = workspace number counting from 1
//   FocusMonitor, MoveToMonitor:  text = "next", "prev", "left", "right" or a monitor name
//   LuaCallback:                  number = index into the shared callback list
// Texts are kept exactly as the script gave them; nothing is validated here.
struct Action {
    ActionKind kind = ActionKind::CloseWindow;
    std::string text;
    float amount = 0.0f;
    uint64_t number = 0;

    static Action focus(std::string direction) { return {ActionKind::Focus, std::move(direction), 0.0f, 0}; }
    static Action swap(std::string direction) { return {ActionKind::Swap, std::move(direction), 0.0f, 0}; }
    static Action resize(std::string direction, float amount) {
        return {ActionKind::Resize, std::move(direction), amount, 0};
    }
    static Action workspace(uint64_t n) { return {ActionKind::Workspace, {}, 0.0f, n}; }
    static Action move_to_workspace(uint64_t n) { return {ActionKind::MoveToWorkspace, {}, 0.0f, n}; }
    static Action focus_monitor(std::string target) { return {ActionKind::FocusMonitor, std::move(target), 0.0f, 0}; }
    static Action move_to_monitor(std::string target) {
        return {ActionKind::MoveToMonitor, std::move(target), 0.0f, 0};
    }
    static Action lua_callback(uint64_t index) { return {ActionKind::LuaCallback, {}, 0.0f, index}; }
    // A kind without payload.
    static Action simple(ActionKind kind) { return {kind, {}, 0.0f, 0}; }

    bool operator==(const Action&) const = default;
};

// The kind's own name: "Focus", "CloseWindow", ...
std::string_view action_kind_name(ActionKind kind);

// The script's name for a kind ("focus", "close_window", ...); LuaCallback has none.
std::optional<ActionKind> action_kind_from_script_name(std::string_view name);

// Printed form: CloseWindow, Focus("left"), Resize("left", 0.05), Workspace(3), LuaCallback(0).
std::string to_string(const Action& action);

// Shortest text that reads back to the same value, ".0" on whole values, exponent form
// (1e-5, 1.5e16) below 1e-4 and from 1e16 up. The float overload keeps 32-bit precision.
std::string float_form(float v);
std::string float_form(double v);

}  // namespace vop

template <>
struct fmt::formatter<vop::Action> : fmt::formatter<std::string> {
    auto format(const vop::Action& a, format_context& ctx) const {
        return fmt::formatter<std::string>::format(vop::to_string(a), ctx);
    }
};
