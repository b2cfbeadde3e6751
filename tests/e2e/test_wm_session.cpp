// The programs around vop: the systemd graphical session, the bar, and children started by the script.
#include "ipc_fixture.hpp"
#include "wm_fixture.hpp"

#include "events/session.hpp"

#include <xcb/xcb.h>

#include <algorithm>
#include <csignal>
#include <dirent.h>
#include <fstream>

using namespace vop::test;

namespace {

// Zombie children of a process (state Z in /proc/<pid>/stat).
int zombie_children(pid_t parent) {
    int count = 0;
    DIR* d = opendir("/proc");
    if (!d) return 0;
    while (dirent* e = readdir(d)) {
        std::ifstream f(std::string("/proc/") + e->d_name + "/stat");
        std::string line;
        if (!std::getline(f, line)) continue;
        auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        if (sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent && state == 'Z') ++count;
    }
    closedir(d);
    return count;
}

}  // namespace

TEST_F(WmTest, StartsTheGraphicalSession) {
    start();
    auto stubs = vop_->stubs();
    ASSERT_TRUE(becomes([&] { return stubs.lines("systemctl").size() >= 2; }));
    auto lines = stubs.lines("systemctl");
    EXPECT_EQ(lines[0], "--user import-environment DISPLAY XAUTHORITY");
    EXPECT_EQ(lines[1], "--user start graphical-session.target");
    EXPECT_TRUE(vop_->wait_for_log("Imported DISPLAY=" + x_.display() + " to systemd user session"));
    EXPECT_TRUE(vop_->wait_for_log("Started graphical-session.target"));
    EXPECT_TRUE(stubs.lines("vopbar").empty()) << "no bar without vop.bar";
}

// The failing systemctl leaves a child behind that holds its standard error: vop reads what is there when
// systemctl itself ends, and never what the child writes later. One ended by a signal did not fail as a
// program does: that is a warning naming the signal.
TEST_F(WmTest, FailingSystemctlIsLoggedAndStartGoesOn) {
    TempDir dir;
    // The stub log directory is known only once vop runs, so make systemctl fail through PATH instead.
    write_file(dir.path() + "/systemctl", "#!/bin/sh\n[ \"$2\" = stop ] && kill -USR1 $$\n"
                                          "(sleep 2; echo belated >&2; exec sleep 60) &\n"
                                          "echo 'no user manager' >&2\nexit 1\n");
    chmod((dir.path() + "/systemctl").c_str(), 0755);
    vop_ = std::make_unique<VopProcess>(VopOptions{
        .display = x_.display(),
        .env = {{"PATH", dir.path() + ":" + VOP_STUB_DIR + ":/usr/bin:/bin"}},
        .init_lua = kPlainConfig});
    ASSERT_TRUE(vop_->wait_idle()) << vop_->describe();
    EXPECT_TRUE(vop_->wait_for_log("Failed to import DISPLAY: no user manager"));
    EXPECT_TRUE(vop_->wait_for_log("Failed to start graphical-session.target: no user manager"));
    client_ = std::make_unique<TestClient>(x_.display());
    uint32_t a = client_->open_window();
    EXPECT_TRUE(has_geometry(a, {12, 12, 1892, 1052, 2}));
    EXPECT_EQ(read_log().find("belated"), std::string::npos) << read_log();
    client_.reset();
    EXPECT_EQ(vop_->stop(), 0) << vop_->describe();
    const auto records = log_records();
    EXPECT_TRUE(std::any_of(records.begin(), records.end(), [](const LogRecord& r) {
        return r.level == "WARN" &&
               r.message == "systemctl --user stop graphical-session.target was killed: signal: 10 (SIGUSR1)";
    })) << read_log();
    EXPECT_FALSE(log_contains("graphical-session.target was not running"));
    vop_.reset();
}

// Helpers vop waits for at start-up and on a reload are killed at their time limit: with every systemctl hung
// (a stuck user bus) or pkill hung, the sockets answer, windows are managed and a reload is answered. A stop
// signal during such a wait is heard at once.
TEST_F(WmTest, HungHelpersCannotHoldUpTheStartOrAReload) {
    TempDir dir;
    struct Case {
        const char* program;
        bool stop;           // SIGTERM while the first run hangs
        const char* logged;  // what is said of the first run
    };
    const Case cases[] = {
        {"systemctl", false,
         "systemctl --user import-environment DISPLAY XAUTHORITY did not finish within 3000 ms and was killed"},
        {"pkill", false, "pkill picom did not finish within 3000 ms and was killed"},
        {"systemctl", true, "systemctl --user import-environment DISPLAY XAUTHORITY was killed: vop is stopping"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{}{}", c.program, c.stop ? " and a stop" : ""));
        const std::string path = dir.path() + "/" + c.program;
        write_file(path, "#!/bin/sh\n[ \"$2\" = stop ] && exit 0\ntouch \"$HOME/hung\"\nexec sleep 60\n");
        chmod(path.c_str(), 0755);
        vop_ = std::make_unique<VopProcess>(VopOptions{
            .display = x_.display(), .env = {{"PATH", dir.path() + ":" + VOP_STUB_DIR + ":/usr/bin:/bin"}},
            .init_lua = kPlainConfig});
        const auto killed_at_limit = [] {
            int n = 0;
            for (const auto& r : log_records()) n += r.message.find("did not finish within") != std::string::npos;
            return n;
        };
        if (c.stop) {
            ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(vop_->home() + "/hung"); }, 10000ms));
            vop_->signal(SIGTERM);
            EXPECT_EQ(vop_->wait_exit(20000ms), 0) << vop_->describe();
            EXPECT_TRUE(log_contains(c.logged)) << vop_->describe();
            EXPECT_EQ(killed_at_limit(), 0) << vop_->describe();
            vop_.reset();
            std::filesystem::remove(path);
            continue;
        }
        const std::string sock = vop_->runtime_dir() + "/vop.sock";
        // The loop runs once the limits have passed: polled, with room for a loaded machine.
        ASSERT_TRUE(wait_until(
            [&] { return SocketClient(sock).request(R"({"command":"get_workspaces"})").has_value(); }, 30000ms))
            << vop_->describe();
        EXPECT_TRUE(log_contains(c.logged)) << vop_->describe();
        client_ = std::make_unique<TestClient>(x_.display());
        EXPECT_TRUE(has_geometry(client_->open_window(), {12, 12, 1892, 1052, 2}));
        SocketClient reload(sock);
        ASSERT_TRUE(reload.send("{\"command\":\"reload\"}\n"));
        EXPECT_EQ(reload.line(30000ms), std::optional<std::string>(R"({"success":true})")) << vop_->describe();
        EXPECT_EQ(killed_at_limit(), 2) << vop_->describe();
        client_.reset();
        vop_.reset();
        std::filesystem::remove(path);
    }
}

// Further stop signals during a shutdown (a terminal's SIGINT, then the try-out script's SIGTERM) are only
// noted: the whole shutdown runs, be its helpers slow (half a second each) or hung (`systemctl --user stop`
// writing into standard output, a pipe nobody reads, until its time limit). A terminal's Ctrl-C reaches vop's
// whole process group, but not the helpers, which run in groups of their own: held down, not even as each
// starts, and each finishes its work. Only a
// signal that comes once the shutdown has overrun all its limits (another client holds the X server) ends
// vop at once, by that signal, and stops the bar too. Either way the socket files are gone.
TEST_F(WmTest, FurtherStopSignalsLetTheShutdownRunToItsEnd) {
    TempDir dir;
    const std::string helper = fmt::format(R"sh(#!/usr/bin/env bash
. "{}/record.sh"
stub_record "$@"
case "$*" in
    "--user stop graphical-session.target")
        [ -f "$HOME/stop-takes" ] || exec yes "Failed to stop graphical-session.target" ;;
    "-x picom") [ -f "$HOME/stop-takes" ] || exit 0 ;;
    *) exit 0 ;;
esac
sleep "$(<"$HOME/stop-takes")"
printf '%s\n' "$*" >>"$HOME/finished"
)sh", VOP_STUB_DIR);
    for (const char* name : {"systemctl", "pkill"}) {
        write_file(dir.path() + "/" + name, helper);
        chmod((dir.path() + "/" + name).c_str(), 0755);
    }
    struct Case {
        int first;   // 0: the JSON command "exit"
        int second;  // sent as each shutdown helper starts, or, with the X server held, until vop ends
        const char* stop_takes;  // nullptr: systemctl stop hangs
        bool hold_x;
        bool to_group;  // both go to vop's process group, as a terminal's Ctrl-C does; the second is held down
    };
    for (const Case c : {Case{0, SIGTERM, nullptr, false, false}, Case{SIGINT, SIGINT, "0.5", false, true},
                         Case{SIGTERM, SIGINT, "0", true, false}}) {
        SCOPED_TRACE(fmt::format("{} then {}{}", c.first, c.second, c.to_group ? " to the group" : ""));
        vop_ = std::make_unique<VopProcess>(VopOptions{.display = x_.display(),
                                                       .env = {{"PATH", dir.path() + ":" + VOP_STUB_DIR + ":/usr/bin:/bin"}},
                                                       .init_lua = kPlainConfig + "vop.bar = { height = 30 }\n",
                                                       .stdout_full_pipe = true});
        ASSERT_TRUE(vop_->wait_idle()) << vop_->describe();
        if (c.stop_takes) write_file(vop_->home() + "/stop-takes", c.stop_takes);
        const auto stubs = vop_->stubs();
        ASSERT_TRUE(becomes([&] { return !stubs.pids("vopbar").empty(); })) << vop_->describe();
        TestClient holder(x_.display());
        if (c.hold_x) {
            xcb_grab_server(holder.conn());
            holder.sync();
        }
        const auto signal = [&](int sig) { c.to_group ? vop_->signal_group(sig) : vop_->signal(sig); };
        const auto asked = std::chrono::steady_clock::now();
        if (c.first != 0) {
            signal(c.first);
        } else {
            SocketClient(vop_->runtime_dir() + "/vop.sock").send("{\"command\":\"exit\"}\n");
        }
        std::optional<int> status;
        if (c.hold_x) {
            for (int i = 0; i < 300 && !status; ++i) {
                signal(c.second);
                status = vop_->wait_exit(100ms);
            }
            EXPECT_EQ(status, 128 + c.second) << vop_->describe();
            EXPECT_GE(std::chrono::steady_clock::now() - asked, vop::session::kShutdownLimit)
                << "signals within the shutdown's limits are only noted";
        } else {
            // Held down: every millisecond or so until vop ends, so that some come as each helper starts.
            if (c.to_group) wait_until([&] { return signal(c.second), !vop_->running(); }, 10000ms, 1ms);
            for (const auto& [name, call] : {std::pair{"pkill", "-x picom"},
                                             std::pair{"systemctl", "--user stop graphical-session.target"}}) {
                ASSERT_TRUE(becomes([&] {
                    const auto calls = stubs.lines(name);
                    return !calls.empty() && calls.back() == call;
                })) << vop_->describe();
                signal(c.second);
            }
            EXPECT_EQ(vop_->wait_exit(), 0) << vop_->describe();
            for (const char* step : {"Windows unmapped and synced", "Stopping vopbar", "Killing picom...",
                                     "Event loop exited"}) {
                EXPECT_TRUE(log_contains(step)) << step;
            }
            EXPECT_EQ(log_contains("systemctl --user stop graphical-session.target did not finish within 3000 ms "
                                   "and was killed"),
                      c.stop_takes == nullptr);
            if (c.stop_takes) {
                EXPECT_EQ(split_lines(read_file(vop_->home() + "/finished")),
                          (std::vector<std::string>{"-x picom", "--user stop graphical-session.target"}))
                    << vop_->describe();
                EXPECT_TRUE(log_contains("Stopped graphical-session.target")) << vop_->describe();
            }
        }
        // The bar shares vop's group: a terminal's Ctrl-C may end it before vop comes to stop it (a held one
        // maybe before the stub's shell could note it). Either way it does not outlive vop.
        std::vector<std::string> bar_got;
        const pid_t bar = stubs.pids("vopbar").back();
        EXPECT_TRUE(becomes([&] {
            bar_got = stubs.signals("vopbar");
            const bool gone = ::kill(bar, 0) != 0 && errno == ESRCH;
            return (!bar_got.empty() && (bar_got[0] == "TERM" || (c.to_group && bar_got[0] == "INT"))) ||
                   (c.to_group && gone);
        })) << "the bar was stopped: " << fmt::format("{}", fmt::join(bar_got, " "));
        EXPECT_FALSE(std::filesystem::exists(vop_->runtime_dir() + "/vop.sock"));
        EXPECT_FALSE(std::filesystem::exists(vop_->runtime_dir() + "/vop-i3.sock"));
        vop_.reset();
    }
}

TEST_F(WmTest, SpawnsTheBarWithTheI3Socket) {
    start(kPlainConfig + "vop.bar = { height = 30 }\n");
    auto stubs = vop_->stubs();
    ASSERT_TRUE(becomes([&] { return !stubs.lines("vopbar").empty(); })) << vop_->describe();
    EXPECT_EQ(stubs.lines("vopbar")[0], "daemon");
    auto env = stubs.env("vopbar");
    ASSERT_FALSE(env.empty());
    EXPECT_NE(env[0].find("I3SOCK=" + vop_->runtime_dir() + "/vop-i3.sock"), std::string::npos) << env[0];
    EXPECT_NE(env[0].find("SIGPIPE=default"), std::string::npos) << env[0];
    // The bar's height replaces every dock reservation at the top.
    uint32_t a = client_->open_window();
    EXPECT_TRUE(has_geometry(a, {12, 42, 1892, 1022, 2}));

    // A bar that dies is collected by the loop and never signalled again (its pid may be reused).
    auto pids = stubs.pids("vopbar");
    ASSERT_FALSE(pids.empty());
    kill(pids[0], SIGTERM);
    EXPECT_TRUE(vop_->wait_for_log("vopbar exited with status: "));
}

TEST_F(WmTest, ReapsChildrenStartedByTheScript) {
    start(kPlainConfig + R"(
vop.exec("true")
vop.exec("sh -c 'exit 3'")
vop.exec_once("true")
)");
    EXPECT_TRUE(becomes([&] { return zombie_children(vop_->pid()) == 0; }));
}

// Programs the script starts through Lua's own os.execute and io.popen have SIGPIPE at its default (vop
// catches it rather than ignoring it), so a pipeline such as `yes | head` in them ends as it should.
TEST_F(WmTest, ScriptChildrenHaveSigpipeAtItsDefault) {
    start(kPlainConfig + R"(
local out = os.getenv("HOME") .. "/sigign"
os.execute("exec grep SigIgn /proc/self/status > " .. out)
local p = io.popen("exec grep SigIgn /proc/self/status")
local f = io.open(out, "a")
f:write(p:read("a"))
f:close()
p:close()
)");
    const auto lines = split_lines(read_file(vop_->home() + "/sigign"));
    ASSERT_EQ(lines.size(), 2u) << vop_->describe();
    for (const auto& l : lines) {
        ASSERT_EQ(l.rfind("SigIgn:", 0), 0u) << l;
        EXPECT_FALSE(std::stoull(l.substr(7), nullptr, 16) & (1ull << (SIGPIPE - 1))) << l;
    }
}
