// vop.set from a script: strict value types per key, colours, unknown keys, bad keys.
#include "lua_test_env.hpp"

#include <functional>

using namespace vop;
using namespace vop::testing;
using vop::log::Level;

namespace {

class LuaSetTest : public LuaConfigTest {};

}  // namespace

TEST_F(LuaSetTest, ValueTypeMatrix) {
    struct Case {
        const char* call;                   // Lua arguments of vop.set
        std::function<bool(const Config&)> check;
        const char* warns = nullptr;        // the warning it is refused with
    };
    const Case cases[] = {
        // Integer keys take Lua integers only, and only those their 32-bit field can hold.
        {"'gap_inner', 8", [](const Config& c) { return c.gap_inner == 8; }},
        {"'gap_inner', 8.0", [](const Config& c) { return c.gap_inner == 0; }},
        {"'gap_inner', '8'", [](const Config& c) { return c.gap_inner == 0; }},
        {"'corner_radius', 4294967295", [](const Config& c) { return c.corner_radius == 4294967295u; }},
        // Sizes end up in X geometry, whose coordinates are signed 16-bit numbers.
        {"'border_width', 32767", [](const Config& c) { return c.border_width == 32767; }},
        {"'border_width', 40000", [](const Config& c) { return c.border_width == 2; },
         "Out-of-range value for config key: border_width (40000)"},
        {"'titlebar_height', 70000", [](const Config& c) { return c.titlebar_height == 20; },
         "Out-of-range value for config key: titlebar_height (70000)"},
        {"'border_width', -1", [](const Config& c) { return c.border_width == 2; },
         "Out-of-range value for config key: border_width (-1)"},
        {"'gap_outer', math.tointeger(2^32) + 5", [](const Config& c) { return c.gap_outer == 0; },
         "Out-of-range value for config key: gap_outer (4294967301)"},
        {"'shadow_offset_x', -2147483648", [](const Config& c) { return c.shadow_offset_x == INT32_MIN; }},
        {"'shadow_offset_y', 4294967295", [](const Config& c) { return c.shadow_offset_y == -7; },
         "Out-of-range value for config key: shadow_offset_y (4294967295)"},
        // Float keys take Lua floats only.
        {"'opacity_unfocused', 1", [](const Config& c) { return c.opacity_unfocused == 1.0; }},
        {"'opacity_unfocused', 0.9", [](const Config& c) { return c.opacity_unfocused == 0.9; }},
        {"'shadow_opacity', 1", [](const Config& c) { return c.shadow_opacity == 0.75; }},
        {"'animation_duration', 3e-1", [](const Config& c) { return c.animation_duration == 0.3; }},
        // NaN and infinities are refused with a warning: the compositor file could not carry them.
        {"'opacity_unfocused', 0/0", [](const Config& c) { return c.opacity_unfocused == 1.0; },
         "Non-finite value for config key: opacity_unfocused"},
        {"'shadow_opacity', 1/0", [](const Config& c) { return c.shadow_opacity == 0.75; },
         "Non-finite value for config key: shadow_opacity"},
        {"'animation_duration', -1/0", [](const Config& c) { return c.animation_duration == 0.2; },
         "Non-finite value for config key: animation_duration"},
        {"'gap_inner', 0/0", [](const Config& c) { return c.gap_inner == 0; }},
        // Booleans only for boolean keys.
        {"'titlebar_enabled', true", [](const Config& c) { return c.titlebar_enabled; }},
        {"'blur_enabled', false", [](const Config& c) { return !c.blur_enabled; }},
        {"'blur_enabled', nil", [](const Config& c) { return c.blur_enabled; }},
        {"'blur_enabled', 0", [](const Config& c) { return c.blur_enabled; }},
        {"'titlebar_enabled', 'true'", [](const Config& c) { return !c.titlebar_enabled; }},
        // Texts are copied; numbers are not texts here.
        {"'blur_method', 'gaussian'", [](const Config& c) { return c.blur_method == "gaussian"; }},
        {"'blur_method', 5", [](const Config& c) { return c.blur_method == "dual_kawase"; }},
        {"'animation_open', '\\xff'", [](const Config& c) { return c.animation_open == "none"; }},
        {"'picom_shader', '/s.glsl'", [](const Config& c) { return c.picom_shader == "/s.glsl"; }},
        {"'picom_shader', false", [](const Config& c) { return !c.picom_shader; }},
        // Colours only as texts the colour parser accepts.
        {"'border_color_focused', '#112233'", [](const Config& c) { return c.border_color_focused == 0x112233; }},
        {"'border_color_urgent', 'fff'", [](const Config& c) { return c.border_color_urgent == 0xfff; }},
        {"'border_color_focused', '#ggg'", [](const Config& c) { return c.border_color_focused == 0x5294e2; }},
        {"'border_color_focused', 0x112233", [](const Config& c) { return c.border_color_focused == 0x5294e2; }},
        {"'titlebar_text_color', '#00000000ff'", [](const Config& c) { return c.titlebar_text_color == 0xff; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        logs_.clear();
        LuaConfig config = load_ok(std::string("vop.set(") + c.call + ")");
        EXPECT_TRUE(c.check(snapshot(config).config));
        // A value of the wrong type is dropped without a word.
        EXPECT_EQ(messages(Level::Warn), c.warns ? std::vector<std::string>{c.warns} : std::vector<std::string>{});
    }
}

TEST_F(LuaSetTest, UnknownKeysWarnAndTheScriptGoesOn) {
    LuaConfig config = load_ok(R"(
        vop.set("Gap_Inner", 5)
        vop.set("bar_enabled", true)
        vop.set("picom_rules", {})
        vop.set(42, 1)
        vop.set(1.5, 1)
        vop.set("gap_inner", 6)
    )");
    EXPECT_EQ(messages(Level::Warn), (std::vector<std::string>{
                                         "Unknown config key: Gap_Inner", "Unknown config key: bar_enabled",
                                         "Unknown config key: picom_rules", "Unknown config key: 42",
                                         "Unknown config key: 1.5"}));
    LuaState s = snapshot(config);
    EXPECT_EQ(s.config.gap_inner, 6u);
    EXPECT_FALSE(s.config.bar_enabled);
}

TEST_F(LuaSetTest, BadKeysRaise) {
    struct Case {
        const char* script;
        const char* error;
    };
    const Case cases[] = {
        {"vop.set(nil, 1)", "bad argument #1 to 'set' (expected string or number)"},
        {"vop.set()", "bad argument #1 to 'set' (expected string or number)"},
        {"vop.set({}, 1)", "bad argument #1 to 'set' (expected string or number)"},
        {"vop.set(true, 1)", "bad argument #1 to 'set' (expected string or number)"},
        {"vop.set('gap\\xffinner', 1)", "bad argument #1 to 'set' (invalid UTF-8 text)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        load_script(c.script);
        ASSERT_TRUE(last_load);
        EXPECT_EQ(*last_load, std::string("init.lua:1: ") + c.error);
    }
}

TEST_F(LuaSetTest, FreshRecordHoldsTheDefaults) {
    LuaConfig config = load_ok("");
    const Config c = snapshot(config).config;
    EXPECT_EQ(c, Config{});
    EXPECT_EQ(c.border_width, 2u);
    EXPECT_EQ(c.titlebar_height, 20u);
    EXPECT_EQ(c.border_color_focused, 0x5294e2u);
    EXPECT_EQ(c.blur_method, "dual_kawase");
    EXPECT_EQ(c.shadow_offset_x, -7);
    EXPECT_TRUE(c.fade_enabled);
    EXPECT_FALSE(c.picom_shader);
}
