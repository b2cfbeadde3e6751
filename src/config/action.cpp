// Action kind names and the printed forms of actions and floating-point payloads.
#include "config/action.hpp"

#include "util/debug_form.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace vop {

namespace {

struct KindNames {
    ActionKind kind;
    std::string_view name;         // printed name
    std::string_view script_name;  // the "action" field of a script's action table
};

constexpr std::array<KindNames, 18> kKinds{{
    {ActionKind::Focus, "Focus", "focus"},
    {ActionKind::Swap, "Swap", "swap"},
    {ActionKind::Resize, "Resize", "resize"},
    {ActionKind::CloseWindow, "CloseWindow", "close_window"},
    {ActionKind::ForceCloseWindow, "ForceCloseWindow", "force_close_window"},
    {ActionKind::Workspace, "Workspace", "workspace"},
    {ActionKind::WorkspaceNext, "WorkspaceNext", "workspace_next"},
    {ActionKind::WorkspacePrev, "WorkspacePrev", "workspace_prev"},
    {ActionKind::MoveToWorkspace, "MoveToWorkspace", "move_to_workspace"},
    {ActionKind::Equalize, "Equalize", "equalize"},
    {ActionKind::Reload, "Reload", "reload"},
    {ActionKind::Exit, "Exit", "exit"},
    {ActionKind::ToggleFloating, "ToggleFloating", "toggle_floating"},
    {ActionKind::ToggleFullscreen, "ToggleFullscreen", "toggle_fullscreen"},
    {ActionKind::CycleFloating, "CycleFloating", "cycle_floating"},
    {ActionKind::FocusMonitor, "FocusMonitor", "focus_monitor"},
    {ActionKind::MoveToMonitor, "MoveToMonitor", "move_to_monitor"},
    {ActionKind::LuaCallback, "LuaCallback", ""},
}};

// Lays out shortest round-trip digits in plain or exponent notation.
template <class F>
std::string shortest(F v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    if (v == 0) return std::signbit(v) ? "-0.0" : "0.0";

    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));  // "-1.2345e+02"
    bool negative = sci.front() == '-';
    if (negative) sci.remove_prefix(1);
    size_t e_pos = sci.find('e');
    std::string_view mantissa = sci.substr(0, e_pos);
    int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());
    std::string digits;
    for (char c : mantissa) {
        if (c != '.') digits += c;
    }

    std::string out = negative ? "-" : "";
    F magnitude = std::fabs(v);
    if (magnitude < F(1e-4) || magnitude >= F(1e16)) {
        out += mantissa;
        out += 'e';
        out += std::to_string(exponent);
        return out;
    }
    if (exponent >= 0) {
        size_t int_len = static_cast<size_t>(exponent) + 1;
        if (digits.size() <= int_len) {
            out += digits;
            out.append(int_len - digits.size(), '0');
            out += ".0";
        } else {
            out += digits.substr(0, int_len);
            out += '.';
            out += digits.substr(int_len);
        }
    } else {
        out += "0.";
        out.append(static_cast<size_t>(-exponent - 1), '0');
        out += digits;
    }
    return out;
}

}  // namespace

std::string_view action_kind_name(ActionKind kind) { return kKinds[static_cast<size_t>(kind)].name; }

std::optional<ActionKind> action_kind_from_script_name(std::string_view name) {
    if (name.empty()) return std::nullopt;
    for (const auto& k : kKinds) {
        if (k.script_name == name) return k.kind;
    }
    return std::nullopt;
}

std::string float_form(float v) { return shortest(v); }
std::string float_form(double v) { return shortest(v); }

std::string to_string(const Action& a) {
    std::string_view name = action_kind_name(a.kind);
    switch (a.kind) {
        case ActionKind::Focus:
        case ActionKind::Swap:
        case ActionKind::FocusMonitor:
        case ActionKind::MoveToMonitor:
            return fmt::format("{}({})", name, dbg::quoted(a.text));
        case ActionKind::Resize:
            return fmt::format("{}({}, {})", name, dbg::quoted(a.text), float_form(a.amount));
        case ActionKind::Workspace:
        case ActionKind::MoveToWorkspace:
        case ActionKind::LuaCallback:
            return fmt::format("{}({})", name, a.number);
        default:
            return std::string(name);
    }
}

}  // namespace vop
