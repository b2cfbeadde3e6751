// The one global log: levelled records with a target, to stdout and /tmp/vop.log.
#pragma once

#include "util/result.hpp"

#include <fmt/format.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace vop::log {

enum class Level : int { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

inline constexpr const char* kLogPath = "/tmp/vop.log";
inline constexpr const char* kFilterVar = "VOP_LOG";

// Directives "level" or "target=level", comma separated; the longest matching
// target prefix wins.
struct Filter {
    Level default_level = Level::Debug;
    std::vector<std::pair<std::string, Level>> targets;
    Level level_for(std::string_view target) const;
    Level most_verbose() const;
};
std::optional<Filter> parse_filter(std::string_view text);

// Sets up both outputs. Returns the failure text ("Failed to create log file: ...")
// when the file cannot be opened.
std::optional<std::string> init();

// Creates the log file at `path` afresh for writing, private to its owner, after removing the previous
// log there; refuses anything else at the path (a link, a FIFO, another user's file) with the reason.
// Returns the descriptor.
Result<int, std::string> open_log_file(const char* path);

// Formats one record line, with the terminal colours when `colour`; `now_us` is microseconds since the
// epoch. Control characters in `msg` are escaped (\n, \t, \u{1b}...), so a record is always one line.
std::string format_record(long long now_us, Level level, std::string_view target, std::string_view msg,
                          bool colour);

bool enabled(Level level, std::string_view target);
void emit(Level level, std::string_view target, std::string_view msg);

// Tests capture records here instead of (or before) the real outputs; every level passes.
using Sink = std::function<void(Level, std::string_view target, std::string_view msg)>;
void set_test_sink(Sink sink);

// What one inserted value may put into a record: a longer one keeps its first bytes (whole characters)
// followed by "… (N more bytes)", so no client text can stall the loop or bloat the log.
inline constexpr std::size_t kMaxValueBytes = 4096;

// A text as a record shows it: cut to kMaxValueBytes as above.
struct Capped {
    std::string_view head;
    std::size_t more = 0;  // bytes left out
    explicit Capped(std::string_view text);
};

namespace detail {
// A value of another kind, formatted first and then capped as a text.
template <class T>
struct CappedValue {
    const T& value;
};

template <class T>
decltype(auto) capped(const T& v) {
    if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        // A null C string (a getenv that found nothing, say) is shown, not read.
        if constexpr (std::is_pointer_v<T>) {
            if (v == nullptr) return Capped("(null)");
        }
        return Capped(std::string_view(v));
    } else if constexpr (std::is_arithmetic_v<T> || std::is_enum_v<T> || std::is_pointer_v<T>) {
        return (v);
    } else {
        return CappedValue<T>{v};
    }
}
}  // namespace detail

template <class... A>
void log(Level level, std::string_view target, fmt::format_string<A...> f, A&&... args) {
    if (!enabled(level, target)) return;
    // The format string was checked against the values themselves; caps keep their formats.
    emit(level, target, fmt::vformat(fmt::string_view(f), fmt::make_format_args(detail::capped(args)...)));
}
template <class... A>
void error(std::string_view target, fmt::format_string<A...> f, A&&... args) {
    log(Level::Error, target, f, std::forward<A>(args)...);
}
template <class... A>
void warn(std::string_view target, fmt::format_string<A...> f, A&&... args) {
    log(Level::Warn, target, f, std::forward<A>(args)...);
}
template <class... A>
void info(std::string_view target, fmt::format_string<A...> f, A&&... args) {
    log(Level::Info, target, f, std::forward<A>(args)...);
}
template <class... A>
void debug(std::string_view target, fmt::format_string<A...> f, A&&... args) {
    log(Level::Debug, target, f, std::forward<A>(args)...);
}
template <class... A>
void trace(std::string_view target, fmt::format_string<A...> f, A&&... args) {
    log(Level::Trace, target, f, std::forward<A>(args)...);
}

}  // namespace vop::log

template <>
struct fmt::formatter<vop::log::Capped> : fmt::formatter<std::string_view> {
    auto format(const vop::log::Capped& c, format_context& ctx) const {
        auto out = fmt::formatter<std::string_view>::format(c.head, ctx);
        return c.more == 0 ? out : fmt::format_to(out, "… ({} more bytes)", c.more);
    }
};

template <class T>
struct fmt::formatter<vop::log::detail::CappedValue<T>> : fmt::formatter<vop::log::Capped> {
    auto format(const vop::log::detail::CappedValue<T>& v, format_context& ctx) const {
        const std::string text = fmt::format("{}", v.value);
        return fmt::formatter<vop::log::Capped>::format(vop::log::Capped(text), ctx);
    }
};
