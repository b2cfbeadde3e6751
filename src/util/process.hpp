// Starting external programs: shell commands, helpers run to completion, long-lived children.
#pragma once

#include "util/result.hpp"

#include <fmt/format.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace vop::process {

// An operating-system error number from a failed start or wait.
struct OsError {
    int code = 0;
    // "No such file or directory (os error 2)".
    std::string to_string() const;
};

// What one of the child's standard streams is connected to.
enum class Stdio {
    Inherit,  // the window manager's own stream
    Null,     // /dev/null
    Capture,  // a pipe read by `run` (treated as Null by `spawn`)
};

struct Options {
    Stdio in = Stdio::Inherit;
    Stdio out = Stdio::Inherit;
    Stdio err = Stdio::Inherit;
    // Variables set (or replaced) in the child's environment; the rest is inherited.
    std::vector<std::pair<std::string, std::string>> env;
    // For `run`: how long to wait for the child before it is killed with its group (SIGKILL); zero waits for
    // ever.
    std::chrono::milliseconds time_limit{0};
    // For `run`: a descriptor that turns readable when the wait is to end early (vop is asked to stop); the
    // child is then killed with its group. -1: none.
    int stop_fd = -1;
};

// The result of a program run to completion.
struct Output {
    int status = 0;   // the raw wait status
    std::string out;  // captured standard output (empty unless captured)
    std::string err;  // captured standard error (empty unless captured)
    bool killed_at_time_limit = false;
    bool killed_on_stop = false;
    // Killed either way: the status says nothing about what it was asked to do.
    bool killed() const { return killed_at_time_limit || killed_on_stop; }
    bool success() const;
};

// Starts `program` (searched in PATH) with `args` and returns its pid without waiting. The child stays in
// vop's process group, so what vop leaves running (the bar, the script's commands) ends with it when a
// terminal's Ctrl-C or hang-up ends that group. It gets SIGPIPE and the stop signals at their default
// disposition, an empty signal mask and no descriptor beyond its three standard streams. Exited children
// are collected by `reap_children` (or `try_wait` for one the caller keeps).
Result<pid_t, OsError> spawn(const std::string& program, const std::vector<std::string>& args,
                             const Options& options = {});

// Starts "sh" with "-c" and `command`, inheriting the standard streams; not waited for.
Result<pid_t, OsError> spawn_shell(std::string_view command);

// Starts `program` like `spawn`, but leading a process group of its own, and waits for it to end, collecting
// any captured output (up to 1 MiB a stream). In its own group it hears none of the signals a terminal sends
// to vop's group (a second Ctrl-C during the shutdown), not even one sent while it starts. Past the options'
// time limit, or once their stop descriptor is readable, the whole group is killed, so nothing the program
// started outlives it; so is what it leaves running when it ends, and when a signal ends vop at once
// meanwhile. It runs with SIGTTOU ignored, so that writing to a terminal set to `tostop` does not stop it.
// The wait ends with the program itself: what it left in the pipes is read without waiting, so a child of its
// own that keeps them open cannot hold the caller. Standard input defaults to /dev/null here.
Result<Output, OsError> run(const std::string& program, const std::vector<std::string>& args,
                            Options options = Options{Stdio::Null, Stdio::Inherit, Stdio::Inherit, {}});

struct WaitState {
    bool exited = false;  // false: still running
    int status = 0;       // the raw wait status once exited
};

// Asks without blocking whether child `pid` has ended (and collects it if so).
Result<WaitState, OsError> try_wait(pid_t pid);

// Sends `signal` to `pid`; the result of the call is returned as an error number (0 on success).
int send_signal(pid_t pid, int signal);

// Collects every exited child of the process without blocking; returns how many. `on_exit`, when
// given, hears each collected pid with its raw wait status.
int reap_children(const std::function<void(pid_t, int)>& on_exit = {});

// Catches SIGPIPE with a handler that does nothing: a write to a vanished peer fails with EPIPE instead of
// ending vop, and unlike an ignored signal a caught one is back at its default in every program vop
// starts, through the script's os.execute and io.popen too.
void catch_sigpipe();

// "exit status: 3", "signal: 15 (SIGTERM)", "signal: 11 (SIGSEGV) (core dumped)".
std::string exit_status_text(int status);

}  // namespace vop::process

template <>
struct fmt::formatter<vop::process::OsError> : fmt::formatter<std::string> {
    auto format(const vop::process::OsError& e, format_context& ctx) const {
        return fmt::formatter<std::string>::format(e.to_string(), ctx);
    }
};
