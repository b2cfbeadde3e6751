// Debug-form texts shared by every log line.
#include "util/debug_form.hpp"

#include <cstring>

namespace vop::dbg {

std::string quoted(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    out += fmt::format("\\u{{{:x}}}", c);
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    return out;
}

std::string os_error(int errnum) {
    char buf[256];
    const char* text = strerror_r(errnum, buf, sizeof buf);
    return fmt::format("{} (os error {})", text, errnum);
}

}  // namespace vop::dbg
