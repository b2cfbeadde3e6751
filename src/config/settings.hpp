// Config: every appearance and behaviour setting with its default, and the table of settable keys.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vop {

// One per-window compositor rule, kept in registration order in `Config::picom_rules`.
struct PicomRule {
    std::string match_expr;  // the compositor's own match expression, passed through unchanged
    std::optional<uint32_t> corner_radius;
    std::optional<double> opacity;
    std::optional<bool> shadow;
    std::optional<bool> blur_background;
    std::optional<std::string> shader;
    bool operator==(const PicomRule&) const = default;
};

// A value offered for a named setting, already split by the script's own types: nothing usable
// (nil, tables, functions...), an integer, a float, a boolean or a string (bytes as given).
// Integer and float stay distinct: 8.0 is no integer and 1 is no float.
using ConfigValue = std::variant<std::monostate, int64_t, double, bool, std::string_view>;

// The largest size in pixels a setting may give: window coordinates in X are signed 16-bit numbers.
inline constexpr uint32_t kMaxSize = 32767;

// What a settable key takes, and how it is stored.
enum class FieldKind : uint8_t {
    Unsigned,      // integer from 0 to 2^32 - 1 (uint32_t)
    Size,          // integer from 0 to kMaxSize (uint32_t): it ends up in X geometry
    Signed,        // integer from -2^31 to 2^31 - 1 (int32_t)
    Float,         // float only (double)
    Bool,          // boolean only
    Text,          // valid UTF-8 string, copied
    OptionalText,  // valid UTF-8 string, copied into an optional that can then not be cleared
    Color,         // valid UTF-8 string accepted by parse_color, stored as uint32_t 0xRRGGBB
};

struct Config;

// Where a settable key lives in the record; the alternative matches the field's C++ type.
using FieldMember = std::variant<uint32_t Config::*, int32_t Config::*, double Config::*, bool Config::*,
                                 std::string Config::*, std::optional<std::string> Config::*>;

struct FieldSpec {
    std::string_view name;  // the script's key, identical to the field's name
    FieldKind kind;
    FieldMember member;
};

// Outcome of offering a value for a key. A value of the wrong type is dropped silently by the
// script API; an unknown key, an integer the field cannot hold (cut to fit, -1 would make a
// border wider than any screen) or a size beyond kMaxSize, and a NaN or infinite float (which
// the compositor file could not carry) are dropped with a warning.
enum class SetResult : uint8_t { Stored, WrongType, UnknownKey, OutOfRange, NotFinite };

struct Config {
    // Texts.
    std::string blur_method = "dual_kawase";
    std::string border_gradient_direction = "vertical";
    std::string animation_open = "none";
    std::string animation_close = "none";
    std::string animation_curve = "ease-out";

    // Compositor extras.
    std::vector<PicomRule> picom_rules;
    std::optional<std::string> picom_shader;

    // 64-bit floats.
    double shadow_opacity = 0.75;
    double opacity_focused = 1.0;
    double opacity_unfocused = 1.0;
    double animation_duration = 0.2;

    // 32-bit unsigned integers.
    uint32_t border_width = 2;
    uint32_t gap_inner = 0;
    uint32_t gap_outer = 0;
    uint32_t titlebar_height = 20;
    uint32_t bar_height = 0;
    uint32_t corner_radius = 12;
    uint32_t blur_strength = 5;
    uint32_t shadow_radius = 12;
    uint32_t fade_delta = 10;

    // 32-bit signed integers.
    int32_t shadow_offset_x = -7;
    int32_t shadow_offset_y = -7;

    // Colours: 32-bit values, normally 0xRRGGBB (no alpha handling).
    uint32_t border_color_focused = 0x5294e2;
    uint32_t border_color_unfocused = 0x2d2d2d;
    uint32_t border_color_urgent = 0xff5555;
    uint32_t titlebar_color_focused = 0x3d3d3d;
    uint32_t titlebar_color_unfocused = 0x2d2d2d;
    uint32_t titlebar_text_color = 0xffffff;
    uint32_t border_gradient_start_focused = 0x5294e2;
    uint32_t border_gradient_end_focused = 0x1a5fb4;
    uint32_t border_gradient_start_unfocused = 0x3d3d3d;
    uint32_t border_gradient_end_unfocused = 0x1d1d1d;

    // Booleans.
    bool titlebar_enabled = false;
    bool follow_window_on_move = false;
    bool mouse_follows_focus = false;
    bool bar_enabled = false;  // set only by the loader, from the presence of a bar table
    bool blur_enabled = true;
    bool shadow_enabled = true;
    bool fade_enabled = true;
    bool border_gradient_enabled = false;

    bool operator==(const Config&) const = default;

    // The 38 keys the script may set, each naming the field of the same name. `picom_rules` and
    // `bar_enabled` are deliberately absent.
    static std::span<const FieldSpec> field_table();

    // The entry for `key`, matched byte for byte (case-sensitive); null when unknown.
    static const FieldSpec* find_field(std::string_view key);

    // Stores `value` into the field named `key` when its type fits the field's kind (see
    // FieldKind) and, for a number, the field can hold it; otherwise leaves the record unchanged.
    // Logs nothing: the caller warns about UnknownKey, OutOfRange and NotFinite and ignores WrongType.
    SetResult set_field(std::string_view key, const ConfigValue& value);
};

}  // namespace vop
