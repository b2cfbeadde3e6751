// Unix-socket plumbing shared by both IPC servers.
#include "ipc/socket_util.hpp"

#include "util/debug_form.hpp"
#include "util/stop_signals.hpp"
#include "util/unicode.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vop::ipc {

namespace {

Error os_failure(const char* what, int errnum) {
    return Error::io(fmt::format("{}: {}", what, dbg::os_error(errnum)));
}

bool fill_address(const std::string& path, sockaddr_un& addr) {
    if (path.empty() || path.size() >= sizeof(addr.sun_path)) return false;
    addr = {};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, path.size());
    return true;
}

enum class Probe { Nothing, Live, Stale, Unknown };

// Whether a server answers at the path; only a socket that refuses connections is stale.
Probe probe(const std::string& path, const sockaddr_un& addr) {
    struct stat st{};
    if (lstat(path.c_str(), &st) != 0) return Probe::Nothing;
    if (!S_ISSOCK(st.st_mode)) return Probe::Stale;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return Probe::Unknown;
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    int e = errno;
    close(fd);
    if (rc == 0 || e == EAGAIN || e == EINPROGRESS) return Probe::Live;
    if (e == ECONNREFUSED) return Probe::Stale;
    if (e == ENOENT) return Probe::Nothing;
    return Probe::Unknown;
}

}  // namespace

std::string runtime_socket_path(std::string_view file_name) {
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    if (dir == nullptr || !unicode::is_valid_utf8(dir)) return "/tmp/" + std::string(file_name);
    std::string path = dir;
    if (!path.empty() && path.back() != '/') path += '/';
    return path + std::string(file_name);
}

XResult<ListeningSocket> ListeningSocket::bind(const std::string& path) {
    sockaddr_un addr{};
    if (!fill_address(path, addr)) {
        return err(Error::io(fmt::format("socket path {} is too long for a unix socket address ({} bytes, at most {})",
                                         dbg::quoted(path), path.size(), sizeof(addr.sun_path) - 1)));
    }
    switch (probe(path, addr)) {
        case Probe::Live:
            return err(Error::io(fmt::format("another server is already listening on {}", dbg::quoted(path))));
        case Probe::Stale: unlink(path.c_str()); break;  // a failure shows up as a bind failure
        case Probe::Nothing:
        case Probe::Unknown: break;
    }

    auto parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(parent, ec);
        if (ec) return err(os_failure("cannot create the socket directory", ec.value()));
    }

    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return err(os_failure("socket", errno));
    // The file bind creates takes its mode from the socket, so it is never open to others, even briefly.
    fchmod(fd, 0600);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        int e = errno;
        close(fd);
        return err(os_failure("bind", e));
    }
    struct stat st{};
    auto fail_after_bind = [&](const char* what, int e) {
        // The file is ours; leaving it would only look like a stale server to the next start.
        if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) unlink(path.c_str());
        close(fd);
        return err(os_failure(what, e));
    };
    if (listen(fd, SOMAXCONN) != 0) return fail_after_bind("listen", errno);
    if (chmod(path.c_str(), 0600) != 0) return fail_after_bind("chmod", errno);
    if (lstat(path.c_str(), &st) != 0) return fail_after_bind("stat", errno);
    return ListeningSocket(fd, path, st.st_dev, st.st_ino);
}

ListeningSocket::ListeningSocket(int fd, std::string path, dev_t dev, ino_t ino)
    : fd_(fd), path_(std::move(path)), dev_(dev), ino_(ino),
      removal_slot_(stop_signals::remove_when_ended_at_once(path_, dev, ino)) {}

ListeningSocket::ListeningSocket(ListeningSocket&& o) noexcept
    : fd_(std::exchange(o.fd_, -1)), path_(std::move(o.path_)), dev_(o.dev_), ino_(o.ino_),
      worth_waiting_on_(o.worth_waiting_on_), failures_(o.failures_), removal_slot_(std::exchange(o.removal_slot_, -1)) {}

ListeningSocket::~ListeningSocket() {
    stop_signals::forget_removal(removal_slot_);
    if (fd_ >= 0) close(fd_);
}

ListeningSocket::Accepted ListeningSocket::accept_waiting() {
    Accepted out;
    for (;;) {
        int c = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (c >= 0) {
            worth_waiting_on_ = true;
            out.fds.push_back(c);
            continue;
        }
        const int e = errno;
        if (e == EINTR) continue;
        worth_waiting_on_ = e == EAGAIN || e == EWOULDBLOCK;
        if (!worth_waiting_on_) {
            if (auto n = failures_.count(std::chrono::steady_clock::now())) {
                out.failure = dbg::os_error(e) + RepeatedFailure::note(n);
            }
        }
        return out;
    }
}

void ListeningSocket::remove_file_if_ours() {
    stop_signals::forget_removal(std::exchange(removal_slot_, -1));
    struct stat st{};
    if (lstat(path_.c_str(), &st) != 0) return;
    if (S_ISSOCK(st.st_mode) && st.st_dev == dev_ && st.st_ino == ino_) unlink(path_.c_str());
}

std::uint64_t RepeatedFailure::count(Instant now) {
    ++quiet_;
    if (last_record_ && now - *last_record_ < kInterval) return 0;
    last_record_ = now;
    return std::exchange(quiet_, 0);
}

std::string RepeatedFailure::note(std::uint64_t n) {
    return n > 1 ? fmt::format(" ({} failures since the last record)", n) : std::string();
}

XResult<ReadySet> ReadySet::create() {
    int fd = epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) return err(os_failure("epoll_create1", errno));
    return ReadySet(fd);
}

ReadySet::~ReadySet() {
    if (fd_ >= 0) close(fd_);
}

std::optional<std::string> ReadySet::watch(int fd, uint32_t events, void* key) {
    auto it = watched_.find(fd);
    if (it != watched_.end() && it->second == events) return std::nullopt;
    if (events == 0) {
        if (it == watched_.end()) return std::nullopt;
        epoll_ctl(fd_, EPOLL_CTL_DEL, fd, nullptr);
        watched_.erase(it);
        return std::nullopt;
    }
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = key;
    if (epoll_ctl(fd_, it == watched_.end() ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &ev) != 0) {
        return "epoll_ctl: " + dbg::os_error(errno);
    }
    watched_[fd] = events;
    return std::nullopt;
}

std::vector<std::pair<void*, uint32_t>> ReadySet::take_ready() {
    std::vector<std::pair<void*, uint32_t>> out;
    // Room for every watched descriptor, so one call sees all that are ready.
    batch_.resize(std::max<std::size_t>(watched_.size(), 1));
    int n;
    do {
        n = epoll_wait(fd_, batch_.data(), static_cast<int>(batch_.size()), 0);
    } while (n < 0 && errno == EINTR);
    for (int i = 0; i < n; ++i) {
        const epoll_event& e = batch_[static_cast<std::size_t>(i)];
        void* key = e.data.ptr;
        out.emplace_back(key, static_cast<uint32_t>(e.events));
    }
    return out;
}

ClientConn::~ClientConn() {
    if (fd_ >= 0) close(fd_);
}

ClientConn::Fill ClientConn::read_some(int& err) {
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0) {
            in_.append(buf, static_cast<std::size_t>(n));
            return Fill::Progress;
        }
        if (n == 0) {
            eof_ = true;
            return Fill::Eof;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return Fill::WouldBlock;
        err = errno;
        return Fill::Error;
    }
}

uint32_t ClientConn::wanted_events() const {
    return (eof_ ? 0u : static_cast<uint32_t>(EPOLLIN)) | (queued_output() > 0 ? static_cast<uint32_t>(EPOLLOUT) : 0u);
}

std::optional<std::string> ClientConn::send(std::string_view bytes) {
    out_.append(bytes);
    if (auto e = flush()) return e;
    if (queued_output() > kMaxQueuedOutput) {
        return fmt::format("more than {} bytes of replies are waiting to be read", kMaxQueuedOutput);
    }
    return std::nullopt;
}

std::optional<std::string> ClientConn::flush() {
    while (out_off_ < out_.size()) {
        ssize_t n = ::send(fd_, out_.data() + out_off_, out_.size() - out_off_, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            out_off_ += static_cast<std::size_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        return dbg::os_error(errno);
    }
    if (out_off_ == out_.size()) {
        out_.clear();
        out_off_ = 0;
    } else if (out_off_ > 65536 && out_off_ > out_.size() / 2) {
        out_.erase(0, out_off_);
        out_off_ = 0;
    }
    return std::nullopt;
}

}  // namespace vop::ipc
