// Error: the error value shared by the X layer, the core and the event loop.
#pragma once

#include "util/result.hpp"

#include <fmt/format.h>

#include <cstdint>
#include <string>

namespace vop {

class Error {
public:
    enum class Kind { Connect, Connection, Reply, ReplyOrId, AnotherWmRunning, NoScreens, WindowNotFound, Io, Config };

    static Error connect(std::string d) { return {Kind::Connect, std::move(d)}; }
    static Error connection(std::string d) { return {Kind::Connection, std::move(d)}; }
    // `x_error_code`: the X protocol error the request was answered with, when there was one.
    static Error reply(std::string d, uint8_t x_error_code = 0) { return {Kind::Reply, std::move(d), x_error_code}; }
    static Error reply_or_id(std::string d) { return {Kind::ReplyOrId, std::move(d)}; }
    static Error another_wm_running() { return {Kind::AnotherWmRunning, {}}; }
    static Error no_screens() { return {Kind::NoScreens, {}}; }
    static Error window_not_found(uint32_t w) { return {Kind::WindowNotFound, std::to_string(w)}; }
    static Error io(std::string d) { return {Kind::Io, std::move(d)}; }
    static Error config(std::string d) { return {Kind::Config, std::move(d)}; }

    Kind kind() const { return kind_; }
    const std::string& detail() const { return detail_; }
    // The display text, e.g. "X11 reply error: ...".
    std::string to_string() const;
    // A reply error about a window that is gone (BadWindow, BadDrawable): normal for one that has just been
    // destroyed.
    bool window_gone() const;

private:
    Error(Kind k, std::string d, uint8_t x_error_code = 0) : kind_(k), detail_(std::move(d)), x_code_(x_error_code) {}
    Kind kind_;
    std::string detail_;
    uint8_t x_code_ = 0;
};

template <class T>
using XResult = Result<T, Error>;

// Description of an xcb connection error code (xcb_connection_has_error).
std::string describe_conn_error(int code);
// Description of an X protocol error (code, names of the request and resource).
std::string describe_x_error(uint8_t error_code, uint8_t major, uint16_t minor, uint32_t resource, uint16_t sequence);

}  // namespace vop

template <>
struct fmt::formatter<vop::Error> : fmt::formatter<std::string> {
    auto format(const vop::Error& e, format_context& ctx) const {
        return fmt::formatter<std::string>::format(e.to_string(), ctx);
    }
};
