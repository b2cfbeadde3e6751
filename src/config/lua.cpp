// LuaConfig: the interpreter, finding or creating init.lua, running it, reloads and callbacks.
#include "config/lua.hpp"

#include "config/lua_api.hpp"
#include "logging.hpp"
#include "util/debug_form.hpp"
#include "util/unicode.hpp"

#include <lua.hpp>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vop {

namespace {

constexpr std::string_view kTarget = "vop::config::lua";
// Lua error messages name the script by this, followed by the line.
constexpr const char* kChunkName = "=init.lua";

LuaError os_failure(std::string_view what, int errnum) {
    return LuaError{fmt::format("{}: {}", what, dbg::os_error(errnum))};
}

// ---- functions run in protected mode -------------------------------------------------------

int refuse_loadlib(lua_State* L) {
    lua_pushnil(L);
    lua_pushliteral(L, "native modules are disabled in vop");
    lua_pushliteral(L, "absent");
    return 3;
}

int open_libs(lua_State* L) {
    static constexpr luaL_Reg kLibs[] = {
        {LUA_GNAME, luaopen_base},          {LUA_COLIBNAME, luaopen_coroutine}, {LUA_TABLIBNAME, luaopen_table},
        {LUA_IOLIBNAME, luaopen_io},        {LUA_OSLIBNAME, luaopen_os},        {LUA_STRLIBNAME, luaopen_string},
        {LUA_UTF8LIBNAME, luaopen_utf8},    {LUA_MATHLIBNAME, luaopen_math},    {LUA_LOADLIBNAME, luaopen_package},
    };
    for (const auto& lib : kLibs) {
        luaL_requiref(L, lib.name, lib.func, 1);
        lua_pop(L, 1);
    }
    // require finds Lua source modules only: no C searchers, no C path, no loadlib.
    lua_getglobal(L, LUA_LOADLIBNAME);
    int package = lua_gettop(L);
    lua_pushcfunction(L, refuse_loadlib);
    lua_setfield(L, package, "loadlib");
    lua_pushliteral(L, "");
    lua_setfield(L, package, "cpath");
    lua_getfield(L, package, "searchers");
    // 1: preload, 2: Lua files, 3: C libraries, 4: all-in-one C loader.
    lua_pushnil(L);
    lua_rawseti(L, -2, 4);
    lua_pushnil(L);
    lua_rawseti(L, -2, 3);
    lua_settop(L, 0);
    return 0;
}

// Turns any error value into a message string.
int error_text(lua_State* L) {
    if (lua_type(L, 1) == LUA_TSTRING) return 1;
    if (luaL_callmeta(L, 1, "__tostring") && lua_type(L, -1) == LUA_TSTRING) return 1;
    lua_pushfstring(L, "(error object is a %s value)", luaL_typename(L, 1));
    return 1;
}

// Message handler for callbacks: the message followed by a traceback.
int traceback(lua_State* L) {
    error_text(L);
    luaL_traceback(L, L, lua_tostring(L, -1), 1);
    return 1;
}

// What a reload leaves to release: callback references no longer in force, and the `vop`
// table saved before the run, put back first when the run failed.
struct Release {
    const std::vector<int>* refs;
    int saved_vop;
    bool restore_vop;
};

int release_refs(lua_State* L) {
    const auto* r = static_cast<const Release*>(lua_touserdata(L, 1));
    if (r->restore_vop) {
        lua_rawgeti(L, LUA_REGISTRYINDEX, r->saved_vop);
        lua_setglobal(L, "vop");
    }
    luaL_unref(L, LUA_REGISTRYINDEX, r->saved_vop);
    for (int ref : *r->refs) luaL_unref(L, LUA_REGISTRYINDEX, ref);
    return 0;
}

int save_vop(lua_State* L) {
    int* ref = static_cast<int*>(lua_touserdata(L, 1));
    lua_getglobal(L, "vop");
    *ref = luaL_ref(L, LUA_REGISTRYINDEX);
    return 0;
}

// What the bar check found; filled in protected mode.
struct BarProbe {
    bool vop_is_table = false;
    const char* vop_type = "nil";
    bool bar_is_table = false;
    bool height_ok = false;
    uint32_t height = 0;
};

// vop.bar.height as a size (0 to kMaxSize): an integer in range, a float strictly between -1 and
// kMaxSize + 1 (truncated), or a string that converts to one of those.
bool read_height(lua_State* L, int idx, uint32_t* out) {
    if (lua_type(L, idx) == LUA_TSTRING) {
        size_t len = 0;
        const char* s = lua_tolstring(L, idx, &len);
        if (lua_stringtonumber(L, s) != len + 1) return false;
        idx = lua_gettop(L);
    } else if (lua_type(L, idx) != LUA_TNUMBER) {
        return false;
    }
    if (lua_isinteger(L, idx)) {
        lua_Integer i = lua_tointeger(L, idx);
        if (i < 0 || i > static_cast<lua_Integer>(kMaxSize)) return false;
        *out = static_cast<uint32_t>(i);
        return true;
    }
    lua_Number f = lua_tonumber(L, idx);
    if (!(f > -1.0 && f < kMaxSize + 1.0)) return false;
    *out = f <= 0 ? 0 : static_cast<uint32_t>(f);
    return true;
}

int probe_vop_table(lua_State* L) {
    auto* probe = static_cast<BarProbe*>(lua_touserdata(L, 1));
    lua_getglobal(L, "vop");
    probe->vop_type = luaL_typename(L, -1);
    probe->vop_is_table = lua_istable(L, -1);
    return 0;
}

int probe_bar(lua_State* L) {
    auto* probe = static_cast<BarProbe*>(lua_touserdata(L, 1));
    lua_getglobal(L, "vop");
    lua_getfield(L, -1, "bar");
    if (!lua_istable(L, -1)) return 0;
    probe->bar_is_table = true;
    lua_getfield(L, -1, "height");
    probe->height_ok = read_height(L, lua_gettop(L), &probe->height);
    return 0;
}

// Runs `fn(L)` with `arg` as a light userdata in protected mode; the error text on failure.
std::optional<std::string> protected_call(lua_State* L, lua_CFunction fn, void* arg) {
    int top = lua_gettop(L);
    if (!lua_checkstack(L, 3)) return std::string("stack overflow");
    lua_pushcfunction(L, error_text);
    lua_pushcfunction(L, fn);
    lua_pushlightuserdata(L, arg);
    int status = lua_pcall(L, 1, 0, top + 1);
    std::optional<std::string> failure;
    if (status != LUA_OK) {
        const char* msg = lua_tostring(L, -1);
        failure = msg ? msg : "unknown Lua error";
    }
    lua_settop(L, top);
    return failure;
}

// ---- the script file -----------------------------------------------------------------------

// Where the default script goes for `script`: the path itself, or, when it is a symbolic link
// (through any chain of links) to nothing yet, such as a dotfiles link, the link's final target.
// A missing directory on the way is left for the exclusive create to report.
LuaResult<std::filesystem::path> creation_path(std::filesystem::path path) {
    constexpr int kMaxLinks = 40;
    for (int hops = 0; hops <= kMaxLinks; ++hops) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            if (errno == ENOENT) return path;
            return err(os_failure("Failed to write default config", errno));
        }
        if (!S_ISLNK(st.st_mode)) return path;
        std::error_code ec;
        std::filesystem::path next = std::filesystem::read_symlink(path, ec);
        if (ec) return err(os_failure("Failed to write default config", ec.value()));
        path = next.is_absolute() ? next : path.parent_path() / next;
    }
    return err(os_failure("Failed to write default config", ELOOP));
}

// The script path, created from the default text when (and only when) it does not exist.
LuaResult<std::filesystem::path> find_or_create_script() {
    auto dir = config_dir();
    if (!dir) return err(LuaError{"Could not determine config directory"});
    std::filesystem::path script = *dir / "init.lua";

    struct stat st;
    if (stat(script.c_str(), &st) == 0) return script;
    int stat_errno = errno;
    if (stat_errno != ENOENT) {
        // Something is there (or may be) that we cannot inspect: never overwrite it.
        return err(LuaError{
            fmt::format("Failed to access config {}: {}", dbg::quoted(script.string()), dbg::os_error(stat_errno))});
    }

    if (stat(dir->c_str(), &st) != 0) {
        std::error_code ec;
        std::filesystem::create_directories(*dir, ec);
        if (ec) return err(os_failure("Failed to create config dir", ec.value()));
        log::info(kTarget, "Created config directory: {}", dbg::quoted(dir->string()));
    }

    auto target = creation_path(script);
    if (!target) return target.take_error();
    // Exclusive: whatever appears there in the meantime is never overwritten.
    int fd = open(target->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        // Created by someone else in the meantime: use theirs.
        if (errno == EEXIST) return script;
        return err(os_failure("Failed to write default config", errno));
    }
    std::string_view text = default_config_text();
    while (!text.empty()) {
        ssize_t n = write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            close(fd);
            return err(os_failure("Failed to write default config", e));
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
    if (close(fd) != 0) return err(os_failure("Failed to write default config", errno));
    log::info(kTarget, "Created default config at {}", dbg::quoted(script.string()));
    return script;
}

LuaResult<std::string> read_script(const std::filesystem::path& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return err(LuaError{dbg::os_error(errno)});
    std::string text;
    char buf[8192];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            close(fd);
            return err(LuaError{dbg::os_error(e)});
        }
        text.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    if (!unicode::is_valid_utf8(text)) return err(LuaError{"stream did not contain valid UTF-8"});
    return text;
}

// A protected call's outcome as a result; the stack goes back to `top` either way.
LuaResult<void> call_result(lua_State* L, int status, int top) {
    if (status == LUA_OK) {
        lua_settop(L, top);
        return {};
    }
    const char* msg = lua_tostring(L, -1);
    LuaError error{msg ? msg : "unknown Lua error"};
    lua_settop(L, top);
    return err(std::move(error));
}

}  // namespace

// ---- configuration location ----------------------------------------------------------------

std::optional<std::filesystem::path> config_base_dir_from(const char* xdg_config_home, const char* home,
                                                          const char* passwd_home) {
    if (xdg_config_home && *xdg_config_home == '/') return std::filesystem::path(xdg_config_home);
    const char* h = home && *home ? home : passwd_home && *passwd_home ? passwd_home : nullptr;
    if (!h) return std::nullopt;
    return std::filesystem::path(h) / ".config";
}

std::optional<std::filesystem::path> config_base_dir() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if ((xdg && *xdg == '/') || (home && *home)) return config_base_dir_from(xdg, home, nullptr);
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) != 0 || !found) {
        return config_base_dir_from(xdg, home, nullptr);
    }
    return config_base_dir_from(xdg, home, found->pw_dir);
}

std::optional<std::filesystem::path> config_dir() {
    auto base = config_base_dir();
    if (!base) return std::nullopt;
    return *base / "vop";
}

// ---- SharedLuaState ------------------------------------------------------------------------

void SharedLuaState::stage() {
    std::lock_guard<std::mutex> guard(mutex_);
    staged_ = std::make_unique<LuaState>();
    staged_->executed = state_.executed;
}

std::vector<int> SharedLuaState::commit_staged() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!staged_) return {};
    std::vector<int> old = std::move(state_.callbacks);
    state_ = std::move(*staged_);
    staged_.reset();
    return old;
}

std::vector<int> SharedLuaState::discard_staged() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!staged_) return {};
    state_.executed = std::move(staged_->executed);
    std::vector<int> refs = std::move(staged_->callbacks);
    staged_.reset();
    return refs;
}

// ---- LuaConfig -----------------------------------------------------------------------------

LuaResult<LuaConfig> LuaConfig::create() {
    lua_State* L = luaL_newstate();
    if (!L) return err(LuaError{"not enough memory"});
    LuaConfig config(L, std::make_shared<SharedLuaState>());
    if (auto failure = protected_call(L, open_libs, nullptr)) return err(LuaError{*failure});
    return config;
}

LuaConfig::LuaConfig(LuaConfig&& other) noexcept : lua_(other.lua_), state_(std::move(other.state_)) {
    other.lua_ = nullptr;
}

LuaConfig& LuaConfig::operator=(LuaConfig&& other) noexcept {
    if (this != &other) {
        if (lua_) lua_close(lua_);
        lua_ = other.lua_;
        state_ = std::move(other.state_);
        other.lua_ = nullptr;
    }
    return *this;
}

LuaConfig::~LuaConfig() {
    // The API functions point at the shared state, which `state_` keeps alive until now.
    if (lua_) lua_close(lua_);
}

LuaResult<void> LuaConfig::load() {
    lua_State* L = lua_;
    if (auto failure = protected_call(L, lua_api::install, state_.get())) return err(LuaError{*failure});

    auto script = find_or_create_script();
    if (!script) return script.take_error();
    log::info(kTarget, "Loading config from {}", dbg::quoted(script->string()));

    auto text = read_script(*script);
    if (!text) return text.take_error();

    int top = lua_gettop(L);
    lua_pushcfunction(L, error_text);
    int status = luaL_loadbufferx(L, text->data(), text->size(), kChunkName, "t");
    if (status == LUA_OK) status = lua_pcall(L, 0, 0, top + 1);
    if (auto r = call_result(L, status, top); !r) return r;

    BarProbe probe;
    if (auto failure = protected_call(L, probe_vop_table, &probe)) return err(LuaError{*failure});
    if (!probe.vop_is_table) {
        return err(LuaError{fmt::format("error converting Lua {} to table (global 'vop')", probe.vop_type)});
    }
    // A failed read of `bar` means no bar; a failed read of its height means the default height.
    (void)protected_call(L, probe_bar, &probe);
    if (probe.bar_is_table) {
        auto state = state_->lock_for_script();
        state->config.bar_enabled = true;
        if (probe.height_ok) {
            state->config.bar_height = probe.height;
            log::info(kTarget, "vopbar integration enabled (height={})", probe.height);
        } else {
            log::info(kTarget, "vopbar integration enabled (default height)");
        }
    } else {
        log::debug(kTarget, "vop.bar not configured, vopbar integration disabled");
    }

    auto state = state_->lock_for_script();
    log::info(kTarget, "Config loaded: {} keybinds registered, bar_enabled={}", state->keybinds.size(),
              state->config.bar_enabled);
    return {};
}

LuaResult<void> LuaConfig::reload() {
    int saved_vop = LUA_NOREF;
    if (auto failure = protected_call(lua_, save_vop, &saved_vop)) return err(LuaError{*failure});
    state_->stage();
    LuaResult<void> result = load();
    std::vector<int> refs = result ? state_->commit_staged() : state_->discard_staged();
    // Released outside the lock: freeing the references is a call into Lua. Callbacks in force
    // may name the global `vop`, so a failed run must not leave its own table behind.
    Release release{&refs, saved_vop, !result};
    if (auto failure = protected_call(lua_, release_refs, &release)) {
        log::warn(kTarget, "Failed to release Lua references: {}", *failure);
    }
    return result;
}

LuaResult<void> LuaConfig::execute_callback(uint64_t index) {
    int ref = LUA_NOREF;
    {
        auto state = state_->lock();
        if (index >= state->callbacks.size()) return {};
        ref = state->callbacks[index];
    }
    // Unlocked from here: the callback may call vop.set, vop.bind and the rest.
    lua_State* L = lua_;
    int top = lua_gettop(L);
    if (!lua_checkstack(L, 2)) return err(LuaError{"stack overflow"});
    lua_pushcfunction(L, traceback);
    if (lua_rawgeti(L, LUA_REGISTRYINDEX, ref) != LUA_TFUNCTION) {
        lua_settop(L, top);
        return err(LuaError{fmt::format("callback {} is not a function", index)});
    }
    return call_result(L, lua_pcall(L, 0, 0, top + 1), top);
}

}  // namespace vop
