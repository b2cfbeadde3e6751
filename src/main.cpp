// Program entry: logging, the X connection, the take-over of the root window, the loop.
#include "logging.hpp"
#include "x11/connection.hpp"

#include <xcb/xcb.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {
constexpr const char* kTarget = "vop";

// Drains X events and waits 10 ms, until the connection breaks.
vop::XResult<void> run_loop(vop::Connection& c) {
    for (;;) {
        while (xcb_generic_event_t* ev = xcb_poll_for_event(c.conn)) {
            if (ev->response_type == 0) {
                auto* e = reinterpret_cast<xcb_generic_error_t*>(ev);
                vop::log::debug("vop::x11::events", "X error: {}",
                                vop::describe_x_error(e->error_code, e->major_code, e->minor_code, e->resource_id,
                                                      e->sequence));
            }
            std::free(ev);
        }
        VOP_TRY(c.check());
        timespec ts{0, 10'000'000};
        nanosleep(&ts, nullptr);
    }
}

int fatal(const vop::Error& e) {
    vop::log::error(kTarget, "Fatal error: {}", e);
    return 1;
}
}  // namespace

int main() {
    // A write to a vanished peer must fail, not end the window manager; children get the default back.
    std::signal(SIGPIPE, SIG_IGN);

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
    if (auto r = run_loop(*c); !r) {
        c.reset();
        return fatal(r.error());
    }
    return 0;
}
