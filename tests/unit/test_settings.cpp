// Settings record: the defaults, the table of settable keys and typed stores into named fields.
#include "config/settings.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <variant>

using vop::Config;
using vop::ConfigValue;
using vop::FieldKind;
using vop::SetResult;

namespace {

// A field's current value in comparable form.
using Plain = std::variant<uint64_t, int64_t, double, bool, std::string, std::optional<std::string>>;

Plain read(const Config& c, const vop::FieldSpec& f) {
    return std::visit(
        [&](auto member) -> Plain {
            using T = std::decay_t<decltype(c.*member)>;
            if constexpr (std::is_same_v<T, uint32_t>) return uint64_t{c.*member};
            else if constexpr (std::is_same_v<T, int32_t>) return int64_t{c.*member};
            else return c.*member;
        },
        f.member);
}

Plain read(const Config& c, std::string_view key) {
    const auto* f = Config::find_field(key);
    EXPECT_NE(f, nullptr) << key;
    return f ? read(c, *f) : Plain{};
}

}  // namespace

TEST(SettingsDefaults, MatchTheTableOfDefaults) {
    const std::map<std::string, Plain> expected{
        {"blur_method", std::string("dual_kawase")},
        {"border_gradient_direction", std::string("vertical")},
        {"animation_open", std::string("none")},
        {"animation_close", std::string("none")},
        {"animation_curve", std::string("ease-out")},
        {"picom_shader", std::optional<std::string>()},
        {"shadow_opacity", 0.75},
        {"opacity_focused", 1.0},
        {"opacity_unfocused", 1.0},
        {"animation_duration", 0.2},
        {"border_width", uint64_t{2}},
        {"gap_inner", uint64_t{0}},
        {"gap_outer", uint64_t{0}},
        {"titlebar_height", uint64_t{20}},
        {"bar_height", uint64_t{0}},
        {"corner_radius", uint64_t{12}},
        {"blur_strength", uint64_t{5}},
        {"shadow_radius", uint64_t{12}},
        {"fade_delta", uint64_t{10}},
        {"shadow_offset_x", int64_t{-7}},
        {"shadow_offset_y", int64_t{-7}},
        {"border_color_focused", uint64_t{0x5294e2}},
        {"border_color_unfocused", uint64_t{0x2d2d2d}},
        {"border_color_urgent", uint64_t{0xff5555}},
        {"titlebar_color_focused", uint64_t{0x3d3d3d}},
        {"titlebar_color_unfocused", uint64_t{0x2d2d2d}},
        {"titlebar_text_color", uint64_t{0xffffff}},
        {"border_gradient_start_focused", uint64_t{0x5294e2}},
        {"border_gradient_end_focused", uint64_t{0x1a5fb4}},
        {"border_gradient_start_unfocused", uint64_t{0x3d3d3d}},
        {"border_gradient_end_unfocused", uint64_t{0x1d1d1d}},
        {"titlebar_enabled", false},
        {"follow_window_on_move", false},
        {"mouse_follows_focus", false},
        {"blur_enabled", true},
        {"shadow_enabled", true},
        {"fade_enabled", true},
        {"border_gradient_enabled", false},
    };
    const Config c;
    std::map<std::string, Plain> actual;
    for (const auto& f : Config::field_table()) {
        EXPECT_TRUE(actual.emplace(std::string(f.name), read(c, f)).second) << "duplicate key " << f.name;
    }
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(Config::field_table().size(), 38u);
    // Fields outside the settable table.
    EXPECT_FALSE(c.bar_enabled);
    EXPECT_TRUE(c.picom_rules.empty());
}

TEST(SettingsSetField, TypedStores) {
    const std::string bad_utf8 = "ab\xc3(";
    struct Case {
        const char* name;
        std::string key;
        ConfigValue value;
        SetResult result;
        Plain after;  // the field's value afterwards
    } cases[] = {
        {"float into float", "opacity_unfocused", 0.9, SetResult::Stored, 0.9},
        {"integer into float", "opacity_unfocused", int64_t{1}, SetResult::WrongType, 1.0},
        {"NaN into float", "opacity_unfocused", std::nan(""), SetResult::NotFinite, 1.0},
        {"infinity into float", "shadow_opacity", -HUGE_VAL, SetResult::NotFinite, 0.75},
        {"integer", "gap_inner", int64_t{8}, SetResult::Stored, uint64_t{8}},
        {"integral float into integer", "gap_inner", 8.0, SetResult::WrongType, uint64_t{0}},
        {"string into integer", "gap_inner", std::string_view("8"), SetResult::WrongType, uint64_t{0}},
        {"negative signed", "shadow_offset_x", int64_t{-3}, SetResult::Stored, int64_t{-3}},
        // Integers the field cannot hold are refused, never cut to fit; its bounds are held.
        {"signed lowest", "shadow_offset_y", int64_t{INT32_MIN}, SetResult::Stored, int64_t{INT32_MIN}},
        {"signed highest", "shadow_offset_y", int64_t{INT32_MAX}, SetResult::Stored, int64_t{INT32_MAX}},
        {"signed below 32 bits", "shadow_offset_y", int64_t{INT32_MIN} - 1, SetResult::OutOfRange, int64_t{-7}},
        {"signed beyond 32 bits", "shadow_offset_x", int64_t{0x80000000LL}, SetResult::OutOfRange, int64_t{-7}},
        {"unsigned zero", "border_width", int64_t{0}, SetResult::Stored, uint64_t{0}},
        {"unsigned highest", "corner_radius", int64_t{UINT32_MAX}, SetResult::Stored, uint64_t{4294967295u}},
        // Sizes end up in 16-bit X geometry.
        {"size highest", "gap_outer", int64_t{32767}, SetResult::Stored, uint64_t{32767}},
        {"size beyond X geometry", "border_width", int64_t{32768}, SetResult::OutOfRange, uint64_t{2}},
        {"bar height beyond X geometry", "bar_height", int64_t{70000}, SetResult::OutOfRange, uint64_t{0}},
        {"unsigned negative", "border_width", int64_t{-1}, SetResult::OutOfRange, uint64_t{2}},
        {"unsigned beyond 32 bits", "gap_outer", int64_t{(1LL << 32) + 2}, SetResult::OutOfRange, uint64_t{0}},
        {"unsigned far beyond", "titlebar_height", INT64_MIN, SetResult::OutOfRange, uint64_t{20}},
        {"boolean", "blur_enabled", false, SetResult::Stored, false},
        {"number into boolean", "titlebar_enabled", int64_t{1}, SetResult::WrongType, false},
        {"nil into boolean", "titlebar_enabled", std::monostate{}, SetResult::WrongType, false},
        {"text", "blur_method", std::string_view("gaussian"), SetResult::Stored, std::string("gaussian")},
        {"invalid UTF-8 text", "blur_method", std::string_view(bad_utf8), SetResult::WrongType,
         std::string("dual_kawase")},
        {"shader path", "picom_shader", std::string_view("/tmp/s.glsl"), SetResult::Stored,
         std::optional<std::string>("/tmp/s.glsl")},
        {"colour text", "border_color_focused", std::string_view("#112233"), SetResult::Stored, uint64_t{0x112233}},
        {"refused colour text", "border_color_focused", std::string_view("#ggg"), SetResult::WrongType,
         uint64_t{0x5294e2}},
        {"colour as number", "border_color_urgent", int64_t{0x112233}, SetResult::WrongType, uint64_t{0xff5555}},
        {"short colour", "titlebar_text_color", std::string_view("#fff"), SetResult::Stored, uint64_t{0xfff}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Config cfg;
        EXPECT_EQ(cfg.set_field(c.key, c.value), c.result);
        EXPECT_EQ(read(cfg, c.key), c.after);
    }
}

TEST(SettingsSetField, UnknownKeysChangeNothing) {
    const Config defaults;
    for (const char* key : {"Border_Width", "border_width ", "bar_enabled", "picom_rules", "", "1", "gap"}) {
        SCOPED_TRACE(key);
        Config cfg;
        EXPECT_EQ(cfg.set_field(key, int64_t{1}), SetResult::UnknownKey);
        EXPECT_EQ(cfg.set_field(key, true), SetResult::UnknownKey);
        EXPECT_EQ(cfg, defaults);
    }
}

TEST(SettingsSetField, EveryKeyAcceptsItsKindAndNothingElse) {
    // One well-typed value per kind, and every other value must be refused.
    const std::map<FieldKind, ConfigValue> good{
        {FieldKind::Unsigned, int64_t{3}},          {FieldKind::Size, int64_t{3}},
        {FieldKind::Signed, int64_t{-3}},
        {FieldKind::Float, 0.5},                    {FieldKind::Bool, true},
        {FieldKind::Text, std::string_view("x")},   {FieldKind::OptionalText, std::string_view("x")},
        {FieldKind::Color, std::string_view("#010203")},
    };
    const std::map<FieldKind, Plain> stored{
        {FieldKind::Unsigned, uint64_t{3}},         {FieldKind::Size, uint64_t{3}},
        {FieldKind::Signed, int64_t{-3}},
        {FieldKind::Float, 0.5},                    {FieldKind::Bool, true},
        {FieldKind::Text, std::string("x")},        {FieldKind::OptionalText, std::optional<std::string>("x")},
        {FieldKind::Color, uint64_t{0x010203}},
    };
    const ConfigValue others[] = {std::monostate{}, int64_t{3}, 0.5, true, std::string_view("zz")};
    for (const auto& f : Config::field_table()) {
        SCOPED_TRACE(std::string(f.name));
        Config cfg;
        EXPECT_EQ(cfg.set_field(f.name, good.at(f.kind)), SetResult::Stored);
        EXPECT_EQ(read(cfg, f), stored.at(f.kind));
        for (const auto& v : others) {
            if (v.index() == good.at(f.kind).index()) continue;
            Config untouched;
            EXPECT_EQ(untouched.set_field(f.name, v), SetResult::WrongType);
            EXPECT_EQ(untouched, Config{});
        }
    }
}

TEST(SettingsCopy, CopiesShareNothing) {
    Config a;
    a.picom_rules.push_back({"class_g = 'x'", 4u, 0.5, true, std::nullopt, std::nullopt});
    ASSERT_EQ(a.set_field("picom_shader", std::string_view("/s")), SetResult::Stored);
    Config b = a;
    EXPECT_EQ(b, a);
    b.picom_rules[0].match_expr = "other";
    b.blur_method += "!";
    *b.picom_shader = "/t";
    EXPECT_EQ(a.picom_rules[0].match_expr, "class_g = 'x'");
    EXPECT_EQ(a.blur_method, "dual_kawase");
    EXPECT_EQ(a.picom_shader, "/s");
}
