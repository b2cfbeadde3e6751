// Actions: printed forms, and the action tables and constructors the script gets from `vop`.
#include "lua_test_env.hpp"

#include <cmath>
#include <limits>

using namespace vop;
using namespace vop::testing;

TEST(ActionForm, PrintedForms) {
    struct Case {
        Action action;
        const char* printed;
    };
    const Case cases[] = {
        {Action::simple(ActionKind::CloseWindow), "CloseWindow"},
        {Action::simple(ActionKind::ForceCloseWindow), "ForceCloseWindow"},
        {Action::simple(ActionKind::WorkspaceNext), "WorkspaceNext"},
        {Action::simple(ActionKind::CycleFloating), "CycleFloating"},
        {Action::focus("left"), "Focus(\"left\")"},
        {Action::swap(""), "Swap(\"\")"},
        {Action::resize("left", 0.05f), "Resize(\"left\", 0.05)"},
        {Action::resize("up", 1.0f), "Resize(\"up\", 1.0)"},
        {Action::workspace(3), "Workspace(3)"},
        {Action::move_to_workspace(18446744073709551615ull), "MoveToWorkspace(18446744073709551615)"},
        {Action::focus_monitor("a\"b\\c\td\n"), "FocusMonitor(\"a\\\"b\\\\c\\td\\n\")"},
        {Action::move_to_monitor("HDMI-1"), "MoveToMonitor(\"HDMI-1\")"},
        {Action::lua_callback(0), "LuaCallback(0)"},
    };
    for (const auto& c : cases) EXPECT_EQ(to_string(c.action), c.printed);
    EXPECT_EQ(fmt::format("{}", Action::workspace(7)), "Workspace(7)");
}

TEST(ActionForm, ShortestFloats) {
    struct Case {
        double value;
        bool single;
        const char* printed;
    };
    const Case cases[] = {
        {0.05, true, "0.05"},
        {0.1, true, "0.1"},
        {1.0, true, "1.0"},
        {-2.5, true, "-2.5"},
        {123456.0, true, "123456.0"},
        {0.0001, true, "0.0001"},
        {1e-5, true, "1e-5"},
        {1e16, true, "1e16"},
        {0.0, true, "0.0"},
        {0.1, false, "0.1"},
        {0.9, false, "0.9"},
        {100.0, false, "100.0"},
        {1e15, false, "1000000000000000.0"},
        {1.5e16, false, "1.5e16"},
        {-1.25e-7, false, "-1.25e-7"},
        {0.00012, false, "0.00012"},
        {std::numeric_limits<double>::infinity(), false, "inf"},
        {std::nan(""), false, "NaN"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.single ? float_form(static_cast<float>(c.value)) : float_form(c.value), c.printed) << c.value;
    }
}

TEST(ActionForm, ScriptNames) {
    EXPECT_EQ(action_kind_from_script_name("move_to_monitor"), ActionKind::MoveToMonitor);
    EXPECT_EQ(action_kind_from_script_name("close_window"), ActionKind::CloseWindow);
    EXPECT_FALSE(action_kind_from_script_name("Focus"));
    EXPECT_FALSE(action_kind_from_script_name("exec"));
    EXPECT_FALSE(action_kind_from_script_name("lua_callback"));
    EXPECT_FALSE(action_kind_from_script_name(""));
}

namespace {

// Lua helper: a table's fields as "key=type:value" sorted by key, stored into blur_method.
constexpr const char* kDump = R"(
local function dump(t)
    local keys = {}
    for k in pairs(t) do keys[#keys + 1] = k end
    table.sort(keys)
    local out = {}
    for _, k in ipairs(keys) do
        local v = t[k]
        out[#out + 1] = k .. "=" .. (math.type(v) or type(v)) .. ":" .. tostring(v)
    end
    return table.concat(out, ";")
end
)";

class LuaActionTest : public LuaConfigTest {
protected:
    // The dump of the table that `expr` evaluates to.
    std::string table_of(const std::string& expr) {
        LuaConfig config = load_ok(std::string(kDump) + "vop.set('blur_method', dump(" + expr + "))");
        return snapshot(config).config.blur_method;
    }
};

}  // namespace

TEST_F(LuaActionTest, ConstructorsBuildActionTables) {
    struct Case {
        const char* expr;
        const char* table;
    };
    const Case cases[] = {
        {"vop.focus('left')", "action=string:focus;direction=string:left"},
        {"vop.focus(1)", "action=string:focus;direction=string:1"},
        {"vop.swap(0.5)", "action=string:swap;direction=string:0.5"},
        {"vop.resize('up', 0.25)", "action=string:resize;amount=float:0.25;direction=string:up"},
        {"vop.resize('up', '0.1')", "action=string:resize;amount=float:0.10000000149012;direction=string:up"},
        {"vop.resize('up', 1)", "action=string:resize;amount=float:1.0;direction=string:up"},
        {"vop.workspace(3)", "action=string:workspace;workspace=integer:3"},
        {"vop.workspace('3')", "action=string:workspace;workspace=integer:3"},
        {"vop.workspace('2.5')", "action=string:workspace;workspace=integer:2"},
        {"vop.workspace(2.9)", "action=string:workspace;workspace=integer:2"},
        {"vop.workspace(-0.5)", "action=string:workspace;workspace=integer:0"},
        {"vop.workspace(0)", "action=string:workspace;workspace=integer:0"},
        {"vop.move_to_workspace(10)", "action=string:move_to_workspace;workspace=integer:10"},
        {"vop.workspace_next()", "action=string:workspace_next"},
        {"vop.workspace_next(5)", "action=string:workspace_next"},
        {"vop.workspace_prev()", "action=string:workspace_prev"},
        {"vop.focus_monitor('prev')", "action=string:focus_monitor;target=string:prev"},
        {"vop.move_to_monitor('DP-2', 'ignored')", "action=string:move_to_monitor;target=string:DP-2"},
        {"vop.close_window", "action=string:close_window"},
        {"vop.force_close_window", "action=string:force_close_window"},
        {"vop.reload", "action=string:reload"},
        {"vop.exit", "action=string:exit"},
        {"vop.equalize", "action=string:equalize"},
        {"vop.toggle_floating", "action=string:toggle_floating"},
        {"vop.toggle_fullscreen", "action=string:toggle_fullscreen"},
        {"vop.cycle_floating", "action=string:cycle_floating"},
    };
    for (const auto& c : cases) EXPECT_EQ(table_of(c.expr), c.table) << c.expr;
}

TEST_F(LuaActionTest, ConstructorArgumentErrors) {
    struct Case {
        const char* script;
        const char* error;
    };
    const Case cases[] = {
        {"vop.workspace(-1)", "bad argument #1 to 'workspace' (out of range)"},
        {"vop.workspace(0/0)", "bad argument #1 to 'workspace' (out of range)"},
        {"vop.workspace(2^64)", "bad argument #1 to 'workspace' (out of range)"},
        {"vop.workspace('-3')", "bad argument #1 to 'workspace' (out of range)"},
        {"vop.workspace()", "bad argument #1 to 'workspace' (expected number or string coercible to number)"},
        {"vop.workspace('three')", "bad argument #1 to 'workspace' (expected number or string coercible to number)"},
        {"vop.move_to_workspace({})",
         "bad argument #1 to 'move_to_workspace' (expected number or string coercible to number)"},
        {"vop.focus()", "bad argument #1 to 'focus' (expected string or number)"},
        {"vop.focus(true)", "bad argument #1 to 'focus' (expected string or number)"},
        {"vop.swap('\\xc3')", "bad argument #1 to 'swap' (invalid UTF-8 text)"},
        {"vop.focus_monitor(nil)", "bad argument #1 to 'focus_monitor' (expected string or number)"},
        {"vop.resize('left')", "bad argument #2 to 'resize' (expected number or string coercible to number)"},
        {"vop.resize('left', 'lots')", "bad argument #2 to 'resize' (expected number or string coercible to number)"},
        {"vop.resize(nil, 'lots')", "bad argument #1 to 'resize' (expected string or number)"},
        {"vop.close_window()", "attempt to call a table value"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        load_script(c.script);
        ASSERT_TRUE(last_load);
        EXPECT_NE(last_load->find(c.error), std::string::npos) << *last_load;
    }
}

TEST_F(LuaActionTest, LargeWorkspaceNumbersDoNotWrapNegative) {
    // 2^63 is out of the integer range but within 64-bit unsigned: it survives as a float.
    EXPECT_EQ(table_of("vop.workspace(2^63)"), "action=string:workspace;workspace=float:9.2233720368548e+18");
    LuaConfig config = load_ok("vop.bind('mod+a', vop.workspace(2^63))");
    EXPECT_EQ(snapshot(config).keybinds.at(0).action, Action::workspace(9223372036854775808ull));
}

TEST_F(LuaActionTest, ReadyMadeTablesAreSharedAndRebuiltPerLoad) {
    LuaConfig config = load_ok(R"(
        vop.exit.action = "reload"
        vop.bind("mod+a", vop.exit)
        local before = vop.close_window
        saved_close = before
    )");
    EXPECT_EQ(snapshot(config).keybinds.at(0).action, Action::simple(ActionKind::Reload));
    write_script("assert(vop.close_window ~= saved_close) assert(vop.exit.action == 'exit')");
    auto r = config.reload();
    EXPECT_TRUE(r.ok()) << r.error().message;
}
