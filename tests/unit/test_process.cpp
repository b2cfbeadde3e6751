// Launching programs: streams, environment, inherited descriptors, signals, waiting and reaping.
#include "util/process.hpp"
#include "util/stop_signals.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vop::process;

namespace {

const Options kCapture{.in = Stdio::Null, .out = Stdio::Capture, .err = Stdio::Capture, .env = {}};

Output sh(const std::string& script, Options options = kCapture) {
    auto r = run("sh", {"-c", script}, options);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().to_string());
    return r.ok() ? r.value() : Output{};
}

// Waits for `pid` to end without reaping other children.
WaitState wait_for(pid_t pid) {
    for (int i = 0; i < 500; ++i) {
        auto w = try_wait(pid);
        if (!w.ok() || w->exited) return w.ok() ? *w : WaitState{};
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {};
}

// The state letter and the process group of `pid`, from /proc; nothing once it is gone.
struct ProcStat {
    char state = 0;
    pid_t group = 0;
};
std::optional<ProcStat> proc_stat(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(f, line) || line.rfind(')') == std::string::npos) return std::nullopt;
    ProcStat st;
    int parent = 0;
    if (sscanf(line.c_str() + line.rfind(')') + 1, " %c %d %d", &st.state, &parent, &st.group) != 3) return std::nullopt;
    return st;
}

// Gone, or a zombie that only waits to be collected by whoever inherited it; polled for a few seconds.
bool goes(pid_t pid) {
    for (int i = 0; i < 500; ++i) {
        const auto st = proc_stat(pid);
        if (!st || st->state == 'Z') return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace

TEST(Process, RunCapturesBothStreamsAndTheStatus) {
    Output o = sh("echo out; echo err >&2; exit 3");
    EXPECT_EQ(o.out, "out\n");
    EXPECT_EQ(o.err, "err\n");
    EXPECT_FALSE(o.success());
    EXPECT_EQ(exit_status_text(o.status), "exit status: 3");
    EXPECT_TRUE(sh("true").success());

    // More than a pipe buffer on both streams at once must not deadlock.
    Output big = sh("head -c 200000 /dev/zero; head -c 150000 /dev/zero >&2");
    EXPECT_EQ(big.out.size(), 200000u);
    EXPECT_EQ(big.err.size(), 150000u);
}

// The wait ends with the program itself, however long a child of its own keeps the pipes open; past the time
// limit, or once the stop descriptor is readable, the program is killed.
TEST(Process, RunEndsWithTheProgramItsTimeLimitOrAStop) {
    // However it ends (by itself, at its time limit, on a stop that comes once it is under way), what it
    // started in its group ends with it; what it wrote before is read, what its child would write later is not.
    const int stop = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    ASSERT_GE(stop, 0);
    itimerspec soon{};
    soon.it_value.tv_nsec = 500'000'000;
    using std::chrono::milliseconds;
    struct Case {
        const char* script;
        milliseconds limit;
        int stop_fd;
        const char* status;
    } cases[] = {
        {"(sleep 30; echo late; echo late >&2) & echo $!; exit 4", milliseconds(0), -1, "exit status: 4"},
        {"sleep 30 & echo $!; exec sleep 30", milliseconds(500), -1, "signal: 9 (SIGKILL)"},
        {"sleep 30 & echo $!; exec sleep 30", milliseconds(10000), stop, "signal: 9 (SIGKILL)"},
    };
    for (const Case& c : cases) {
        Options o = kCapture;
        o.time_limit = c.limit;
        o.stop_fd = c.stop_fd;
        if (c.stop_fd >= 0) {
            ASSERT_EQ(timerfd_settime(stop, 0, &soon, nullptr), 0);
        }
        const Output out = sh(c.script, o);
        EXPECT_EQ(out.err, "");
        EXPECT_EQ(exit_status_text(out.status), c.status) << c.script;
        EXPECT_EQ(out.killed_at_time_limit, c.limit == milliseconds(500));
        EXPECT_EQ(out.killed_on_stop, c.stop_fd >= 0);
        EXPECT_TRUE(goes(std::stoi(out.out))) << "the child of " << c.script << " after " << c.status;
    }
    close(stop);

    // A signal that ends the waiting process at once (its stop ran out of time) takes the program's group.
    char dir[] = "/tmp/vop-run-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string pids = std::string(dir) + "/pids";
    const pid_t waiter = fork();
    ASSERT_GE(waiter, 0);
    if (waiter == 0) {
        vop::stop_signals::install(std::chrono::milliseconds(0));
        vop::stop_signals::shutdown_begins();
        Options o = kCapture;
        o.time_limit = std::chrono::seconds(20);
        (void)run("sh", {"-c", "sleep 30 & echo $$ $! > " + pids + "; exec sleep 30"}, o);
        _exit(0);
    }
    pid_t helper = 0, child = 0;
    for (int i = 0; i < 500 && !(std::ifstream(pids) >> helper >> child); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(waiter, SIGTERM);
    int status = 0;
    waitpid(waiter, &status, 0);
    std::remove(pids.c_str());
    rmdir(dir);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    ASSERT_GT(helper, 0);
    EXPECT_TRUE(goes(helper) && goes(child)) << "a program left behind by a waiter ended at once";
}

// A program waited for leads a process group of its own, so a signal to ours (a terminal's Ctrl-C) misses it;
// one only started stays in ours.
TEST(Process, RunLeadsAGroupOfItsOwnAndSpawnStaysInOurs) {
    std::istringstream in(sh("echo $$; exec cut -d' ' -f5 /proc/$$/stat").out);
    pid_t pid = 0, group = 0;
    ASSERT_TRUE(in >> pid >> group);
    EXPECT_EQ(group, pid);
    EXPECT_NE(group, getpgrp());
    // Nor does a burst to our group that comes while it starts cut it short: 200 runs, all ending by themselves.
    // In a group of their own, so that ctest and the other tests are not hit.
    const pid_t tester = fork();
    ASSERT_GE(tester, 0);
    if (tester == 0) {
        setpgid(0, 0);
        struct sigaction noted {};
        noted.sa_handler = [](int) {};
        sigemptyset(&noted.sa_mask);
        noted.sa_flags = SA_RESTART;
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &noted, nullptr);
        const pid_t self = getpid();
        const pid_t racer = fork();
        if (racer == 0) {
            while (getppid() == self) {
                for (int sig : {SIGINT, SIGTERM, SIGHUP}) kill(0, sig);
            }
            _exit(0);
        }
        int cut_short = 0;
        for (int i = 0; i < 200; ++i) {
            const auto r = run("true", {});
            cut_short += !r.ok() || !r->success();
        }
        kill(racer, SIGKILL);
        waitpid(racer, nullptr, 0);
        _exit(cut_short);
    }
    int status = 0;
    waitpid(tester, &status, 0);
    EXPECT_EQ(exit_status_text(status), "exit status: 0") << "runs cut short by a burst of signals to our group";

    auto started = spawn("sleep", {"5"});
    ASSERT_TRUE(started.ok());
    const auto st = proc_stat(*started);
    kill(*started, SIGKILL);
    wait_for(*started);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->group, getpgrp());
}

TEST(Process, StandardInputFromDevNull) {
    // `cat` would wait forever on an inherited terminal or pipe.
    Output o = sh("cat; echo done");
    EXPECT_EQ(o.out, "done\n");
}

TEST(Process, MissingProgramIsAnError) {
    auto r = run("vop-no-such-program-xyz", {});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, ENOENT);
    EXPECT_EQ(r.error().to_string(), "No such file or directory (os error 2)");
    EXPECT_FALSE(spawn("vop-no-such-program-xyz", {}).ok());
}

TEST(Process, EnvironmentOverrides) {
    setenv("VOP_TEST_A", "old", 1);
    setenv("VOP_TEST_B", "kept", 1);
    Options o = kCapture;
    o.env = {{"VOP_TEST_A", "new"}, {"VOP_TEST_C", "added"}};
    Output out = sh("printf '%s %s %s' \"$VOP_TEST_A\" \"$VOP_TEST_B\" \"$VOP_TEST_C\"", o);
    EXPECT_EQ(out.out, "new kept added");
    EXPECT_STREQ(std::getenv("VOP_TEST_A"), "old");  // the parent's environment is untouched
    unsetenv("VOP_TEST_A");
    unsetenv("VOP_TEST_B");
}

TEST(Process, ChildGetsOnlyItsStandardDescriptors) {
    int leaky = open("/dev/null", O_RDONLY);  // deliberately not close-on-exec
    ASSERT_GE(leaky, 3);
    Output o = sh("ls /proc/$$/fd");
    close(leaky);
    std::istringstream in(o.out);
    std::string fd;
    std::vector<std::string> fds;
    while (in >> fd) fds.push_back(fd);
    EXPECT_EQ(fds, (std::vector<std::string>{"0", "1", "2"})) << o.out;
}

// A program waited for gets SIGPIPE and the stop signals at their default, nothing blocked, and SIGTTOU ignored
// so that it writes to a `tostop` terminal outside the foreground group rather than stopping there; the rest
// as we have it.
TEST(Process, SignalsInTheChildAreAtTheirDefaultButSigttou) {
    struct sigaction ignore {}, old_pipe {}, old_int {}, ttou {};
    sigaction(SIGTTOU, nullptr, &ttou);
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &old_pipe);
    sigaction(SIGINT, &ignore, &old_int);
    sigset_t block, old_mask;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigprocmask(SIG_BLOCK, &block, &old_mask);

    // The shell's own status may be read while it blocks signals around a fork: read grep's instead.
    const std::string ours = sh("exec grep -E '^(SigIgn|SigBlk)' /proc/" + std::to_string(getpid()) + "/status").out;
    const std::string theirs = sh("exec grep -E '^(SigIgn|SigBlk)' /proc/self/status").out;

    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGPIPE, &old_pipe, nullptr);
    struct sigaction ttou_after {};
    sigaction(SIGTTOU, nullptr, &ttou_after);
    EXPECT_EQ(ttou_after.sa_handler, ttou.sa_handler) << "ignored in the child only";

    const auto masks = [](const std::string& text) {
        std::istringstream in(text);
        std::string name, mask;
        std::map<std::string, unsigned long long> out;
        while (in >> name >> mask) out[name] = std::stoull(mask, nullptr, 16);
        return out;
    };
    const auto bit = [](int sig) { return 1ull << (sig - 1); };
    const auto before = masks(ours), after = masks(theirs);
    ASSERT_EQ(before.size(), 2u) << ours;
    ASSERT_EQ(after.size(), 2u) << theirs;
    EXPECT_EQ(before.at("SigIgn:") & bit(SIGPIPE), bit(SIGPIPE)) << ours;
    EXPECT_EQ(after.at("SigIgn:"),
              (before.at("SigIgn:") & ~(bit(SIGPIPE) | bit(SIGTERM) | bit(SIGINT) | bit(SIGHUP))) | bit(SIGTTOU))
        << theirs;
    EXPECT_EQ(after.at("SigBlk:"), 0u) << theirs;

    // A writer into a closed pipe dies of SIGPIPE instead of looping on EPIPE.
    Output yes = sh("yes | head -c 1 >/dev/null; echo ok");
    EXPECT_EQ(yes.out, "ok\n");
}

// Caught by vop, SIGPIPE makes a write into a closed pipe fail instead of ending the process, and children
// started by other means than `spawn` (popen, as the script's io.popen) have it at its default.
TEST(Process, CaughtSigpipeFailsTheWriteAndIsDefaultInEveryChild) {
    struct sigaction old {};
    sigaction(SIGPIPE, nullptr, &old);
    catch_sigpipe();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    errno = 0;
    EXPECT_EQ(write(fds[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    close(fds[1]);
    char line[128] = {};
    FILE* child = popen("exec grep SigIgn /proc/self/status", "r");
    ASSERT_NE(child, nullptr);
    EXPECT_NE(fgets(line, sizeof line, child), nullptr);
    pclose(child);
    sigaction(SIGPIPE, &old, nullptr);
    ASSERT_EQ(std::string(line).rfind("SigIgn:", 0), 0u) << line;
    EXPECT_FALSE(std::stoull(std::string(line).substr(7), nullptr, 16) & (1ull << (SIGPIPE - 1))) << line;
}

TEST(Process, SpawnedChildIsReapedLeavingNoZombie) {
    auto pid = spawn_shell("exit 0");
    ASSERT_TRUE(pid.ok());
    // Until collected the exited child stays a zombie; reaping takes it.
    bool gone = false;
    for (int i = 0; i < 500 && !gone; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        reap_children();
        gone = waitpid(*pid, nullptr, WNOHANG) < 0 && errno == ECHILD;
    }
    EXPECT_TRUE(gone);
    EXPECT_NE(access(("/proc/" + std::to_string(*pid)).c_str(), F_OK), 0);
}

TEST(Process, TryWaitAndSignals) {
    auto pid = spawn("sleep", {"5"});
    ASSERT_TRUE(pid.ok());
    auto running = try_wait(*pid);
    ASSERT_TRUE(running.ok());
    EXPECT_FALSE(running->exited);
    EXPECT_EQ(send_signal(*pid, SIGTERM), 0);
    WaitState done = wait_for(*pid);
    ASSERT_TRUE(done.exited);
    EXPECT_EQ(exit_status_text(done.status), "signal: 15 (SIGTERM)");
    // Collected: asking again is an error, as is signalling nothing.
    EXPECT_FALSE(try_wait(*pid).ok());
    EXPECT_EQ(send_signal(-99999, SIGTERM) != 0, true);
}

TEST(Process, ExitStatusText) {
    EXPECT_EQ(exit_status_text(0), "exit status: 0");
    EXPECT_EQ(exit_status_text(42 << 8), "exit status: 42");
    EXPECT_EQ(exit_status_text(SIGKILL), "signal: 9 (SIGKILL)");
    EXPECT_EQ(exit_status_text(SIGSEGV | 0x80), "signal: 11 (SIGSEGV) (core dumped)");
}
