// Starting external programs through fork and exec, waiting for them and collecting their output.
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
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vop::process {

std::string OsError::to_string() const { return dbg::os_error(code); }

bool Output::success() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

namespace {

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

// What one of the child's standard descriptors becomes: left as vop has it, /dev/null, or a copy of `from`.
struct Stream {
    enum How { Keep, Null, Copy } how = Keep;
    int from = -1;
};

// `pipe` is the one a captured stream goes to; without one it goes to /dev/null.
Stream plan_stream(Stdio mode, const Pipe* pipe) {
    if (mode == Stdio::Inherit) return {};
    if (mode == Stdio::Capture && pipe) return {Stream::Copy, pipe->write};
    return {Stream::Null, -1};
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

// Everything from here to exec runs in the forked child: async-signal-safe calls only, nothing allocated.

// Connects the child's descriptor `fd` as `s` says; returns the error number.
int connect_stream(int fd, Stream s) {
    if (s.how == Stream::Keep) return 0;
    if (s.how == Stream::Null) {
        const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null < 0) return errno;
        if (null == fd) return 0;
        const int rc = ::dup2(null, fd) < 0 ? errno : 0;
        ::close(null);
        return rc;
    }
    // dup2 clears the close-on-exec flag of the copy, but does nothing when both are the same descriptor.
    return (s.from == fd ? ::fcntl(fd, F_SETFD, 0) : ::dup2(s.from, fd)) < 0 ? errno : 0;
}

// The signal dispositions a started program expects: the default for the ones vop catches (exec would reset
// them, but one that came between here and exec must not run vop's handler in the child) and for SIGPIPE and
// the stop signals, whatever vop had them at; the rest as inherited. A child in a group of its own also gets
// SIGTTOU ignored, which exec keeps: outside the terminal's foreground group, a write to a terminal set to
// `tostop` would stop it until vop kills it. And what is still pending from its time in vop's group (a held
// Ctrl-C while it started) is discarded, as ignoring a pending signal does: it would end the child the moment
// the mask opens. A child that stays in vop's group keeps it, and goes with the group as it should.
void set_dispositions(bool own_group) {
    sigset_t pending;
    sigemptyset(&pending);
    if (own_group) sigpending(&pending);
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction now {};
        if (sig == SIGKILL || sig == SIGSTOP || ::sigaction(sig, nullptr, &now) != 0) continue;
        struct sigaction want = now;
        const bool caught = (now.sa_flags & SA_SIGINFO) || (now.sa_handler != SIG_DFL && now.sa_handler != SIG_IGN);
        if (caught || sig == SIGPIPE || sig == SIGTERM || sig == SIGINT || sig == SIGHUP) {
            want.sa_handler = SIG_DFL;
            want.sa_flags = 0;
        }
        if (own_group && sig == SIGTTOU) want.sa_handler = SIG_IGN;
        if (sigismember(&pending, sig) == 1) {
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            ::sigaction(sig, &ignore, nullptr);
        } else if (want.sa_handler == now.sa_handler) {
            continue;
        }
        ::sigaction(sig, &want, nullptr);
    }
}

// The child's way from fork to exec. A step that fails, exec included, sends its error number through
// `report` (closed by a successful exec) and ends the child.
[[noreturn]] void become(const char* program, char* const argv[], char* const env[], const Stream (&streams)[3],
                         bool own_group, int report) {
    // First of all: from here on a signal to vop's group misses the child.
    if (own_group) ::setpgid(0, 0);
    set_dispositions(own_group);
    int rc = 0;
    for (int fd = 0; fd < 3 && rc == 0; ++fd) rc = connect_stream(fd, streams[fd]);
    if (rc == 0) {
        // Whatever descriptor someone forgot to mark close-on-exec stays with vop; `report` already is.
        if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
            rlimit files{};
            ::getrlimit(RLIMIT_NOFILE, &files);
            const int last = static_cast<int>(std::min<rlim_t>(files.rlim_cur, 1 << 16));
            for (int fd = 3; fd < last; ++fd) {
                if (fd != report) ::close(fd);
            }
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execvpe(program, argv, env);
        rc = errno;
    }
    [[maybe_unused]] ssize_t n = ::write(report, &rc, sizeof rc);
    ::_exit(127);
}

// Starts the child with fork rather than posix_spawn. Either way the child is in vop's group until it moves
// to its own, and a signal to that group meanwhile stays pending in it; posix_spawn's child would die of it
// before exec, this one discards it first. vop is single-threaded, and the child does nothing fork makes
// unsafe. Returns once the child has run exec, or with the reason it could not.
Result<pid_t, OsError> start(const std::string& program, const std::vector<std::string>& args,
                             const Options& options, const Pipe* out_pipe, const Pipe* err_pipe, bool own_group) {
    const Stream streams[3] = {plan_stream(options.in, nullptr), plan_stream(options.out, out_pipe),
                               plan_stream(options.err, err_pipe)};
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

    Pipe report;
    if (int e = open_pipe(report)) return err(OsError{e});
    // Above the standard descriptors, which the child replaces.
    if (report.write < 3) {
        const int moved = fcntl(report.write, F_DUPFD_CLOEXEC, 3);
        if (moved < 0) return err(OsError{errno});
        report.close_write();
        report.write = moved;
    }

    // Blocked until the child has set its dispositions: no handler of vop's runs in it.
    sigset_t all, kept;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &kept);
    const pid_t pid = fork();
    if (pid == 0) become(program.c_str(), argv.data(), env, streams, own_group, report.write);
    const int fork_error = errno;
    sigprocmask(SIG_SETMASK, &kept, nullptr);
    if (pid < 0) return err(OsError{fork_error});
    // Also here, in case the child has not yet run far enough to do it itself: a signal to the group must not
    // miss it. Once it has, this fails harmlessly.
    if (own_group) setpgid(pid, pid);

    report.close_write();
    int code = 0;
    ssize_t got;
    while ((got = ::read(report.read, &code, sizeof code)) < 0 && errno == EINTR) {
    }
    if (got != static_cast<ssize_t>(sizeof code)) return pid;
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return err(OsError{code});
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
        const int e = wait_for_end();
        // Once collected, the child's pid, and with it its group's id, may soon be another's: a signal that
        // ends vop at once must stop killing that group first.
        stop_signals::kill_group_when_ended_at_once(0);
        if (e) return err(OsError{e});
        if (ended_) {
            while (waitpid(pid_, &result_.status, 0) < 0 && errno == EINTR) {
            }
        }
        // Whatever it wrote before it went; a child of its own that left the group may keep the pipes open
        // for much longer.
        read_ready(out_, result_.out);
        read_ready(err_, result_.err);
        return result_;
    }

private:
    // 0 once the child has ended (left for the caller to collect) or has been given up on; else an error
    // number.
    int wait_for_end() {
        for (;;) {
            // Ended: what it left running in its group goes with it, while the unreaped child still holds
            // the group's id.
            siginfo_t ended{};
            const int r = waitid(P_PID, static_cast<id_t>(pid_), &ended, WEXITED | WNOHANG | WNOWAIT);
            if (r == 0 && ended.si_pid == pid_) {
                ::kill(-pid_, SIGKILL);
                ended_ = true;
                return 0;
            }
            if (r < 0 && errno != EINTR) return errno;
            if (deadline_ && Clock::now() >= *deadline_) {
                if (killed_) {
                    result_.status = SIGKILL;  // as it will end, uncollected here
                    return 0;
                }
                kill_group(result_.killed_at_time_limit);
            }
            if (const int e = poll_and_serve()) {
                ::kill(-pid_, SIGKILL);
                return e;
            }
        }
    }

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
    bool ended_ = false;
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
    return Wait(*started, out, errp, options).run();
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
