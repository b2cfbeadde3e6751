// Helpers for the IPC tests: a private XDG_RUNTIME_DIR, a raw socket client, log capture.
#pragma once

#include "logging.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace ipc_test {

// Points XDG_RUNTIME_DIR at a fresh directory and restores the environment afterwards.
class RuntimeDir {
public:
    RuntimeDir() {
        char tmpl[] = "/tmp/vop-ipc-test-XXXXXX";
        dir_ = mkdtemp(tmpl);
        save("XDG_RUNTIME_DIR");
        save("I3SOCK");
        setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    }
    ~RuntimeDir() {
        for (auto& [name, value] : saved_) {
            if (value) setenv(name.c_str(), value->c_str(), 1);
            else unsetenv(name.c_str());
        }
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    const std::string& dir() const { return dir_; }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

private:
    void save(const char* name) {
        const char* v = std::getenv(name);
        saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
    }
    std::string dir_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// A blocking-connect, non-blocking-read unix socket peer.
class Peer {
public:
    explicit Peer(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path.copy(a.sun_path, sizeof(a.sun_path) - 1);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    }
    ~Peer() { close(); }
    Peer(const Peer&) = delete;

    bool connected() const { return connected_; }
    int fd() const { return fd_; }
    void send(const std::string& bytes) {
        std::size_t off = 0;
        while (off < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n > 0) off += static_cast<std::size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR) return;
            else {
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, 100);
            }
        }
    }
    void shutdown_write() { ::shutdown(fd_, SHUT_WR); }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    // Appends whatever has arrived; false once the server closed the connection.
    bool drain() {
        char buf[65536];
        for (;;) {
            ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) received.append(buf, static_cast<std::size_t>(n));
            else if (n == 0) return false;
            else return errno == EAGAIN || errno == EINTR;
        }
    }
    std::string received;

private:
    int fd_ = -1;
    bool connected_ = false;
};

// Runs `tick` until `done` holds or about two seconds have passed; returns `done()`.
inline bool tick_until(const std::function<void()>& tick, const std::function<bool()>& done, int max_ms = 2000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(max_ms);
    while (std::chrono::steady_clock::now() < until) {
        tick();
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

struct Record {
    vop::log::Level level;
    std::string target;
    std::string msg;
};

// Collects every log record while alive.
class LogCapture {
public:
    LogCapture() {
        vop::log::set_test_sink([this](vop::log::Level l, std::string_view t, std::string_view m) {
            records.push_back({l, std::string(t), std::string(m)});
        });
    }
    ~LogCapture() { vop::log::set_test_sink({}); }
    bool has(vop::log::Level l, const std::string& text) const {
        for (const auto& r : records)
            if (r.level == l && r.msg.find(text) != std::string::npos) return true;
        return false;
    }
    std::vector<Record> records;
};

// How many of the next additions to an epoll set fail with ENOSPC, as past the user's limit of watches
// (epoll_ctl is replaced in this test binary, see test_ipc_server.cpp).
extern int failing_epoll_adds;

inline int open_fd_count() {
    int n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

}  // namespace ipc_test
