// Config: the table of settable keys and the typed store of one value into one field.
#include "config/settings.hpp"

#include "config/keyspec.hpp"
#include "util/unicode.hpp"

#include <array>
#include <cmath>
#include <utility>

namespace vop {

namespace {

using K = FieldKind;

const std::array<FieldSpec, 38> kFields{{
    {"border_width", K::Size, &Config::border_width},
    {"gap_inner", K::Size, &Config::gap_inner},
    {"gap_outer", K::Size, &Config::gap_outer},
    {"titlebar_height", K::Size, &Config::titlebar_height},
    {"bar_height", K::Size, &Config::bar_height},
    {"corner_radius", K::Unsigned, &Config::corner_radius},
    {"blur_strength", K::Unsigned, &Config::blur_strength},
    {"shadow_radius", K::Unsigned, &Config::shadow_radius},
    {"fade_delta", K::Unsigned, &Config::fade_delta},
    {"shadow_offset_x", K::Signed, &Config::shadow_offset_x},
    {"shadow_offset_y", K::Signed, &Config::shadow_offset_y},
    {"shadow_opacity", K::Float, &Config::shadow_opacity},
    {"opacity_focused", K::Float, &Config::opacity_focused},
    {"opacity_unfocused", K::Float, &Config::opacity_unfocused},
    {"animation_duration", K::Float, &Config::animation_duration},
    {"titlebar_enabled", K::Bool, &Config::titlebar_enabled},
    {"follow_window_on_move", K::Bool, &Config::follow_window_on_move},
    {"mouse_follows_focus", K::Bool, &Config::mouse_follows_focus},
    {"blur_enabled", K::Bool, &Config::blur_enabled},
    {"shadow_enabled", K::Bool, &Config::shadow_enabled},
    {"fade_enabled", K::Bool, &Config::fade_enabled},
    {"border_gradient_enabled", K::Bool, &Config::border_gradient_enabled},
    {"blur_method", K::Text, &Config::blur_method},
    {"border_gradient_direction", K::Text, &Config::border_gradient_direction},
    {"animation_open", K::Text, &Config::animation_open},
    {"animation_close", K::Text, &Config::animation_close},
    {"animation_curve", K::Text, &Config::animation_curve},
    {"picom_shader", K::OptionalText, &Config::picom_shader},
    {"border_color_focused", K::Color, &Config::border_color_focused},
    {"border_color_unfocused", K::Color, &Config::border_color_unfocused},
    {"border_color_urgent", K::Color, &Config::border_color_urgent},
    {"titlebar_color_focused", K::Color, &Config::titlebar_color_focused},
    {"titlebar_color_unfocused", K::Color, &Config::titlebar_color_unfocused},
    {"titlebar_text_color", K::Color, &Config::titlebar_text_color},
    {"border_gradient_start_focused", K::Color, &Config::border_gradient_start_focused},
    {"border_gradient_end_focused", K::Color, &Config::border_gradient_end_focused},
    {"border_gradient_start_unfocused", K::Color, &Config::border_gradient_start_unfocused},
    {"border_gradient_end_unfocused", K::Color, &Config::border_gradient_end_unfocused},
}};

// The string in `v` when it is valid UTF-8.
const std::string_view* utf8_text(const ConfigValue& v) {
    const auto* s = std::get_if<std::string_view>(&v);
    return s && unicode::is_valid_utf8(*s) ? s : nullptr;
}

}  // namespace

std::span<const FieldSpec> Config::field_table() { return kFields; }

const FieldSpec* Config::find_field(std::string_view key) {
    for (const FieldSpec& f : kFields) {
        if (f.name == key) return &f;
    }
    return nullptr;
}

SetResult Config::set_field(std::string_view key, const ConfigValue& value) {
    const FieldSpec* f = find_field(key);
    if (!f) return SetResult::UnknownKey;
    switch (f->kind) {
        case K::Unsigned:
        case K::Size:
            if (const auto* i = std::get_if<int64_t>(&value)) {
                if (!std::in_range<uint32_t>(*i) || (f->kind == K::Size && *i > kMaxSize)) return SetResult::OutOfRange;
                this->*std::get<uint32_t Config::*>(f->member) = static_cast<uint32_t>(*i);
                return SetResult::Stored;
            }
            break;
        case K::Signed:
            if (const auto* i = std::get_if<int64_t>(&value)) {
                if (!std::in_range<int32_t>(*i)) return SetResult::OutOfRange;
                this->*std::get<int32_t Config::*>(f->member) = static_cast<int32_t>(*i);
                return SetResult::Stored;
            }
            break;
        case K::Float:
            if (const auto* d = std::get_if<double>(&value)) {
                if (!std::isfinite(*d)) return SetResult::NotFinite;
                this->*std::get<double Config::*>(f->member) = *d;
                return SetResult::Stored;
            }
            break;
        case K::Bool:
            if (const auto* b = std::get_if<bool>(&value)) {
                this->*std::get<bool Config::*>(f->member) = *b;
                return SetResult::Stored;
            }
            break;
        case K::Text:
            if (const auto* s = utf8_text(value)) {
                this->*std::get<std::string Config::*>(f->member) = std::string(*s);
                return SetResult::Stored;
            }
            break;
        case K::OptionalText:
            if (const auto* s = utf8_text(value)) {
                this->*std::get<std::optional<std::string> Config::*>(f->member) = std::string(*s);
                return SetResult::Stored;
            }
            break;
        case K::Color:
            if (const auto* s = utf8_text(value)) {
                if (auto c = parse_color(*s)) {
                    this->*std::get<uint32_t Config::*>(f->member) = *c;
                    return SetResult::Stored;
                }
            }
            break;
    }
    return SetResult::WrongType;
}

}  // namespace vop
