// Starting external programs through posix_spawn, waiting for them and collecting their output.
#include "util/process.hpp"

#include "util/debug_form.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vop::process {

std::string OsError::to_string() const { return dbg::os_error(code); }

bool Output::success() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

namespace {

// Owns the pieces posix_spawn needs and frees them on every path.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    bool have_actions = false;
    bool have_attr = false;
    int fail = 0;

    SpawnSetup() {
        fail = posix_spawn_file_actions_init(&actions);
        if (fail) return;
        have_actions = true;
        fail = posix_spawnattr_init(&attr);
        if (fail) return;
        have_attr = true;
        // An ignored SIGPIPE (vop may have been started with it ignored) would survive exec;
        // children get the default back for it and for the stop signals vop catches, and
        // nothing blocked.
        sigset_t defaults, mask;
        sigemptyset(&defaults);
        for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP}) sigaddset(&defaults, sig);
        sigemptyset(&mask);
        fail = posix_spawnattr_setsigdefault(&attr, &defaults);
        if (!fail) fail = posix_spawnattr_setsigmask(&attr, &mask);
        if (!fail) fail = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
    ~SpawnSetup() {
        if (have_actions) posix_spawn_file_actions_destroy(&actions);
        if (have_attr) posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

struct Pipe {
    int read = -1;
    int write = -1;
    ~Pipe() { close_both(); }
    void close_read() {
        if (read >= 0) ::close(read);
        read = -1;
    }
    void close_write() {
        if (write >= 0) ::close(write);
        write = -1;
    }
    void close_both() {
        close_read();
        close_write();
    }
};

int open_pipe(Pipe& p) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return errno;
    p.read = fds[0];
    p.write = fds[1];
    return 0;
}

// Connects child descriptor `fd` as `mode` asks; `pipe` is used for Capture.
int plan_stream(SpawnSetup& s, int fd, Stdio mode, const Pipe* pipe) {
    switch (mode) {
        case Stdio::Inherit: return 0;
        case Stdio::Null:
            return posix_spawn_file_actions_addopen(&s.actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
        case Stdio::Capture:
            if (!pipe) {
                return posix_spawn_file_actions_addopen(&s.actions, fd, "/dev/null",
                                                        fd == 0 ? O_RDONLY : O_WRONLY, 0);
            }
            // dup2 onto the standard descriptor clears its close-on-exec flag.
            return posix_spawn_file_actions_adddup2(&s.actions, pipe->write, fd);
    }
    return 0;
}

// The environment with `overrides` replacing or adding variables.
std::vector<std::string> merged_env(const std::vector<std::pair<std::string, std::string>>& overrides) {
    std::vector<std::string> out;
    for (char** e = environ; e && *e; ++e) {
        std::string_view entry(*e);
        bool replaced = false;
        for (const auto& [name, value] : overrides) {
            if (entry.size() > name.size() && entry.substr(0, name.size()) == name && entry[name.size()] == '=') {
                replaced = true;
                break;
            }
        }
        if (!replaced) out.emplace_back(entry);
    }
    for (const auto& [name, value] : overrides) out.push_back(name + "=" + value);
    return out;
}

Result<pid_t, OsError> start(const std::string& program, const std::vector<std::string>& args,
                             const Options& options, const Pipe* out_pipe, const Pipe* err_pipe) {
    SpawnSetup s;
    if (s.fail) return err(OsError{s.fail});
    int rc = plan_stream(s, 0, options.in == Stdio::Capture ? Stdio::Null : options.in, nullptr);
    if (!rc) rc = plan_stream(s, 1, options.out, out_pipe);
    if (!rc) rc = plan_stream(s, 2, options.err, err_pipe);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Whatever descriptor someone forgot to mark close-on-exec stays with vop.
    if (!rc) rc = posix_spawn_file_actions_addclosefrom_np(&s.actions, 3);
#endif
    if (rc) return err(OsError{rc});

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    std::vector<std::string> env_storage;
    std::vector<char*> envp;
    char** env = environ;
    if (!options.env.empty()) {
        env_storage = merged_env(options.env);
        for (auto& e : env_storage) envp.push_back(e.data());
        envp.push_back(nullptr);
        env = envp.data();
    }

    pid_t pid = -1;
    rc = posix_spawnp(&pid, program.c_str(), &s.actions, &s.attr, argv.data(), env);
    if (rc) return err(OsError{rc});
    return pid;
}

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline` for poll(): -1 without one, 0 once it has passed.
int millis_left(const std::optional<Clock::time_point>& deadline) {
    if (!deadline) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1000));
}

// Reads both pipes until each reaches end of file or the deadline passes.
void drain(Pipe& out, Pipe& err, std::string& out_text, std::string& err_text,
           const std::optional<Clock::time_point>& deadline) {
    char buf[4096];
    while (out.read >= 0 || err.read >= 0) {
        if (deadline && Clock::now() >= *deadline) {
            out.close_read();
            err.close_read();
            return;
        }
        pollfd fds[2];
        nfds_t n = 0;
        Pipe* owners[2];
        std::string* sinks[2];
        if (out.read >= 0) {
            fds[n] = {out.read, POLLIN, 0};
            owners[n] = &out;
            sinks[n++] = &out_text;
        }
        if (err.read >= 0) {
            fds[n] = {err.read, POLLIN, 0};
            owners[n] = &err;
            sinks[n++] = &err_text;
        }
        if (poll(fds, n, millis_left(deadline)) < 0) {
            if (errno == EINTR) continue;
            out.close_read();
            err.close_read();
            return;
        }
        for (nfds_t i = 0; i < n; ++i) {
            if (!fds[i].revents) continue;
            ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                sinks[i]->append(buf, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                owners[i]->close_read();
            }
        }
    }
}

}  // namespace

Result<pid_t, OsError> spawn(const std::string& program, const std::vector<std::string>& args,
                             const Options& options) {
    return start(program, args, options, nullptr, nullptr);
}

Result<pid_t, OsError> spawn_shell(std::string_view command) {
    return spawn("sh", {"-c", std::string(command)});
}

Result<Output, OsError> run(const std::string& program, const std::vector<std::string>& args, Options options) {
    Pipe out, errp;
    if (options.out == Stdio::Capture) {
        if (int e = open_pipe(out)) return err(OsError{e});
    }
    if (options.err == Stdio::Capture) {
        if (int e = open_pipe(errp)) return err(OsError{e});
    }
    auto started = start(program, args, options, out.write >= 0 ? &out : nullptr,
                         errp.write >= 0 ? &errp : nullptr);
    if (!started) return started.take_error();
    out.close_write();
    errp.close_write();

    Output result;
    std::optional<Clock::time_point> deadline;
    if (options.time_limit.count() > 0) deadline = Clock::now() + options.time_limit;
    drain(out, errp, result.out, result.err, deadline);
    for (;;) {
        pid_t r = waitpid(*started, &result.status, deadline ? WNOHANG : 0);
        if (r == *started) break;
        if (r < 0 && errno != EINTR) return err(OsError{errno});
        if (r == 0 && Clock::now() >= *deadline) {
            ::kill(*started, SIGKILL);
            result.killed_at_time_limit = true;
            deadline.reset();  // now wait for it to go
        } else if (r == 0) {
            poll(nullptr, 0, std::min(millis_left(deadline), 5));
        }
    }
    return result;
}

Result<WaitState, OsError> try_wait(pid_t pid) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r < 0) return err(OsError{errno});
    return WaitState{r != 0, status};
}

namespace {
extern "C" void on_sigpipe(int) {}
}  // namespace

void catch_sigpipe() {
    struct sigaction sa {};
    sa.sa_handler = on_sigpipe;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &sa, nullptr);
}

int send_signal(pid_t pid, int signal) { return ::kill(pid, signal) == 0 ? 0 : errno; }

int reap_children(const std::function<void(pid_t, int)>& on_exit) {
    int count = 0;
    int status = 0;
    for (pid_t pid; (pid = waitpid(-1, &status, WNOHANG)) > 0; ++count) {
        if (on_exit) on_exit(pid, status);
    }
    return count;
}

std::string exit_status_text(int status) {
    if (WIFEXITED(status)) return fmt::format("exit status: {}", WEXITSTATUS(status));
    if (WIFSIGNALED(status)) {
        int sig = WTERMSIG(status);
        const char* abbrev = sigabbrev_np(sig);
        std::string text = abbrev ? fmt::format("signal: {} (SIG{})", sig, abbrev) : fmt::format("signal: {}", sig);
        if (WCOREDUMP(status)) text += " (core dumped)";
        return text;
    }
    return fmt::format("unrecognized wait status: {} ({:#x})", status, status);
}

}  // namespace vop::process
