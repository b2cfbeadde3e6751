// The printed "debug form" of values in log lines: quoted texts, Some(..)/None, lists.
#pragma once

#include <fmt/format.h>

#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace vop::dbg {

// A text in double quotes with backslash escapes ("a\"b\n"): \t, \r, \n, \0, \u{hex} for any other
// character that does not show as itself (controls, U+85, U+200B...) and \xHH for bytes that are not UTF-8.
std::string quoted(std::string_view s);

// The text with its control characters escaped as in quoted() (no quotes added, quotes and backslashes
// kept): what a log record's message becomes, so that it stays one line without terminal escapes.
std::string escape_controls(std::string_view s);

// The description of an operating-system error number, e.g. "No such file or directory (os error 2)".
std::string os_error(int errnum);

template <class T>
std::string form(const T& v) {
    if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        return quoted(std::string_view(v));
    } else if constexpr (std::is_same_v<T, bool>) {
        return v ? "true" : "false";
    } else {
        return fmt::format("{}", v);
    }
}

template <class T>
std::string form(const std::optional<T>& v) {
    return v ? "Some(" + form(*v) + ")" : std::string("None");
}

// A list in brackets, items in their debug form separated by ", ".
template <class Range>
std::string list(const Range& r) {
    std::string out = "[";
    bool first = true;
    for (const auto& item : r) {
        if (!first) out += ", ";
        first = false;
        out += form(item);
    }
    out += "]";
    return out;
}

}  // namespace vop::dbg
