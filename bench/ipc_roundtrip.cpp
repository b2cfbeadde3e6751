// Round trip of a JSON get_workspaces and of an i3 GET_VERSION over 1,000 requests on one connection,
// with the servers driven the way the main loop drives them (poll on their descriptors, then a tick);
// then the time of huge requests (a JSON line of distinct keys, a SUBSCRIBE of many names) against
// one a tenth their size: a ratio near 10 shows the work grows linearly, near 100 quadratically.
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
            if (msg.type == vop::i3_compat::kSubscribe) {
                // As the dispatcher does it.
                if (auto names = vop::i3_server::parse_subscribe_payload(msg.payload)) {
                    i3_server.subscribe(client, std::move(*names));
                }
                i3_server.send_response(client, msg.type, R"({"success":true})");
                continue;
            }
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

// A request object of distinct keys, `bytes` long at most with its line feed.
std::string json_of_keys(std::size_t bytes) {
    std::string line = R"({"command":"get_workspaces")";
    for (int k = 0;; ++k) {
        std::string key = fmt::format(R"(,"{:x}":0)", k);
        if (line.size() + key.size() + 2 > bytes) break;
        line += key;
    }
    return line + "}\n";
}

std::string subscribe_of_names(int count) {
    std::string payload = "[";
    for (int i = 0; i < count; ++i) payload += fmt::format(R"({}"event-{}")", i ? "," : "", i);
    return vop::i3_compat::encode(vop::i3_compat::kSubscribe, payload + "]");
}

// The best of three round trips, each on a fresh connection.
double best_of_three(const std::string& path, const std::string& request, bool json_reply) {
    double best = 1e300;
    for (int i = 0; i < 3; ++i) {
        int fd = connect_to(path);
        best = std::min(best, round_trip(fd, request, [&](const std::string& s) {
            if (json_reply) return !s.empty() && s.back() == '\n';
            return vop::i3_compat::decode(s).kind == vop::i3_compat::Decoded::Kind::Message;
        }));
        close(fd);
    }
    return best;
}

void report_growth(const char* name, double small_ms, double big_ms) {
    fmt::print("{:<28} tenth={:.1f} ms full={:.1f} ms ratio={:.1f} (linear ~10, quadratic ~100)\n", name, small_ms,
               big_ms, big_ms / small_ms);
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

    const std::string& jpath = json_server.value()->socket_path();
    const std::string& ipath = i3_server.value()->socket_path();
    constexpr std::size_t kLine = vop::IpcServer::kMaxLineLength;
    double keys_small = best_of_three(jpath, json_of_keys(kLine / 10), true);
    double keys_big = best_of_three(jpath, json_of_keys(kLine), true);
    double names_small = best_of_three(ipath, subscribe_of_names(8000), false);
    double names_big = best_of_three(ipath, subscribe_of_names(80000), false);
    stop = true;
    loop.join();
    report("JSON get_workspaces", json_ms);
    report("i3 GET_VERSION", i3_ms);
    report_growth("JSON 1 MiB of distinct keys", keys_small, keys_big);
    report_growth("i3 SUBSCRIBE 80,000 names", names_small, names_big);
    json_server.value().reset();
    i3_server.value().reset();
    std::filesystem::remove_all(dir);
    return 0;
}
