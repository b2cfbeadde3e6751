// The JSON socket server over real unix sockets: creation, line handling, abuse, slow readers.
#include "ipc/server.hpp"
#include "ipc_test_util.hpp"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/epoll.h>
#include <sys/stat.h>

using ipc_test::LogCapture;
using ipc_test::Peer;
using ipc_test::RuntimeDir;
using ipc_test::tick_until;
using nlohmann::json;
using vop::IpcServer;
using vop::Response;
using Level = vop::log::Level;

int ipc_test::failing_epoll_adds = 0;

// The C library's epoll_ctl, unless a test asked for failing additions.
extern "C" int epoll_ctl(int epfd, int op, int fd, epoll_event* event) noexcept {
    static const auto real = reinterpret_cast<int (*)(int, int, int, epoll_event*)>(dlsym(RTLD_NEXT, "epoll_ctl"));
    if (op == EPOLL_CTL_ADD && ipc_test::failing_epoll_adds > 0) {
        --ipc_test::failing_epoll_adds;
        errno = ENOSPC;
        return -1;
    }
    return real(epfd, op, fd, event);
}

namespace {

// One main-loop step with a dispatcher that echoes the command and its arguments.
void echo_tick(IpcServer& s) {
    s.accept_connections();
    for (auto& [client, req] : s.poll_requests()) {
        s.send_response(client, Response::with_data({{"command", req.command}, {"args", req.args}}));
    }
}

std::vector<json> lines_of(const std::string& text) {
    std::vector<json> out;
    std::size_t start = 0;
    for (auto nl = text.find('\n'); nl != std::string::npos; start = nl + 1, nl = text.find('\n', start)) {
        out.push_back(json::parse(text.substr(start, nl - start)));
    }
    return out;
}

// Whether the main loop's wait on the server would return now.
bool wakes(const IpcServer& s) {
    auto fds = s.poll_fds();
    return ::poll(fds.data(), fds.size(), 0) > 0;
}

std::unique_ptr<IpcServer> make_server() {
    auto s = IpcServer::create();
    EXPECT_TRUE(s.ok()) << (s.ok() ? "" : s.error().to_string());
    return s.ok() ? std::move(s).value() : nullptr;
}

}  // namespace

TEST(IpcServer, CreatesPrivateSocketAndRemovesItOnDrop) {
    RuntimeDir rt;
    setenv("XDG_RUNTIME_DIR", (rt.dir() + "/not/yet").c_str(), 1);
    LogCapture logs;
    auto s = make_server();
    ASSERT_TRUE(s);
    const std::string path = rt.dir() + "/not/yet/vop.sock";
    EXPECT_EQ(s->socket_path(), path);
    struct stat st{};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(logs.has(Level::Info, "IPC server listening on \"" + path + "\""));

    Peer p(path);
    ASSERT_TRUE(p.connected());
    s->accept_connections();
    ASSERT_EQ(s->poll_fds().size(), 1u);
    // Every descriptor of the server (listening socket, client, ready set) is close-on-exec.
    int checked = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const std::string target = std::filesystem::read_symlink(e.path(), ec).string();
        if (target.rfind("socket:", 0) != 0 && target != "anon_inode:[eventpoll]") continue;
        EXPECT_TRUE(fcntl(std::stoi(e.path().filename()), F_GETFD) & FD_CLOEXEC) << target;
        ++checked;
    }
    EXPECT_GE(checked, 4);  // with the peer's own
    s.reset();
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    EXPECT_TRUE(logs.has(Level::Debug, "IPC server shutdown, socket removed"));
}

TEST(IpcServer, NeverStealsALiveSocketAndReplacesAStaleOne) {
    RuntimeDir rt;
    const std::string path = rt.path("vop.sock");
    auto first = make_server();
    ASSERT_TRUE(first);

    // Another instance sharing the directory must not take the socket over.
    auto second = IpcServer::create();
    ASSERT_FALSE(second.ok());
    EXPECT_NE(second.error().to_string().find("another server is already listening"), std::string::npos);
    Peer p(path);
    ASSERT_TRUE(p.connected());
    p.send("{\"command\":\"still_first\"}\n");
    ASSERT_TRUE(tick_until([&] { echo_tick(*first); p.drain(); }, [&] { return !p.received.empty(); }));
    EXPECT_EQ(lines_of(p.received).at(0)["data"]["command"], "still_first");

    // If the file was replaced behind our back, dropping the server leaves the new one alone.
    unlink(path.c_str());
    auto third = make_server();
    ASSERT_TRUE(third);
    first.reset();
    EXPECT_EQ(access(path.c_str(), F_OK), 0);
    third.reset();
    EXPECT_NE(access(path.c_str(), F_OK), 0);

    // A socket file nobody listens on, or a plain file, is left over from a dead run: replaced.
    {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path.copy(a.sun_path, sizeof(a.sun_path) - 1);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        close(fd);
    }
    EXPECT_TRUE(make_server());
    close(open(path.c_str(), O_CREAT | O_WRONLY, 0600));
    EXPECT_TRUE(make_server());
}

TEST(IpcServer, TooLongPathIsAnError) {
    RuntimeDir rt;
    std::string dir = rt.dir() + "/" + std::string(120, 'd');
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    auto s = IpcServer::create();
    ASSERT_FALSE(s.ok());
    EXPECT_NE(s.error().to_string().find("too long for a unix socket address"), std::string::npos);
}

TEST(IpcServer, LinesInPiecesTogetherAndMalformed) {
    RuntimeDir rt;
    LogCapture logs;
    auto s = make_server();
    ASSERT_TRUE(s);
    Peer p(s->socket_path());
    auto tick = [&] { echo_tick(*s); p.drain(); };

    // A line arriving in pieces over several ticks is answered once, whole.
    p.send("{\"command\":\"fo");
    for (int i = 0; i < 5; ++i) tick();
    EXPECT_TRUE(p.received.empty());
    p.send("cus\",\"args\":{\"direction\":\"left\"}}");
    for (int i = 0; i < 5; ++i) tick();
    EXPECT_TRUE(p.received.empty());
    p.send("\n");
    ASSERT_TRUE(tick_until(tick, [&] { return lines_of(p.received).size() == 1; }));
    EXPECT_EQ(lines_of(p.received)[0]["data"]["args"]["direction"], "left");

    // Two requests in one write: two replies in order, one per tick. Malformed lines between them (one
    // nested too deep for the parser, with a WARN) get no reply and the connection goes on; CRLF endings
    // are fine.
    p.received.clear();
    const std::string deep = "[\"x\"," + std::string(5000, '[') + std::string(5000, ']') + "]\n";
    p.send("[\"one\"]\nnot json\n" + deep + "{\"command\":\"two\"}\r\n");
    ASSERT_TRUE(tick_until([&] { p.drain(); }, [&] { return wakes(*s); }));
    auto first = s->poll_requests();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_TRUE(s->has_buffered_input());
    s->send_response(first[0].first, Response::with_data({{"command", first[0].second.command}}));
    ASSERT_TRUE(tick_until(tick, [&] { return lines_of(p.received).size() == 2; }));
    auto got = lines_of(p.received);
    EXPECT_EQ(got[0]["data"]["command"], "one");
    EXPECT_EQ(got[1]["data"]["command"], "two");
    EXPECT_EQ(s->client_count(), 1u);
    EXPECT_TRUE(logs.has(Level::Warn, "nested deeper than 64 levels, the line is dropped"));
}

TEST(IpcServer, LastLineWithoutLineFeedBeforeShutdown) {
    RuntimeDir rt;
    auto s = make_server();
    ASSERT_TRUE(s);
    Peer p(s->socket_path());
    p.send("{\"command\":\"a\"}\n{\"command\":\"b\"}");
    p.shutdown_write();
    ASSERT_TRUE(tick_until([&] { echo_tick(*s); p.drain(); }, [&] { return lines_of(p.received).size() == 2; }));
    EXPECT_EQ(lines_of(p.received)[1]["data"]["command"], "b");
    ASSERT_TRUE(tick_until([&] { echo_tick(*s); }, [&] { return s->client_count() == 0; }));
}

TEST(IpcServer, ReplyReachesSenderWhenAnEarlierClientLeft) {
    RuntimeDir rt;
    LogCapture logs;
    auto s = make_server();
    ASSERT_TRUE(s);
    Peer gone(s->socket_path());
    Peer sender(s->socket_path());
    s->accept_connections();
    ASSERT_EQ(s->client_count(), 2u);
    gone.close();
    sender.send("{\"command\":\"mine\"}\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto reqs = s->poll_requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].first, 0u);
    EXPECT_EQ(s->client_count(), 1u);
    EXPECT_TRUE(logs.has(Level::Debug, "IPC client disconnected"));
    s->send_response(reqs[0].first, Response::ok());
    s->send_response(7, Response::ok());  // not a client: ignored
    ASSERT_TRUE(tick_until([&] { sender.drain(); }, [&] { return !sender.received.empty(); }));
    EXPECT_EQ(sender.received, "{\"success\":true}\n");
}

TEST(IpcServer, AbusiveClientsAreClosedOthersServed) {
    RuntimeDir rt;
    LogCapture logs;
    auto s = make_server();
    ASSERT_TRUE(s);
    const int baseline = ipc_test::open_fd_count();
    struct Case {
        const char* name;
        std::string bytes;
        const char* warn;  // expected WARN text, if any
        int failing_adds = 0;
    };
    std::string random_bytes;
    for (int i = 0; i < 4096; ++i) random_bytes += static_cast<char>((i * 7919 + 13) & 0xff);
    random_bytes += "\n";
    const Case cases[] = {
        {"random bytes", random_bytes, nullptr},
        {"10 MB without a line feed", std::string(10 << 20, 'x'), "longer than 1048576 bytes"},
        {"invalid UTF-8", "{\"command\":\"\xff\"}\n", nullptr},
        // It would never be served.
        {"past the limit of watches", "{\"command\":\"ok\"}\n",
         "Cannot wait on IPC client (epoll_ctl: No space left on device (os error 28)), closing the connection", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Peer bad(s->socket_path());
        Peer good(s->socket_path());
        ipc_test::failing_epoll_adds = c.failing_adds;  // the first accepted is `bad`
        bool bad_open = true;
        std::thread writer([&] { bad.send(c.bytes); });
        good.send("{\"command\":\"ok\"}\n");
        ASSERT_TRUE(tick_until(
            [&] {
                echo_tick(*s);
                good.drain();
                bad_open = bad.drain();
            },
            [&] { return !bad_open && !good.received.empty(); }, 5000));
        bad.shutdown_write();
        writer.join();
        EXPECT_TRUE(bad.received.empty());
        EXPECT_EQ(lines_of(good.received).at(0)["data"]["command"], "ok");
        if (c.warn) {
            EXPECT_TRUE(logs.has(Level::Warn, c.warn));
        }
    }
    ASSERT_TRUE(tick_until([&] { echo_tick(*s); }, [&] { return s->client_count() == 0; }));
    EXPECT_EQ(ipc_test::open_fd_count(), baseline);
}

TEST(IpcServer, SlowReaderGetsWholeRepliesLaterAndAStuckOneIsDropped) {
    RuntimeDir rt;
    LogCapture logs;
    auto s = make_server();
    ASSERT_TRUE(s);
    Peer slow(s->socket_path());
    s->accept_connections();
    const std::string big(20000, 'y');
    // About 600 KB of replies: more than the socket takes at once, less than the queue cap.
    for (int i = 0; i < 30; ++i) s->send_response(0, Response::with_data({{"i", i}, {"pad", big}}));
    EXPECT_FALSE(wakes(*s));
    EXPECT_TRUE(tick_until([&] { slow.drain(); }, [&] { return wakes(*s); })) << "room for the rest wakes the loop";
    ASSERT_TRUE(tick_until(
        [&] {
            echo_tick(*s);
            slow.drain();
        },
        [&] { return lines_of(slow.received).size() == 30; }));
    auto got = lines_of(slow.received);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(got[i]["data"]["i"], i);

    // A client that never reads is dropped once its queue passes the cap; the server does not block.
    Peer stuck(s->socket_path());
    s->accept_connections();
    ASSERT_EQ(s->client_count(), 2u);
    for (int i = 0; i < 100; ++i) s->send_response(1, Response::with_data({{"pad", big}}));
    EXPECT_TRUE(logs.has(Level::Warn, "Failed to send response: more than 1048576 bytes"));
    echo_tick(*s);
    EXPECT_EQ(s->client_count(), 1u);
}

TEST(IpcServer, ClientsThatLeaveBeforeTheirReplyAndManyAtOnce) {
    RuntimeDir rt;
    LogCapture logs;
    auto s = make_server();
    ASSERT_TRUE(s);
    const int baseline = ipc_test::open_fd_count();
    {
        std::vector<std::unique_ptr<Peer>> peers;
        for (int i = 0; i < 500; ++i) {
            peers.push_back(std::make_unique<Peer>(s->socket_path()));
            ASSERT_TRUE(peers.back()->connected());
            peers.back()->send("{\"command\":\"n\",\"args\":" + std::to_string(i) + "}\n");
            if (i % 100 == 0) s->accept_connections();
        }
        // Every other client closes without reading its reply.
        for (int i = 0; i < 500; i += 2) peers[i]->close();
        auto done = [&] {
            for (int i = 1; i < 500; i += 2)
                if (peers[i]->received.empty()) return false;
            return true;
        };
        ASSERT_TRUE(tick_until(
            [&] {
                echo_tick(*s);
                for (int i = 1; i < 500; i += 2) peers[i]->drain();
            },
            done, 5000));
        for (int i = 1; i < 500; i += 2) EXPECT_EQ(lines_of(peers[i]->received).at(0)["data"]["args"], i);
    }
    ASSERT_TRUE(tick_until([&] { echo_tick(*s); }, [&] { return s->client_count() == 0; }));
    EXPECT_EQ(ipc_test::open_fd_count(), baseline);
}

TEST(IpcServer, RepeatedAcceptFailureIsReportedFirstThenOncePerIntervalWithItsCount) {
    using namespace std::chrono_literals;
    vop::ipc::RepeatedFailure f;
    const auto t0 = std::chrono::steady_clock::time_point{} + 1h;
    EXPECT_EQ(f.count(t0), 1u);
    std::uint64_t reported = 0;
    for (auto t = t0 + 10ms; t < t0 + vop::ipc::RepeatedFailure::kInterval; t += 10ms) reported += f.count(t);
    EXPECT_EQ(reported, 0u) << "quiet within the interval";
    EXPECT_EQ(f.count(t0 + 5s), 500u) << "the 499 kept quiet and this one";
    EXPECT_EQ(f.count(t0 + 9s), 0u);
    EXPECT_EQ(f.count(t0 + 60s), 2u);
    EXPECT_EQ(vop::ipc::RepeatedFailure::note(1), "");
    EXPECT_EQ(vop::ipc::RepeatedFailure::note(500), " (500 failures since the last record)");
}
