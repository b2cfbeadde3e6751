// Debug-form texts shared by every log line.
#include "util/debug_form.hpp"

#include "util/unicode.hpp"

#include <algorithm>
#include <cstring>

namespace vop::dbg {

namespace {

void append_hex(std::string& out, uint32_t v, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char buf[8];
    int n = 0;
    do {
        buf[n++] = digits[v & 0xF];
        v >>= 4;
    } while (v != 0);
    while (n > 0) out += buf[--n];
}

// Appends `s` with backslash escapes, in one pass without a formatting call per character. A quoted
// text escapes quotes, backslashes and every character that does not show as itself; otherwise only
// control characters are escaped, so the text stays on one line and carries no terminal escape
// sequence. Bytes that are not UTF-8 print as \xHH.
void escape_into(std::string& out, std::string_view s, bool quoted_text) {
    for (std::size_t i = 0; i < s.size();) {
        // Runs of printable ASCII are copied whole.
        std::size_t run = i;
        while (run < s.size() && s[run] >= 0x20 && s[run] < 0x7F && s[run] != '"' && s[run] != '\\') ++run;
        out.append(s, i, run - i);
        i = run;
        if (i == s.size()) break;
        uint32_t cp = 0;
        std::size_t len = unicode::decode_one(s, i, cp);
        if (len == 0) {
            out += "\\x";
            if (static_cast<unsigned char>(s[i]) < 0x10) out += '0';
            append_hex(out, static_cast<unsigned char>(s[i]), true);
            ++i;
            continue;
        }
        switch (cp) {
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\0': out += "\\0"; break;
            case '"':
            case '\\':
                if (quoted_text) out += '\\';
                out += static_cast<char>(cp);
                break;
            default: {
                bool control = cp < 0x20 || (cp >= 0x7F && cp < 0xA0);
                if (control || (quoted_text && !unicode::is_printable(cp))) {
                    out += "\\u{";
                    append_hex(out, cp, false);
                    out += '}';
                } else {
                    out.append(s, i, len);
                }
            }
        }
        i += len;
    }
}

}  // namespace

std::string quoted(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '"';
    escape_into(out, s, true);
    out += '"';
    return out;
}

std::string escape_controls(std::string_view s) {
    bool plain = std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
    if (plain) return std::string(s);
    std::string out;
    out.reserve(s.size() + 16);
    escape_into(out, s, false);
    return out;
}

std::string os_error(int errnum) {
    char buf[256];
    const char* text = strerror_r(errnum, buf, sizeof buf);
    return fmt::format("{} (os error {})", text, errnum);
}

}  // namespace vop::dbg
