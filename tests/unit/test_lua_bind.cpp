// vop.bind, vop.rule and vop.picom_rule: decoding, defaults, log lines, ordering.
#include "lua_test_env.hpp"

#include <limits>

using namespace vop;
using namespace vop::testing;
using vop::log::Level;

namespace {

class LuaBindTest : public LuaConfigTest {};

}  // namespace

TEST(ModifierMask, BitNames) {
    EXPECT_EQ(modifier_mask_form(0), "0");
    EXPECT_EQ(modifier_mask_form(0x41), "SHIFT | M4");
    EXPECT_EQ(modifier_mask_form(0x4d), "SHIFT | CONTROL | M1 | M4");
    EXPECT_EQ(modifier_mask_form(0xff), "SHIFT | LOCK | CONTROL | M1 | M2 | M3 | M4 | M5");
    EXPECT_EQ(modifier_mask_form(0x8000), "ANY");
    EXPECT_EQ(modifier_mask_form(0x0301), "768 | SHIFT");
    EXPECT_EQ(modifier_mask_form(0x0100), "256");
}

TEST_F(LuaBindTest, DebugLineShowsTheBinding) {
    LuaConfig config = load_ok(R"(
        vop.bind("Mod4+Shift+r", vop.reload)
        vop.bind("Return", function() end)
        vop.bind("mod+ctrl+h", vop.resize("left", 0.05))
        vop.bind("alt+F4", vop.focus_monitor("a\"b"))
    )");
    EXPECT_EQ(messages(Level::Debug), (std::vector<std::string>{
                                          "Bound SHIFT | M4+72 to Reload",
                                          "Bound 0+ff0d to LuaCallback(0)",
                                          "Bound CONTROL | M4+68 to Resize(\"left\", 0.05)",
                                          "Bound M1+ffc1 to FocusMonitor(\"a\\\"b\")",
                                          "vop.bar not configured, vopbar integration disabled",
                                      }));
    LuaState s = snapshot(config);
    ASSERT_EQ(s.keybinds.size(), 4u);
    EXPECT_EQ(s.keybinds[0], (Keybind{65, 114, Action::simple(ActionKind::Reload)}));
}

TEST_F(LuaBindTest, ActionTableDecoding) {
    struct Case {
        const char* action;  // the second argument of vop.bind
        std::optional<Action> bound;
    };
    const Case cases[] = {
        {"vop.reload", Action::simple(ActionKind::Reload)},
        {"{ action = 'resize', direction = 'left' }", Action::resize("left", 0.05f)},
        {"{ action = 'resize', direction = 'left', amount = '0.1' }", Action::resize("left", 0.1f)},
        {"{ action = 'resize', amount = 'x' }", Action::resize("", 0.05f)},
        {"{ action = 'resize', amount = -1e300 }", Action::resize("", -std::numeric_limits<float>::infinity())},
        {"{ action = 'workspace' }", Action::workspace(1)},
        {"{ action = 'workspace', workspace = -2 }", Action::workspace(1)},
        {"{ action = 'workspace', workspace = 'x' }", Action::workspace(1)},
        {"{ action = 'workspace', workspace = 2.7 }", Action::workspace(2)},
        {"{ action = 'move_to_workspace', workspace = '4' }", Action::move_to_workspace(4)},
        {"{ action = 'focus' }", Action::focus("")},
        {"{ action = 'focus', direction = 7 }", Action::focus("7")},
        {"{ action = 'swap', direction = {} }", Action::swap("")},
        {"{ action = 'focus_monitor', target = 'HDMI-1', extra = 1 }", Action::focus_monitor("HDMI-1")},
        {"{ action = 'move_to_monitor' }", Action::move_to_monitor("")},
        {"{ action = 'cycle_floating', workspace = 3 }", Action::simple(ActionKind::CycleFloating)},
        {"setmetatable({}, { __index = function(_, k) return ({ action = 'swap', direction = 'up' })[k] end })",
         Action::swap("up")},
        {"vop.workspace_next", Action::lua_callback(0)},
        // Silently ignored.
        {"{}", std::nullopt},
        {"nil", std::nullopt},
        {"'reload'", std::nullopt},
        {"true", std::nullopt},
        {"42", std::nullopt},
        {"{ action = true }", std::nullopt},
        {"{ action = '\\xff' }", std::nullopt},
        {"vop.no_such_entry", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.action);
        logs_.clear();
        LuaConfig config = load_ok(std::string("vop.bind('mod+a', ") + c.action + ")");
        LuaState s = snapshot(config);
        if (c.bound) {
            ASSERT_EQ(s.keybinds.size(), 1u);
            EXPECT_EQ(s.keybinds[0], (Keybind{0x40, 0x61, *c.bound}));
        } else {
            EXPECT_TRUE(s.keybinds.empty());
            EXPECT_TRUE(messages(Level::Warn).empty());
        }
    }
}

TEST_F(LuaBindTest, UnknownActionNamesWarn) {
    LuaConfig config = load_ok(R"(
        vop.bind("mod+a", { action = "Focus" })
        vop.bind("mod+b", { action = 5 })
        vop.bind("mod+c", { action = "exec" })
        vop.bind("mod+d", { action = "lua_callback" })
    )");
    EXPECT_EQ(messages(Level::Warn), (std::vector<std::string>{
                                         "Unknown action type: Focus", "Unknown action type: 5",
                                         "Unknown action type: exec", "Unknown action type: lua_callback"}));
    EXPECT_TRUE(snapshot(config).keybinds.empty());
}

TEST_F(LuaBindTest, CallbacksGetIndicesInOrder) {
    LuaConfig config = load_ok(R"(
        vop.bind("mod+", function() end)          -- refused: stores nothing
        vop.bind("mod+a", function() end)
        vop.bind("mod+b", vop.equalize)
        vop.bind("mod+c", function() end)
        vop.bind("mod+a", vop.exit)               -- the same chord again
    )");
    EXPECT_TRUE(logged(Level::Warn, "Invalid keyspec: mod+"));
    LuaState s = snapshot(config);
    EXPECT_EQ(s.callbacks.size(), 2u);
    ASSERT_EQ(s.keybinds.size(), 4u);
    EXPECT_EQ(s.keybinds[0], (Keybind{0x40, 0x61, Action::lua_callback(0)}));
    EXPECT_EQ(s.keybinds[1].action, Action::simple(ActionKind::Equalize));
    EXPECT_EQ(s.keybinds[2].action, Action::lua_callback(1));
    EXPECT_EQ(s.keybinds[3], (Keybind{0x40, 0x61, Action::simple(ActionKind::Exit)}));
}

TEST_F(LuaBindTest, KeyspecArgument) {
    LuaConfig config = load_ok("vop.bind(5, vop.exit) vop.bind('mod + q', vop.exit)");
    LuaState s = snapshot(config);
    ASSERT_EQ(s.keybinds.size(), 1u);
    EXPECT_EQ(s.keybinds[0], (Keybind{0, 0x35, Action::simple(ActionKind::Exit)}));
    EXPECT_TRUE(logged(Level::Warn, "Invalid keyspec: mod + q"));

    struct Case {
        const char* script;
        const char* error;
    };
    const Case cases[] = {
        {"vop.bind()", "bad argument #1 to 'bind' (expected string or number)"},
        {"vop.bind({}, vop.exit)", "bad argument #1 to 'bind' (expected string or number)"},
        {"vop.bind('mod+\\xe9', function() end)", "bad argument #1 to 'bind' (invalid UTF-8 text)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        LuaConfig failed = load_script(c.script);
        ASSERT_TRUE(last_load);
        EXPECT_EQ(*last_load, std::string("init.lua:1: ") + c.error);
        EXPECT_TRUE(snapshot(failed).callbacks.empty());
    }
}

TEST_F(LuaBindTest, WindowRules) {
    LuaConfig config = load_ok(R"(
        vop.rule({ class = "Firefox" }, { workspace = 2 })
        vop.rule({ instance = "dlg", title = 5 }, { floating = 0 })
        vop.rule({ class = {}, title = "a\"b" }, { floating = "no", workspace = -1 })
        vop.rule({}, { floating = false, workspace = 2.5 })
    )");
    LuaState s = snapshot(config);
    ASSERT_EQ(s.rules.size(), 4u);
    EXPECT_EQ(s.rules[0], (WindowRule{{"Firefox", std::nullopt, std::nullopt}, {std::nullopt, 2}}));
    EXPECT_EQ(s.rules[1], (WindowRule{{std::nullopt, "dlg", "5"}, {true, std::nullopt}}));
    EXPECT_EQ(s.rules[2], (WindowRule{{std::nullopt, std::nullopt, "a\"b"}, {true, std::nullopt}}));
    EXPECT_EQ(s.rules[3], (WindowRule{{}, {false, 2}}));
    EXPECT_TRUE(logged(Level::Debug,
                       "Registered rule: WindowRule { match_criteria: WindowMatch { class: Some(\"Firefox\"), "
                       "instance: None, title: None }, actions: RuleActions { floating: None, workspace: Some(2) } }"));
    EXPECT_TRUE(logged(Level::Debug,
                       "Registered rule: WindowRule { match_criteria: WindowMatch { class: None, instance: None, "
                       "title: Some(\"a\\\"b\") }, actions: RuleActions { floating: Some(true), workspace: None } }"));

    const char* bad[][2] = {
        {"vop.rule({ class = 'x', floating = true })", "bad argument #2 to 'rule' (table expected, got no value)"},
        {"vop.rule('x', {})", "bad argument #1 to 'rule' (table expected, got string)"},
        {"vop.picom_rule()", "bad argument #1 to 'picom_rule' (table expected, got no value)"},
        {"vop.exec()", "bad argument #1 to 'exec' (expected string or number)"},
        {"vop.exec_once({})", "bad argument #1 to 'exec_once' (expected string or number)"},
        // The shell would run only the part before a NUL byte.
        {"vop.exec('echo a\\0b')", "bad argument #1 to 'exec' (command contains a NUL byte)"},
        {"vop.exec_once('true\\0')", "bad argument #1 to 'exec_once' (command contains a NUL byte)"},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b[0]);
        load_script(b[0]);
        ASSERT_TRUE(last_load);
        EXPECT_EQ(*last_load, std::string("init.lua:1: ") + b[1]);
    }
}

TEST_F(LuaBindTest, PicomRules) {
    LuaConfig config = load_ok(R"(
        vop.picom_rule({ corner_radius = 4 })
        vop.picom_rule({ match = true })
        vop.picom_rule({ match = 5 })
        vop.picom_rule({ match = "class_g = 'A'", corner_radius = 6, opacity = 0.9, shadow = false,
                         blur_background = 1, shader = "/s.glsl" })
        vop.picom_rule({ match = "m", corner_radius = -1, opacity = "thin" })
        vop.picom_rule({ match = "n", corner_radius = "7.9", opacity = 1 })
        vop.picom_rule({ match = "nan", opacity = 0/0, shadow = true })
        vop.picom_rule({ match = "inf", opacity = 1/0 })
        vop.picom_rule({ match = "-inf", opacity = "-1e999" })
    )");
    const std::string non_finite = "picom_rule: non-finite 'opacity' ignored";
    EXPECT_EQ(messages(Level::Warn),
              (std::vector<std::string>{"picom_rule: missing 'match' field", "picom_rule: missing 'match' field",
                                        non_finite, non_finite, non_finite}));
    const auto& rules = snapshot(config).config.picom_rules;
    ASSERT_EQ(rules.size(), 7u);
    EXPECT_EQ(rules[4], (PicomRule{"nan", {}, {}, true, {}, {}}));
    EXPECT_EQ(rules[5], (PicomRule{"inf", {}, {}, {}, {}, {}}));
    EXPECT_EQ(rules[6], (PicomRule{"-inf", {}, {}, {}, {}, {}}));
    EXPECT_EQ(rules[0], (PicomRule{"5", {}, {}, {}, {}, {}}));
    EXPECT_EQ(rules[1], (PicomRule{"class_g = 'A'", 6u, 0.9, false, true, "/s.glsl"}));
    EXPECT_EQ(rules[2], (PicomRule{"m", {}, {}, {}, {}, {}}));
    EXPECT_EQ(rules[3], (PicomRule{"n", 7u, 1.0, {}, {}, {}}));
    EXPECT_TRUE(logged(Level::Debug,
                       "Registered picom rule: PicomRule { match_expr: \"class_g = 'A'\", corner_radius: Some(6), "
                       "opacity: Some(0.9), shadow: Some(false), blur_background: Some(true), "
                       "shader: Some(\"/s.glsl\") }"));
    EXPECT_TRUE(logged(Level::Debug,
                       "Registered picom rule: PicomRule { match_expr: \"n\", corner_radius: Some(7), "
                       "opacity: Some(1.0), shadow: None, blur_background: None, shader: None }"));
}
