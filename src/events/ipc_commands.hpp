// The commands reachable over the two sockets: JSON requests and i3 messages, with their argument readers.
#pragma once

#include "core/workspace.hpp"
#include "ipc/i3_compat.hpp"
#include "ipc/protocol.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vop {

class WindowManager;

// Runs one JSON request against the state; the response for its sender.
Response dispatch_json_command(WindowManager& wm, const Request& request);

// Answers one i3 message from client `client` of the i3 server (exactly one reply, same type).
void dispatch_i3_message(WindowManager& wm, std::size_t client, const I3Message& message);

namespace json_args {
// "direction" when it is a string, else "".
std::string direction_text(const nlohmann::json& args);
// "amount" when it is any number, as a float (out of range saturates to infinity), else 0.05.
float amount(const nlohmann::json& args);
// The index of "number" when it is a non-negative integer (number - 1, and 0 for 0), else 0.
std::size_t workspace_index(const nlohmann::json& args);
// "target" when it is a string, else "next".
std::string monitor_target(const nlohmann::json& args);
}  // namespace json_args

namespace i3_text {
// Strips Unicode white space at both ends.
std::string_view trim(std::string_view s);
// Digits with an optional leading '+', fitting in 64 bits; nothing else.
std::optional<uint64_t> parse_number(std::string_view s);
// One pair of double quotes around the whole text taken off, reading \" and \\ inside as " and \;
// a text not wholly quoted (no quotes, one never closed, more after the closing one) stays as it is.
std::string unquote(std::string_view s);
// The workspace "workspace X" names: X as a number whose index exists, else the first exact name match.
std::optional<std::size_t> resolve_workspace(std::string_view x, const std::array<Workspace, kWorkspaceCount>& ws);
}  // namespace i3_text

}  // namespace vop
