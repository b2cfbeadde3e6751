// The IPC part of a tick: requests from both sockets dispatched to the commands, events broadcast.
#include "core/window_manager.hpp"
#include "ipc/i3_server.hpp"
#include "ipc/server.hpp"
#include "logging.hpp"

#include <poll.h>

namespace vop {

void WindowManager::serve_ipc() {
    if (ipc_server) {
        ipc_server->accept_connections();
        for (auto& [client, request] : ipc_server->poll_requests()) {
            ipc_server->send_response(client, Response::error("Unknown command: " + request.command));
        }
    }
    if (i3_ipc_server) {
        i3_ipc_server->accept_connections();
        i3_ipc_server->poll_requests();
        i3_ipc_server->cleanup_clients();
    }
}

bool WindowManager::ipc_wants_tick(std::vector<pollfd>& fds) const {
    if (ipc_server) {
        if (ipc_server->has_buffered_input()) return true;
        auto more = ipc_server->poll_fds();
        fds.insert(fds.end(), more.begin(), more.end());
    }
    if (i3_ipc_server) {
        if (i3_ipc_server->has_buffered_input()) return true;
        auto more = i3_ipc_server->poll_fds();
        fds.insert(fds.end(), more.begin(), more.end());
    }
    return false;
}

void WindowManager::broadcast_i3_workspace_event(std::string_view, size_t, std::optional<size_t>) {}

void WindowManager::broadcast_i3_output_event() {}

}  // namespace vop
