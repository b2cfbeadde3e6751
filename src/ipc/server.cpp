// The JSON socket server: accepting clients, reading request lines, queueing response lines.
#include "ipc/server.hpp"

#include "logging.hpp"
#include "util/unicode.hpp"
#include "util/debug_form.hpp"

#include <sys/epoll.h>

#include <utility>


namespace vop {

namespace {
constexpr const char* kTarget = "vop::ipc::server";
}

XResult<std::unique_ptr<IpcServer>> IpcServer::create() {
    auto ready = ipc::ReadySet::create();
    if (!ready) return ready.take_error();
    std::string path = ipc::runtime_socket_path("vop.sock");
    auto listener = ipc::ListeningSocket::bind(path);
    if (!listener) return listener.take_error();
    if (auto e = ready->watch(listener->fd(), EPOLLIN, nullptr)) {
        listener->remove_file_if_ours();
        return err(Error::io(*e));
    }
    log::info(kTarget, "IPC server listening on {}", dbg::quoted(path));
    return std::unique_ptr<IpcServer>(new IpcServer(std::move(listener).value(), std::move(ready).value()));
}

IpcServer::~IpcServer() {
    listener_.remove_file_if_ours();
    log::debug(kTarget, "IPC server shutdown, socket removed");
    // The last replies (the answer to "exit" among them) get one more chance before the connections close.
    for (auto& c : clients_) (void)c->conn.flush();
}

void IpcServer::watch(Client& c) {
    if (auto e = ready_.watch(c.conn.fd(), c.gone ? 0 : c.conn.wanted_events(), &c)) {
        log::warn(kTarget, "Cannot wait on IPC client ({}), closing the connection", *e);
        c.gone = true;
        (void)ready_.watch(c.conn.fd(), 0, &c);
    }
}

void IpcServer::accept_connections() {
    auto accepted = listener_.accept_waiting();
    for (int fd : accepted.fds) {
        log::debug(kTarget, "New IPC client connected");
        clients_.push_back(std::make_unique<Client>(fd));
        watch(*clients_.back());
    }
    if (accepted.failure) log::warn(kTarget, "Failed to accept connection: {}", *accepted.failure);
    // Should the set not take it back, connections are still accepted at every tick.
    (void)ready_.watch(listener_.fd(), listener_.worth_waiting_on() ? uint32_t{EPOLLIN} : 0u, nullptr);
}

std::optional<std::string> IpcServer::next_line(Client& c) {
    std::string& in = c.conn.input();
    for (;;) {
        auto nl = in.find('\n', c.scanned);
        if (nl != std::string::npos && nl <= kMaxLineLength) {
            std::string line = in.substr(0, nl + 1);
            in.erase(0, nl + 1);
            c.scanned = 0;
            return line;
        }
        if (nl != std::string::npos || in.size() > kMaxLineLength) {
            log::warn(kTarget, "IPC client sent a line longer than {} bytes, closing the connection", kMaxLineLength);
            c.gone = true;
            return std::nullopt;
        }
        c.scanned = in.size();
        if (c.conn.eof()) {
            // A last line without its line feed still counts.
            if (!in.empty()) {
                std::string line = std::move(in);
                in.clear();
                c.scanned = 0;
                return line;
            }
            // Nothing more will come; the client leaves once its replies are out.
            if (c.conn.queued_output() == 0) c.gone = true;
            return std::nullopt;
        }
        int e = 0;
        switch (c.conn.read_some(e)) {
            case ipc::ClientConn::Fill::Progress:
            case ipc::ClientConn::Fill::Eof: continue;
            case ipc::ClientConn::Fill::WouldBlock: return std::nullopt;
            case ipc::ClientConn::Fill::Error:
                log::debug(kTarget, "IPC client read error: {}", dbg::os_error(e));
                c.gone = true;
                return std::nullopt;
        }
    }
}

std::optional<Request> IpcServer::serve(Client& c) {
    if (c.conn.queued_output() > 0) {
        if (auto e = c.conn.flush()) {
            log::warn(kTarget, "Failed to send response: {}", *e);
            c.gone = true;
            return std::nullopt;
        }
    }
    auto line = next_line(c);
    if (!line) return std::nullopt;
    if (!unicode::is_valid_utf8(*line)) {
        c.gone = true;
        return std::nullopt;
    }
    // A line that is not a request gets no reply; the client may send the next one.
    if (!json_depth_within(*line)) {
        log::warn(kTarget, "IPC client sent JSON nested deeper than {} levels, the line is dropped", kMaxJsonDepth);
        return std::nullopt;
    }
    return Request::parse(*line);
}

std::vector<std::pair<std::size_t, Request>> IpcServer::poll_requests() {
    for (auto [key, events] : ready_.take_ready()) {
        if (key) static_cast<Client*>(key)->ready = events;
    }
    std::vector<std::pair<const Client*, Request>> got;
    for (auto& cp : clients_) {
        Client& c = *cp;
        // Only a client with something new is looked at: input or room for replies that came, bytes not
        // searched yet, or the end of its input. Idle and parked clients cost nothing.
        const bool due = std::exchange(c.ready, 0) != 0 || c.scanned < c.conn.input().size() || c.conn.eof();
        if (c.gone || !due) continue;
        auto req = serve(c);
        watch(c);
        if (req && !c.gone) got.emplace_back(&c, std::move(*req));
    }

    for (std::size_t i = clients_.size(); i-- > 0;) {
        if (!clients_[i]->gone) continue;
        log::debug(kTarget, "IPC client disconnected");
        (void)ready_.watch(clients_[i]->conn.fd(), 0, nullptr);
        clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(i));
    }

    std::vector<std::pair<std::size_t, Request>> out;
    out.reserve(got.size());
    std::size_t pos = 0;
    for (auto& [client, req] : got) {
        while (clients_[pos].get() != client) ++pos;
        out.emplace_back(pos, std::move(req));
    }
    return out;
}

void IpcServer::send_response(std::size_t client, Response response) {
    if (client >= clients_.size() || clients_[client]->gone) return;
    std::string line = response.to_json();
    line += '\n';
    Client& c = *clients_[client];
    if (auto e = c.conn.send(line)) {
        log::warn(kTarget, "Failed to send response: {}", *e);
        c.gone = true;
    }
    watch(c);
}

std::vector<pollfd> IpcServer::poll_fds() const { return {pollfd{ready_.fd(), POLLIN, 0}}; }

bool IpcServer::has_buffered_input() const {
    for (const auto& c : clients_) {
        if (c->gone || c->scanned < c->conn.input().size()) return true;
        // After end of file: a client ready to be removed.
        if (c->conn.eof() && c->conn.queued_output() == 0) return true;
    }
    return false;
}

}  // namespace vop
