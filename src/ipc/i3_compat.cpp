// Reading and writing framed i3 IPC messages on buffered non-blocking connections.
#include "ipc/i3_compat.hpp"

#include "util/debug_form.hpp"

#include <cstring>

namespace vop::i3_compat {

Decoded::Kind peek(std::string_view bytes, Decoded* d) {
    if (bytes.size() < kHeaderSize) return Decoded::Kind::Incomplete;
    if (bytes.substr(0, kMagic.size()) != kMagic) {
        if (d) d->error = "Invalid i3 IPC magic";
        return Decoded::Kind::Error;
    }
    uint32_t len = 0;
    std::memcpy(&len, bytes.data() + 6, 4);
    if (len > kMaxPayload) {
        if (d) d->error = "Message too large";
        return Decoded::Kind::Error;
    }
    if (bytes.size() - kHeaderSize < len) return Decoded::Kind::Incomplete;
    if (d) {
        std::memcpy(&d->message.type, bytes.data() + 10, 4);
        d->message.payload.assign(bytes.substr(kHeaderSize, len));
        d->consumed = kHeaderSize + len;
    }
    return Decoded::Kind::Message;
}

Decoded decode(std::string_view bytes) {
    Decoded d;
    d.kind = peek(bytes, &d);
    return d;
}

std::string encode(uint32_t type, std::string_view payload) {
    std::string out;
    out.reserve(kHeaderSize + payload.size());
    auto len = static_cast<uint32_t>(payload.size());
    out.append(kMagic);
    out.append(reinterpret_cast<const char*>(&len), 4);
    out.append(reinterpret_cast<const char*>(&type), 4);
    out.append(payload);
    return out;
}

ReadOutcome read_message(ipc::ClientConn& conn) {
    ReadOutcome out;
    for (;;) {
        Decoded d = decode(conn.input());
        if (d.kind == Decoded::Kind::Message) {
            conn.input().erase(0, d.consumed);
            out.kind = ReadOutcome::Kind::Message;
            out.message = std::move(d.message);
            return out;
        }
        if (d.kind == Decoded::Kind::Error) {
            out.kind = ReadOutcome::Kind::Error;
            out.error = std::move(d.error);
            return out;
        }
        if (conn.eof()) {
            if (conn.input().size() >= kHeaderSize) {
                out.kind = ReadOutcome::Kind::Error;
                out.error = "unexpected end of file inside a message payload";
            }
            return out;
        }
        int e = 0;
        switch (conn.read_some(e)) {
            case ipc::ClientConn::Fill::Progress:
            case ipc::ClientConn::Fill::Eof: continue;
            case ipc::ClientConn::Fill::WouldBlock: return out;
            case ipc::ClientConn::Fill::Error:
                out.kind = ReadOutcome::Kind::Error;
                out.error = dbg::os_error(e);
                return out;
        }
    }
}

std::optional<std::string> write_message(ipc::ClientConn& conn, uint32_t type, std::string_view payload) {
    return conn.send(encode(type, payload));
}

}  // namespace vop::i3_compat
