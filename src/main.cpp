// Program entry: logging, the X connection, the take-over of the root window, the loop.
#include "core/window_manager.hpp"
#include "events/session.hpp"
#include "logging.hpp"
#include "util/process.hpp"
#include "util/stop_signals.hpp"
#include "x11/connection.hpp"

#include <cstdio>

namespace {
constexpr const char* kTarget = "vop";

int fatal(const vop::Error& e) {
    vop::log::error(kTarget, "Fatal error: {}", e);
    return 1;
}
}  // namespace

int main() {
    // A write to a vanished peer must fail, not end the window manager; children get the default back.
    vop::process::catch_sigpipe();

    if (auto failure = vop::log::init()) {
        std::fprintf(stderr, "%s\n", failure->c_str());
        return 101;
    }
    vop::log::info(kTarget, "vop 0.1.0 starting");
    vop::log::info(kTarget, "Logging to {}", vop::log::kLogPath);

    auto conn = vop::Connection::create();
    if (!conn) return fatal(conn.error());
    std::unique_ptr<vop::Connection> c = std::move(conn).value();
    if (auto r = c->become_wm(); !r) {
        c.reset();
        return fatal(r.error());
    }
    // A session manager ends vop with SIGTERM, a terminal with SIGINT or SIGHUP: from here on, where there
    // is something to clean up, the loop then stops as on "exit" and the shutdown runs to its end.
    if (auto failure = vop::stop_signals::install(vop::session::kShutdownLimit)) {
        vop::log::warn(kTarget, "Cannot catch stop signals, they will end vop at once: {}", *failure);
    }
    auto built = vop::WindowManager::create(std::move(c));
    if (!built) return fatal(built.error());
    std::unique_ptr<vop::WindowManager> wm = std::move(built).value();
    if (auto r = wm->run(); !r) {
        wm.reset();  // removes the sockets before the fatal record
        return fatal(r.error());
    }
    wm.reset();
    return 0;
}
