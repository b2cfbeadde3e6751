// Stop signals: an async-signal-safe handler that sets a flag and writes one byte to a self-pipe, or ends
// vop at once when a stop is already under way.
#include "util/stop_signals.hpp"

#include "util/debug_form.hpp"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>

namespace vop::stop_signals {

namespace {

volatile std::sig_atomic_t g_received = 0;
volatile std::sig_atomic_t g_at_once = 0;
int g_pipe[2] = {-1, -1};

// Files to remove when a signal ends vop at once: a slot is filled before it is marked used.
struct Removal {
    volatile std::sig_atomic_t used = 0;
    char path[256] = {};
    dev_t dev = 0;
    ino_t ino = 0;
};
Removal g_removals[4];

// Only async-signal-safe calls: lstat, unlink, sigaction, sigprocmask, raise, _exit.
[[noreturn]] void end_now(int sig) {
    for (auto& r : g_removals) {
        struct stat st {};
        if (r.used && ::lstat(r.path, &st) == 0 && st.st_dev == r.dev && st.st_ino == r.ino) ::unlink(r.path);
    }
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, sig);
    sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
    raise(sig);
    _exit(128 + sig);
}

extern "C" void on_stop_signal(int sig) {
    const int saved = errno;
    if (g_at_once || g_received != 0) end_now(sig);
    g_received = sig;
    // Non-blocking: once the pipe is full the loop has been woken anyway.
    [[maybe_unused]] ssize_t n = ::write(g_pipe[1], "!", 1);
    errno = saved;
}

}  // namespace

std::optional<std::string> install() {
    if (g_pipe[0] >= 0) return std::nullopt;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return "pipe: " + dbg::os_error(errno);
    g_pipe[0] = fds[0];
    g_pipe[1] = fds[1];
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    // Blocking calls in the middle of a tick (X replies, helpers run to completion) just go on.
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        if (sigaction(sig, &sa, nullptr) != 0) return "sigaction: " + dbg::os_error(errno);
    }
    return std::nullopt;
}

int received() { return g_received; }

int wake_fd() { return g_pipe[0]; }

void end_at_once_from_now() { g_at_once = 1; }

int remove_when_ended_at_once(const std::string& path, dev_t dev, ino_t ino) {
    for (int i = 0; i < static_cast<int>(std::size(g_removals)); ++i) {
        Removal& r = g_removals[i];
        if (r.used || path.size() >= sizeof r.path) continue;
        path.copy(r.path, path.size());
        r.path[path.size()] = '\0';
        r.dev = dev;
        r.ino = ino;
        r.used = 1;
        return i;
    }
    return -1;
}

void forget_removal(int slot) {
    if (slot >= 0 && slot < static_cast<int>(std::size(g_removals))) g_removals[slot].used = 0;
}

}  // namespace vop::stop_signals
