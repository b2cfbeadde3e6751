// Round trip of a JSON get_workspaces and of an i3 GET_VERSION over 1,000 requests on one connection,
// with the servers driven the way the main loop drives them (poll on their descriptors, then a tick).
#include "ipc/i3_server.hpp"
#include "ipc/server.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRequests = 1000;

// Ten workspace objects shaped like the state view the real dispatcher answers with.
nlohmann::json workspaces_view() {
    auto arr = nlohmann::json::array();
    for (int i = 1; i <= 10; ++i) {
        arr.push_back({{"floating_count", 0}, {"focused", i == 1}, {"id", i}, {"name", std::to_string(i)},
                       {"tiled_count", i % 3}});
    }
    return arr;
}

void serve(vop::IpcServer& json_server, vop::I3IpcServer& i3_server, const std::atomic<bool>& stop) {
    while (!stop) {
        std::vector<pollfd> fds = json_server.poll_fds();
        auto more = i3_server.poll_fds();
        fds.insert(fds.end(), more.begin(), more.end());
        bool busy = json_server.has_buffered_input() || i3_server.has_buffered_input();
        ::poll(fds.data(), fds.size(), busy ? 0 : 10);

        json_server.accept_connections();
        for (auto& [client, req] : json_server.poll_requests()) {
            json_server.send_response(client, req.command == "get_workspaces"
                                                  ? vop::Response::with_data(workspaces_view())
                                                  : vop::Response::error("Unknown command: " + req.command));
        }
        i3_server.accept_connections();
        for (auto& [client, msg] : i3_server.poll_requests()) {
            i3_server.send_response(client, msg.type, vop::i3_server::build_version_json());
        }
        i3_server.cleanup_clients();
    }
}

int connect_to(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    path.copy(a.sun_path, sizeof(a.sun_path) - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::exit(1);
    return fd;
}

// Sends `request` and reads until `complete` says the reply is whole; returns the time taken.
template <class Complete>
double round_trip(int fd, const std::string& request, Complete complete) {
    auto t0 = Clock::now();
    if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) std::exit(1);
    std::string got;
    char buf[65536];
    while (!complete(got)) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) std::exit(1);
        got.append(buf, static_cast<std::size_t>(n));
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

void report(const char* name, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    fmt::print("{:<28} n={} median={:.4f} ms p99={:.4f} ms\n", name, ms.size(), ms[ms.size() / 2],
               ms[ms.size() * 99 / 100]);
}

}  // namespace

int main() {
    char tmpl[] = "/tmp/vop-bench-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    auto json_server = vop::IpcServer::create();
    auto i3_server = vop::I3IpcServer::create();
    if (!json_server || !i3_server) return 1;

    std::atomic<bool> stop{false};
    std::thread loop(serve, std::ref(*json_server.value()), std::ref(*i3_server.value()), std::cref(stop));

    int jfd = connect_to(json_server.value()->socket_path());
    std::vector<double> json_ms;
    for (int i = 0; i < kRequests; ++i) {
        json_ms.push_back(round_trip(jfd, "{\"command\":\"get_workspaces\"}\n",
                                     [](const std::string& s) { return !s.empty() && s.back() == '\n'; }));
    }
    int ifd = connect_to(i3_server.value()->socket_path());
    const std::string version = vop::i3_compat::encode(vop::i3_compat::kGetVersion, "");
    std::vector<double> i3_ms;
    for (int i = 0; i < kRequests; ++i) {
        i3_ms.push_back(round_trip(ifd, version, [](const std::string& s) {
            return vop::i3_compat::decode(s).kind == vop::i3_compat::Decoded::Kind::Message;
        }));
    }
    close(jfd);
    close(ifd);
    stop = true;
    loop.join();
    report("JSON get_workspaces", json_ms);
    report("i3 GET_VERSION", i3_ms);
    json_server.value().reset();
    i3_server.value().reset();
    std::filesystem::remove_all(dir);
    return 0;
}
