// A reserved display number: lock file, and an abstract listening socket that never answers.
#include "reserved_display.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vop::test {
namespace {

// Where libxcb connects first for display N on Linux.
int listen_abstract(int number) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string name = "/tmp/.X11-unix/X" + std::to_string(number);
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 8) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

ReservedDisplay::ReservedDisplay(bool listen) {
    for (int n = 400; n < 1400; ++n) {
        if (access(("/tmp/.X11-unix/X" + std::to_string(n)).c_str(), F_OK) == 0) continue;
        std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
        int fd = open(lock.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0444);
        if (fd < 0) continue;
        // The format X servers write, so they see the number as taken by a live process.
        char pid[16];
        int len = snprintf(pid, sizeof pid, "%10d\n", static_cast<int>(getpid()));
        bool written = write(fd, pid, static_cast<size_t>(len)) == len;
        close(fd);
        if (!written) {
            unlink(lock.c_str());
            continue;
        }
        if (listen) {
            listen_fd_ = listen_abstract(n);
            if (listen_fd_ < 0) {
                unlink(lock.c_str());
                continue;
            }
        }
        number_ = n;
        lock_path_ = lock;
        return;
    }
    throw HarnessError("no free display number to reserve");
}

ReservedDisplay::~ReservedDisplay() {
    if (listen_fd_ >= 0) close(listen_fd_);
    if (!lock_path_.empty()) unlink(lock_path_.c_str());
}

bool ReservedDisplay::accept_connection(Millis timeout) {
    if (listen_fd_ < 0) return false;
    pollfd p{listen_fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
    int c = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return false;
    close(c);
    return true;
}

}  // namespace vop::test
