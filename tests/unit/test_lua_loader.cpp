// The configuration loader: location rules, first start, reloads, callbacks, the sandbox, the README's key table.
#include "lua_test_env.hpp"

#include "config/keyspec.hpp"
#include "util/process.hpp"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>
#include <tuple>

using namespace vop;
using namespace vop::testing;
using vop::log::Level;

namespace {

size_t count_kind(const LuaState& s, ActionKind kind) {
    size_t n = 0;
    for (const auto& k : s.keybinds) n += k.action.kind == kind;
    return n;
}

// The argument a chord's key stands for in the README's key table: a direction or a workspace number.
std::string direction_of(const std::string& key) {
    for (const auto& [a, b, dir] : {std::tuple{"Left", "h", "left"}, {"Right", "l", "right"}, {"Up", "k", "up"},
                                    {"Down", "j", "down"}}) {
        if (key == a || key == b) return dir;
    }
    return "";
}
uint64_t workspace_of(const std::string& key) {
    return key.size() == 1 && std::isdigit(static_cast<unsigned char>(key[0])) ? (key == "0" ? 10 : key[0] - '0') : 0;
}

}  // namespace

TEST(ConfigDir, BaseDirectoryRules) {
    struct Case {
        const char* xdg;
        const char* home;
        const char* passwd;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"/x/cfg", "/home/u", "/pw", "/x/cfg"},
        {"relative/cfg", "/home/u", "/pw", "/home/u/.config"},  // relative XDG_CONFIG_HOME is ignored
        {"", "/home/u", "/pw", "/home/u/.config"},
        {nullptr, "", "/pw", "/pw/.config"},                     // empty HOME falls back to the database
        {nullptr, nullptr, nullptr, std::nullopt},
        {"cfg", "", "", std::nullopt},
    };
    for (const auto& c : cases) {
        auto got = config_base_dir_from(c.xdg, c.home, c.passwd);
        if (c.expected) {
            ASSERT_TRUE(got) << (c.xdg ? c.xdg : "(null)");
            EXPECT_EQ(got->string(), *c.expected);
        } else {
            EXPECT_FALSE(got);
        }
    }
}

TEST(ConfigDir, RelativeXdgUsesHomeFromEnvironment) {
    TempDir home;
    ScopedEnv h("HOME", home.path().c_str());
    ScopedEnv x("XDG_CONFIG_HOME", "not/absolute");
    auto dir = config_dir();
    ASSERT_TRUE(dir);
    EXPECT_EQ(*dir, home.path() / ".config" / "vop");
}

// With no absolute XDG_CONFIG_HOME, no HOME and no password entry there is nowhere to look.
TEST(ConfigDir, NoHomeAtAllFailsTheLoad) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to take a uid without a password entry";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        unsetenv("HOME");
        setenv("XDG_CONFIG_HOME", "relative", 1);
        if (setuid(54321) != 0) _exit(3);
        auto config = LuaConfig::create();
        if (!config) _exit(4);
        auto r = config->load();
        _exit(!r.ok() && r.error().message == "Could not determine config directory" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(LuaConfigTest, FirstStartWritesAndLoadsTheDefaultScript) {
    auto created = LuaConfig::create();
    ASSERT_TRUE(created.ok());
    LuaConfig config = std::move(created).value();
    auto r = config.load();
    ASSERT_TRUE(r.ok()) << r.error().message;

    const std::string dir = (home_.path() / "vop").string();
    const std::string script = script_path().string();
    EXPECT_TRUE(logged(Level::Info, "Created config directory: \"" + dir + "\""));
    EXPECT_TRUE(logged(Level::Info, "Created default config at \"" + script + "\""));
    EXPECT_TRUE(logged(Level::Info, "Loading config from \"" + script + "\""));
    EXPECT_TRUE(logged(Level::Info, "Config loaded: 61 keybinds registered, bar_enabled=false"));
    EXPECT_TRUE(logged(Level::Debug, "vop.bar not configured, vopbar integration disabled"));
    EXPECT_EQ(read_file(script_path()), default_config_text());

    LuaState s = snapshot(config);
    EXPECT_EQ(s.keybinds.size(), 61u);
    EXPECT_EQ(s.callbacks.size(), 6u);
    EXPECT_EQ(s.config.gap_inner, 8u);
    EXPECT_EQ(s.config.gap_outer, 8u);
    EXPECT_EQ(s.config.border_width, 2u);
    EXPECT_TRUE(s.config.follow_window_on_move);
    EXPECT_FALSE(s.config.bar_enabled);
    EXPECT_TRUE(s.rules.empty());
    EXPECT_TRUE(s.config.picom_rules.empty());

    // The seven chords outside the key-name table are refused and consume no callback index.
    std::vector<std::string> invalid;
    for (const auto& m : messages(Level::Warn)) {
        if (m.rfind("Invalid keyspec: ", 0) == 0) invalid.push_back(m);
    }
    EXPECT_EQ(invalid, (std::vector<std::string>{
                           "Invalid keyspec: Print", "Invalid keyspec: mod+Print",
                           "Invalid keyspec: XF86AudioRaiseVolume", "Invalid keyspec: XF86AudioLowerVolume",
                           "Invalid keyspec: XF86AudioMute", "Invalid keyspec: XF86MonBrightnessUp",
                           "Invalid keyspec: XF86MonBrightnessDown"}));
    std::vector<uint64_t> indices;
    for (const auto& k : s.keybinds) {
        if (k.action.kind == ActionKind::LuaCallback) indices.push_back(k.action.number);
    }
    EXPECT_EQ(indices, (std::vector<uint64_t>{0, 1, 2, 3, 4, 5}));

    // Spot checks of the binding table.
    EXPECT_EQ(s.keybinds[0], (Keybind{0x40, 0xff0d, Action::lua_callback(0)}));
    EXPECT_EQ(s.keybinds[2], (Keybind{0x41, 0x72, Action::simple(ActionKind::Reload)}));
    EXPECT_EQ(s.keybinds[3], (Keybind{0x41, 0xff1b, Action::simple(ActionKind::Exit)}));
    EXPECT_EQ(count_kind(s, ActionKind::Focus), 8u);
    EXPECT_EQ(count_kind(s, ActionKind::Swap), 8u);
    EXPECT_EQ(count_kind(s, ActionKind::Resize), 8u);
    EXPECT_EQ(count_kind(s, ActionKind::Workspace), 10u);
    EXPECT_EQ(count_kind(s, ActionKind::MoveToWorkspace), 10u);
    EXPECT_EQ(s.keybinds.back(), (Keybind{0x40, 0xff1b, Action::lua_callback(5)}));

    // A second start reads the file back unchanged and yields the same state.
    logs_.clear();
    auto again = LuaConfig::create();
    ASSERT_TRUE(again.ok());
    ASSERT_TRUE(again->load().ok());
    EXPECT_FALSE(logged(Level::Info, "Created default config at \"" + script + "\""));
    EXPECT_EQ(read_file(script_path()), default_config_text());
    LuaState s2 = snapshot(*again);
    EXPECT_EQ(s2.keybinds, s.keybinds);
    EXPECT_EQ(s2.config, s.config);
}

TEST_F(LuaConfigTest, ExistingScriptIsNeverOverwritten) {
    // An empty script is a valid user script.
    LuaConfig config = load_ok("");
    EXPECT_EQ(read_file(script_path()), "");
    EXPECT_EQ(snapshot(config).keybinds.size(), 0u);

    // A script that cannot be inspected is an error, and what is there stays untouched.
    std::filesystem::remove_all(home_.path() / "vop");
    write_file(home_.path() / "vop", "not a directory");
    auto created = LuaConfig::create();
    ASSERT_TRUE(created.ok());
    auto r = created->load();
    ASSERT_FALSE(r.ok());
    EXPECT_NE(r.error().message.find("Not a directory (os error 20)"), std::string::npos) << r.error().message;
    EXPECT_EQ(read_file(home_.path() / "vop"), "not a directory");
}

TEST_F(LuaConfigTest, ALinkedScriptIsWrittenThroughItsLink) {
    const auto& home = home_.path();
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> links;  // link (under home) -> target
        std::string written;  // where the default lands; empty when the load must fail
        const char* error;    // part of the error text
    };
    const Case cases[] = {
        {"dotfiles link, relative", {{"vop/init.lua", "../dots/init.lua"}}, "dots/init.lua", nullptr},
        {"chain of links", {{"vop/init.lua", "next.lua"}, {"vop/next.lua", (home / "dots/deep.lua").string()}},
         "dots/deep.lua", nullptr},
        {"into a missing directory", {{"vop/init.lua", (home / "gone/init.lua").string()}}, "",
         "Failed to write default config: No such file or directory (os error 2)"},
        {"loop", {{"vop/init.lua", "other.lua"}, {"vop/other.lua", "init.lua"}}, "",
         "Too many levels of symbolic links (os error 40)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(home / "vop");
        std::filesystem::remove_all(home / "dots");
        std::filesystem::create_directories(home / "vop");
        std::filesystem::create_directories(home / "dots");
        for (const auto& [link, target] : c.links) std::filesystem::create_symlink(target, home / link);
        logs_.clear();
        auto created = LuaConfig::create();
        ASSERT_TRUE(created.ok());
        auto r = created->load();
        EXPECT_TRUE(std::filesystem::is_symlink(script_path()));
        if (c.error) {
            ASSERT_FALSE(r.ok());
            EXPECT_NE(r.error().message.find(c.error), std::string::npos) << r.error().message;
            EXPECT_FALSE(std::filesystem::exists(home / "gone"));
            continue;
        }
        ASSERT_TRUE(r.ok()) << r.error().message;
        EXPECT_EQ(read_file(home / c.written), default_config_text());
        EXPECT_TRUE(logged(Level::Info, "Created default config at \"" + script_path().string() + "\""));
        EXPECT_EQ(snapshot(*created).keybinds.size(), 61u);
        // Once there, the file behind the link is the user's: used, never written again.
        write_file(home / c.written, "vop.set('gap_inner', 3)");
        auto again = LuaConfig::create();
        ASSERT_TRUE(again.ok());
        ASSERT_TRUE(again->load().ok());
        EXPECT_EQ(snapshot(*again).config.gap_inner, 3u);
        EXPECT_EQ(read_file(home / c.written), "vop.set('gap_inner', 3)");
    }
}

TEST_F(LuaConfigTest, UnreadableOrInvalidScriptFails) {
    // A directory where the script should be is used as it is, and reading it fails.
    std::filesystem::create_directories(script_path());
    auto c1 = LuaConfig::create();
    ASSERT_TRUE(c1.ok());
    auto r1 = c1->load();
    ASSERT_FALSE(r1.ok());
    EXPECT_EQ(r1.error().message, "Is a directory (os error 21)");
    std::filesystem::remove(script_path());

    load_script("vop.set('gap_inner', 3) -- \xff\n");
    ASSERT_TRUE(last_load);
    EXPECT_EQ(*last_load, "stream did not contain valid UTF-8");
}

TEST_F(LuaConfigTest, ScriptErrorKeepsWhatRanBefore) {
    LuaConfig config = load_script(R"(
        vop.bind("mod+a", vop.reload)
        vop.bind("mod+b", vop.exit)
        vop.bind("mod+c", function() end)
        vop.set("gap_inner", 5)
        error("boom")
        vop.bind("mod+d", vop.equalize)
    )");
    ASSERT_TRUE(last_load);
    EXPECT_NE(last_load->find("init.lua:6: boom"), std::string::npos) << *last_load;
    LuaState s = snapshot(config);
    EXPECT_EQ(s.keybinds.size(), 3u);
    EXPECT_EQ(s.callbacks.size(), 1u);
    EXPECT_EQ(s.config.gap_inner, 5u);
    EXPECT_FALSE(logged(Level::Info, "Config loaded: 3 keybinds registered, bar_enabled=false"));

    LuaConfig broken = load_script("vop.set(\n");
    ASSERT_TRUE(last_load);
    EXPECT_NE(last_load->find("init.lua:"), std::string::npos) << *last_load;
}

TEST_F(LuaConfigTest, ReplacingVopWithNonTableFails) {
    load_script("vop = 5");
    ASSERT_TRUE(last_load);
    EXPECT_NE(last_load->find("number"), std::string::npos) << *last_load;
}

TEST_F(LuaConfigTest, BarTable) {
    struct Case {
        const char* script;
        bool enabled;
        uint32_t height;
        const char* info;
    };
    const Case cases[] = {
        {"", false, 0, nullptr},
        {"vop.bar = {}", true, 0, "vopbar integration enabled (default height)"},
        {"vop.bar = { height = 30 }", true, 30, "vopbar integration enabled (height=30)"},
        {"vop.bar = { height = '24' }", true, 24, "vopbar integration enabled (height=24)"},
        {"vop.bar = { height = 28.9 }", true, 28, "vopbar integration enabled (height=28)"},
        {"vop.set('bar_height', 9) vop.bar = { height = -1 }", true, 9, "vopbar integration enabled (default height)"},
        {"vop.bar = { height = 'tall' }", true, 0, "vopbar integration enabled (default height)"},
        {"vop.bar = { height = 4294967296 }", true, 0, "vopbar integration enabled (default height)"},
        // Sizes beyond what X geometry carries are not heights.
        {"vop.bar = { height = 32767.9 }", true, 32767, "vopbar integration enabled (height=32767)"},
        {"vop.bar = { height = '32768' }", true, 0, "vopbar integration enabled (default height)"},
        {"vop.bar = true", false, 0, nullptr},
        {"vop.bar = setmetatable({}, { __index = function() error('no') end })", true, 0,
         "vopbar integration enabled (default height)"},
        {"setmetatable(vop, { __index = function() error('no') end })", false, 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        logs_.clear();
        LuaConfig config = load_ok(c.script);
        LuaState s = snapshot(config);
        EXPECT_EQ(s.config.bar_enabled, c.enabled);
        EXPECT_EQ(s.config.bar_height, c.height);
        if (c.info) {
            EXPECT_TRUE(logged(Level::Info, c.info));
        } else {
            EXPECT_TRUE(logged(Level::Debug, "vop.bar not configured, vopbar integration disabled"));
        }
        EXPECT_TRUE(logged(Level::Info, std::string("Config loaded: 0 keybinds registered, bar_enabled=") +
                                            (c.enabled ? "true" : "false")));
    }
}

TEST_F(LuaConfigTest, ReloadResetsStateButKeepsGlobalsAndExecOnceMemory) {
    LuaConfig config = load_ok(R"(
        loads = (loads or 0) + 1
        vop.set("gap_inner", 4)
        vop.set("corner_radius", loads)
        if loads == 1 then
            vop.set("titlebar_enabled", true)
            vop.bind("mod+a", function() end)
            vop.rule({ class = "x" }, { floating = true })
            vop.picom_rule({ match = "class_g = 'x'" })
            vop.bar = {}
        end
        vop.bind("mod+b", function() end)
        vop.exec_once("true")
    )");
    LuaState first = snapshot(config);
    EXPECT_EQ(first.keybinds.size(), 2u);
    EXPECT_EQ(first.callbacks.size(), 2u);
    EXPECT_EQ(first.rules.size(), 1u);
    EXPECT_EQ(first.config.picom_rules.size(), 1u);
    EXPECT_TRUE(first.config.bar_enabled);
    EXPECT_EQ(first.executed, (std::set<std::string>{"true"}));
    EXPECT_TRUE(logged(Level::Info, "exec_once: true"));

    logs_.clear();
    ASSERT_TRUE(config.reload().ok());
    LuaState second = snapshot(config);
    // The global survived: this run saw loads == 2.
    EXPECT_EQ(second.config.corner_radius, 2u);
    EXPECT_EQ(second.config.gap_inner, 4u);
    EXPECT_FALSE(second.config.titlebar_enabled);  // back to its default
    EXPECT_FALSE(second.config.bar_enabled);
    EXPECT_TRUE(second.rules.empty());
    EXPECT_TRUE(second.config.picom_rules.empty());
    ASSERT_EQ(second.keybinds.size(), 1u);
    EXPECT_EQ(second.keybinds[0].action, Action::lua_callback(0));  // indices restart
    EXPECT_EQ(second.callbacks.size(), 1u);
    EXPECT_TRUE(logged(Level::Debug, "exec_once: skipping already-run command: true"));
    EXPECT_FALSE(logged(Level::Info, "exec_once: true"));

    // Everything the script does not set again is back at its default.
    Config expected;
    expected.gap_inner = 4;
    expected.corner_radius = 2;
    EXPECT_EQ(second.config, expected);
    process::reap_children();
}

TEST_F(LuaConfigTest, FailedReloadKeepsTheStateInForce) {
    // Each run first reports, through corner_radius, how many callbacks have been collected.
    const std::string script = R"(
        runs = (runs or 0) + 1
        collectgarbage() collectgarbage()
        vop.set("corner_radius", freed or 0)
        local sentinel = setmetatable({}, { __gc = function() freed = (freed or 0) + 1 end })
        vop.bind("mod+a", function() local _ = sentinel; vop.set("gap_inner", runs) end)
        if runs == 2 then
            vop.set("gap_outer", 40)
            vop.bind("mod+b", vop.exit)
            vop.rule({ class = "y" }, { workspace = 2 })
            vop.picom_rule({ match = "class_g = 'y'" })
            vop.exec_once("true")
            vop.bar = {}
            vop = nil
            error("broken")
        end
        vop.rule({ class = "x" }, { floating = true })
    )";
    LuaConfig config = load_ok(script);
    const LuaState before = snapshot(config);

    auto failed = config.reload();
    ASSERT_FALSE(failed.ok());
    EXPECT_NE(failed.error().message.find(": broken"), std::string::npos) << failed.error().message;
    LuaState kept = snapshot(config);
    EXPECT_EQ(kept.keybinds, before.keybinds);
    EXPECT_EQ(kept.callbacks, before.callbacks);
    EXPECT_EQ(kept.rules, before.rules);
    EXPECT_EQ(kept.config, before.config);
    // Programs the failed run started stay remembered.
    EXPECT_EQ(kept.executed, (std::set<std::string>{"true"}));
    // The old callback still runs, and its `vop` is the one it was written against.
    ASSERT_TRUE(config.execute_callback(0).ok());
    EXPECT_EQ(snapshot(config).config.gap_inner, 2u);

    // A successful run replaces everything; the failed run's callback had been released.
    ASSERT_TRUE(config.reload().ok());
    LuaState third = snapshot(config);
    EXPECT_EQ(third.config.corner_radius, 1u);
    EXPECT_EQ(third.config.gap_inner, 0u);
    EXPECT_EQ(third.keybinds.size(), 1u);
    EXPECT_EQ(third.rules, before.rules);
    // ... and the next run sees the replaced callback released too.
    ASSERT_TRUE(config.reload().ok());
    EXPECT_EQ(snapshot(config).config.corner_radius, 2u);
    process::reap_children();
}

TEST_F(LuaConfigTest, CallbacksRunUnlockedAndReportErrors) {
    LuaConfig config = load_ok(R"(
        vop.bind("mod+a", function()
            vop.set("gap_inner", 7)
            vop.bind("mod+z", vop.reload)
        end)
        vop.bind("mod+b", function() error("callback failed") end)
        vop.bind("mod+c", function() error({}) end)
        vop.bind("mod+d", function()
            local ok = pcall(vop.workspace, -1)
            vop.set("gap_outer", ok and 1 or 2)
        end)
    )");
    ASSERT_EQ(snapshot(config).callbacks.size(), 4u);

    ASSERT_TRUE(config.execute_callback(0).ok());
    LuaState s = snapshot(config);
    EXPECT_EQ(s.config.gap_inner, 7u);
    ASSERT_EQ(s.keybinds.size(), 5u);
    EXPECT_EQ(s.keybinds.back().action.kind, ActionKind::Reload);

    auto failed = config.execute_callback(1);
    ASSERT_FALSE(failed.ok());
    EXPECT_NE(failed.error().message.find("callback failed"), std::string::npos);
    EXPECT_NE(failed.error().message.find("stack traceback:"), std::string::npos) << failed.error().message;

    auto odd = config.execute_callback(2);
    ASSERT_FALSE(odd.ok());
    EXPECT_NE(odd.error().message.find("(error object is a table value)"), std::string::npos);

    // A raised argument error inside pcall leaves no lock behind.
    ASSERT_TRUE(config.execute_callback(3).ok());
    EXPECT_EQ(snapshot(config).config.gap_outer, 2u);

    // Past the end: nothing runs, success.
    EXPECT_TRUE(config.execute_callback(4).ok());
    EXPECT_TRUE(config.execute_callback(1000).ok());
}

TEST_F(LuaConfigTest, PcallOfRaisingApiLeavesStateUsable) {
    LuaConfig config = load_ok(R"(
        assert(not pcall(vop.workspace, -1))
        assert(not pcall(vop.bind))
        assert(not pcall(vop.set, nil, 1))
        assert(not pcall(vop.rule, {}))
        vop.set("gap_inner", 12)
    )");
    EXPECT_EQ(snapshot(config).config.gap_inner, 12u);
}

TEST_F(LuaConfigTest, SandboxHasNoNativeModulesAndNoDebugLibrary) {
    std::filesystem::create_directories(home_.path() / "mods");
    write_file(home_.path() / "mods" / "helper.lua", "return { value = 42 }");
    std::string script = "package.path = '" + (home_.path() / "mods" / "?.lua").string() + "'\n" + R"(
        assert(debug == nil, "debug library present")
        assert(require("helper").value == 42)
        assert(package.cpath == "")
        assert(#package.searchers == 2, "native searchers still present")
        local f, msg = package.loadlib("libc.so.6", "puts")
        assert(f == nil and msg)
        local ok, err = pcall(require, "lpeg_not_there")
        assert(not ok)
        assert(not pcall(require, "socket.core"))
        assert(string.format and table.concat and math.floor and utf8.char and coroutine.wrap
               and io.open and os.time)
    )";
    load_ok(script);
}

TEST_F(LuaConfigTest, ExecOnceStartsOncePerProcess) {
    const auto marker = home_.path() / "runs";
    std::string cmd = "echo x >> '" + marker.string() + "'";
    std::string script = "vop.exec_once([[" + cmd + "]])\nvop.exec_once([[" + cmd + " ]])\nvop.exec([[" + cmd + "]])\n";
    LuaConfig config = load_ok(script);
    ASSERT_TRUE(config.reload().ok());
    // Wait for the shells: two exec_once runs (the texts differ in a blank) plus one exec per load.
    for (int i = 0; i < 200 && read_file(marker).size() < 8; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        process::reap_children();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    process::reap_children();
    EXPECT_EQ(read_file(marker), "x\nx\nx\nx\n");
    EXPECT_EQ(snapshot(config).executed.size(), 2u);
}

TEST_F(LuaConfigTest, ExecStartsAShellThatIsReapedLater) {
    const auto pid_file = home_.path() / "pid";
    LuaConfig config = load_ok("vop.exec([[echo $$ > '" + pid_file.string() + ".tmp' && mv '" + pid_file.string() +
                               ".tmp' '" + pid_file.string() + "']])");
    EXPECT_TRUE(logged(Level::Debug, "exec: echo $$ > '" + pid_file.string() + ".tmp' && mv '" + pid_file.string() +
                                         ".tmp' '" + pid_file.string() + "'"));
    for (int i = 0; i < 300 && !std::filesystem::exists(pid_file); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(std::filesystem::exists(pid_file));
    const std::string proc = "/proc/" + std::to_string(std::stol(read_file(pid_file)));
    bool gone = false;
    for (int i = 0; i < 300 && !gone; ++i) {
        process::reap_children();
        gone = !std::filesystem::exists(proc);
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone) << "the shell is still there (zombie?)";
}

// Every chord of the README's key table is bound by the default script to the action the row names.
TEST_F(LuaConfigTest, ReadmeKeyTableMatchesTheDefaultScript) {
    LuaConfig config = load_ok(default_config_text());
    const LuaState s = snapshot(config);
    const std::string readme = read_file(VOP_README);
    const size_t from = readme.find("\n## Default keys\n");
    ASSERT_NE(from, std::string::npos);
    std::istringstream section(readme.substr(from, readme.find("\n## ", from + 1) - from));
    int chords = 0;
    for (std::string line; std::getline(section, line);) {
        if (!line.starts_with("| `")) continue;
        // | `chord` ... | `vop.name` or a function | what it does |
        const size_t end_keys = line.find(" | ");
        const size_t end_action = line.find(" | ", end_keys + 3);
        const std::string keys = line.substr(2, end_keys - 2);
        std::string action = line.substr(end_keys + 3, end_action - end_keys - 3);
        const auto kind = action == "a function" ? std::optional(ActionKind::LuaCallback)
                                                 : action_kind_from_script_name(action.substr(5, action.size() - 6));
        ASSERT_TRUE(action == "a function" || action.starts_with("`vop.")) << line;
        ASSERT_TRUE(kind) << line;
        for (size_t open = keys.find('`'), close; open != std::string::npos; open = keys.find('`', close + 1)) {
            close = keys.find('`', open + 1);
            const std::string chord = keys.substr(open + 1, close - open - 1);
            const auto parsed = parse_keyspec(chord);
            ASSERT_TRUE(parsed) << chord;
            const auto bound = std::find_if(s.keybinds.begin(), s.keybinds.end(), [&](const Keybind& k) {
                return k.modifiers == parsed->modifiers && k.keysym == parsed->keysym;
            });
            ASSERT_NE(bound, s.keybinds.end()) << chord << " is not bound";
            const std::string key = chord.substr(chord.rfind('+') + 1);
            const Action want{*kind, direction_of(key), 0.0f, workspace_of(key)};
            if (*kind == ActionKind::LuaCallback) {
                EXPECT_EQ(bound->action.kind, ActionKind::LuaCallback) << chord;
            } else {
                EXPECT_EQ(to_string(bound->action), to_string(want)) << chord;
            }
            ++chords;
        }
    }
    EXPECT_GT(chords, 20) << "the table was found and read";
}
