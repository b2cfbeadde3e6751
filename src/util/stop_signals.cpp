// Stop signals: an async-signal-safe handler that notes the signal and writes one byte to a self-pipe, or
// ends vop at once when the stop asked for before has run past its time limit.
#include "util/stop_signals.hpp"

#include "util/debug_form.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>

namespace vop::stop_signals {

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

volatile std::sig_atomic_t g_received = 0;
// Monotonic milliseconds at which a stop was first asked for, -1 while none was.
std::atomic<long long> g_asked_at{-1};
static_assert(std::atomic<long long>::is_always_lock_free, "the handler reads it");
// Set before the handlers are installed, read-only afterwards.
long long g_patience_ms = 0;
int g_pipe[2] = {-1, -1};

static_assert(sizeof(pid_t) <= sizeof(std::sig_atomic_t));
volatile std::sig_atomic_t g_bar = 0;
volatile std::sig_atomic_t g_group = 0;

// Files to remove when a signal ends vop at once. A slot is filled while it is unused and then marked used;
// the fences keep the compiler from moving those stores across the mark, as the handler reads them only
// after it has seen the mark.
struct Removal {
    volatile std::sig_atomic_t used = 0;
    char path[256] = {};
    dev_t dev = 0;
    ino_t ino = 0;
};
Removal g_removals[4];

long long monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

// Only async-signal-safe calls: lstat, unlink, kill, sigaction, sigprocmask, raise, _exit.
[[noreturn]] void end_now(int sig) {
    for (auto& r : g_removals) {
        if (!r.used) continue;
        std::atomic_signal_fence(std::memory_order_acquire);
        struct stat st {};
        if (::lstat(r.path, &st) == 0 && st.st_dev == r.dev && st.st_ino == r.ino) ::unlink(r.path);
    }
    if (const pid_t bar = g_bar; bar > 0) ::kill(bar, SIGTERM);
    if (const pid_t group = g_group; group > 0) ::kill(-group, SIGKILL);
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

// The stop signals are blocked while it runs, so it never interrupts itself.
extern "C" void on_stop_signal(int sig) {
    const int saved = errno;
    const long long now = monotonic_ms();
    long long asked = -1;
    if (!g_asked_at.compare_exchange_strong(asked, now) && now - asked > g_patience_ms) end_now(sig);
    if (g_received == 0) g_received = sig;
    // Non-blocking: once the pipe is full the loop has been woken anyway.
    [[maybe_unused]] ssize_t n = ::write(g_pipe[1], "!", 1);
    errno = saved;
}

}  // namespace

std::optional<std::string> install(std::chrono::milliseconds patience) {
    if (g_pipe[0] >= 0) return std::nullopt;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return "pipe: " + dbg::os_error(errno);
    g_pipe[0] = fds[0];
    g_pipe[1] = fds[1];
    g_patience_ms = patience.count();
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : kStopSignals) sigaddset(&sa.sa_mask, sig);
    // Blocking calls in the middle of a tick (X replies, helpers run to completion) just go on.
    sa.sa_flags = SA_RESTART;
    for (int sig : kStopSignals) {
        if (sigaction(sig, &sa, nullptr) != 0) return "sigaction: " + dbg::os_error(errno);
    }
    return std::nullopt;
}

int received() { return g_received; }

int wake_fd() { return g_pipe[0]; }

void shutdown_begins() {
    long long none = -1;
    g_asked_at.compare_exchange_strong(none, monotonic_ms());
}

int remove_when_ended_at_once(const std::string& path, dev_t dev, ino_t ino) {
    for (int i = 0; i < static_cast<int>(std::size(g_removals)); ++i) {
        Removal& r = g_removals[i];
        if (r.used || path.size() >= sizeof r.path) continue;
        std::atomic_signal_fence(std::memory_order_acquire);
        path.copy(r.path, path.size());
        r.path[path.size()] = '\0';
        r.dev = dev;
        r.ino = ino;
        std::atomic_signal_fence(std::memory_order_release);
        r.used = 1;
        return i;
    }
    return -1;
}

void forget_removal(int slot) {
    if (slot >= 0 && slot < static_cast<int>(std::size(g_removals))) g_removals[slot].used = 0;
}

void stop_bar_when_ended_at_once(pid_t pid) { g_bar = pid; }

void kill_group_when_ended_at_once(pid_t group) { g_group = group; }

}  // namespace vop::stop_signals
