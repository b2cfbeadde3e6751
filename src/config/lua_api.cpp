// The `vop` table: vop.set, vop.bind, rules, program launching and the action constructors.
//
// Lua raises errors with longjmp through these functions. Each function therefore reads and
// checks its arguments with Lua calls first, holding only plain values (pointers into strings
// that stay on the Lua stack), and then does its C++ work in one guarded step that creates,
// uses and destroys every C++ object (strings, locks, log lines) without calling into Lua.
#include "config/lua_api.hpp"

#include "config/keyspec.hpp"
#include "config/lua.hpp"
#include "logging.hpp"
#include "util/process.hpp"
#include "util/unicode.hpp"

#include <lua.hpp>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>
#include <type_traits>

namespace vop::lua_api {

namespace {

constexpr std::string_view kTarget = "vop::config::lua";
constexpr float kDefaultResizeAmount = 0.05f;

// A string owned by the Lua stack; valid while that stack slot is.
struct TextRef {
    const char* data = nullptr;
    size_t size = 0;
    std::string_view view() const { return {data, size}; }
};

enum class Conv { Ok, WrongType, BadUtf8, OutOfRange };

// Values that live across raising Lua calls must need no destructor.
static_assert(std::is_trivially_destructible_v<ConfigValue>);
static_assert(std::is_trivially_destructible_v<std::optional<KeyChord>>);
static_assert(std::is_trivially_destructible_v<std::optional<ActionKind>>);
static_assert(std::is_trivially_destructible_v<TextRef>);

// Runs C++ work that must not let an exception reach Lua's C frames; false when it threw.
template <class F>
bool guarded(F&& work) noexcept {
    try {
        work();
        return true;
    } catch (...) {
        return false;
    }
}

int raise_internal(lua_State* L) { return luaL_error(L, "vop: out of memory"); }

SharedLuaState* shared_of(lua_State* L) {
    return static_cast<SharedLuaState*>(lua_touserdata(L, lua_upvalueindex(1)));
}

// A string (valid UTF-8) or a number in its Lua text form; numbers are converted in place.
Conv to_text(lua_State* L, int idx, TextRef* out) {
    int t = lua_type(L, idx);
    if (t != LUA_TSTRING && t != LUA_TNUMBER) return Conv::WrongType;
    size_t len = 0;
    const char* s = lua_tolstring(L, idx, &len);
    if (t == LUA_TSTRING && !unicode::is_valid_utf8({s, len})) return Conv::BadUtf8;
    *out = {s, len};
    return Conv::Ok;
}

// The number at `idx`, or the number a numeric string converts to (integer strings stay
// integers); false for anything else.
bool number_at(lua_State* L, int idx, bool* is_int, lua_Integer* i, lua_Number* f) {
    int t = lua_type(L, idx);
    bool pushed = false;
    if (t == LUA_TSTRING) {
        size_t len = 0;
        const char* s = lua_tolstring(L, idx, &len);
        if (!lua_checkstack(L, 1)) return false;
        // The whole string must be the number (an embedded NUL ends it early).
        if (lua_stringtonumber(L, s) != len + 1) return false;
        pushed = true;
        idx = -1;
    } else if (t != LUA_TNUMBER) {
        return false;
    }
    *is_int = lua_isinteger(L, idx);
    if (*is_int) {
        *i = lua_tointeger(L, idx);
    } else {
        *f = lua_tonumber(L, idx);
    }
    if (pushed) lua_pop(L, 1);
    return true;
}

// Workspace numbers: a non-negative integer, or a float truncated toward zero when it lies
// strictly between -1 and 2^64.
Conv to_u64(lua_State* L, int idx, uint64_t* out) {
    bool is_int = false;
    lua_Integer i = 0;
    lua_Number f = 0;
    if (!number_at(L, idx, &is_int, &i, &f)) return Conv::WrongType;
    if (is_int) {
        if (i < 0) return Conv::OutOfRange;
        *out = static_cast<uint64_t>(i);
        return Conv::Ok;
    }
    if (!(f > -1.0 && f < 18446744073709551616.0)) return Conv::OutOfRange;
    *out = f <= 0 ? 0 : static_cast<uint64_t>(f);
    return Conv::Ok;
}

// 32-bit unsigned fields: an integer in range, or a float strictly between -1 and 2^32, truncated.
Conv to_u32(lua_State* L, int idx, uint32_t* out) {
    bool is_int = false;
    lua_Integer i = 0;
    lua_Number f = 0;
    if (!number_at(L, idx, &is_int, &i, &f)) return Conv::WrongType;
    if (is_int) {
        if (i < 0 || i > static_cast<lua_Integer>(UINT32_MAX)) return Conv::OutOfRange;
        *out = static_cast<uint32_t>(i);
        return Conv::Ok;
    }
    if (!(f > -1.0 && f < 4294967296.0)) return Conv::OutOfRange;
    *out = f <= 0 ? 0 : static_cast<uint32_t>(f);
    return Conv::Ok;
}

Conv to_f64(lua_State* L, int idx, double* out) {
    bool is_int = false;
    lua_Integer i = 0;
    lua_Number f = 0;
    if (!number_at(L, idx, &is_int, &i, &f)) return Conv::WrongType;
    *out = is_int ? static_cast<double>(i) : f;
    return Conv::Ok;
}

// Resize amounts. A double beyond float's range would be undefined to convert; it saturates.
Conv to_f32(lua_State* L, int idx, float* out) {
    bool is_int = false;
    lua_Integer i = 0;
    lua_Number f = 0;
    if (!number_at(L, idx, &is_int, &i, &f)) return Conv::WrongType;
    constexpr lua_Number kMax = std::numeric_limits<float>::max();
    if (is_int) {
        *out = static_cast<float>(i);
    } else if (f > kMax || f < -kMax) {
        *out = f > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
    } else {
        *out = static_cast<float>(f);
    }
    return Conv::Ok;
}

// Argument checks: raise "bad argument #n to 'name' (reason)".
constexpr const char* kInvalidText = "invalid UTF-8 text";

TextRef check_text(lua_State* L, int arg) {
    TextRef t;
    switch (to_text(L, arg, &t)) {
        case Conv::Ok: break;
        case Conv::BadUtf8: luaL_argerror(L, arg, kInvalidText); break;
        default: luaL_argerror(L, arg, "expected string or number"); break;
    }
    return t;
}

constexpr const char* kExpectedNumber = "expected number or string coercible to number";

uint64_t check_workspace(lua_State* L, int arg) {
    uint64_t n = 0;
    switch (to_u64(L, arg, &n)) {
        case Conv::Ok: break;
        case Conv::OutOfRange: luaL_argerror(L, arg, "out of range"); break;
        default: luaL_argerror(L, arg, kExpectedNumber); break;
    }
    return n;
}

float check_amount(lua_State* L, int arg) {
    float a = 0;
    if (to_f32(L, arg, &a) != Conv::Ok) luaL_argerror(L, arg, kExpectedNumber);
    return a;
}

// Pushes t[key] and converts it; the value stays on the stack so a TextRef into it stays valid.
bool field_text(lua_State* L, int table, const char* key, TextRef* out) {
    lua_getfield(L, table, key);
    return to_text(L, -1, out) == Conv::Ok;
}

// Pushes t[key]; the optional-boolean rule: nil/absent unset, false false, anything else true.
int field_flag(lua_State* L, int table, const char* key) {
    lua_getfield(L, table, key);
    if (lua_isnil(L, -1)) return -1;
    return lua_toboolean(L, -1) ? 1 : 0;
}

std::optional<std::string> opt_text(bool present, const TextRef& t) {
    if (!present) return std::nullopt;
    return std::string(t.view());
}

std::optional<bool> opt_flag(int flag) {
    if (flag < 0) return std::nullopt;
    return flag == 1;
}

void push_workspace(lua_State* L, uint64_t n) {
    // Values beyond the integer range survive as floats rather than wrapping negative.
    if (n <= static_cast<uint64_t>(std::numeric_limits<lua_Integer>::max())) {
        lua_pushinteger(L, static_cast<lua_Integer>(n));
    } else {
        lua_pushnumber(L, static_cast<lua_Number>(n));
    }
}

// ---- vop.set -------------------------------------------------------------------------------

int l_set(lua_State* L) {
    SharedLuaState* shared = shared_of(L);
    TextRef key = check_text(L, 1);
    ConfigValue value;
    switch (lua_type(L, 2)) {
        case LUA_TNUMBER:
            if (lua_isinteger(L, 2)) {
                value = static_cast<int64_t>(lua_tointeger(L, 2));
            } else {
                value = static_cast<double>(lua_tonumber(L, 2));
            }
            break;
        case LUA_TBOOLEAN: value = lua_toboolean(L, 2) != 0; break;
        case LUA_TSTRING: {
            size_t len = 0;
            const char* s = lua_tolstring(L, 2, &len);
            value = std::string_view(s, len);
            break;
        }
        default: break;
    }
    bool ok = guarded([&] {
        auto state = shared->lock_for_script();
        switch (state->config.set_field(key.view(), value)) {
            case SetResult::UnknownKey: log::warn(kTarget, "Unknown config key: {}", key.view()); break;
            case SetResult::OutOfRange:
                log::warn(kTarget, "Out-of-range value for config key: {} ({})", key.view(), std::get<int64_t>(value));
                break;
            case SetResult::NotFinite: log::warn(kTarget, "Non-finite value for config key: {}", key.view()); break;
            default: break;
        }
    });
    return ok ? 0 : raise_internal(L);
}

// ---- vop.bind ------------------------------------------------------------------------------

// Appends one binding and logs it; `kind` and the plain payload values become the Action.
void commit_binding(SharedLuaState& shared, KeyChord chord, ActionKind kind, std::string_view text, float amount,
                    uint64_t number) {
    Action action{kind, std::string(text), amount, number};
    auto state = shared.lock_for_script();
    state->keybinds.push_back(Keybind{chord.modifiers, chord.keysym, std::move(action)});
    log::debug(kTarget, "Bound {}+{:x} to {}", modifier_mask_form(chord.modifiers), chord.keysym,
               state->keybinds.back().action);
}

int l_bind(lua_State* L) {
    SharedLuaState* shared = shared_of(L);
    TextRef keyspec = check_text(L, 1);
    luaL_checkstack(L, 8, "vop.bind");

    std::optional<KeyChord> chord;
    if (!guarded([&] {
            chord = parse_keyspec(keyspec.view());
            if (!chord) log::warn(kTarget, "Invalid keyspec: {}", keyspec.view());
        })) {
        return raise_internal(L);
    }
    if (!chord) return 0;

    int type = lua_type(L, 2);
    if (type == LUA_TFUNCTION) {
        lua_pushvalue(L, 2);
        int ref = luaL_ref(L, LUA_REGISTRYINDEX);
        uint64_t index = 0;
        bool ok = guarded([&] {
            auto state = shared->lock_for_script();
            index = state->callbacks.size();
            state->callbacks.push_back(ref);
        });
        if (!ok) {
            luaL_unref(L, LUA_REGISTRYINDEX, ref);
            return raise_internal(L);
        }
        ok = guarded([&] { commit_binding(*shared, *chord, ActionKind::LuaCallback, {}, 0.0f, index); });
        return ok ? 0 : raise_internal(L);
    }
    if (type != LUA_TTABLE) return 0;

    TextRef name;
    if (!field_text(L, 2, "action", &name)) return 0;
    std::optional<ActionKind> kind;
    if (!guarded([&] {
            kind = action_kind_from_script_name(name.view());
            if (!kind) log::warn(kTarget, "Unknown action type: {}", name.view());
        })) {
        return raise_internal(L);
    }
    if (!kind) return 0;

    // Unusable or missing fields fall back to defaults instead of raising.
    TextRef text{"", 0};
    float amount = 0.0f;
    uint64_t number = 0;
    switch (*kind) {
        case ActionKind::Focus:
        case ActionKind::Swap:
            if (!field_text(L, 2, "direction", &text)) text = {"", 0};
            break;
        case ActionKind::Resize:
            if (!field_text(L, 2, "direction", &text)) text = {"", 0};
            lua_getfield(L, 2, "amount");
            if (to_f32(L, -1, &amount) != Conv::Ok) amount = kDefaultResizeAmount;
            break;
        case ActionKind::Workspace:
        case ActionKind::MoveToWorkspace:
            lua_getfield(L, 2, "workspace");
            if (to_u64(L, -1, &number) != Conv::Ok) number = 1;
            break;
        case ActionKind::FocusMonitor:
        case ActionKind::MoveToMonitor:
            if (!field_text(L, 2, "target", &text)) text = {"", 0};
            break;
        default: break;
    }
    bool ok = guarded([&] { commit_binding(*shared, *chord, *kind, text.view(), amount, number); });
    return ok ? 0 : raise_internal(L);
}

// ---- vop.rule, vop.picom_rule ---------------------------------------------------------------

int l_rule(lua_State* L) {
    SharedLuaState* shared = shared_of(L);
    luaL_checktype(L, 1, LUA_TTABLE);
    luaL_checktype(L, 2, LUA_TTABLE);
    luaL_checkstack(L, 8, "vop.rule");

    TextRef cls, instance, title;
    bool has_class = field_text(L, 1, "class", &cls);
    bool has_instance = field_text(L, 1, "instance", &instance);
    bool has_title = field_text(L, 1, "title", &title);
    int floating = field_flag(L, 2, "floating");
    uint64_t workspace = 0;
    lua_getfield(L, 2, "workspace");
    bool has_workspace = to_u64(L, -1, &workspace) == Conv::Ok;

    bool ok = guarded([&] {
        WindowRule rule;
        rule.match_criteria.class_name = opt_text(has_class, cls);
        rule.match_criteria.instance = opt_text(has_instance, instance);
        rule.match_criteria.title = opt_text(has_title, title);
        rule.actions.floating = opt_flag(floating);
        if (has_workspace) rule.actions.workspace = workspace;
        log::debug(kTarget, "Registered rule: {}", to_string(rule));
        auto state = shared->lock_for_script();
        state->rules.push_back(std::move(rule));
    });
    return ok ? 0 : raise_internal(L);
}

int l_picom_rule(lua_State* L) {
    SharedLuaState* shared = shared_of(L);
    luaL_checktype(L, 1, LUA_TTABLE);
    luaL_checkstack(L, 8, "vop.picom_rule");

    TextRef match;
    if (!field_text(L, 1, "match", &match)) {
        bool ok = guarded([] { log::warn(kTarget, "picom_rule: missing 'match' field"); });
        return ok ? 0 : raise_internal(L);
    }
    uint32_t radius = 0;
    lua_getfield(L, 1, "corner_radius");
    bool has_radius = to_u32(L, -1, &radius) == Conv::Ok;
    double opacity = 0;
    lua_getfield(L, 1, "opacity");
    bool has_opacity = to_f64(L, -1, &opacity) == Conv::Ok;
    // NaN or infinity would reach the compositor file as a word it cannot read.
    bool opacity_not_finite = has_opacity && !std::isfinite(opacity);
    has_opacity = has_opacity && !opacity_not_finite;
    int shadow = field_flag(L, 1, "shadow");
    int blur = field_flag(L, 1, "blur_background");
    TextRef shader;
    bool has_shader = field_text(L, 1, "shader", &shader);

    bool ok = guarded([&] {
        if (opacity_not_finite) log::warn(kTarget, "picom_rule: non-finite 'opacity' ignored");
        PicomRule rule;
        rule.match_expr = std::string(match.view());
        if (has_radius) rule.corner_radius = radius;
        if (has_opacity) rule.opacity = opacity;
        rule.shadow = opt_flag(shadow);
        rule.blur_background = opt_flag(blur);
        rule.shader = opt_text(has_shader, shader);
        log::debug(kTarget, "Registered picom rule: {}", to_string(rule));
        auto state = shared->lock_for_script();
        state->config.picom_rules.push_back(std::move(rule));
    });
    return ok ? 0 : raise_internal(L);
}

// ---- vop.exec, vop.exec_once ---------------------------------------------------------------

// A command text: the shell would see only the part before a NUL byte, so one is refused.
TextRef check_command(lua_State* L, int arg) {
    TextRef t = check_text(L, arg);
    if (t.view().find('\0') != std::string_view::npos) luaL_argerror(L, arg, "command contains a NUL byte");
    return t;
}

int l_exec(lua_State* L) {
    TextRef command = check_command(L, 1);
    bool ok = guarded([&] {
        log::debug(kTarget, "exec: {}", command.view());
        (void)process::spawn_shell(command.view());  // a failed start is not reported
    });
    return ok ? 0 : raise_internal(L);
}

int l_exec_once(lua_State* L) {
    SharedLuaState* shared = shared_of(L);
    TextRef command = check_command(L, 1);
    bool ok = guarded([&] {
        {
            auto state = shared->lock_for_script();
            std::string text(command.view());
            if (state->executed.count(text)) {
                log::debug(kTarget, "exec_once: skipping already-run command: {}", text);
                return;
            }
            log::info(kTarget, "exec_once: {}", text);
            state->executed.insert(std::move(text));
        }
        (void)process::spawn_shell(command.view());
    });
    return ok ? 0 : raise_internal(L);
}

// ---- action constructors -------------------------------------------------------------------

int new_action_table(lua_State* L, const char* name) {
    lua_createtable(L, 0, 3);
    lua_pushstring(L, name);
    lua_setfield(L, -2, "action");
    return lua_gettop(L);
}

int text_action(lua_State* L, const char* name, const char* field) {
    TextRef text = check_text(L, 1);
    int t = new_action_table(L, name);
    lua_pushlstring(L, text.data, text.size);
    lua_setfield(L, t, field);
    return 1;
}

int workspace_action(lua_State* L, const char* name) {
    uint64_t n = check_workspace(L, 1);
    int t = new_action_table(L, name);
    push_workspace(L, n);
    lua_setfield(L, t, "workspace");
    return 1;
}

int l_focus(lua_State* L) { return text_action(L, "focus", "direction"); }
int l_swap(lua_State* L) { return text_action(L, "swap", "direction"); }
int l_focus_monitor(lua_State* L) { return text_action(L, "focus_monitor", "target"); }
int l_move_to_monitor(lua_State* L) { return text_action(L, "move_to_monitor", "target"); }
int l_workspace(lua_State* L) { return workspace_action(L, "workspace"); }
int l_move_to_workspace(lua_State* L) { return workspace_action(L, "move_to_workspace"); }

int l_resize(lua_State* L) {
    TextRef direction = check_text(L, 1);
    float amount = check_amount(L, 2);
    int t = new_action_table(L, "resize");
    lua_pushlstring(L, direction.data, direction.size);
    lua_setfield(L, t, "direction");
    lua_pushnumber(L, static_cast<lua_Number>(amount));
    lua_setfield(L, t, "amount");
    return 1;
}

int l_workspace_next(lua_State* L) {
    new_action_table(L, "workspace_next");
    return 1;
}

int l_workspace_prev(lua_State* L) {
    new_action_table(L, "workspace_prev");
    return 1;
}

}  // namespace

void register_actions(lua_State* L, int table) {
    table = lua_absindex(L, table);
    static constexpr const char* kReady[] = {"close_window",    "force_close_window", "reload",
                                             "exit",            "equalize",           "toggle_floating",
                                             "toggle_fullscreen", "cycle_floating"};
    for (const char* name : kReady) {
        new_action_table(L, name);
        lua_setfield(L, table, name);
    }
    static constexpr luaL_Reg kConstructors[] = {
        {"focus", l_focus},
        {"swap", l_swap},
        {"resize", l_resize},
        {"workspace", l_workspace},
        {"workspace_next", l_workspace_next},
        {"workspace_prev", l_workspace_prev},
        {"move_to_workspace", l_move_to_workspace},
        {"focus_monitor", l_focus_monitor},
        {"move_to_monitor", l_move_to_monitor},
    };
    for (const auto& reg : kConstructors) {
        lua_pushcfunction(L, reg.func);
        lua_setfield(L, table, reg.name);
    }
}

int install(lua_State* L) {
    void* shared = lua_touserdata(L, 1);
    lua_createtable(L, 0, 32);
    int table = lua_gettop(L);
    struct Entry {
        const char* name;
        lua_CFunction func;
        bool needs_state;
    };
    static constexpr Entry kEntries[] = {
        {"set", l_set, true},         {"bind", l_bind, true}, {"exec", l_exec, false},
        {"exec_once", l_exec_once, true}, {"rule", l_rule, true}, {"picom_rule", l_picom_rule, true},
    };
    for (const auto& e : kEntries) {
        if (e.needs_state) {
            lua_pushlightuserdata(L, shared);
            lua_pushcclosure(L, e.func, 1);
        } else {
            lua_pushcfunction(L, e.func);
        }
        lua_setfield(L, table, e.name);
    }
    register_actions(L, table);
    lua_setglobal(L, "vop");
    return 0;
}

}  // namespace vop::lua_api
