// The IPC part of a tick: requests from both sockets dispatched to the commands, events broadcast.
#include "core/window_manager.hpp"
#include "ipc/i3_server.hpp"
#include "ipc/server.hpp"
#include "logging.hpp"
#include "events/ipc_commands.hpp"
#include "events/views.hpp"

#include <poll.h>

namespace vop {
namespace {
constexpr const char* kTarget = "vop::x11::events";
}  // namespace

void WindowManager::serve_ipc() {
    if (ipc_server) {
        ipc_server->accept_connections();
        // All of this tick's requests are read first; each is answered before the next one runs.
        for (auto& [client, request] : ipc_server->poll_requests()) {
            Response response = dispatch_json_command(*this, request);
            publish_workspace_changes();
            ipc_server->send_response(client, response);
        }
    }
    if (i3_ipc_server) {
        i3_ipc_server->accept_connections();
        for (auto& [client, message] : i3_ipc_server->poll_requests()) {
            dispatch_i3_message(*this, client, message);
        }
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

void WindowManager::broadcast_i3_workspace_event(std::string_view change, size_t current, std::optional<size_t> old) {
    const auto list = views::i3_workspaces(views::state_of(*this));
    auto find = [&](size_t index) -> const i3_server::WorkspaceInfo* {
        for (const auto& w : list) {
            if (static_cast<size_t>(w.num) == index + 1) return &w;
        }
        return nullptr;
    };
    const auto* cur = find(current);
    if (!cur) {
        log::warn(kTarget, "Could not find workspace {} in i3 workspace list for broadcast", current + 1);
        return;
    }
    // An old workspace that is empty and no longer shown is not listed: the event then has no "old".
    std::optional<i3_server::WorkspaceInfo> prev;
    if (old) {
        if (const auto* p = find(*old)) prev = *p;
    }
    const std::string payload = i3_server::build_workspace_event_json(change, *cur, prev);
    log::debug(kTarget, "Broadcasting i3 workspace event: change={}, workspace={}", change, current + 1);
    if (i3_ipc_server) i3_ipc_server->broadcast_workspace_event(payload);
}

void WindowManager::publish_workspace_changes() {
    // Taken first: a broadcast never queues another change, but the list must not be read while it grows.
    auto changes = std::move(workspace_changes);
    workspace_changes.clear();
    for (const auto& [current, old] : changes) broadcast_i3_workspace_event("focus", current, old);
}

void WindowManager::broadcast_i3_output_event() {
    if (i3_ipc_server) i3_ipc_server->broadcast_output_event(R"({"change":"unspecified"})");
}

std::optional<std::string> WindowManager::i3_socket_path() const {
    if (!i3_ipc_server) return std::nullopt;
    return i3_ipc_server->socket_path();
}

}  // namespace vop
