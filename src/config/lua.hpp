// The Lua configuration: the interpreter, the shared configuration state and the script's location.
#pragma once

#include "config/rules.hpp"
#include "config/settings.hpp"
#include "util/result.hpp"

#include <fmt/format.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

struct lua_State;

namespace vop {

// A failed configuration load or callback: the interpreter's message or a file-system failure.
struct LuaError {
    std::string message;
    const std::string& to_string() const { return message; }
};

template <class T>
using LuaResult = Result<T, LuaError>;

// What the script registered. Only touched through `SharedLuaState::lock`.
struct LuaState {
    Config config;
    std::vector<Keybind> keybinds;      // in vop.bind order
    std::vector<int> callbacks;         // Lua registry references; LuaCallback(i) runs callbacks[i]
    std::vector<WindowRule> rules;      // in vop.rule order
    std::set<std::string> executed;     // commands vop.exec_once has started; never cleared
};

// One mutex guarding the LuaState in force. The Lua API functions lock it for each write; the
// window manager locks it to read bindings and rules or to copy the settings out. Never hold it
// while calling into Lua (a load, a reload or execute_callback): those lock it themselves.
//
// A reload runs the script into a staged state of its own, so that a failing run leaves the
// state in force untouched; while one is staged the script's writes go there.
class SharedLuaState {
public:
    class Locked {
    public:
        LuaState& operator*() const { return *state_; }
        LuaState* operator->() const { return state_; }

    private:
        friend class SharedLuaState;
        Locked(std::mutex& m, LuaState& s) : lock_(m), state_(&s) {}
        std::unique_lock<std::mutex> lock_;
        LuaState* state_;
    };

    // The state in force: what the window manager reads and callbacks are fetched from.
    Locked lock() { return Locked(mutex_, state_); }
    // Where the script's API calls write: the staged state during a reload's run, else the
    // state in force.
    Locked lock_for_script() { return Locked(mutex_, staged_ ? *staged_ : state_); }

    // Starts a staged state: defaults, with the exec_once memory of the state in force.
    void stage();
    // Puts the staged state in force; yields the callback references of the state it replaced.
    std::vector<int> commit_staged();
    // Drops the staged state, keeping only its exec_once memory (the commands it started stay
    // started); yields its callback references.
    std::vector<int> discard_staged();

private:
    std::mutex mutex_;
    LuaState state_;
    std::unique_ptr<LuaState> staged_;
};

using LuaStateHandle = std::shared_ptr<SharedLuaState>;

// Owns the one interpreter of the process and a handle to the shared state.
class LuaConfig {
public:
    // A fresh interpreter (standard libraries without debug, no native modules) and a fresh state.
    static LuaResult<LuaConfig> create();

    LuaConfig(LuaConfig&& other) noexcept;
    LuaConfig& operator=(LuaConfig&& other) noexcept;
    LuaConfig(const LuaConfig&) = delete;
    LuaConfig& operator=(const LuaConfig&) = delete;
    ~LuaConfig();

    // Builds the `vop` table, finds or creates init.lua, runs it and reads `vop.bar`. Whatever
    // the script registered before an error stays in the shared state.
    LuaResult<void> load();

    // Loads again into fresh state (default settings, no bindings, callbacks or rules) and puts
    // it in force only when the run succeeds. When it fails, the previous bindings, callbacks,
    // rules and settings and the previous `vop` table stay; only the exec_once memory keeps
    // what the failed run started. Lua globals survive either way.
    LuaResult<void> reload();

    // Runs the function bound as LuaCallback(index); an index past the end does nothing. The
    // error text of a failing callback carries a traceback.
    LuaResult<void> execute_callback(uint64_t index);

    // The shared state; the window manager keeps its own copy of this handle.
    const LuaStateHandle& state() const { return state_; }

private:
    LuaConfig(lua_State* lua, LuaStateHandle state) : lua_(lua), state_(std::move(state)) {}

    lua_State* lua_ = nullptr;
    LuaStateHandle state_;
};

// The configuration base directory: XDG_CONFIG_HOME when it is absolute, else the home
// directory (HOME when set and not empty, else the password database) + ".config".
std::optional<std::filesystem::path> config_base_dir();
// The same rule from given values (null or empty meaning unset), for callers and tests.
std::optional<std::filesystem::path> config_base_dir_from(const char* xdg_config_home, const char* home,
                                                          const char* passwd_home);
// base + "vop": the directory of init.lua and the generated compositor file.
std::optional<std::filesystem::path> config_dir();

// The script written as init.lua when there is none.
std::string_view default_config_text();

}  // namespace vop

template <>
struct fmt::formatter<vop::LuaError> : fmt::formatter<std::string> {
    auto format(const vop::LuaError& e, format_context& ctx) const {
        return fmt::formatter<std::string>::format(e.message, ctx);
    }
};
