// Unix-socket plumbing shared by both IPC servers: paths, listening sockets, buffered non-blocking clients.
#pragma once

#include "x11/error.hpp"

#include <sys/epoll.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vop::ipc {

// A client whose unsent output passes this many bytes is dropped: it is not reading.
inline constexpr std::size_t kMaxQueuedOutput = 1u << 20;


// `file_name` inside XDG_RUNTIME_DIR (valid UTF-8 only; empty means the working directory), else in /tmp.
std::string runtime_socket_path(std::string_view file_name);

// Keeps a failure that may repeat every tick (an accept without descriptors) from flooding the log:
// the first one is reported, then at most one record per interval, telling how many it stands for.
class RepeatedFailure {
public:
    using Instant = std::chrono::steady_clock::time_point;
    static constexpr std::chrono::seconds kInterval{5};

    // Counts one failure at `now`. Returns how many failures a record made now stands for (this one and
    // those kept quiet since the last record), or 0 when the last record is too recent.
    std::uint64_t count(Instant now);
    // What a record standing for `n` failures adds to its message: "" for one, else the count.
    static std::string note(std::uint64_t n);

private:
    std::optional<Instant> last_record_;
    std::uint64_t quiet_ = 0;
};

// A listening unix stream socket (non-blocking, close-on-exec, file mode 0600) that remembers the
// identity of the file it created, so it never removes a file that another process put there since.
class ListeningSocket {
public:
    // Fails when the path does not fit a socket address, when another server answers at the path,
    // or when a step of the creation fails. Only a stale file at the path is replaced.
    static XResult<ListeningSocket> bind(const std::string& path);

    ListeningSocket(ListeningSocket&& o) noexcept;
    ListeningSocket& operator=(ListeningSocket&&) = delete;
    ListeningSocket(const ListeningSocket&) = delete;
    ~ListeningSocket();

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

    // One round of accepting: every connection waiting now (non-blocking, close-on-exec), and the text
    // a WARN record shows when an accept failed for another reason than an empty queue, which ends the
    // round. Out of descriptors that failure repeats every tick until a client leaves, so only the first
    // and then one per interval is reported, with how many it stands for.
    struct Accepted {
        std::vector<int> fds;
        std::optional<std::string> failure;
    };
    Accepted accept_waiting();
    // False while the last accept failed for another reason than an empty queue. Out of descriptors
    // the connection stays queued and the socket readable, so a wait on it would return at once and
    // the loop would spin; the next tick tries again anyway.
    bool worth_waiting_on() const { return worth_waiting_on_; }

    // Removes the socket file when it is still the one this socket created.
    void remove_file_if_ours();

private:
    ListeningSocket(int fd, std::string path, dev_t dev, ino_t ino);
    int fd_;
    std::string path_;
    dev_t dev_;
    ino_t ino_;
    bool worth_waiting_on_ = true;
    RepeatedFailure failures_;
    int removal_slot_ = -1;  // the file goes even when a stop signal ends vop at once
};

// The descriptors of one server as one epoll set, which the main loop waits on: the wait, and a tick's look
// at which connections have something, cost the same with thousands of idle clients as with none.
class ReadySet {
public:
    static XResult<ReadySet> create();
    ReadySet(ReadySet&& o) noexcept : fd_(std::exchange(o.fd_, -1)), watched_(std::move(o.watched_)) {}
    ReadySet& operator=(ReadySet&&) = delete;
    ~ReadySet();

    int fd() const { return fd_; }
    // Watches `fd` for `events` (EPOLLIN, EPOLLOUT) from now on; 0 takes it out of the set, as must be
    // done before it is closed. `key` comes back with its readiness. Returns the error text when the
    // set cannot take it (out of memory, or past the user's limit of watches): the set then waits for
    // what it waited for before, which for a new descriptor is nothing.
    std::optional<std::string> watch(int fd, uint32_t events, void* key);
    // The keys of the descriptors ready now, each with what it is ready for; does not wait.
    std::vector<std::pair<void*, uint32_t>> take_ready();

private:
    explicit ReadySet(int fd) : fd_(fd) {}
    int fd_;
    std::unordered_map<int, uint32_t> watched_;
    std::vector<epoll_event> batch_;
};

// One accepted connection with its input buffer and its queue of whole replies not yet taken.
class ClientConn {
public:
    explicit ClientConn(int fd) : fd_(fd) {}
    ClientConn(const ClientConn&) = delete;
    ClientConn& operator=(const ClientConn&) = delete;
    ~ClientConn();

    int fd() const { return fd_; }

    // Bytes received and not yet consumed.
    std::string& input() { return in_; }
    const std::string& input() const { return in_; }
    // The peer has shut down its sending side (or closed).
    bool eof() const { return eof_; }

    enum class Fill { Progress, WouldBlock, Eof, Error };
    // Reads once (up to 64 KiB) into the input buffer; on Error `err` holds the errno.
    Fill read_some(int& err);

    // Appends bytes to the output queue and writes what the socket takes now. Returns the error text of
    // a failed write, or of a queue grown past kMaxQueuedOutput.
    std::optional<std::string> send(std::string_view bytes);
    // Writes what the socket takes now of the queue. Returns the error text of a failed write.
    std::optional<std::string> flush();
    std::size_t queued_output() const { return out_.size() - out_off_; }
    // What to wait for on it: input until its end, room for output while replies are queued.
    uint32_t wanted_events() const;

private:
    int fd_;
    std::string in_;
    bool eof_ = false;
    std::string out_;
    std::size_t out_off_ = 0;
};

}  // namespace vop::ipc
