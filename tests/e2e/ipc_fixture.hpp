// IPC end-to-end tests: raw clients of vop's JSON and i3 sockets, and a fixture that runs vop with its sockets.
#pragma once

#include "ipc/i3_compat.hpp"
#include "wm_fixture.hpp"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace vop::test {

// A stream-socket peer: blocking connect, then non-blocking reads and writes with deadlines.
class SocketClient {
public:
    explicit SocketClient(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path.copy(a.sun_path, sizeof(a.sun_path) - 1);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    }
    ~SocketClient() { close(); }
    SocketClient(const SocketClient&) = delete;
    SocketClient& operator=(const SocketClient&) = delete;

    bool connected() const { return connected_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    void shutdown_write() { ::shutdown(fd_, SHUT_WR); }

    // Writes everything (waiting while the socket is full); false when the peer refused it.
    bool send(std::string_view bytes, Millis timeout = 5000ms) {
        auto until = std::chrono::steady_clock::now() + timeout;
        while (!bytes.empty()) {
            ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n > 0) {
                bytes.remove_prefix(static_cast<size_t>(n));
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                if (std::chrono::steady_clock::now() > until) return false;
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, 20);
            } else {
                return false;
            }
        }
        return true;
    }

    // Reads until `done(received)` holds, the peer closes or the timeout passes; returns `done(received)`.
    bool read_until(const std::function<bool(const std::string&)>& done, Millis timeout = 5000ms) {
        auto until = std::chrono::steady_clock::now() + timeout;
        while (!done(received)) {
            if (std::chrono::steady_clock::now() > until || eof) return false;
            pollfd p{fd_, POLLIN, 0};
            ::poll(&p, 1, 20);
            char buf[65536];
            ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) received.append(buf, static_cast<size_t>(n));
            else if (n == 0 || (errno != EAGAIN && errno != EINTR)) eof = true;
        }
        return true;
    }
    // Takes what the peer has sent so far, without waiting.
    void drain() {
        char buf[65536];
        ssize_t n;
        while ((n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT)) > 0) received.append(buf, static_cast<size_t>(n));
    }
    // Whether the server closed the connection within the timeout.
    bool closed_by_peer(Millis timeout = 5000ms) {
        read_until([](const std::string&) { return false; }, timeout);
        return eof;
    }
    // The next line without its line feed.
    std::optional<std::string> line(Millis timeout = 5000ms) {
        if (!read_until([](const std::string& s) { return s.find('\n') != std::string::npos; }, timeout)) {
            return std::nullopt;
        }
        auto nl = received.find('\n');
        std::string l = received.substr(0, nl);
        received.erase(0, nl + 1);
        return l;
    }
    // The next whole i3 frame.
    std::optional<I3Message> frame(Millis timeout = 5000ms) {
        using K = i3_compat::Decoded::Kind;
        if (!read_until([](const std::string& s) { return i3_compat::decode(s).kind == K::Message; }, timeout)) {
            return std::nullopt;
        }
        auto d = i3_compat::decode(received);
        received.erase(0, d.consumed);
        return d.message;
    }
    // One JSON request line and its reply line.
    std::optional<std::string> request(const std::string& json_line) {
        if (!send(json_line + "\n")) return std::nullopt;
        return line();
    }
    std::optional<I3Message> i3(uint32_t type, std::string_view payload = "") {
        if (!send(i3_compat::encode(type, payload))) return std::nullopt;
        return frame();
    }

    std::string received;
    bool eof = false;

private:
    int fd_ = -1;
    bool connected_ = false;
};

inline size_t open_fds(pid_t pid) {
    size_t n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        ++n;
    }
    return n;
}

class IpcTest : public WmTest {
protected:
    void start(const std::string& init_lua = kPlainConfig) {
        WmTest::start(init_lua);
        // The pause of the compositor restart looks idle too: an answer shows the loop itself is running.
        ASSERT_TRUE(becomes([&] {
            SocketClient c(json_path());
            return c.connected() && c.request(R"({"command":"get_tree"})").has_value();
        })) << vop_->describe();
        ASSERT_TRUE(vop_->wait_idle());
    }
    // Whether vop printed a record containing `text` on its terminal output: unlike /tmp/vop.log, which
    // every vop started meanwhile truncates, that output is this process's alone.
    bool printed(const std::string& text, Millis timeout = 5000ms) {
        return wait_until([&] { return strip_ansi(vop_->out()).find(text) != std::string::npos; }, timeout);
    }
    // Waits for _NET_CURRENT_DESKTOP to read `want`: vop's X requests and ours travel on separate
    // connections, so a reply on a socket may arrive before the server has applied them.
    ::testing::AssertionResult desktop_is(uint32_t want) {
        if (becomes([&] { return current_desktop() == want; })) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "desktop " << current_desktop() << ", want " << want;
    }
    std::string json_path() const { return vop_->runtime_dir() + "/vop.sock"; }
    std::string i3_path() const { return vop_->runtime_dir() + "/vop-i3.sock"; }
    // One request on a fresh connection; the reply line ("" when none came).
    std::string ask(const std::string& json_line) {
        SocketClient c(json_path());
        return c.request(json_line).value_or("");
    }
    nlohmann::json data_of(const std::string& json_line) {
        auto j = nlohmann::json::parse(ask(json_line), nullptr, false);
        return j.is_object() && j.contains("data") ? j["data"] : nlohmann::json("no data");
    }
    CommandResult i3msg(std::vector<std::string> args) {
        args.insert(args.begin(), {"i3-msg", "-s", i3_path()});
        return run_command("", args);
    }
};

}  // namespace vop::test
