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

    // The descriptor for the main loop's poll(), readable when the listening socket (not after a failed
    // accept) or a client has something: input, or room for replies that wait to be sent.
    std::vector<pollfd> poll_fds() const;
    // A client holds input not looked at yet (it may hold a complete line), so the next tick may have work
    // without any new input.
    bool has_buffered_input() const;

    const std::string& socket_path() const { return listener_.path(); }
    std::size_t client_count() const { return clients_.size(); }

private:
    struct Client {
        explicit Client(int fd) : conn(fd) {}
        ipc::ClientConn conn;
        std::size_t scanned = 0;  // input bytes already searched for a line feed
        uint32_t ready = 0;       // what its socket was ready for at this tick's look
        bool gone = false;        // to be removed by the next poll_requests
    };

    IpcServer(ipc::ListeningSocket listener, ipc::ReadySet ready)
        : listener_(std::move(listener)), ready_(std::move(ready)) {}
    // The next complete line of a client, reading what has arrived; marks the client gone when it ended.
    std::optional<std::string> next_line(Client& c);
    // Takes this tick's request of a client that has something new, if it has one.
    std::optional<Request> serve(Client& c);
    // Brings what the ready set waits for on this client in line with its state. A client the set cannot
    // take would never be served: it is marked gone, with a WARN.
    void watch(Client& c);

    ipc::ListeningSocket listener_;
    ipc::ReadySet ready_;
    std::vector<std::unique_ptr<Client>> clients_;
};

}  // namespace vop
