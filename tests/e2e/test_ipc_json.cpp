// The JSON socket end to end: every command through a real connection, the views against X, wire abuse, exit.
#include "ipc_fixture.hpp"

#include <sys/resource.h>
#include <sys/stat.h>

#include <random>
#include <sstream>
#include <thread>

using namespace vop::test;
using namespace std::string_literals;
using nlohmann::json;

namespace {
constexpr const char* kOk = R"({"success":true})";
mode_t mode_of(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}
bool exists(const std::string& path) { return std::filesystem::exists(std::filesystem::symlink_status(path)); }
// User plus system CPU time of a process, in clock ticks.
long cpu_ticks(pid_t pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream in(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
}
// The share of one core vop used over `window`: a measuring window, not a wait for something.
double cpu_share(pid_t pid, std::chrono::milliseconds window) {
    const auto t0 = std::chrono::steady_clock::now();
    const long cpu0 = cpu_ticks(pid);
    std::this_thread::sleep_for(window);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return static_cast<double>(cpu_ticks(pid) - cpu0) / sysconf(_SC_CLK_TCK) / wall;
}
}  // namespace

TEST_F(IpcTest, ExitAnswersThenShutsDownCleanly) {
    start();
    EXPECT_EQ(mode_of(json_path()), 0600u) << vop_->describe();
    EXPECT_EQ(mode_of(i3_path()), 0600u);
    // Children inherit the i3 socket's path.
    auto env = vop_->stubs().env("systemctl");
    ASSERT_FALSE(env.empty());
    EXPECT_EQ(env[0].rfind("I3SOCK=" + i3_path() + "\t", 0), 0u) << env[0];

    SocketClient c(json_path());
    EXPECT_EQ(c.request(R"({"command":"exit"})"), kOk);
    EXPECT_EQ(vop_->wait_exit(), 0) << vop_->describe();
    EXPECT_TRUE(printed("Event loop exited"));
    EXPECT_FALSE(exists(json_path()));
    EXPECT_FALSE(exists(i3_path()));
    auto pkill = vop_->stubs().lines("pkill");
    ASSERT_FALSE(pkill.empty());
    EXPECT_EQ(pkill.back(), "-x picom");
    auto systemctl = vop_->stubs().lines("systemctl");
    ASSERT_FALSE(systemctl.empty());
    EXPECT_EQ(systemctl.back(), "--user stop graphical-session.target");
    vop_.reset();  // it has ended on purpose
}

TEST_F(IpcTest, EveryCommandWithItsReply) {
    start();
    SocketClient c(json_path());
    // Nothing focused yet.
    EXPECT_EQ(c.request(R"({"command":"close"})"), R"({"success":false,"error":"No focused window"})");
    EXPECT_EQ(c.request(R"({"command":"toggle_floating"})"), R"({"success":false,"error":"No focused window"})");
    EXPECT_EQ(c.request(R"({"command":"get_focused"})"), R"({"success":true,"data":null})");

    uint32_t a = client_->open_window({.protocols = {"WM_DELETE_WINDOW"}});
    uint32_t b = client_->open_window();
    ASSERT_TRUE(has_geometry(b, {964, 12, 940, 1052, 2}));
    ASSERT_TRUE(becomes([&] { return active() == b; }));

    struct Step {
        const char* request;
        const char* reply;
    };
    const Step bad[] = {
        {R"({"command":"focus"})", R"({"success":false,"error":"Invalid direction: "})"},
        {R"({"command":"focus","args":{"direction":"Sideways"}})", R"({"success":false,"error":"Invalid direction: Sideways"})"},
        {R"({"command":"swap","args":{"direction":7}})", R"({"success":false,"error":"Invalid direction: "})"},
        {R"({"command":"resize","args":{"amount":0.2}})", R"({"success":false,"error":"Invalid direction: "})"},
        {R"({"command":"Get_tree"})", R"({"success":false,"error":"Unknown command: Get_tree"})"},
        {R"({"command":""})", R"({"success":false,"error":"Unknown command: "})"},
        {R"({"command":"nope","args":[1,2]})", R"({"success":false,"error":"Unknown command: nope"})"},
        {R"({"command":"subscribe","args":["workspace"]})", kOk},
        {R"({"command":"focus_monitor"})", kOk},  // one monitor: nothing to do
        {R"({"command":"move_to_monitor","args":{"target":"left"}})", kOk},
    };
    for (const auto& s : bad) EXPECT_EQ(c.request(s.request), s.reply) << s.request;
    EXPECT_EQ(active(), b);

    EXPECT_EQ(c.request(R"({"command":"focus","args":{"direction":"LEFT"}})"), kOk);
    EXPECT_TRUE(becomes([&] { return active() == a; }));
    EXPECT_EQ(c.request(R"({"command":"swap","args":{"direction":"right"}})"), kOk);
    EXPECT_TRUE(has_geometry(a, {964, 12, 940, 1052, 2}));
    EXPECT_TRUE(has_geometry(b, {12, 12, 940, 1052, 2}));
    EXPECT_EQ(c.request(R"({"command":"resize","args":{"direction":"left","amount":0.1}})"), kOk);
    EXPECT_TRUE(becomes([&] { auto g = client_->geometry(a); return g && g->width != 940; }));
    EXPECT_EQ(c.request(R"({"command":"equalize"})"), kOk);
    EXPECT_TRUE(has_geometry(a, {964, 12, 940, 1052, 2}));

    EXPECT_EQ(c.request(R"({"command":"toggle_floating"})"), kOk);
    EXPECT_EQ(c.request(R"({"command":"get_focused"})"),
              fmt::format(R"({{"success":true,"data":{{"floating":true,"id":{},"workspace":1}}}})", a));
    EXPECT_EQ(c.request(R"({"command":"toggle_floating"})"), kOk);

    EXPECT_EQ(c.request(R"({"command":"close"})"), kOk);
    EXPECT_TRUE(becomes([&] {
        for (const auto& m : client_->take_client_messages()) {
            if (m.window == a && m.type == "WM_PROTOCOLS" && m.data[0] == client_->atom("WM_DELETE_WINDOW")) return true;
        }
        return false;
    }));

    EXPECT_EQ(c.request(R"({"command":"move_to_workspace","args":{"number":4}})"), kOk);
    EXPECT_TRUE(becomes([&] { return !client_->viewable(a); }));
    EXPECT_EQ(client_->property_u32(a, "_NET_WM_DESKTOP"), std::vector<uint32_t>{3});

    EXPECT_EQ(c.request(R"({"command":"workspace","args":{"number":4}})"), kOk);
    EXPECT_TRUE(desktop_is(3u));
    EXPECT_TRUE(becomes([&] { return client_->viewable(a) && !client_->viewable(b) && active() == a; }));

    EXPECT_EQ(c.request(R"({"command":"reload"})"), kOk);
    EXPECT_TRUE(printed("Configuration reloaded"));
    // A script that fails is answered with the text of the error it logs.
    write_file(vop_->config_home() + "/vop/init.lua", "error('broken')\n");
    EXPECT_EQ(c.request(R"({"command":"reload"})"),
              R"({"success":false,"error":"Config reload failed: init.lua:1: broken"})");
    EXPECT_TRUE(printed("Config reload failed: init.lua:1: broken"));
    EXPECT_EQ(c.request(R"({"command":"get_workspaces"})").value_or("").rfind(R"({"success":true,"data":[)", 0), 0u);
}

TEST_F(IpcTest, WorkspaceNumberDefaults) {
    start();
    struct Case {
        const char* request;
        uint32_t desktop;
    };
    const Case cases[] = {
        {R"({"command":"workspace","args":{"number":3}})", 2},
        {R"({"command":"workspace","args":{"number":3.0}})", 0},
        {R"(["workspace",{"number":5}])", 4},
        {R"({"command":"workspace"})", 0},
        {R"({"command":"workspace","args":{"number":10}})", 9},
        {R"({"command":"workspace","args":{"number":0}})", 0},
        {R"({"command":"workspace","args":{"number":6}})", 5},
        {R"({"command":"workspace","args":{"number":11}})", 5},  // out of range: nothing happens
        {R"({"command":"workspace","args":{"number":-3}})", 0},
        {R"({"command":"workspace","args":{"number":"7"}})", 0},
    };
    SocketClient c(json_path());
    for (const auto& k : cases) {
        EXPECT_EQ(c.request(k.request), kOk) << k.request;
        EXPECT_TRUE(desktop_is(k.desktop)) << k.request;
    }
}

TEST_F(IpcTest, ViewsMatchWhatXShows) {
    start();
    uint32_t a = client_->open_window();
    uint32_t b = client_->open_window();
    uint32_t d = client_->open_window({.window_type = {"_NET_WM_WINDOW_TYPE_DIALOG"}});
    ASSERT_TRUE(becomes([&] { return active() == d && client_list().size() == 3; }));

    json ws = data_of(R"({"command":"get_workspaces"})");
    ASSERT_EQ(ws.size(), 10u);
    EXPECT_EQ(ws[0].dump(), R"({"floating_count":1,"focused":true,"id":1,"name":"1","tiled_count":2})");
    EXPECT_EQ(ws[9].dump(), R"({"floating_count":0,"focused":false,"id":10,"name":"10","tiled_count":0})");

    EXPECT_EQ(data_of(R"({"command":"get_focused"})").dump(),
              fmt::format(R"({{"floating":true,"id":{},"workspace":1}})", active()));

    json tree = data_of(R"({"command":"get_tree"})");
    EXPECT_EQ(tree["focused_workspace"], 1);
    EXPECT_EQ(tree["workspaces"][0]["tiled"], json({a, b}));
    EXPECT_EQ(tree["workspaces"][0]["floating"], json({d}));

    EXPECT_EQ(data_of(R"({"command":"get_monitors"})").dump(),
              R"([{"active_workspace":1,"focused":true,"geometry":{"height":1080,"width":1920,"x":0,"y":0},)"
              R"("name":"screen","primary":false,"workspaces":[1]}])");

    ASSERT_EQ(ask(R"({"command":"workspace","args":{"number":2}})"), kOk);
    EXPECT_TRUE(desktop_is(1u));
    EXPECT_EQ(data_of(R"({"command":"get_focused"})"), nullptr);
    EXPECT_EQ(data_of(R"({"command":"get_tree"})")["focused_workspace"], 2);
    EXPECT_EQ(data_of(R"({"command":"get_monitors"})")[0]["active_workspace"], 2);
}

TEST_F(IpcTest, WireFormsPiecesAndMalformedLines) {
    start();
    SocketClient c(json_path());
    // Two requests in one write: two replies, in order.
    ASSERT_TRUE(c.send("{\"command\":\"workspace\",\"args\":{\"number\":2}}\n{\"command\":\"bogus\"}\n"));
    EXPECT_EQ(c.line(), kOk);
    EXPECT_EQ(c.line(), R"({"success":false,"error":"Unknown command: bogus"})");
    EXPECT_TRUE(desktop_is(1u));

    // The array form is the object form.
    EXPECT_EQ(c.request(R"(["get_workspaces"])"), c.request(R"({"command":"get_workspaces"})"));
    EXPECT_EQ(c.request(R"(["focus",{"direction":"up"}])"), c.request(R"({"command":"focus","args":{"direction":"up"}})"));

    // Malformed lines get no reply; the next line on the same connection is answered. The whole line counts:
    // nothing after a NUL byte makes it a request, and a request nested deeper than the parser goes is
    // dropped like any other.
    const std::string deep = R"({"command":"exit","args":)" + std::string(100, '[') + std::string(100, ']') + "}";
    for (const std::string& bad : {"{\"command\":"s, "[]"s, "[\"a\",1,2]"s, "{\"args\":{}}"s, "{\"command\":1}"s,
                                   "{\"command\":\"exit\",\"command\":\"exit\"}"s, "{\"command\":\"exit\"} x"s, ""s,
                                   "{\"command\":\"exit\"}\0junk"s, deep}) {
        ASSERT_TRUE(c.send(bad + "\n"));
    }
    EXPECT_EQ(c.request(R"({"command":"subscribe"})"), kOk);
    EXPECT_EQ(c.received, "");

    // A request in pieces, 50 ms apart, is answered once, whole; CR LF is fine.
    const std::string req = "{\"command\":\"workspace\",\"args\":{\"number\":7}}\r\n";
    for (size_t i = 0; i < req.size(); i += 9) {
        ASSERT_TRUE(c.send(req.substr(i, 9)));
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(c.line(), kOk);
    EXPECT_TRUE(desktop_is(6u));
    EXPECT_FALSE(c.line(200ms));

    // A last request without a line feed, then end of sending: still answered.
    SocketClient last(json_path());
    ASSERT_TRUE(last.send(R"({"command":"workspace","args":{"number":1}})"));
    last.shutdown_write();
    EXPECT_EQ(last.line(), kOk);
    EXPECT_TRUE(last.closed_by_peer());
    EXPECT_TRUE(desktop_is(0u));
    EXPECT_TRUE(vop_->running());
}

TEST_F(IpcTest, AbuseLeavesItServingWithItsDescriptors) {
    start();
    {
        SocketClient warm(json_path());  // the first client of the run
        ASSERT_EQ(warm.request(R"({"command":"get_tree"})").has_value(), true);
    }
    ASSERT_TRUE(vop_->wait_idle());
    const size_t baseline = open_fds(vop_->pid());

    {
        // 500 clients at once, each asking once.
        std::vector<std::unique_ptr<SocketClient>> many;
        for (int i = 0; i < 500; ++i) many.push_back(std::make_unique<SocketClient>(json_path()));
        for (auto& m : many) ASSERT_TRUE(m->connected());
        for (auto& m : many) ASSERT_TRUE(m->send("{\"command\":\"get_workspaces\"}\n"));
        int answered = 0;
        for (auto& m : many) answered += m->line(10000ms).has_value();
        EXPECT_EQ(answered, 500);
    }
    for (int i = 0; i < 50; ++i) {
        // Gone before the reply.
        SocketClient quick(json_path());
        quick.send("{\"command\":\"get_tree\"}\n");
    }
    {
        // A line that never ends: the client is closed once it passes the limit.
        SocketClient big(json_path());
        std::string chunk(1 << 20, 'a');
        for (int i = 0; i < 10 && !big.eof; ++i) {
            if (!big.send(chunk, 2000ms)) break;
        }
        EXPECT_TRUE(big.closed_by_peer());
    }
    {
        // Nesting beyond reason is refused before the parser; the client stays.
        SocketClient deep(json_path());
        deep.send(std::string(100000, '[') + "\n");
        EXPECT_EQ(deep.request(R"({"command":"subscribe"})"), kOk);
    }
    std::mt19937 rng(8);
    for (int i = 0; i < 20; ++i) {
        SocketClient noise(json_path());
        std::string bytes(4096, '\0');
        for (auto& ch : bytes) ch = static_cast<char>(rng());
        noise.send(bytes);
    }

    SocketClient after(json_path());
    EXPECT_EQ(after.request(R"({"command":"workspace","args":{"number":2}})"), kOk);
    EXPECT_TRUE(desktop_is(1u));
    after.close();
    EXPECT_TRUE(becomes([&] { return open_fds(vop_->pid()) == baseline; })) << open_fds(vop_->pid()) << " vs " << baseline;
}

// Requests near the size limits cost time in proportion to their size: a JSON line of a megabyte, a SUBSCRIBE
// of 80,000 names and a 16 MiB command of control bytes (logged twice, each record capped) sent together leave
// a fourth client's request answered within seconds (a cost growing faster than the size would take minutes),
// and the log grows by well under a megabyte.
TEST_F(IpcTest, HugeRequestsDoNotHoldUpOtherClients) {
    start();
    std::string keys = R"({"command":"get_workspaces")";
    for (int k = 0; keys.size() < 1'040'000; ++k) keys += fmt::format(R"(,"{:x}":0)", k);
    std::string names = "[";
    for (int i = 0; i < 80000; ++i) names += fmt::format(R"({}"event-{}")", i ? "," : "", i);
    const std::string command = "workspace " + std::string(vop::i3_compat::kMaxPayload - 10, '\x01');
    SocketClient big(json_path()), subscriber(i3_path()), commander(i3_path()), other(json_path());
    const auto log_size = [] { return std::filesystem::file_size(kLogPath); };
    const auto log0 = log_size();
    ASSERT_TRUE(big.send(keys + "}\n", 10000ms));
    ASSERT_TRUE(subscriber.send(vop::i3_compat::encode(vop::i3_compat::kSubscribe, names + "]"), 10000ms));
    ASSERT_TRUE(commander.send(vop::i3_compat::encode(vop::i3_compat::kRunCommand, command), 10000ms));

    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(other.request(R"({"command":"workspace","args":{"number":2}})"), kOk);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    EXPECT_EQ(big.line(10000ms).value_or("").rfind(R"({"success":true,"data":[)", 0), 0u);
    auto reply = subscriber.frame(10000ms);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->payload, R"({"success":true})");
    reply = commander.frame(10000ms);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->payload, R"([{"success":false,"error":"command failed"}])");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 15s);
    ASSERT_TRUE(printed("Workspace not found: "));
    EXPECT_LT(log_size() - log0, 256u * 1024) << "bytes added to the log";
}

TEST_F(IpcTest, OutOfDescriptorsItNeitherSpinsNorFloodsAndRecovers) {
    // So few descriptors that the idle clients below exhaust them; the rest wait in both listen queues.
    vop_ = std::make_unique<VopProcess>(
        VopOptions{.display = x_.display(), .init_lua = kPlainConfig, .wrapper = {"prlimit", "--nofile=32"}});
    ASSERT_TRUE(vop_->wait_ready()) << vop_->describe();
    std::vector<std::unique_ptr<SocketClient>> idle;
    for (int i = 0; i < 40; ++i) {
        idle.push_back(std::make_unique<SocketClient>(json_path()));
        idle.push_back(std::make_unique<SocketClient>(i3_path()));
    }
    ASSERT_TRUE(vop_->wait_for_log("Failed to accept connection: ")) << vop_->describe();
    ASSERT_TRUE(vop_->wait_for_log("Failed to accept i3 IPC connection: ")) << vop_->describe();

    // vop keeps failing to accept all along, without spinning on it (that would take a whole core).
    const size_t records0 = log_records().size();
    EXPECT_LT(cpu_share(vop_->pid(), 3s), 0.35);
    EXPECT_LE(log_records().size() - records0, 4u) << read_log();

    idle.clear();
    EXPECT_TRUE(becomes([&] { return ask(R"({"command":"get_workspaces"})").starts_with(R"({"success":true)"); }))
        << vop_->describe();
    EXPECT_EQ(i3msg({"-t", "get_version"}).status, 0);
}

// The work of a tick follows what arrived: a hundred clients parked with a megabyte each and no line feed, and
// three thousand idle connections on both sockets, leave vop near idle; a request still gets its answer.
TEST_F(IpcTest, ParkedAndIdleClientsLeaveItIdle) {
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    if (saved.rlim_max < 4096) GTEST_SKIP() << "needs 4096 descriptors, the hard limit is " << saved.rlim_max;
    // Room for the clients, here and in vop, which inherits the limit.
    const rlimit raised{std::max<rlim_t>(saved.rlim_cur, 4096), saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    start();
    const size_t before = open_fds(vop_->pid());
    std::vector<std::unique_ptr<SocketClient>> clients;
    for (int i = 0; i < 100; ++i) {
        clients.push_back(std::make_unique<SocketClient>(json_path()));
        ASSERT_TRUE(clients.back()->send(std::string(1'000'000, 'x'), 10000ms));
    }
    for (int i = 0; i < 1500; ++i) {
        clients.push_back(std::make_unique<SocketClient>(json_path()));
        clients.push_back(std::make_unique<SocketClient>(i3_path()));
    }
    ASSERT_TRUE(wait_until([&] { return open_fds(vop_->pid()) >= before + clients.size(); }, 20000ms))
        << open_fds(vop_->pid()) << " descriptors";
    ASSERT_TRUE(vop_->wait_idle());
    // Busy, it took over half a core; idle, a few per cent even on a loaded debug build.
    EXPECT_LT(cpu_share(vop_->pid(), 2s), 0.25);
    SocketClient other(json_path());
    EXPECT_EQ(other.request(R"({"command":"get_workspaces"})").value_or("").rfind(R"({"success":true)", 0), 0u);
    clients.clear();
    setrlimit(RLIMIT_NOFILE, &saved);
}
