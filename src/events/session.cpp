// systemctl for the graphical session, and starting, signalling and stopping vopbar.
#include "events/session.hpp"

#include "logging.hpp"
#include "util/helper.hpp"
#include "util/process.hpp"
#include "util/stop_signals.hpp"
#include "util/unicode.hpp"

#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <string>

namespace vop::session {
namespace {
constexpr const char* kTarget = "vop::x11::events";

bool exists(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
}

const process::Options kCaptured{.in = process::Stdio::Null, .out = process::Stdio::Capture,
                                 .err = process::Stdio::Capture, .env = {}};

void sleep_ms(long ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1'000'000};
    nanosleep(&ts, nullptr);
}

}  // namespace

void start_graphical_session() {
    using helper::OnStop;
    const char* display = std::getenv("DISPLAY");
    if (!display) {
        log::warn(kTarget, "DISPLAY not set, skipping systemd import");
    } else {
        auto r = helper::run(kTarget, "systemctl", {"--user", "import-environment", "DISPLAY", "XAUTHORITY"},
                             kCaptured, OnStop::Kill);
        if (r.failed()) {
            log::error(kTarget, "Failed to run systemctl import-environment: {}", r.error);
        } else if (r.succeeded()) {
            log::info(kTarget, "Imported DISPLAY={} to systemd user session", display);
        } else if (r.finished()) {
            log::error(kTarget, "Failed to import DISPLAY: {}", unicode::lossy(r.output.err));
        }
    }
    auto r = helper::run(kTarget, "systemctl", {"--user", "start", "graphical-session.target"}, kCaptured,
                         OnStop::Kill);
    if (r.failed()) {
        log::error(kTarget, "Failed to run systemctl start graphical-session.target: {}", r.error);
    } else if (r.succeeded()) {
        log::info(kTarget, "Started graphical-session.target");
    } else if (r.finished()) {
        log::error(kTarget, "Failed to start graphical-session.target: {}", unicode::lossy(r.output.err));
    }
}

void kill_picom() {
    log::info(kTarget, "Killing picom...");
    // Its status and a failure to start it mean nothing here; one that hangs is killed and logged.
    (void)helper::run(kTarget, "pkill", {"-x", "picom"}, {.in = process::Stdio::Null}, helper::OnStop::Finish);
}

void stop_graphical_session() {
    auto r = helper::run(kTarget, "systemctl", {"--user", "stop", "graphical-session.target"},
                         {.in = process::Stdio::Null}, helper::OnStop::Finish);
    if (r.failed()) {
        log::warn(kTarget, "Failed to stop graphical-session.target: {}", r.error);
    } else if (r.succeeded()) {
        log::info(kTarget, "Stopped graphical-session.target");
    } else if (r.finished()) {
        log::debug(kTarget, "graphical-session.target was not running");
    }
}

std::optional<pid_t> spawn_vopbar(const std::optional<std::string>& i3_socket) {
    log::info(kTarget, "Spawning vopbar...");
    std::string program = "vopbar";
    auto which = helper::run(kTarget, "which", {"vopbar"}, kCaptured, helper::OnStop::Kill);
    if (!which.succeeded()) {
        const char* home = std::getenv("HOME");
        if (home && exists(std::string(home) + "/.local/bin/vopbar")) {
            program = std::string(home) + "/.local/bin/vopbar";
        } else if (exists("/usr/local/bin/vopbar")) {
            program = "/usr/local/bin/vopbar";
        }
    }
    // The path of the server that really runs: a differently set XDG_RUNTIME_DIR must not hand the bar
    // another socket.
    process::Options options;
    if (i3_socket) options.env.emplace_back("I3SOCK", *i3_socket);
    auto pid = process::spawn(program, {"daemon"}, options);
    stop_signals::stop_bar_when_ended_at_once(pid ? *pid : 0);
    if (!pid) {
        log::error(kTarget, "Failed to spawn vopbar: {}", pid.error());
        log::info(kTarget, "Hint: Ensure vopbar is installed and in PATH (for example in ~/.local/bin or "
                           "/usr/local/bin)");
        return std::nullopt;
    }
    log::info(kTarget, "vopbar started (PID {}), I3SOCK={}", *pid, i3_socket.value_or(""));
    return *pid;
}

void stop_vopbar(pid_t pid) {
    log::info(kTarget, "Stopping vopbar (PID {})...", pid);
    // It is collected below, after which its pid may be another process's.
    stop_signals::stop_bar_when_ended_at_once(0);
    process::send_signal(pid, SIGTERM);
    auto first = process::try_wait(pid);
    if (!first) {
        log::warn(kTarget, "Error checking vopbar status: {}", first.error());
        return;
    }
    if (first->exited) {
        log::info(kTarget, "vopbar exited with status: {}", process::exit_status_text(first->status));
        return;
    }
    sleep_ms(100);
    auto second = process::try_wait(pid);
    if (!second) {
        log::warn(kTarget, "Error waiting for vopbar: {}", second.error());
    } else if (second->exited) {
        log::info(kTarget, "vopbar exited with status: {}", process::exit_status_text(second->status));
    } else {
        log::warn(kTarget, "vopbar did not exit gracefully, sending SIGKILL");
        process::send_signal(pid, SIGKILL);
    }
}

void reload_vopbar(pid_t pid) {
    log::info(kTarget, "Signaling vopbar to reload (PID {})...", pid);
    process::send_signal(pid, SIGHUP);
}

}  // namespace vop::session
