// The i3 IPC framing: a 14-byte header ("i3-ipc", payload length, message type) and the payload.
#pragma once

#include "ipc/socket_util.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vop {

struct I3Message {
    uint32_t type = 0;
    std::string payload;
};

namespace i3_compat {

inline constexpr std::string_view kMagic = "i3-ipc";
inline constexpr std::size_t kHeaderSize = 14;
// A larger announced payload is refused before any of it is read or stored.
inline constexpr uint32_t kMaxPayload = 16777216;

// Message types of the protocol; a reply carries the type of its request.
inline constexpr uint32_t kRunCommand = 0;
inline constexpr uint32_t kGetWorkspaces = 1;
inline constexpr uint32_t kSubscribe = 2;
inline constexpr uint32_t kGetOutputs = 3;
inline constexpr uint32_t kGetTree = 4;
inline constexpr uint32_t kGetMarks = 5;
inline constexpr uint32_t kGetBarConfig = 6;
inline constexpr uint32_t kGetVersion = 7;
// Events have the highest bit set.
inline constexpr uint32_t kWorkspaceEvent = 0x80000000u;
inline constexpr uint32_t kOutputEvent = 0x80000001u;

// One message taken from bytes already received.
struct Decoded {
    enum class Kind { Message, Incomplete, Error } kind = Kind::Incomplete;
    I3Message message;
    std::size_t consumed = 0;  // bytes of the message, header included
    std::string error;         // "Invalid i3 IPC magic" or "Message too large"
};
Decoded decode(std::string_view bytes);
// What decode would find, without copying anything out; fills `d` (when given) as decode does.
Decoded::Kind peek(std::string_view bytes, Decoded* d = nullptr);

// Header and payload, ready to be written.
std::string encode(uint32_t type, std::string_view payload);

struct ReadOutcome {
    enum class Kind { Message, NoMessage, Error } kind = Kind::NoMessage;
    I3Message message;
    std::string error;
};
// Takes one complete message from the client's buffer, reading what has arrived when the buffer holds
// none. A message that has arrived only in part stays buffered for a later call. End of file at a
// message boundary or inside a header is no message (the connection's eof() tells it apart); inside
// a payload it is an error.
ReadOutcome read_message(ipc::ClientConn& conn);

// Queues one message on the client's connection and writes what the socket takes now; the rest goes
// out with later writes. Returns the error text of a failed write or of an overfull queue.
std::optional<std::string> write_message(ipc::ClientConn& conn, uint32_t type, std::string_view payload);

}  // namespace i3_compat
}  // namespace vop
