// Display texts of Error and descriptions of xcb and X protocol failures.
#include "x11/error.hpp"

namespace vop {

std::string Error::to_string() const {
    switch (kind_) {
        case Kind::Connect: return "Failed to connect to X server: " + detail_;
        case Kind::Connection: return "X11 connection error: " + detail_;
        case Kind::Reply: return "X11 reply error: " + detail_;
        case Kind::ReplyOrId: return "X11 reply or ID error: " + detail_;
        case Kind::AnotherWmRunning: return "Another window manager is already running";
        case Kind::NoScreens: return "No screens available";
        case Kind::WindowNotFound: return "Window not found: " + detail_;
        case Kind::Io: return "IO error: " + detail_;
        case Kind::Config: return "Config error: " + detail_;
    }
    return detail_;
}

bool Error::window_gone() const {
    constexpr uint8_t kBadWindow = 3, kBadDrawable = 9;
    return kind_ == Kind::Reply && (x_code_ == kBadWindow || x_code_ == kBadDrawable);
}

std::string describe_conn_error(int code) {
    switch (code) {
        case 1: return "socket, pipe or other stream error";
        case 2: return "extension not supported";
        case 3: return "insufficient memory";
        case 4: return "request length exceeded";
        case 5: return "cannot parse the display name";
        case 6: return "no screen matching the display name";
        case 7: return "file descriptor passing failed";
        default: return fmt::format("connection error {}", code);
    }
}

std::string describe_x_error(uint8_t error_code, uint8_t major, uint16_t minor, uint32_t resource, uint16_t sequence) {
    static const char* const names[] = {"Success", "BadRequest", "BadValue", "BadWindow", "BadPixmap", "BadAtom",
                                        "BadCursor", "BadFont", "BadMatch", "BadDrawable", "BadAccess", "BadAlloc",
                                        "BadColor", "BadGC", "BadIDChoice", "BadName", "BadLength",
                                        "BadImplementation"};
    std::string name = error_code < std::size(names) ? names[error_code] : fmt::format("error {}", error_code);
    return fmt::format("X error {} ({}), request {}.{}, resource {}, sequence {}", name, error_code, major, minor,
                       resource, sequence);
}

}  // namespace vop
