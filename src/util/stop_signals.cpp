// Stop signals: an async-signal-safe handler that sets a flag and writes one byte to a self-pipe.
#include "util/stop_signals.hpp"

#include "util/debug_form.hpp"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace vop::stop_signals {

namespace {

volatile std::sig_atomic_t g_received = 0;
int g_pipe[2] = {-1, -1};

extern "C" void on_stop_signal(int sig) {
    const int saved = errno;
    if (g_received == 0) g_received = sig;
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

}  // namespace vop::stop_signals
