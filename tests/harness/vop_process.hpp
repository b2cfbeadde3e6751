// The vop binary under test, started in a private environment with stub programs first in PATH.
#pragma once

#include "process.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vop::test {

// The records of the stub programs (tests/harness/stubs) in one VOP_STUB_LOG directory.
class StubLog {
public:
    explicit StubLog(std::string dir) : dir_(std::move(dir)) {}
    const std::string& dir() const { return dir_; }
    // One entry per call of `name` ("systemctl", "pkill", "picom", "vopbar"), its arguments.
    std::vector<std::vector<std::string>> calls(const std::string& name) const;
    // The same calls with their arguments joined by single spaces ("--user start graphical-session.target").
    std::vector<std::string> lines(const std::string& name) const;
    // Per call: "I3SOCK=...\tDISPLAY=...\tXAUTHORITY=...\tSIGPIPE=default|ignored\tSIGBLK=<hex mask>".
    std::vector<std::string> env(const std::string& name) const;
    // Signals the vopbar stub received, by name ("HUP", "TERM").
    std::vector<std::string> signals(const std::string& name) const;
    // Pids of the vopbar stub's runs.
    std::vector<pid_t> pids(const std::string& name) const;
    // Makes the stub `name` exit with `status` from its next call on.
    void set_exit(const std::string& name, int status) const;

private:
    std::string dir_;
};

struct VopOptions {
    std::optional<std::string> display{};  // DISPLAY; std::nullopt leaves it unset
    EnvChanges env{};                      // on top of the private environment (NO_COLOR, VOP_LOG, ...)
    std::string init_lua{};                // when not empty, written to $XDG_CONFIG_HOME/vop/init.lua first
    std::vector<std::string> wrapper{};    // when not empty, runs `wrapper... VOP_BINARY` (e.g. scripts/run-vop)
    bool keep_old_log = false;             // leave a regular /tmp/vop.log in place (it is removed by default)
    bool stdout_full_pipe = false;         // stdout is a pipe, full from the start, that only out() reads
};

// vop with its own HOME, XDG_CONFIG_HOME, XDG_RUNTIME_DIR and stub directory (VOP_STUB_DIR first in PATH,
// records under VOP_STUB_LOG); NO_COLOR, VOP_LOG, I3SOCK, XAUTHORITY and the session bus are removed from
// the inherited environment. stdout and stderr go to files. It runs in its own process group, which the
// destructor kills with everything vop left in it. With `stdout_full_pipe`, stdout is a pipe that nobody
// reads (a stalled pager or session log) until out() takes what is in it.
class VopProcess {
public:
    // The record that says vop has taken over the root window.
    static inline const std::string kReadyLine = "Successfully became window manager";

    explicit VopProcess(VopOptions opts);
    ~VopProcess();
    VopProcess(const VopProcess&) = delete;
    VopProcess& operator=(const VopProcess&) = delete;

    pid_t pid() const { return child_->pid(); }
    bool running() { return child_->running(); }
    void signal(int sig) { child_->signal(sig); }
    // To vop's process group, as a terminal sends its Ctrl-C.
    void signal_group(int sig) { child_->signal_group(sig); }

    // Polls until the log holds kReadyLine and vop waits in its main loop (see wait_idle); false when vop
    // exits first or the timeout passes.
    bool wait_ready(Millis timeout = 10000ms);
    // Polls until vop's main thread is blocked in a wait with a timeout (its loop's pause between ticks, as
    // /proc/<pid>/syscall shows it), so the start-up work before the loop is done and the last tick found
    // nothing more to do. Waits for replies have no timeout and don't count. False when vop exits first or
    // on timeout.
    bool wait_idle(Millis timeout = 10000ms);
    // Polls the log until a record's message contains `text` (also after vop has exited).
    bool wait_for_log(const std::string& text, Millis timeout = 10000ms);
    // Exit status (code, or 128 + signal), std::nullopt when still running at the timeout.
    std::optional<int> wait_exit(Millis timeout = 10000ms) { return child_->wait_exit(timeout); }
    // SIGTERM and wait_exit.
    std::optional<int> stop(Millis timeout = 10000ms);

    std::string out() const;  // stdout so far (with a full pipe: what vop wrote into it once it was read)
    std::string err() const;  // stderr so far
    // Status, stdout, stderr and the log file, for failure messages.
    std::string describe();

    const std::string& home() const { return home_; }
    const std::string& config_home() const { return config_home_; }
    const std::string& runtime_dir() const { return runtime_dir_; }
    const std::string& stub_log_dir() const { return stub_log_; }

    // What the stub programs run by vop recorded.
    StubLog stubs() const { return StubLog(stub_log_); }

private:
    TempDir dir_{"vop-run"};
    std::string home_, config_home_, runtime_dir_, stub_log_;
    std::unique_ptr<Child> child_;
    int pipe_read_ = -1;                 // the test's end of a stdout_full_pipe
    mutable std::string piped_;          // what out() has read from it
    std::size_t filler_ = 0;             // bytes put in before vop started
};

}  // namespace vop::test
