// The one global log: levelled records with a target, to stdout and /tmp/vop.log.
#pragma once

#include <fmt/format.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
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

// Formats one record line, with the terminal colours when `colour`; `now_us` is microseconds since the
// epoch. Control characters in `msg` are escaped (\n, \t, \u{1b}...), so a record is always one line.
std::string format_record(long long now_us, Level level, std::string_view target, std::string_view msg,
                          bool colour);

bool enabled(Level level, std::string_view target);
void emit(Level level, std::string_view target, std::string_view msg);

// Tests capture records here instead of (or before) the real outputs; every level passes.
using Sink = std::function<void(Level, std::string_view target, std::string_view msg)>;
void set_test_sink(Sink sink);

template <class... A>
void log(Level level, std::string_view target, fmt::format_string<A...> f, A&&... args) {
    if (enabled(level, target)) emit(level, target, fmt::format(f, std::forward<A>(args)...));
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
