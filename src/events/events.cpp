// The main loop: set-up, ticks (X events, IPC, child reaping, a short wait) and shutdown.
#include "core/window_manager.hpp"
#include "logging.hpp"
#include "util/process.hpp"
#include "util/stop_signals.hpp"
#include "events/session.hpp"
#include "x11/wm_requests.hpp"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <poll.h>

#include <array>
#include <cstring>
#include <cstdlib>

namespace vop {
namespace {
constexpr const char* kTarget = "vop::x11::events";
constexpr int kTickMillis = 10;

using Handler = XResult<void> (WindowManager::*)(const void*);

// X event type → handler; events without one are only traced.
constexpr std::array<Handler, 128> make_table() {
    std::array<Handler, 128> t{};
    t[XCB_MAP_REQUEST] = &WindowManager::handle_map_request;
    t[XCB_CONFIGURE_REQUEST] = &WindowManager::handle_configure_request;
    t[XCB_UNMAP_NOTIFY] = &WindowManager::handle_unmap_notify;
    t[XCB_DESTROY_NOTIFY] = &WindowManager::handle_destroy_notify;
    t[XCB_EXPOSE] = &WindowManager::handle_expose;
    t[XCB_PROPERTY_NOTIFY] = &WindowManager::handle_property_notify;
    t[XCB_CLIENT_MESSAGE] = &WindowManager::handle_client_message;
    t[XCB_KEY_PRESS] = &WindowManager::handle_key_press;
    t[XCB_BUTTON_PRESS] = &WindowManager::handle_button_press;
    t[XCB_BUTTON_RELEASE] = &WindowManager::handle_button_release;
    t[XCB_MOTION_NOTIFY] = &WindowManager::handle_motion_notify;
    t[XCB_ENTER_NOTIFY] = &WindowManager::handle_enter_notify;
    t[XCB_LEAVE_NOTIFY] = &WindowManager::handle_leave_notify;
    t[XCB_CREATE_NOTIFY] = &WindowManager::handle_create_notify;
    t[XCB_CONFIGURE_NOTIFY] = &WindowManager::handle_configure_notify;
    t[XCB_REPARENT_NOTIFY] = &WindowManager::handle_reparent_notify;
    t[XCB_CIRCULATE_NOTIFY] = &WindowManager::handle_circulate_notify;
    return t;
}
constexpr std::array<Handler, 128> kHandlers = make_table();

std::string event_form(const xcb_generic_event_t* ev) {
    if (ev->response_type == 0) {
        auto* e = reinterpret_cast<const xcb_generic_error_t*>(ev);
        return "Error(" + describe_x_error(e->error_code, e->major_code, e->minor_code, e->resource_id, e->sequence) +
               ")";
    }
    return fmt::format("Event {{ type: {}, sequence: {} }}", ev->response_type & 0x7f, ev->sequence);
}

}  // namespace

XResult<void> WindowManager::handle_event(const void* event) {
    auto* ev = static_cast<const xcb_generic_event_t*>(event);
    const uint8_t type = ev->response_type & 0x7f;
    // Errors carry their sequence number where events do.
    connection->stack.saw(ev->full_sequence);
    connection->own_unmaps.saw(ev->full_sequence);
    // The server has dealt with every request before this one: a restack it refused is redone first.
    if (auto refused = connection->refused_restacks(ev->full_sequence); !refused.empty()) {
        VOP_TRY(redo_refused(refused));
    }
    if (type != 0) {
        if (Handler h = kHandlers[type]) return (this->*h)(event);
        if (auto base = connection->randr_event_base()) {
            if (type == *base + XCB_RANDR_SCREEN_CHANGE_NOTIFY) return handle_screen_change(event);
            if (type == *base + XCB_RANDR_NOTIFY) return handle_randr_notify(event);
        }
    }
    log::trace(kTarget, "Unhandled event: {}", event_form(ev));
    return {};
}

XResult<void> WindowManager::run() {
    log::info(kTarget, "Starting event loop");
    VOP_TRY(setup_grabs());
    VOP_TRY(setup_ewmh_hints());
    VOP_TRY(adopt_existing_windows());
    session::start_graphical_session();
    if (config.bar_enabled) bar_process = session::spawn_vopbar(i3_socket_path());

    while (running) {
        // 1. Every pending X event.
        for (;;) {
            auto* ev = static_cast<xcb_generic_event_t*>(peeked_event_);
            peeked_event_ = nullptr;
            if (!ev) ev = xcb_poll_for_event(connection->conn);
            if (!ev) break;
            auto r = handle_event(ev);
            std::free(ev);
            if (!r) return r;
            publish_workspace_changes();
        }
        // Whatever a handler queued last (a pointer warp, say) must not wait for the next event.
        VOP_TRY(connection->flush());
        VOP_TRY(connection->check());
        // 2 and 3. Both IPC servers.
        serve_ipc();
        // 4. Exited children, whoever started them.
        process::reap_children([this](pid_t pid, int status) {
            if (bar_process && pid == *bar_process) {
                log::info(kTarget, "vopbar exited with status: {}", process::exit_status_text(status));
                bar_process.reset();
                stop_signals::stop_bar_when_ended_at_once(0);
                bar_exit_status = status;
            }
        });
        // 5. Wait until input arrives, 10 ms at the most.
        if (running) wait_for_input();
        // A stop signal ends the loop as "exit" does, once the tick it came in is done.
        if (int sig = stop_signals::received(); sig != 0 && running) {
            log::info(kTarget, "Received SIG{}, will exit event loop", sigabbrev_np(sig));
            running = false;
        }
    }
    shutdown();
    return {};
}

void WindowManager::wait_for_input() {
    // xcb may already hold events it read while waiting for a reply: then there is no wait.
    if ((peeked_event_ = xcb_poll_for_queued_event(connection->conn))) return;
    std::vector<pollfd> fds;
    fds.push_back({xcb_get_file_descriptor(connection->conn), POLLIN, 0});
    if (int fd = stop_signals::wake_fd(); fd >= 0) fds.push_back({fd, POLLIN, 0});
    if (ipc_wants_tick(fds)) return;
    ::poll(fds.data(), fds.size(), kTickMillis);
}

void WindowManager::shutdown() {
    // A stop signal from now on is only noted while the steps below are within their time limits.
    stop_signals::shutdown_begins();
    log::info(kTarget, "Unmapping {} managed windows", windows.size());
    for (const auto& [w, rec] : windows) {
        log::debug(kTarget, "Unmapping window {}", w);
        (void)connection->unmap_window(w);
    }
    (void)x11::sync(*connection);
    log::info(kTarget, "Windows unmapped and synced");
    if (bar_process) {
        session::stop_vopbar(*bar_process);
        bar_process.reset();
    }
    for (const auto step : session::kShutdownHelpers) step();
    log::info(kTarget, "Event loop exited");
}

}  // namespace vop
