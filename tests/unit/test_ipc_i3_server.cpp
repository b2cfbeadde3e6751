// The i3-protocol server over real unix sockets: I3SOCK, framing in pieces, events, clean-up rules.
#include "ipc/i3_server.hpp"
#include "ipc_test_util.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

using ipc_test::LogCapture;
using ipc_test::Peer;
using ipc_test::RuntimeDir;
using ipc_test::tick_until;
using vop::I3IpcServer;
using vop::I3Message;
using Level = vop::log::Level;
namespace i3c = vop::i3_compat;
namespace i3s = vop::i3_server;

namespace {

struct FakeClock {
    I3IpcServer::Instant t{std::chrono::hours(1)};
    I3IpcServer::Clock fn() {
        return [this] { return t; };
    }
};

std::unique_ptr<I3IpcServer> make_server(I3IpcServer::Clock clock = {}) {
    auto s = I3IpcServer::create(std::move(clock));
    EXPECT_TRUE(s.ok()) << (s.ok() ? "" : s.error().to_string());
    return s.ok() ? std::move(s).value() : nullptr;
}

// A tick with a small dispatcher: version, subscribe, and "workspace" commands that broadcast.
void tick(I3IpcServer& s) {
    s.accept_connections();
    for (auto& [client, msg] : s.poll_requests()) {
        switch (msg.type) {
            case i3c::kGetVersion: s.send_response(client, msg.type, i3s::build_version_json()); break;
            case i3c::kSubscribe:
                if (auto names = i3s::parse_subscribe_payload(msg.payload)) s.subscribe(client, std::move(*names));
                s.send_response(client, msg.type, "{\"success\":true}");
                break;
            case i3c::kRunCommand:
                s.broadcast_workspace_event("{\"change\":\"focus\"}");
                s.send_response(client, msg.type, "[{\"success\":true}]");
                break;
            default: s.send_response(client, msg.type, "{\"success\":false,\"error\":\"unsupported\"}");
        }
    }
    s.cleanup_clients();
}

// Frames received by a peer so far.
std::vector<I3Message> frames_of(const std::string& bytes) {
    std::vector<I3Message> out;
    std::string_view rest = bytes;
    for (auto d = i3c::decode(rest); d.kind == i3c::Decoded::Kind::Message; d = i3c::decode(rest)) {
        out.push_back(d.message);
        rest.remove_prefix(d.consumed);
    }
    return out;
}

}  // namespace

TEST(I3Server, SocketAndI3sockLiveExactlyAsLongAsTheServer) {
    RuntimeDir rt;
    LogCapture logs;
    const std::string path = rt.path("vop-i3.sock");
    {
        auto s = make_server();
        ASSERT_TRUE(s);
        EXPECT_EQ(s->socket_path(), path);
        ASSERT_NE(std::getenv("I3SOCK"), nullptr);
        EXPECT_EQ(std::string(std::getenv("I3SOCK")), path);
        struct stat st{};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_TRUE(logs.has(Level::Info, "i3-compatible IPC server listening on \"" + path + "\""));
        EXPECT_TRUE(logs.has(Level::Info, "I3SOCK=" + path));

        // A second server at the same path fails and leaves the first one's variable alone.
        auto again = I3IpcServer::create();
        EXPECT_FALSE(again.ok());
        EXPECT_EQ(std::string(std::getenv("I3SOCK")), path);
        EXPECT_EQ(access(path.c_str(), F_OK), 0);
    }
    EXPECT_EQ(std::getenv("I3SOCK"), nullptr);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST(I3Server, MessageInPiecesAndTwoInOneWrite) {
    RuntimeDir rt;
    auto s = make_server();
    ASSERT_TRUE(s);
    Peer p(s->socket_path());
    auto step = [&] { tick(*s); p.drain(); };

    // The header and the payload 50 ms apart, as the stock client writes them.
    std::string msg = i3c::encode(i3c::kRunCommand, "workspace 3");
    p.send(msg.substr(0, 5));
    step();
    p.send(msg.substr(5, 9));
    for (int i = 0; i < 5; ++i) step();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(p.received.empty());
    p.send(msg.substr(14));
    ASSERT_TRUE(tick_until(step, [&] { return frames_of(p.received).size() == 1; }));
    EXPECT_EQ(frames_of(p.received)[0].payload, "[{\"success\":true}]");

    // Two requests in one write: two replies in order, one per tick.
    p.received.clear();
    p.send(i3c::encode(i3c::kGetVersion, "") + i3c::encode(100, ""));
    ASSERT_TRUE(tick_until(step, [&] { return frames_of(p.received).size() == 2; }));
    auto f = frames_of(p.received);
    EXPECT_EQ(f[0].type, 7u);
    EXPECT_EQ(f[0].payload, i3s::build_version_json());
    EXPECT_EQ(f[1].type, 100u);
    EXPECT_EQ(s->client_count(), 1u);
}

// A client with a bad header, or one the ready set cannot take (it would never be served), is closed at the
// end of the tick.
TEST(I3Server, BadHeadersCloseTheClientAtTheEndOfTheTick) {
    RuntimeDir rt;
    LogCapture logs;
    auto s = make_server();
    ASSERT_TRUE(s);
    const int baseline = ipc_test::open_fd_count();
    struct Case {
        const char* name;
        std::string bytes;
        const char* error;
        int failing_adds = 0;  // the client is refused by the ready set: a WARN
    };
    uint32_t huge = 0xFFFFFFF0u;
    std::string oversized = "i3-ipc";
    oversized.append(reinterpret_cast<const char*>(&huge), 4);
    oversized.append(4, '\0');
    std::string random_bytes;
    for (int i = 0; i < 4096; ++i) random_bytes += static_cast<char>((i * 7919 + 13) & 0xff);
    const Case cases[] = {
        {"wrong magic", "I3-IPC" + std::string(8, '\0'), "Invalid i3 IPC magic"},
        {"oversized length", oversized, "Message too large"},
        {"random bytes", random_bytes, "Invalid i3 IPC magic"},
        {"past the limit of watches", i3c::encode(i3c::kGetVersion, ""),
         "Cannot wait on i3 IPC client (epoll_ctl: No space left on device (os error 28)), closing the connection", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Peer bad(s->socket_path());
        bad.send(c.bytes);
        ipc_test::failing_epoll_adds = c.failing_adds;
        bool open = true;
        ASSERT_TRUE(tick_until([&] { tick(*s); open = bad.drain(); }, [&] { return !open; }));
        EXPECT_EQ(s->client_count(), 0u);
        EXPECT_TRUE(c.failing_adds ? logs.has(Level::Warn, c.error)
                                   : logs.has(Level::Debug, std::string("i3 IPC client read error: ") + c.error));
        EXPECT_TRUE(bad.received.empty());
    }
    // End of file inside a payload is an error too.
    Peer cut(s->socket_path());
    cut.send(i3c::encode(0, "workspace 1").substr(0, 18));
    cut.shutdown_write();
    ASSERT_TRUE(tick_until([&] { tick(*s); }, [&] { return s->client_count() == 0; }));
    EXPECT_TRUE(logs.has(Level::Debug, "i3 IPC client read error: unexpected end of file"));
    EXPECT_EQ(ipc_test::open_fd_count(), baseline + 1);  // `cut` itself
}

TEST(I3Server, EventsReachSubscribersOnlyAndClosedSubscribersAreRemoved) {
    RuntimeDir rt;
    LogCapture logs;
    auto s = make_server();
    ASSERT_TRUE(s);
    Peer sub(s->socket_path());
    Peer other(s->socket_path());
    auto step = [&] { tick(*s); sub.drain(); other.drain(); };
    sub.send(i3c::encode(i3c::kSubscribe, "[\"workspace\",\"output\",\"workspace\"]"));
    ASSERT_TRUE(tick_until(step, [&] { return frames_of(sub.received).size() == 1; }));
    EXPECT_EQ(s->client(0).subscriptions(), (std::vector<std::string>{"workspace", "output"}));

    s->broadcast_workspace_event("{\"change\":\"focus\"}");
    s->broadcast_output_event("{\"change\":\"unspecified\"}");
    EXPECT_TRUE(logs.has(Level::Debug, "Broadcasting workspace event to 1 subscribed clients (of 2 total)"));
    ASSERT_TRUE(tick_until(step, [&] { return frames_of(sub.received).size() == 3; }));
    auto f = frames_of(sub.received);
    EXPECT_EQ(f[1].type, i3c::kWorkspaceEvent);
    EXPECT_EQ(f[2].type, i3c::kOutputEvent);
    EXPECT_EQ(f[2].payload, "{\"change\":\"unspecified\"}");
    EXPECT_TRUE(other.received.empty());

    // A subscriber that closes its end goes at the next cleanup, with no event needed to notice.
    sub.close();
    ASSERT_TRUE(tick_until([&] { tick(*s); }, [&] { return s->client_count() == 1; }, 200));
}

TEST(I3Server, ReplyReachesSenderWhenABroadcastFindsAGoneSubscriber) {
    RuntimeDir rt;
    LogCapture logs;
    auto s = make_server();
    ASSERT_TRUE(s);
    Peer gone(s->socket_path());
    Peer sender(s->socket_path());
    gone.send(i3c::encode(i3c::kSubscribe, "[\"workspace\"]"));
    ASSERT_TRUE(tick_until([&] { tick(*s); gone.drain(); }, [&] { return !gone.received.empty(); }));
    // In one tick: client 0 has gone, client 1 asks for a switch that broadcasts.
    gone.close();
    sender.send(i3c::encode(i3c::kRunCommand, "workspace 2"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    tick(*s);
    EXPECT_TRUE(logs.has(Level::Warn, "Failed to send workspace event to client 0"));
    EXPECT_TRUE(logs.has(Level::Debug, "Removing disconnected client 0"));
    EXPECT_EQ(s->client_count(), 1u);
    ASSERT_TRUE(tick_until([&] { sender.drain(); }, [&] { return frames_of(sender.received).size() == 1; }));
    EXPECT_EQ(frames_of(sender.received)[0].payload, "[{\"success\":true}]");
}

TEST(I3Server, StaleClientRulesWithInjectedClock) {
    RuntimeDir rt;
    LogCapture logs;
    FakeClock clock;
    auto s = make_server(clock.fn());
    ASSERT_TRUE(s);
    Peer silent(s->socket_path());
    Peer asked(s->socket_path());
    Peer subscribed(s->socket_path());
    s->accept_connections();
    asked.send(i3c::encode(i3c::kGetVersion, ""));
    subscribed.send(i3c::encode(i3c::kSubscribe, "[\"window\"]"));
    ASSERT_TRUE(tick_until([&] { tick(*s); asked.drain(); subscribed.drain(); },
                           [&] { return !asked.received.empty() && !subscribed.received.empty(); }));
    ASSERT_EQ(s->client_count(), 3u);

    using std::chrono::nanoseconds;
    using std::chrono::seconds;
    clock.t += seconds(5);
    tick(*s);
    EXPECT_EQ(s->client_count(), 3u);  // exactly 5 s after its message: stays
    clock.t += nanoseconds(1);
    tick(*s);
    EXPECT_EQ(s->client_count(), 2u);  // past 5 s: the client that asked is gone
    EXPECT_TRUE(logs.has(Level::Debug, "Cleaning up stale i3 IPC client (no activity for 5.000000001s)"));
    clock.t += seconds(55) - nanoseconds(1);
    tick(*s);
    EXPECT_EQ(s->client_count(), 2u);  // exactly 60 s since connecting: stays
    clock.t += nanoseconds(1);
    tick(*s);
    EXPECT_EQ(s->client_count(), 1u);  // the silent one goes, the subscriber never does
    clock.t += std::chrono::hours(24);
    tick(*s);
    EXPECT_EQ(s->client_count(), 1u);
    EXPECT_TRUE(s->client(0).subscriptions().empty()) << "a name vop never sends is not kept";
}

TEST(I3Server, StuckSubscriberIsDroppedWithoutBlocking) {
    RuntimeDir rt;
    auto s = make_server();
    ASSERT_TRUE(s);
    Peer stuck(s->socket_path());
    stuck.send(i3c::encode(i3c::kSubscribe, "[\"workspace\"]"));
    ASSERT_TRUE(tick_until([&] { tick(*s); }, [&] { return !s->client(0).subscriptions().empty(); }));
    const std::string payload(16384, 'e');
    for (int i = 0; i < 200 && s->client_count() == 1; ++i) {
        s->broadcast_workspace_event(payload);
        tick(*s);
    }
    EXPECT_EQ(s->client_count(), 0u);
}

// Runs the stock i3 client with `args` (stdout to `out`), ticking the server until it exits.
int run_i3_msg(I3IpcServer& s, const std::string& out, std::vector<std::string> args) {
    args.insert(args.begin(), {"i3-msg", "-s", s.socket_path()});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (!freopen(out.c_str(), "w", stdout)) _exit(126);
        execvp("i3-msg", argv.data());
        _exit(127);
    }
    int status = -1;
    if (!tick_until([&] { tick(s); }, [&] { return waitpid(pid, &status, WNOHANG) == pid; }, 5000)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string file_text(const std::string& path) {
    std::ifstream f(path);
    std::stringstream text;
    text << f.rdbuf();
    return text.str();
}

// The stock i3 client writes header and payload separately and reads the reply.
TEST(I3Server, StockClientRequestsAndSubscription) {
    if (system("command -v i3-msg >/dev/null 2>&1") != 0) GTEST_SKIP() << "i3-msg not installed";
    RuntimeDir rt;
    auto s = make_server();
    ASSERT_TRUE(s);
    const int baseline = ipc_test::open_fd_count();
    const std::string out = rt.path("out.txt");
    for (int run = 0; run < 20; ++run) {
        ASSERT_EQ(run_i3_msg(*s, out, {"-t", "get_version"}), 0);
        EXPECT_EQ(file_text(out), i3s::build_version_json() + "\n");
        ASSERT_EQ(run_i3_msg(*s, out, {"-q", "workspace", "3"}), 0);
        EXPECT_EQ(file_text(out), "");
    }

    // A subscriber started by the stock client receives the event it asked for.
    pid_t pid = fork();
    if (pid == 0) {
        if (!freopen(out.c_str(), "w", stdout)) _exit(126);
        setvbuf(stdout, nullptr, _IONBF, 0);
        execlp("i3-msg", "i3-msg", "-s", s->socket_path().c_str(), "-t", "subscribe", "-m", "[\"workspace\"]",
               nullptr);
        _exit(127);
    }
    ASSERT_TRUE(tick_until([&] { tick(*s); },
                           [&] { return s->client_count() == 1 && !s->client(0).subscriptions().empty(); }, 5000));
    const std::string event = "{\"change\":\"focus\",\"current\":{\"num\":3}}";
    s->broadcast_workspace_event(event);
    bool seen = tick_until([&] { tick(*s); }, [&] { return file_text(out).find("\"num\":3") != std::string::npos; });
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    EXPECT_TRUE(seen) << file_text(out);
    ASSERT_TRUE(tick_until([&] { tick(*s); }, [&] { return s->client_count() == 0; }));
    EXPECT_EQ(ipc_test::open_fd_count(), baseline);
}
