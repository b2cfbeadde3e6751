// The i3 socket end to end with the stock i3-msg and a raw frame client: queries, commands, events, abuse.
#include "ipc_fixture.hpp"

#include <random>
#include <thread>

using namespace vop::test;
using nlohmann::json;
using vop::I3Message;
namespace i3c = vop::i3_compat;

namespace {
constexpr const char* kVersion =
    R"v({"major":0,"minor":1,"patch":0,"human_readable":"vop 0.1.0 (i3-compat)","loaded_config_file_name":"~/.config/vop/init.lua"})v";
constexpr const char* kSuccess = R"([{"success":true}])";
constexpr const char* kFailure = R"([{"success":false,"error":"command failed"}])";
constexpr const char* kUnsupported = R"({"success":false,"error":"unsupported"})";

// The events among the lines an `i3-msg -m` subscriber printed (its first line is the subscribe reply).
std::vector<json> printed_events(const std::string& path) {
    std::vector<json> out;
    for (const auto& l : split_lines(read_file(path))) {
        auto j = json::parse(l, nullptr, false);
        if (j.is_object() && j.contains("change")) out.push_back(j);
    }
    return out;
}

// Resident memory of a process in KiB.
long rss_kib(pid_t pid) {
    for (const auto& l : split_lines(read_file("/proc/" + std::to_string(pid) + "/status"))) {
        if (l.rfind("VmRSS:", 0) == 0) return std::stol(l.substr(6));
    }
    return -1;
}
}  // namespace

TEST_F(IpcTest, I3QueriesWithTheStockClient) {
    start();
    auto v = i3msg({"-t", "get_version"});
    EXPECT_EQ(v.status, 0) << v.err;
    EXPECT_EQ(v.out, std::string(kVersion) + "\n");

    EXPECT_EQ(i3msg({"-t", "get_workspaces"}).out,
              R"([{"id":1000000,"num":1,"name":"1","visible":true,"focused":true,"urgent":false,)"
              R"("rect":{"x":0,"y":0,"width":1920,"height":1080},"output":"screen"}])" "\n");
    EXPECT_EQ(i3msg({"-t", "get_outputs"}).out,
              R"([{"name":"screen","active":true,"primary":false,"current_workspace":"1",)"
              R"("rect":{"x":0,"y":0,"width":1920,"height":1080}}])" "\n");

    // A window sent to workspace 4 makes it listed while hidden; urgency shows on it.
    uint32_t w = client_->open_window();
    ASSERT_TRUE(becomes([&] { return active() == w; }));
    ASSERT_EQ(ask(R"({"command":"move_to_workspace","args":{"number":4}})"), R"({"success":true})");
    client_->set_wm_hints(w, true, std::nullopt);
    client_->sync();
    ASSERT_TRUE(becomes([&] {
        auto list = json::parse(i3msg({"-t", "get_workspaces"}).out, nullptr, false);
        return list.is_array() && list.size() == 2 && list[1]["urgent"] == true;
    }));
    auto list = json::parse(i3msg({"-t", "get_workspaces"}).out);
    EXPECT_EQ(list[1]["num"], 4);
    EXPECT_EQ(list[1]["id"], 4000000);
    EXPECT_EQ(list[1]["visible"], false);
    EXPECT_EQ(list[1]["focused"], false);
    EXPECT_EQ(list[1]["output"], "screen");
}

TEST_F(IpcTest, I3RunCommandSwitchesWorkspaces) {
    start();
    auto r = i3msg({"workspace", "3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string(kSuccess) + "\n");
    EXPECT_TRUE(desktop_is(2u));
    r = i3msg({"workspace", "number", "5"});
    EXPECT_EQ(r.out, std::string(kSuccess) + "\n");
    EXPECT_TRUE(desktop_is(4u));
    // What a bar sends for a click on a workspace button.
    r = i3msg({"workspace \"7\""});
    EXPECT_EQ(r.out, std::string(kSuccess) + "\n");
    EXPECT_TRUE(desktop_is(6u));

    struct Case {
        const char* text;
        const char* reply;
        uint32_t desktop;
        const char* log;  // a record it must leave, or nullptr
    };
    const Case cases[] = {
        {"workspace 5", kSuccess, 4, nullptr},  // already shown
        {R"(workspace "2")", kSuccess, 1, nullptr},
        {R"(workspace number "+4")", kSuccess, 3, nullptr},
        {R"(workspace "11")", kFailure, 3, "Workspace not found: 11"},
        {R"(workspace "\"2\"")", kFailure, 3, R"(Workspace not found: "2")"},
        {R"(workspace "2" "3")", kFailure, 3, R"(Workspace not found: "2" "3")"},
        {"  workspace +2 \n", kSuccess, 1, "Executing i3 command: workspace +2"},
        {"workspace 0", kSuccess, 0, nullptr},
        {"workspace number 10", kSuccess, 9, nullptr},
        {"workspace number 0", kSuccess, 0, nullptr},
        {"workspace 11", kFailure, 0, "Workspace not found: 11"},
        {"workspace number 11", kFailure, 0, nullptr},
        {"workspace number x", kFailure, 0, nullptr},
        {"workspace 3; workspace 4", kFailure, 0, "Workspace not found: 3; workspace 4"},
        {"Workspace 3", kFailure, 0, "Unknown i3 command: Workspace 3"},
        {"[class=\"x\"] workspace 3", kFailure, 0, "Unknown i3 command: [class"},
        {"focus left", kFailure, 0, "Unknown i3 command: focus left"},
        {"workspace\xff 3", kFailure, 0, nullptr},  // not UTF-8: the empty command
    };
    SocketClient c(i3_path());
    for (const auto& k : cases) {
        auto reply = c.i3(i3c::kRunCommand, k.text);
        ASSERT_TRUE(reply) << k.text;
        EXPECT_EQ(reply->type, i3c::kRunCommand);
        EXPECT_EQ(reply->payload, k.reply) << k.text;
        EXPECT_TRUE(desktop_is(k.desktop)) << k.text;
        if (k.log) {
            EXPECT_TRUE(printed(k.log)) << k.log;
        }
    }
    EXPECT_FALSE(printed("Workspace not found: number", 0ms));
}

TEST_F(IpcTest, I3UnsupportedTypesAndBrokenSubscriptions) {
    start();
    SocketClient c(i3_path());
    for (uint32_t type : {4u, 5u, 6u, 8u, 100u, 0x7fffffffu}) {
        auto reply = c.i3(type, "[]");
        ASSERT_TRUE(reply) << type;
        EXPECT_EQ(reply->type, type);
        EXPECT_EQ(reply->payload, kUnsupported);
    }
    for (const char* payload : {"", "workspace", "[1]", "{\"workspace\":1}", "[\"workspace\"", "[\"\xff\"]"}) {
        auto reply = c.i3(i3c::kSubscribe, payload);
        ASSERT_TRUE(reply) << payload;
        EXPECT_EQ(reply->type, i3c::kSubscribe);
        EXPECT_EQ(reply->payload, R"({"success":true})");
    }
    // None of those subscribed it: a switch sends it nothing.
    ASSERT_EQ(ask(R"({"command":"workspace","args":{"number":2}})"), R"({"success":true})");
    auto v = c.i3(i3c::kGetVersion);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->type, i3c::kGetVersion);
    EXPECT_EQ(v->payload, kVersion);
}

// Of a SUBSCRIBE only the events vop sends are kept: large ones of ever new names leave its memory flat after
// the first (their parse is passing work), and the event asked for among them still comes.
TEST_F(IpcTest, I3SubscriptionsOfManyNamesLeaveMemoryFlat) {
    // The sanitizer's quarantine would hold the parser's freed memory back: without it, memory shows what
    // vop keeps.
    vop_ = std::make_unique<VopProcess>(VopOptions{
        .display = x_.display(), .env = {{"ASAN_OPTIONS", "quarantine_size_mb=0"}}, .init_lua = kPlainConfig});
    ASSERT_TRUE(vop_->wait_idle()) << vop_->describe();
    SocketClient sub(i3_path());
    auto subscribe = [&](int round) {
        std::string names = R"(["workspace")";
        for (int i = 0; names.size() < 4'000'000; ++i) names += fmt::format(R"(,"{}-{}")", round, i);
        auto reply = sub.i3(i3c::kSubscribe, names + "]");
        return reply && reply->payload == R"({"success":true})";
    };
    ASSERT_TRUE(subscribe(0)) << vop_->describe();
    const long first = rss_kib(vop_->pid());
    for (int round = 1; round < 8; ++round) ASSERT_TRUE(subscribe(round)) << round;
    EXPECT_LT(rss_kib(vop_->pid()) - first, 8 * 1024) << "KiB more after seven more rounds";
    SocketClient cmd(i3_path());
    ASSERT_EQ(cmd.i3(i3c::kRunCommand, "workspace 2").value_or(I3Message{}).payload, kSuccess);
    auto ev = sub.frame();
    ASSERT_TRUE(ev);
    EXPECT_EQ(ev->type, i3c::kWorkspaceEvent);
}

TEST_F(IpcTest, I3SubscribersReceiveFocusEvents) {
    start();
    const std::string out_path = vop_->runtime_dir() + "/../subscriber.out";
    // Line-buffered, so each event reaches the file as it is printed.
    Child stock({"stdbuf", "-oL", "i3-msg", "-s", i3_path(), "-t", "subscribe", "-m", R"(["workspace"])"},
                {.stdout_path = out_path});
    // It prints no subscribe reply; it writes its subscription as soon as it is connected.
    ASSERT_TRUE(printed("New i3 IPC client connected"));
    SocketClient raw(i3_path());
    auto sub = raw.i3(i3c::kSubscribe, R"(["workspace","output","window"])");
    ASSERT_TRUE(sub);
    EXPECT_EQ(sub->payload, R"({"success":true})");
    std::this_thread::sleep_for(100ms);

    // From the empty workspace 1: that one is no longer listed, so no "old".
    ASSERT_EQ(ask(R"({"command":"workspace","args":{"number":3}})"), R"({"success":true})");
    auto ev = raw.frame();
    ASSERT_TRUE(ev);
    EXPECT_TRUE(printed("Broadcasting workspace event to 2 subscribed clients (of 2 total)"));
    EXPECT_EQ(ev->type, i3c::kWorkspaceEvent);
    EXPECT_EQ(ev->payload, R"({"change":"focus","current":{"id":3000000,"num":3,"name":"3","visible":true,)"
                           R"("focused":true,"urgent":false,"rect":{"x":0,"y":0,"width":1920,"height":1080},)"
                           R"("output":"screen"}})");

    // From workspace 3 holding a window, through the i3 socket itself: "old" is there.
    uint32_t w = client_->open_window();
    ASSERT_TRUE(becomes([&] { return active() == w; }));
    SocketClient cmd(i3_path());
    auto reply = cmd.i3(i3c::kRunCommand, "workspace 5");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->payload, kSuccess);
    ev = raw.frame();
    ASSERT_TRUE(ev);
    auto body = json::parse(ev->payload);
    EXPECT_EQ(body["current"]["num"], 5);
    EXPECT_EQ(body["old"]["num"], 3);
    EXPECT_EQ(body["old"]["visible"], false);

    // No event when nothing changes.
    ASSERT_EQ(cmd.i3(i3c::kRunCommand, "workspace 5")->payload, kSuccess);
    EXPECT_FALSE(raw.frame(300ms));

    ASSERT_TRUE(becomes([&] { return printed_events(out_path).size() == 2; })) << read_file(out_path);
    auto events = printed_events(out_path);
    EXPECT_EQ(events[0]["change"], "focus");
    EXPECT_EQ(events[0]["current"]["name"], "3");
    EXPECT_FALSE(events[0].contains("old"));
    EXPECT_EQ(events[1]["current"]["name"], "5");
    EXPECT_EQ(events[1]["old"]["name"], "3");
}

TEST_F(IpcTest, I3AbuseLeavesItServingWithItsDescriptors) {
    start();
    const size_t baseline = open_fds(vop_->pid());

    for (int i = 0; i < 200; ++i) {
        auto r = i3msg({"-q", "-t", "get_version"});
        ASSERT_EQ(r.status, 0) << i << r.err;
    }
    {
        // Header now, payload 50 ms later.
        SocketClient c(i3_path());
        std::string frame = i3c::encode(i3c::kRunCommand, "workspace 2");
        ASSERT_TRUE(c.send(frame.substr(0, i3c::kHeaderSize)));
        std::this_thread::sleep_for(50ms);
        ASSERT_TRUE(c.send(frame.substr(i3c::kHeaderSize)));
        auto reply = c.frame();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->payload, kSuccess);
        EXPECT_TRUE(desktop_is(1u));
    }
    {
        SocketClient c(i3_path());
        ASSERT_TRUE(c.send(std::string("i3-ipX") + std::string(8, '\0')));
        EXPECT_TRUE(c.closed_by_peer());
        EXPECT_EQ(c.received, "");
    }
    {
        // An announced length past the limit is refused at once, before any payload.
        SocketClient c(i3_path());
        std::string header = i3c::encode(i3c::kGetVersion, "").substr(0, i3c::kHeaderSize);
        header[6] = header[7] = header[8] = header[9] = '\xff';
        ASSERT_TRUE(c.send(header));
        EXPECT_TRUE(c.closed_by_peer());
    }
    for (int i = 0; i < 50; ++i) {
        // Gone before the reply.
        SocketClient c(i3_path());
        c.send(i3c::encode(i3c::kGetWorkspaces, ""));
    }
    {
        // A subscriber that went away.
        SocketClient c(i3_path());
        ASSERT_TRUE(c.i3(i3c::kSubscribe, R"(["workspace","output"])"));
    }
    std::mt19937 rng(3);
    for (int i = 0; i < 20; ++i) {
        SocketClient noise(i3_path());
        std::string bytes(4096, '\0');
        for (auto& ch : bytes) ch = static_cast<char>(rng());
        if (i % 2) bytes.replace(0, 6, "i3-ipc");
        noise.send(bytes);
    }

    auto v = i3msg({"-t", "get_version"});
    EXPECT_EQ(v.out, std::string(kVersion) + "\n");
    EXPECT_EQ(i3msg({"workspace", "1"}).out, std::string(kSuccess) + "\n");
    EXPECT_TRUE(wait_until([&] { return open_fds(vop_->pid()) == baseline; }, 10000ms))
        << open_fds(vop_->pid()) << " vs " << baseline;
}

// Output changes need a server whose RandR outputs can be switched: Xorg with the dummy driver.
TEST(IpcOutputs, OutputEventFollowsARandrChange) {
    std::string why_not;
    auto xorg = DummyXorg::start(why_not);
    if (!xorg) GTEST_SKIP() << why_not;
    VopProcess vop({.display = xorg->display(), .env = {}, .init_lua = kPlainConfig});
    ASSERT_TRUE(vop.wait_ready()) << vop.describe();
    const std::string path = vop.runtime_dir() + "/vop-i3.sock";
    ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(path); }));
    SocketClient raw(path);
    auto sub = raw.i3(i3c::kSubscribe, R"(["output"])");
    ASSERT_TRUE(sub) << vop.describe();

    xorg->add_second_monitor();
    auto ev = raw.frame(10000ms);
    ASSERT_TRUE(ev) << vop.describe();
    EXPECT_EQ(ev->type, i3c::kOutputEvent);
    EXPECT_EQ(ev->payload, R"({"change":"unspecified"})");

    auto outputs = json::parse(run_command("", {"i3-msg", "-s", path, "-t", "get_outputs"}).out, nullptr, false);
    ASSERT_TRUE(outputs.is_array());
    EXPECT_EQ(outputs.size(), 2u) << outputs.dump();
    EXPECT_TRUE(vop.running());
}
