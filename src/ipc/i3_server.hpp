// I3IpcServer: the i3-protocol socket with its subscriptions and events, and the records it sends.
#pragma once

#include "ipc/i3_compat.hpp"
#include "ipc/socket_util.hpp"
#include "x11/error.hpp"

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vop {

namespace i3_server {

// The protocol's own rectangle (32-bit fields), distinct from the layout Rect.
struct Rect {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
};

struct WorkspaceInfo {
    int64_t id = 0;
    int32_t num = 0;
    std::string name;
    bool visible = false;
    bool focused = false;
    bool urgent = false;
    Rect rect;
    std::string output;
};

struct OutputInfo {
    std::string name;
    bool active = false;
    bool primary = false;
    std::optional<std::string> current_workspace;  // written as null when absent
    Rect rect;
};

struct VersionInfo {
    int32_t major = 0;
    int32_t minor = 0;
    int32_t patch = 0;
    std::string human_readable;
    std::string loaded_config_file_name;
};

struct WorkspaceEvent {
    std::string change;
    WorkspaceInfo current;
    std::optional<WorkspaceInfo> old;  // key left out when absent
};

// Compact JSON payloads, keys in the records' order; invalid UTF-8 in texts is replaced.
std::string build_workspaces_json(const std::vector<WorkspaceInfo>& workspaces);
std::string build_outputs_json(const std::vector<OutputInfo>& outputs);
std::string build_workspace_event_json(std::string_view change, const WorkspaceInfo& current,
                                       const std::optional<WorkspaceInfo>& old);
std::string build_version_json();

// The event names of a SUBSCRIBE payload: a JSON array of strings, else nothing.
std::optional<std::vector<std::string>> parse_subscribe_payload(std::string_view payload);

}  // namespace i3_server

// One connected peer of the i3 socket.
class I3Client {
public:
    using Instant = std::chrono::steady_clock::time_point;

    I3Client(int fd, Instant now) : conn_(fd), connected_at_(now) {}

    // One framed read; stamps the time of a message and logs a failed read.
    i3_compat::ReadOutcome read_message(Instant now);

    ipc::ClientConn& conn() { return conn_; }
    const ipc::ClientConn& conn() const { return conn_; }
    const std::vector<std::string>& subscriptions() const { return subscriptions_; }
    bool subscribed_to(std::string_view event) const;

private:
    friend class I3IpcServer;
    ipc::ClientConn conn_;
    std::vector<std::string> subscriptions_;  // of the events vop sends, in the order first asked for
    bool subscriber_ = false;                 // asked for any event at all, sent or not: never stale
    Instant connected_at_;
    std::optional<Instant> last_message_;
    uint32_t ready_ = 0;   // what its socket was ready for at this tick's look
    bool broken_ = false;  // a read or write failed: removed by the next cleanup
};

class I3IpcServer {
public:
    using Instant = I3Client::Instant;
    using Clock = std::function<Instant()>;

    static constexpr std::chrono::seconds kIdleLimit{60};         // never sent a message
    static constexpr std::chrono::seconds kAfterMessageLimit{5};  // since its last message

    // Binds "vop-i3.sock" in XDG_RUNTIME_DIR (else /tmp) and sets I3SOCK to its path. Fails, leaving
    // any live server's socket alone, when another server answers at that path. `clock` replaces the
    // monotonic clock (tests).
    static XResult<std::unique_ptr<I3IpcServer>> create(Clock clock = {});
    // Removes the socket file if it is still ours, and I3SOCK.
    ~I3IpcServer();
    I3IpcServer(const I3IpcServer&) = delete;
    I3IpcServer& operator=(const I3IpcServer&) = delete;

    void accept_connections();
    // Sends what earlier writes left queued and takes at most one complete message per client.
    // Removes nothing: positions stay valid until cleanup_clients, even across broadcasts.
    std::vector<std::pair<std::size_t, I3Message>> poll_requests();
    // Queues one message for that client; an unknown or broken client is ignored.
    void send_response(std::size_t client, uint32_t type, std::string_view payload);
    // Records the events vop sends ("workspace", "output") among `events`, each once; naming any event at
    // all makes the client a subscriber, which is never stale.
    void subscribe(std::size_t client, std::vector<std::string> events);
    // Removes clients that failed, closed their end, or went stale (subscribers are never stale).
    void cleanup_clients();
    void broadcast_workspace_event(std::string_view payload);
    void broadcast_output_event(std::string_view payload);

    // The descriptor for the main loop's poll(), readable when the listening socket (not after a failed
    // accept) or a client has something: input, or room for replies and events that wait to be sent.
    std::vector<pollfd> poll_fds() const;
    // A client already holds a complete message, so the next tick has work without any new input.
    bool has_buffered_input() const;

    const std::string& socket_path() const { return listener_.path(); }
    std::size_t client_count() const { return clients_.size(); }
    const I3Client& client(std::size_t i) const { return *clients_[i]; }

private:
    I3IpcServer(ipc::ListeningSocket listener, ipc::ReadySet ready, Clock clock)
        : listener_(std::move(listener)), ready_(std::move(ready)), clock_(std::move(clock)) {}
    Instant now() const { return clock_ ? clock_() : std::chrono::steady_clock::now(); }
    // Queues a message; on failure marks the client broken and returns the error text.
    std::optional<std::string> write_to(I3Client& c, uint32_t type, std::string_view payload);
    // Brings what the ready set waits for on this client in line with its state. A client the set cannot
    // take would never be served: it is marked broken, with a WARN.
    void watch(I3Client& c);

    ipc::ListeningSocket listener_;
    ipc::ReadySet ready_;
    std::vector<std::unique_ptr<I3Client>> clients_;
    Clock clock_;
};

}  // namespace vop
