// JSON request parsing, response lines, i3 framing and the i3 records' JSON form.
#include "ipc/i3_compat.hpp"
#include "ipc/i3_server.hpp"
#include "ipc/protocol.hpp"
#include "ipc/socket_util.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

using namespace std::string_literals;
using nlohmann::json;
using vop::Request;
using vop::Response;

TEST(IpcRequest, ParsesBothFormsAndRejectsTheRest) {
    struct Case {
        std::string line;
        std::optional<std::string> command;  // nothing: invalid
        json args = nullptr;
    };
    const Case cases[] = {
        {"{\"command\":\"get_tree\"}\n", "get_tree"},
        {"{\"command\":\"focus\",\"args\":{\"direction\":\"left\"}}", "focus", {{"direction", "left"}}},
        {"[\"focus\",{\"direction\":\"left\"}]\n", "focus", {{"direction", "left"}}},
        {"[\"exit\"]", "exit"},
        {"  {\"command\":\"x\",\"extra\":[1,{\"y\":2}]} \r\n", "x"},
        {"{\"command\":\"w\",\"args\":3}", "w", 3},
        {"{\"args\":{\"number\":1},\"command\":\"workspace\"}", "workspace", {{"number", 1}}},
        {"{\"command\":\"x\",\"args\":null}", "x"},
        {"{\"args\":{}}", std::nullopt},
        {"{\"command\":3}", std::nullopt},
        {"{\"command\":\"a\",\"command\":\"b\"}", std::nullopt},
        {"{\"command\":\"a\",\"z\":1,\"z\":2}", std::nullopt},
        {"[]", std::nullopt},
        {"[\"a\",1,2]", std::nullopt},
        {"[1]", std::nullopt},
        {"\"focus\"", std::nullopt},
        {"{\"command\":\"a\"} trailing", std::nullopt},
        // The whole line counts: a NUL byte is not the end of the text.
        {"{\"command\":\"exit\"}\0junk\n"s, std::nullopt},
        {"{\"command\":\"exit\"}\0"s, std::nullopt},
        {"{\"command\":\"a\0b\"}"s, std::nullopt},
        {"\0"s, std::nullopt},
        {" \t{\"command\":\"exit\"} \t\r\n", "exit"},
        {"{\"command\":\"a\"", std::nullopt},
        {"", std::nullopt},
        {"\n", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        auto r = Request::parse(c.line);
        ASSERT_EQ(r.has_value(), c.command.has_value());
        if (!r) continue;
        EXPECT_EQ(r->command, *c.command);
        EXPECT_EQ(r->args, c.args);
    }
}

TEST(IpcRequest, DeepNestingIsRefusedWithoutParsing) {
    std::string deep = "[\"x\"," + std::string(100000, '[') + std::string(100000, ']') + "]";
    EXPECT_FALSE(vop::json_depth_within(deep));
    EXPECT_FALSE(Request::parse(deep));
    // Brackets inside strings do not count, escaped quotes do not end a string.
    std::string quoted = "{\"command\":\"" + std::string(1000, '[') + "\\\"" + std::string(1000, '{') + "\"}";
    EXPECT_TRUE(vop::json_depth_within(quoted));
    ASSERT_TRUE(Request::parse(quoted));
    std::string ok = "[\"x\"," + std::string(60, '[') + std::string(60, ']') + "]";
    EXPECT_TRUE(Request::parse(ok));
}

TEST(IpcResponse, KeysInOrderAbsentOnesLeftOut) {
    EXPECT_EQ(Response::ok().to_json(), "{\"success\":true}");
    EXPECT_EQ(Response::error("No focused window").to_json(), "{\"success\":false,\"error\":\"No focused window\"}");
    json data = {{"zeta", 1}, {"alpha", json::array({1, 2})}, {"mid", nullptr}};
    EXPECT_EQ(Response::with_data(data).to_json(),
              "{\"success\":true,\"data\":{\"alpha\":[1,2],\"mid\":null,\"zeta\":1}}");
    EXPECT_EQ(Response::with_data(nullptr).to_json(), "{\"success\":true,\"data\":null}");
    // Invalid UTF-8 (a window title, a client's command name) is replaced instead of throwing.
    auto bad = Response::error("Unknown command: \xff\xfe").to_json();
    EXPECT_EQ(bad, "{\"success\":false,\"error\":\"Unknown command: \xEF\xBF\xBD\xEF\xBF\xBD\"}");
}

TEST(IpcSocketPath, FromRuntimeDir) {
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    struct Case {
        std::optional<std::string> value;
        std::string expected;
    };
    const Case cases[] = {
        {std::nullopt, "/tmp/vop.sock"},
        {"/run/user/1000", "/run/user/1000/vop.sock"},
        {"/run/user/1000/", "/run/user/1000/vop.sock"},
        {"", "vop.sock"},
        {"/bad\xff", "/tmp/vop.sock"},
    };
    for (const auto& c : cases) {
        if (c.value) setenv("XDG_RUNTIME_DIR", c.value->c_str(), 1);
        else unsetenv("XDG_RUNTIME_DIR");
        EXPECT_EQ(vop::ipc::runtime_socket_path("vop.sock"), c.expected);
    }
    if (saved) setenv("XDG_RUNTIME_DIR", saved->c_str(), 1);
    else unsetenv("XDG_RUNTIME_DIR");
}

namespace i3c = vop::i3_compat;

std::string header(std::string_view magic, uint32_t len, uint32_t type) {
    std::string h(magic);
    h.append(reinterpret_cast<const char*>(&len), 4);
    h.append(reinterpret_cast<const char*>(&type), 4);
    return h;
}

TEST(I3Framing, EncodeDecode) {
    EXPECT_EQ(i3c::encode(7, ""), std::string("i3-ipc\0\0\0\0\x07\0\0\0", 14));
    auto ev = i3c::encode(i3c::kWorkspaceEvent, "{}");
    EXPECT_EQ(ev.substr(10, 4), std::string("\0\0\0\x80", 4));

    // Two messages in one buffer come out one at a time.
    std::string two = i3c::encode(1, "") + i3c::encode(0, "workspace 3");
    auto d = i3c::decode(two);
    ASSERT_EQ(d.kind, i3c::Decoded::Kind::Message);
    EXPECT_EQ(d.message.type, 1u);
    EXPECT_EQ(d.consumed, 14u);
    d = i3c::decode(std::string_view(two).substr(d.consumed));
    ASSERT_EQ(d.kind, i3c::Decoded::Kind::Message);
    EXPECT_EQ(d.message.type, 0u);
    EXPECT_EQ(d.message.payload, "workspace 3");

    // Partial header and partial payload wait for more.
    EXPECT_EQ(i3c::decode(two.substr(0, 9)).kind, i3c::Decoded::Kind::Incomplete);
    EXPECT_EQ(i3c::decode(i3c::encode(0, "abc").substr(0, 15)).kind, i3c::Decoded::Kind::Incomplete);
}

TEST(I3Framing, MagicAndLengthLimitCheckedOnTheHeaderAlone) {
    auto at_limit = i3c::decode(header("i3-ipc", 16777216, 0));
    EXPECT_EQ(at_limit.kind, i3c::Decoded::Kind::Incomplete);
    auto over = i3c::decode(header("i3-ipc", 16777217, 0));
    ASSERT_EQ(over.kind, i3c::Decoded::Kind::Error);
    EXPECT_EQ(over.error, "Message too large");
    auto magic = i3c::decode(header("I3-IPC", 0, 7));
    ASSERT_EQ(magic.kind, i3c::Decoded::Kind::Error);
    EXPECT_EQ(magic.error, "Invalid i3 IPC magic");
}

namespace i3s = vop::i3_server;

TEST(I3Records, JsonFormInDeclarationOrder) {
    EXPECT_EQ(i3s::build_version_json(),
              "{\"major\":0,\"minor\":1,\"patch\":0,\"human_readable\":\"vop 0.1.0 (i3-compat)\","
              "\"loaded_config_file_name\":\"~/.config/vop/init.lua\"}");
    i3s::WorkspaceInfo ws{1000000, 1, "1", true, true, false, {0, 0, 1920, 1080}, "default"};
    const std::string ws_json =
        "{\"id\":1000000,\"num\":1,\"name\":\"1\",\"visible\":true,\"focused\":true,\"urgent\":false,"
        "\"rect\":{\"x\":0,\"y\":0,\"width\":1920,\"height\":1080},\"output\":\"default\"}";
    EXPECT_EQ(i3s::build_workspaces_json({ws}), "[" + ws_json + "]");
    EXPECT_EQ(i3s::build_workspaces_json({}), "[]");
    EXPECT_EQ(i3s::build_workspace_event_json("focus", ws, std::nullopt),
              "{\"change\":\"focus\",\"current\":" + ws_json + "}");
    auto old = ws;
    old.num = 2;
    auto with_old = json::parse(i3s::build_workspace_event_json("focus", ws, old));
    EXPECT_EQ(with_old["old"]["num"], 2);

    i3s::OutputInfo out{"DP-1", true, false, std::nullopt, {-1920, 0, 1920, 1080}};
    EXPECT_EQ(i3s::build_outputs_json({out}),
              "[{\"name\":\"DP-1\",\"active\":true,\"primary\":false,\"current_workspace\":null,"
              "\"rect\":{\"x\":-1920,\"y\":0,\"width\":1920,\"height\":1080}}]");
    // A RandR output name with a bad byte is replaced, not fatal.
    out.name = "HDMI\xff";
    EXPECT_NE(i3s::build_outputs_json({out}).find("HDMI\xEF\xBF\xBD"), std::string::npos);
}

TEST(I3Records, SubscribePayload) {
    EXPECT_EQ(i3s::parse_subscribe_payload("[\"workspace\",\"output\"]"),
              (std::vector<std::string>{"workspace", "output"}));
    EXPECT_EQ(i3s::parse_subscribe_payload("[]"), std::vector<std::string>{});
    EXPECT_FALSE(i3s::parse_subscribe_payload("[\"workspace\",1]"));
    EXPECT_FALSE(i3s::parse_subscribe_payload("{\"a\":1}"));
    EXPECT_FALSE(i3s::parse_subscribe_payload("[\"\xff\"]"));
    EXPECT_FALSE(i3s::parse_subscribe_payload("[\"workspace\"]\0x"s));
    EXPECT_FALSE(i3s::parse_subscribe_payload(std::string(100000, '[')));
}
