// The i3-protocol socket server: clients, subscriptions, events, clean-up, and the JSON records.
#include "ipc/i3_server.hpp"

#include "ipc/protocol.hpp"
#include "logging.hpp"
#include "util/unicode.hpp"
#include "util/debug_form.hpp"

#include <nlohmann/json.hpp>

#include <sys/epoll.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace vop {

namespace {

constexpr const char* kTarget = "vop::ipc::i3_server";
using ojson = nlohmann::ordered_json;

std::string dump(const ojson& j) {
    return j.dump(-1, ' ', false, ojson::error_handler_t::replace);
}

ojson to_json(const i3_server::Rect& r) {
    ojson j;
    j["x"] = r.x;
    j["y"] = r.y;
    j["width"] = r.width;
    j["height"] = r.height;
    return j;
}

ojson to_json(const i3_server::WorkspaceInfo& w) {
    ojson j;
    j["id"] = w.id;
    j["num"] = w.num;
    j["name"] = w.name;
    j["visible"] = w.visible;
    j["focused"] = w.focused;
    j["urgent"] = w.urgent;
    j["rect"] = to_json(w.rect);
    j["output"] = w.output;
    return j;
}

ojson to_json(const i3_server::OutputInfo& o) {
    ojson j;
    j["name"] = o.name;
    j["active"] = o.active;
    j["primary"] = o.primary;
    j["current_workspace"] = o.current_workspace ? ojson(*o.current_workspace) : ojson(nullptr);
    j["rect"] = to_json(o.rect);
    return j;
}

// A duration the way log lines show one: "61.5s", "5.000001s", "250ms".
std::string duration_form(std::chrono::nanoseconds d) {
    long long ns = std::max<long long>(0, d.count());
    auto with_fraction = [](long long whole, long long frac, int digits, const char* unit) {
        std::string f = fmt::format("{:0{}}", frac, digits);
        while (!f.empty() && f.back() == '0') f.pop_back();
        return f.empty() ? fmt::format("{}{}", whole, unit) : fmt::format("{}.{}{}", whole, f, unit);
    };
    if (ns >= 1'000'000'000) return with_fraction(ns / 1'000'000'000, ns % 1'000'000'000, 9, "s");
    if (ns >= 1'000'000) return with_fraction(ns / 1'000'000, ns % 1'000'000, 6, "ms");
    if (ns >= 1'000) return with_fraction(ns / 1'000, ns % 1'000, 3, "µs");
    return fmt::format("{}ns", ns);
}

bool holds_complete_message(const ipc::ClientConn& conn) {
    return i3_compat::peek(conn.input()) != i3_compat::Decoded::Kind::Incomplete;
}

}  // namespace

namespace i3_server {

std::string build_workspaces_json(const std::vector<WorkspaceInfo>& workspaces) {
    ojson arr = ojson::array();
    for (const auto& w : workspaces) arr.push_back(to_json(w));
    return dump(arr);
}

std::string build_outputs_json(const std::vector<OutputInfo>& outputs) {
    ojson arr = ojson::array();
    for (const auto& o : outputs) arr.push_back(to_json(o));
    return dump(arr);
}

std::string build_workspace_event_json(std::string_view change, const WorkspaceInfo& current,
                                       const std::optional<WorkspaceInfo>& old) {
    WorkspaceEvent ev{std::string(change), current, old};
    ojson j;
    j["change"] = ev.change;
    j["current"] = to_json(ev.current);
    if (ev.old) j["old"] = to_json(*ev.old);
    return dump(j);
}

std::string build_version_json() {
    VersionInfo v{0, 1, 0, "vop 0.1.0 (i3-compat)", "~/.config/vop/init.lua"};
    ojson j;
    j["major"] = v.major;
    j["minor"] = v.minor;
    j["patch"] = v.patch;
    j["human_readable"] = v.human_readable;
    j["loaded_config_file_name"] = v.loaded_config_file_name;
    return dump(j);
}

std::optional<std::vector<std::string>> parse_subscribe_payload(std::string_view payload) {
    if (!unicode::is_valid_utf8(payload)) return std::nullopt;
    auto j = parse_whole_json(payload);
    if (!j.is_array()) return std::nullopt;
    std::vector<std::string> names;
    for (const auto& e : j) {
        if (!e.is_string()) return std::nullopt;
        names.push_back(e.get<std::string>());
    }
    return names;
}

}  // namespace i3_server

i3_compat::ReadOutcome I3Client::read_message(Instant now) {
    auto r = i3_compat::read_message(conn_);
    if (r.kind == i3_compat::ReadOutcome::Kind::Message) last_message_ = now;
    if (r.kind == i3_compat::ReadOutcome::Kind::Error) log::debug(kTarget, "i3 IPC client read error: {}", r.error);
    return r;
}

bool I3Client::subscribed_to(std::string_view event) const {
    return std::find(subscriptions_.begin(), subscriptions_.end(), event) != subscriptions_.end();
}

XResult<std::unique_ptr<I3IpcServer>> I3IpcServer::create(Clock clock) {
    auto ready = ipc::ReadySet::create();
    if (!ready) return ready.take_error();
    std::string path = ipc::runtime_socket_path("vop-i3.sock");
    auto listener = ipc::ListeningSocket::bind(path);
    if (!listener) return listener.take_error();
    if (auto e = ready->watch(listener->fd(), EPOLLIN, nullptr)) {
        listener->remove_file_if_ours();
        return err(Error::io(*e));
    }
    // Every child started from now on finds the socket through I3SOCK.
    setenv("I3SOCK", path.c_str(), 1);
    log::info(kTarget, "i3-compatible IPC server listening on {}", dbg::quoted(path));
    log::info(kTarget, "I3SOCK={}", path);
    return std::unique_ptr<I3IpcServer>(new I3IpcServer(std::move(listener).value(), std::move(ready).value(), std::move(clock)));
}

I3IpcServer::~I3IpcServer() {
    listener_.remove_file_if_ours();
    const char* env = std::getenv("I3SOCK");
    if (env != nullptr && listener_.path() == env) unsetenv("I3SOCK");
    log::debug(kTarget, "i3 IPC server shutdown, socket removed");
    // Replies still queued get one last chance before the connections close.
    for (auto& c : clients_) (void)c->conn_.flush();
}

void I3IpcServer::watch(I3Client& c) {
    if (auto e = ready_.watch(c.conn_.fd(), c.broken_ ? 0 : c.conn_.wanted_events(), &c)) {
        log::warn(kTarget, "Cannot wait on i3 IPC client ({}), closing the connection", *e);
        c.broken_ = true;
        (void)ready_.watch(c.conn_.fd(), 0, &c);
    }
}

void I3IpcServer::accept_connections() {
    auto accepted = listener_.accept_waiting();
    for (int fd : accepted.fds) {
        log::debug(kTarget, "New i3 IPC client connected");
        clients_.push_back(std::make_unique<I3Client>(fd, now()));
        watch(*clients_.back());
    }
    if (accepted.failure) log::warn(kTarget, "Failed to accept i3 IPC connection: {}", *accepted.failure);
    // Should the set not take it back, connections are still accepted at every tick.
    (void)ready_.watch(listener_.fd(), listener_.worth_waiting_on() ? uint32_t{EPOLLIN} : 0u, nullptr);
}

std::vector<std::pair<std::size_t, I3Message>> I3IpcServer::poll_requests() {
    for (auto [key, events] : ready_.take_ready()) {
        if (key) static_cast<I3Client*>(key)->ready_ = events;
    }
    std::vector<std::pair<std::size_t, I3Message>> out;
    Instant t = now();
    for (std::size_t i = 0; i < clients_.size(); ++i) {
        I3Client& c = *clients_[i];
        // Only a client with something new is looked at: input or room for output that came, or a
        // message already buffered. Idle clients cost nothing.
        const bool due = std::exchange(c.ready_, 0) != 0 || holds_complete_message(c.conn_);
        if (c.broken_ || !due) continue;
        if (c.conn_.queued_output() > 0) {
            if (auto e = c.conn_.flush()) {
                log::warn(kTarget, "Failed to send i3 IPC response: {}", *e);
                c.broken_ = true;
            }
        }
        std::optional<I3Message> message;
        if (!c.broken_) {
            auto r = c.read_message(t);
            if (r.kind == i3_compat::ReadOutcome::Kind::Message) message = std::move(r.message);
            else if (r.kind == i3_compat::ReadOutcome::Kind::Error) c.broken_ = true;
        }
        watch(c);
        if (message && !c.broken_) out.emplace_back(i, std::move(*message));
    }
    return out;
}

std::optional<std::string> I3IpcServer::write_to(I3Client& c, uint32_t type, std::string_view payload) {
    auto e = i3_compat::write_message(c.conn_, type, payload);
    if (e) c.broken_ = true;
    watch(c);
    return e;
}

void I3IpcServer::send_response(std::size_t client, uint32_t type, std::string_view payload) {
    if (client >= clients_.size() || clients_[client]->broken_) return;
    if (auto e = write_to(*clients_[client], type, payload)) log::warn(kTarget, "Failed to send i3 IPC response: {}", *e);
}

void I3IpcServer::subscribe(std::size_t client, std::vector<std::string> events) {
    if (client >= clients_.size() || clients_[client]->broken_) return;
    I3Client& c = *clients_[client];
    c.subscriber_ = c.subscriber_ || !events.empty();
    // Only the events vop sends can ever matter; keeping every name a client makes up would let it grow
    // vop's memory without limit.
    for (const auto& e : events) {
        if ((e == "workspace" || e == "output") && !c.subscribed_to(e)) c.subscriptions_.push_back(e);
    }
}

void I3IpcServer::cleanup_clients() {
    Instant t = now();
    std::vector<bool> drop(clients_.size(), false);
    for (std::size_t i = 0; i < clients_.size(); ++i) {
        I3Client& c = *clients_[i];
        if (c.broken_) {
            drop[i] = true;
            continue;
        }
        // Closed its end and nothing left to answer: gone, subscribed or not.
        if (c.conn_.eof() && !holds_complete_message(c.conn_) && c.conn_.queued_output() == 0) {
            drop[i] = true;
            continue;
        }
        if (c.subscriber_) continue;
        auto since = c.last_message_ ? t - *c.last_message_ : t - c.connected_at_;
        auto limit = c.last_message_ ? std::chrono::nanoseconds(kAfterMessageLimit) : std::chrono::nanoseconds(kIdleLimit);
        if (since > limit) {
            log::debug(kTarget, "Cleaning up stale i3 IPC client (no activity for {})",
                       duration_form(std::chrono::duration_cast<std::chrono::nanoseconds>(since)));
            drop[i] = true;
        }
    }
    for (std::size_t i = clients_.size(); i-- > 0;) {
        if (!drop[i]) continue;
        (void)clients_[i]->conn_.flush();
        (void)ready_.watch(clients_[i]->conn_.fd(), 0, nullptr);
        clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

void I3IpcServer::broadcast_workspace_event(std::string_view payload) {
    std::size_t subscribed = 0;
    for (const auto& c : clients_) subscribed += c->subscribed_to("workspace") ? 1 : 0;
    log::debug(kTarget, "Broadcasting workspace event to {} subscribed clients (of {} total)", subscribed,
               clients_.size());
    for (std::size_t i = 0; i < clients_.size(); ++i) {
        I3Client& c = *clients_[i];
        if (c.broken_ || !c.subscribed_to("workspace")) continue;
        if (auto e = write_to(c, i3_compat::kWorkspaceEvent, payload)) {
            log::warn(kTarget, "Failed to send workspace event to client {}: {}", i, *e);
            // Removed by the next cleanup, so positions handed out this tick stay valid.
            log::debug(kTarget, "Removing disconnected client {}", i);
        } else {
            log::debug(kTarget, "Sent workspace event to client {}", i);
        }
    }
}

void I3IpcServer::broadcast_output_event(std::string_view payload) {
    for (auto& c : clients_) {
        if (!c->broken_ && c->subscribed_to("output")) (void)write_to(*c, i3_compat::kOutputEvent, payload);
    }
}

std::vector<pollfd> I3IpcServer::poll_fds() const { return {pollfd{ready_.fd(), POLLIN, 0}}; }

bool I3IpcServer::has_buffered_input() const {
    for (const auto& c : clients_) {
        if (!c->broken_ && holds_complete_message(c->conn_)) return true;
    }
    return false;
}

}  // namespace vop
