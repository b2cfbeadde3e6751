// Starting external programs through posix_spawn, waiting for them and collecting their output.
#include "util/process.hpp"

#include "util/debug_form.hpp"
#include "util/stop_signals.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
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

    // `own_group`: the child leads a process group of its own.
    explicit SpawnSetup(bool own_group) {
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
        short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
        if (own_group) {
            flags |= POSIX_SPAWN_SETPGROUP;
            if (!fail) fail = posix_spawnattr_setpgroup(&attr, 0);
        }
        if (!fail) fail = posix_spawnattr_setflags(&attr, flags);
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
                             const Options& options, const Pipe* out_pipe, const Pipe* err_pipe, bool own_group) {
    SpawnSetup s(own_group);
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
    // Outside the terminal's foreground group, a write to a terminal set to `tostop` would stop the child
    // until vop kills it; with SIGTTOU ignored, which exec keeps, the write goes through.
    struct sigaction ignore {}, kept {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (own_group) sigaction(SIGTTOU, &ignore, &kept);
    rc = posix_spawnp(&pid, program.c_str(), &s.actions, &s.attr, argv.data(), env);
    if (own_group) sigaction(SIGTTOU, &kept, nullptr);
    if (rc) return err(OsError{rc});
    // Also here, in case the child has not yet run far enough to do it itself: a signal to the group must not
    // miss it. Once it has, this fails harmlessly.
    if (own_group) setpgid(pid, pid);
    return pid;
}

using Clock = std::chrono::steady_clock;

// A helper's text goes into one log record at most: beyond this much a stream is read and dropped.
constexpr size_t kCaptureLimit = size_t{1} << 20;
// How long a killed child may take to go; one stuck in the kernel is left to the main loop's reaping.
constexpr std::chrono::milliseconds kKillGrace{1000};

struct OwnedFd {
    int fd = -1;
    ~OwnedFd() {
        if (fd >= 0) ::close(fd);
    }
};

int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    return -1;
#endif
}

// Makes `timer` readable `after` from now.
void arm(int timer, std::chrono::milliseconds after) {
    if (timer < 0) return;
    itimerspec when{};
    when.it_value.tv_sec = after.count() / 1000;
    when.it_value.tv_nsec = (after.count() % 1000) * 1'000'000;
    timerfd_settime(timer, 0, &when, nullptr);
}

// Reads what the (non-blocking) pipe holds now into `sink`, closing it at end of file. At most one pipe's
// worth a call: a writer that never stops cannot keep the caller here.
void read_ready(Pipe& p, std::string& sink) {
    char buf[4096];
    for (int i = 0; i < 16 && p.read >= 0; ++i) {
        const ssize_t got = ::read(p.read, buf, sizeof buf);
        if (got > 0) {
            sink.append(buf, std::min(static_cast<size_t>(got), kCaptureLimit - std::min(sink.size(), kCaptureLimit)));
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
            p.close_read();
        } else if (errno == EAGAIN) {
            return;
        }
    }
}

// The wait for one child, which leads a process group of its own. Everything that can end it is a descriptor
// in one poll without a timeout: the child's exit (a pidfd), the time limit (a timerfd), the stop descriptor
// and the pipes. Without a pidfd the child is asked every few milliseconds.
class Wait {
public:
    Wait(pid_t pid, Pipe& out, Pipe& err, const Options& options)
        : pid_(pid), stop_fd_(options.stop_fd), out_(out), err_(err) {
        if (options.time_limit.count() > 0) wait_at_most(options.time_limit);
    }

    // Until the child has ended, or has been killed and has not gone within the grace period.
    Result<Output, OsError> run() {
        for (;;) {
            // Ended: what it left running in its group goes with it, while the unreaped child still holds
            // the group's id.
            siginfo_t ended{};
            const int r = waitid(P_PID, static_cast<id_t>(pid_), &ended, WEXITED | WNOHANG | WNOWAIT);
            if (r == 0 && ended.si_pid == pid_) {
                ::kill(-pid_, SIGKILL);
                waitpid(pid_, &result_.status, 0);
                break;
            }
            if (r < 0 && errno != EINTR) return err(OsError{errno});
            if (deadline_ && Clock::now() >= *deadline_) {
                if (killed_) {
                    result_.status = SIGKILL;  // as it will end, uncollected here
                    break;
                }
                kill_group(result_.killed_at_time_limit);
            }
            if (const int e = poll_and_serve()) {
                ::kill(-pid_, SIGKILL);
                return err(OsError{e});
            }
        }
        // Whatever it wrote before it went; a child of its own that left the group may keep the pipes open
        // for much longer.
        read_ready(out_, result_.out);
        read_ready(err_, result_.err);
        return result_;
    }

private:
    void wait_at_most(std::chrono::milliseconds after) {
        deadline_ = Clock::now() + after;
        arm(timer_.fd, after);
    }

    // The whole group, so that nothing the child started outlives it (a script's commands, a forked helper).
    void kill_group(bool& why) {
        ::kill(-pid_, SIGKILL);
        why = killed_ = true;
        wait_at_most(kKillGrace);
    }

    // One poll; returns its error number, 0 once whatever turned ready has been served.
    int poll_and_serve() {
        pollfd fds[5];
        nfds_t n = 0;
        for (int fd : {exited_.fd, timer_.fd, killed_ ? -1 : stop_fd_, out_.read, err_.read}) {
            if (fd >= 0) fds[n++] = {fd, POLLIN, 0};
        }
        if (poll(fds, n, poll_timeout()) < 0 && errno != EINTR) return errno;
        for (nfds_t i = 0; i < n; ++i) {
            if (fds[i].revents) serve(fds[i].fd);
        }
        return 0;
    }

    // -1 (none) while the pidfd and the timer say all; else a few milliseconds, or what is left to the deadline.
    int poll_timeout() const {
        int timeout = exited_.fd >= 0 ? -1 : 5;
        if (deadline_ && timer_.fd < 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline_ - Clock::now()).count();
            timeout = static_cast<int>(std::clamp<long long>(left, 0, timeout < 0 ? 1000 : timeout));
        }
        return timeout;
    }

    void serve(int fd) {
        if (fd == timer_.fd) {
            uint64_t expirations = 0;
            [[maybe_unused]] ssize_t got = ::read(fd, &expirations, sizeof expirations);
        } else if (fd == stop_fd_ && !killed_) {
            kill_group(result_.killed_on_stop);
        } else if (fd == out_.read) {
            read_ready(out_, result_.out);
        } else if (fd == err_.read) {
            read_ready(err_, result_.err);
        }
    }

    const pid_t pid_;
    const int stop_fd_;
    Pipe& out_;
    Pipe& err_;
    OwnedFd exited_{open_pidfd(pid_)};
    OwnedFd timer_{timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)};
    std::optional<Clock::time_point> deadline_;
    bool killed_ = false;
    Output result_;
};

}  // namespace

Result<pid_t, OsError> spawn(const std::string& program, const std::vector<std::string>& args,
                             const Options& options) {
    return start(program, args, options, nullptr, nullptr, false);
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
                         errp.write >= 0 ? &errp : nullptr, true);
    if (!started) return started.take_error();
    out.close_write();
    errp.close_write();
    for (const Pipe* p : {&out, &errp}) {
        if (p->read >= 0) fcntl(p->read, F_SETFL, O_NONBLOCK);
    }
    // Should a signal end vop at once meanwhile, the helper's group must not live on without it.
    stop_signals::kill_group_when_ended_at_once(*started);
    auto result = Wait(*started, out, errp, options).run();
    stop_signals::kill_group_when_ended_at_once(0);
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
