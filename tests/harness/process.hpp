// Test processes: temporary directories, child processes with a chosen environment, external commands, polling.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vop::test {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// Thrown when the harness itself cannot do its work (a server that does not start, a failed fork);
// gtest reports it as a failure of the test that was running.
struct HarnessError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Polls `pred` every few milliseconds until it holds or `timeout` passes; returns its last value.
bool wait_until(const std::function<bool()>& pred, Millis timeout = 5000ms, Millis interval = 5ms);

// A fresh directory (mode 0700) under $TMPDIR or /tmp, removed with its contents on destruction.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "vop-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string& path);  // "" when missing
void write_file(const std::string& path, const std::string& text);

// Environment changes for a child: a value sets the variable, std::nullopt removes it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

struct SpawnOptions {
    EnvChanges env;
    std::string stdout_path;  // "" means /dev/null
    int stdout_fd = -1;       // when >= 0, stdout instead of stdout_path (the caller keeps it)
    std::string stderr_path;  // "" means /dev/null
    bool own_process_group = false;
    int pass_fd = -1;  // an fd the child keeps open under the same number (e.g. for -displayfd)
};

// A child process. The destructor kills it (SIGKILL; its whole process group when it has one) and reaps it.
class Child {
public:
    Child(const std::vector<std::string>& argv, const SpawnOptions& opts);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig) const;
    // To its whole process group, as a terminal's Ctrl-C; only a child with a group of its own.
    void signal_group(int sig) const;
    // Waits for the child to end; its status as a shell reports it (exit code, or 128 + signal number),
    // std::nullopt when it is still running at the timeout. The process stays a zombie until the
    // destructor, so its pid (and process group) cannot be reused meanwhile.
    std::optional<int> wait_exit(Millis timeout = 10000ms);
    bool running();
    // SIGKILL (to the group when there is one) and reap; idempotent.
    void kill_and_reap();

private:
    pid_t pid_ = -1;
    bool group_ = false;
    bool reaped_ = false;
    std::optional<int> status_;
};

struct CommandResult {
    int status = -1;  // exit code, 128 + signal, or -1 when it timed out (and was killed)
    std::string out;
    std::string err;
};

// Runs an external command (xprop, xdotool, wmctrl, i3-msg, xrandr...) with DISPLAY set to `display`
// ("" leaves DISPLAY unset) and waits for it, capturing both outputs.
CommandResult run_command(const std::string& display, const std::vector<std::string>& argv,
                          const EnvChanges& env = {}, Millis timeout = 10000ms);

}  // namespace vop::test
