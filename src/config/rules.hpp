// Records the script registers: key bindings and window rules, with their printed forms.
#pragma once

#include "config/action.hpp"
#include "config/settings.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace vop {

// One key binding: an X modifier mask (Shift 1, Control 4, Mod1 8, Mod4 64), a keysym and
// what the chord does.
struct Keybind {
    uint16_t modifiers = 0;
    uint32_t keysym = 0;
    Action action;
    bool operator==(const Keybind&) const = default;
};

// Patterns a window must match; each given one is matched by the window-rule policy.
struct WindowMatch {
    std::optional<std::string> class_name;  // class part of WM_CLASS ("class" in the script)
    std::optional<std::string> instance;
    std::optional<std::string> title;
    bool operator==(const WindowMatch&) const = default;
};

// What a rule does; also the result of matching all rules against a window.
struct RuleActions {
    std::optional<bool> floating;      // unset: the window's own policy decides
    std::optional<uint64_t> workspace;  // counting from 1
    bool operator==(const RuleActions&) const = default;
};

struct WindowRule {
    WindowMatch match_criteria;
    RuleActions actions;
    bool operator==(const WindowRule&) const = default;
};

// "SHIFT | M4", "0", ...: an X modifier mask by bit names.
std::string modifier_mask_form(uint16_t mask);

// WindowRule { match_criteria: WindowMatch { class: Some("Firefox"), ... }, actions: ... }
std::string to_string(const WindowRule& rule);
std::string to_string(const WindowMatch& match);
std::string to_string(const RuleActions& actions);
// PicomRule { match_expr: "...", corner_radius: None, opacity: Some(0.9), ... }
std::string to_string(const PicomRule& rule);

}  // namespace vop
