// IpcServer: the JSON socket, one request line in and one response line out per exchange.
#pragma once

#include "ipc/protocol.hpp"
#include "ipc/socket_util.hpp"
#include "x11/error.hpp"

#include <poll.h>

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vop {

class IpcServer {
public:
    // A line longer than this (line feed not counted) closes its client.
    static constexpr std::size_t kMaxLineLength = 1u << 20;

    // Binds "vop.sock" in XDG_RUNTIME_DIR (else /tmp). Fails, leaving any live server's socket alone,
    // when another server answers at that path.
    static XResult<std::unique_ptr<IpcServer>> create();
    ~IpcServer();
    IpcServer(const IpcServer&) = delete;
    IpcServer& operator=(const IpcServer&) = delete;

    // Accepts every waiting connection without blocking.
    void accept_connections();
    // Sends what earlier replies left queued, takes at most one complete line per client, and removes
    // clients that disconnected, broke the protocol or stopped reading. Positions index the client list
    // as it is after those removals; they stay valid until the next call.
    std::vector<std::pair<std::size_t, Request>> poll_requests();
    // Queues the response line for that client and writes what the socket takes now; the rest goes
    // out on later ticks. An unknown position is ignored.
    void send_response(std::size_t client, Response response);

    // Descriptors for the main loop's poll(): the listening socket (not after a failed accept) and every
    // client (POLLOUT while replies wait to be sent).
    std::vector<pollfd> poll_fds() const;
    // A client already holds a complete line, so the next tick has work without any new input.
    bool has_buffered_input() const;

    const std::string& socket_path() const { return listener_.path(); }
    std::size_t client_count() const { return clients_.size(); }

private:
    struct Client {
        explicit Client(int fd) : conn(fd) {}
        ipc::ClientConn conn;
        std::size_t scanned = 0;  // input bytes already searched for a line feed
        bool gone = false;        // to be removed by the next poll_requests
    };

    explicit IpcServer(ipc::ListeningSocket listener) : listener_(std::move(listener)) {}
    // The next complete line of a client, reading what has arrived; marks the client gone when it ended.
    std::optional<std::string> next_line(Client& c);

    ipc::ListeningSocket listener_;
    std::vector<std::unique_ptr<Client>> clients_;
};

}  // namespace vop
