// Log filter, record format and the two outputs (coloured stdout that never blocks, unbuffered file).
#include "logging.hpp"

#include "util/debug_form.hpp"
#include "util/result.hpp"
#include "util/unicode.hpp"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace vop::log {
namespace {

struct State {
    bool ready = false;
    Filter filter;
    Level max_level = Level::Off;
    int file_fd = -1;
    bool colour = true;
    Sink sink;
    // Standard output: the descriptor records go through, how many records it did not take since the
    // last one it took whole, and whether the last one was cut off mid-line.
    int out_fd = STDOUT_FILENO;
    unsigned long out_dropped = 0;
    bool out_cut = false;
};

State& state() {
    static State s;
    return s;
}

std::optional<Level> parse_level(std::string_view s) {
    auto eq = [&](const char* name) {
        std::string_view n(name);
        return s.size() == n.size() &&
               std::equal(s.begin(), s.end(), n.begin(), [](char a, char b) {
                   return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b;
               });
    };
    if (eq("off")) return Level::Off;
    if (eq("error")) return Level::Error;
    if (eq("warn")) return Level::Warn;
    if (eq("info")) return Level::Info;
    if (eq("debug")) return Level::Debug;
    if (eq("trace")) return Level::Trace;
    return std::nullopt;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool valid_target(std::string_view t) {
    return !t.empty() && std::all_of(t.begin(), t.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == ':';
    });
}

void write_all(int fd, std::string_view s) {
    while (!s.empty()) {
        ssize_t n = ::write(fd, s.data(), s.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // a closed stdout must not stop the window manager
        }
        s.remove_prefix(static_cast<size_t>(n));
    }
}

// Writes what `fd` takes now, without waiting; returns the number of bytes written. Each write is at
// most PIPE_BUF bytes, which a pipe that polls writable takes at once (a socket too: it polls writable
// only with most of its send buffer free).
std::size_t write_now(int fd, std::string_view s) {
    std::size_t done = 0;
    while (done < s.size()) {
        pollfd p{fd, POLLOUT, 0};
        int r = ::poll(&p, 1, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 || (p.revents & POLLOUT) == 0) break;
        ssize_t n = ::write(fd, s.data() + done, std::min<std::size_t>(s.size() - done, PIPE_BUF));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

// A terminal polls writable with any room at all, so a write may still wait there: terminal records go
// through a descriptor of their own that does not wait. The one standard output shares with the
// terminal and every child stays as it is.
int open_stdout() {
    if (!isatty(STDOUT_FILENO)) return STDOUT_FILENO;
    int fd = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    return fd >= 0 ? fd : STDOUT_FILENO;
}

// Why the thing at `path` is not ours to write: "is a FIFO, not a regular file", "belongs to uid 1001, not
// to uid 1000 that vop runs as", "has 2 hard links, not 1"; nothing when it is a regular file of ours that
// no other name shares.
std::optional<std::string> refusal(const char* path, const struct stat& st) {
    if (!S_ISREG(st.st_mode)) {
        const char* kind = S_ISFIFO(st.st_mode)  ? "a FIFO"
                           : S_ISDIR(st.st_mode) ? "a directory"
                           : S_ISLNK(st.st_mode) ? "a symbolic link"
                           : S_ISSOCK(st.st_mode) ? "a socket"
                                                  : "a device";
        return fmt::format("{} is {}, not a regular file", path, kind);
    }
    if (st.st_uid != geteuid()) {
        return fmt::format("{} belongs to uid {}, not to uid {} that vop runs as", path, st.st_uid, geteuid());
    }
    // A hard link means another name shares the file: it is some other file, not a previous log.
    if (st.st_nlink > 1) {
        return fmt::format("{} has {} hard links, not 1: another name shares the file", path, st.st_nlink);
    }
    return std::nullopt;
}

// What stands at `path` now, when it is not ours to write, else the system error `e`.
std::string failure(const char* path, int e) {
    struct stat st {};
    if (::lstat(path, &st) == 0) {
        if (auto why = refusal(path, st)) return *why;
    }
    return fmt::format("{}: {}", path, dbg::os_error(e));
}

long long now_micros() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

const char* level_name(Level l) {
    switch (l) {
        case Level::Error: return "ERROR";
        case Level::Warn: return " WARN";
        case Level::Info: return " INFO";
        case Level::Debug: return "DEBUG";
        case Level::Trace: return "TRACE";
        case Level::Off: break;
    }
    return "  OFF";
}

const char* level_colour(Level l) {
    switch (l) {
        case Level::Error: return "\x1b[31m";
        case Level::Warn: return "\x1b[33m";
        case Level::Info: return "\x1b[32m";
        case Level::Debug: return "\x1b[34m";
        case Level::Trace: return "\x1b[35m";
        case Level::Off: break;
    }
    return "";
}

// Standard output may be a pipe or terminal nobody reads: a record goes out as far as it is taken now
// and the rest is dropped. The next record that goes out whole is preceded by a count of the dropped ones.
void to_stdout(State& s, long long now, const std::string& record) {
    std::string out;
    if (s.out_cut) out += '\n';
    if (s.out_dropped > 0) {
        out += format_record(now, Level::Warn, "vop",
                             fmt::format("{} log records were dropped: standard output did not take them",
                                         s.out_dropped),
                             s.colour);
    }
    const std::size_t note_end = out.size();
    out += record;
    std::size_t n = write_now(s.out_fd, out);
    if (n == out.size()) {
        s.out_dropped = 0;
        s.out_cut = false;
    } else if (n > 0) {
        s.out_dropped = n >= note_end ? 1 : s.out_dropped + 1;
        s.out_cut = out[n - 1] != '\n';
    } else {
        ++s.out_dropped;
    }
}

// The record line of a message whose control characters are already escaped.
std::string record_line(long long now_us, Level level, std::string_view target, std::string_view text, bool colour) {
    time_t secs = static_cast<time_t>(now_us / 1000000);
    long micros = static_cast<long>(now_us % 1000000);
    tm t{};
    gmtime_r(&secs, &t);
    auto stamp = fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:06}Z", t.tm_year + 1900, t.tm_mon + 1,
                             t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, micros);
    if (!colour) return fmt::format("{} {} {}: {}\n", stamp, level_name(level), target, text);
    return fmt::format("\x1b[2m{}\x1b[0m {}{}\x1b[0m \x1b[2m{}:\x1b[0m {}\n", stamp, level_colour(level),
                       level_name(level), target, text);
}

}  // namespace

// The log holds window titles and commands, and the path is a fixed one in a directory everybody writes:
// the log is its owner's alone, and it takes the path only from nothing or from a previous log of ours.
// What stands at the path may change between any two calls here (a link made and removed, a rename over
// it), so no file that was there before is ever opened for writing: the previous log is removed and the
// log created afresh, exclusively. Anything that takes the path in between makes the creation fail.
Result<int, std::string> open_log_file(const char* path) {
    struct stat st {};
    if (::lstat(path, &st) == 0) {
        if (auto why = refusal(path, st)) return err(*why);
        // Removing a name leaves every file's content and mode as they were: at worst it takes away a name
        // another process has just put there.
        if (::unlink(path) != 0 && errno != ENOENT) return err(failure(path, errno));
    }
    int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) return err(failure(path, errno));
    // The umask may have taken the owner's bits; nobody else's are ever given.
    if (::fchmod(fd, 0600) != 0) {
        const int e = errno;
        ::close(fd);
        return err(fmt::format("{}: cannot make it private: {}", path, dbg::os_error(e)));
    }
    return fd;
}

Level Filter::level_for(std::string_view target) const {
    size_t best = 0;
    Level level = default_level;
    for (const auto& [prefix, l] : targets) {
        bool matches = target.substr(0, prefix.size()) == prefix &&
                       (target.size() == prefix.size() || target.substr(prefix.size(), 2) == "::");
        if (matches && prefix.size() >= best) {
            best = prefix.size();
            level = l;
        }
    }
    return level;
}

Level Filter::most_verbose() const {
    Level m = default_level;
    for (const auto& t : targets) m = std::max(m, t.second);
    return m;
}

std::optional<Filter> parse_filter(std::string_view text) {
    Filter f;
    f.default_level = Level::Off;
    bool any = false;
    while (true) {
        size_t comma = text.find(',');
        std::string_view item = trim(text.substr(0, comma));
        if (!item.empty()) {
            size_t eq = item.find('=');
            if (eq == std::string_view::npos) {
                if (auto l = parse_level(item)) {
                    f.default_level = *l;
                } else if (valid_target(item)) {
                    f.targets.emplace_back(std::string(item), Level::Trace);
                } else {
                    return std::nullopt;
                }
            } else {
                auto target = trim(item.substr(0, eq));
                auto l = parse_level(trim(item.substr(eq + 1)));
                if (!l || !valid_target(target)) return std::nullopt;
                f.targets.emplace_back(std::string(target), *l);
            }
            any = true;
        }
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    if (!any) return std::nullopt;
    return f;
}

Capped::Capped(std::string_view text) : head(text) {
    if (text.size() <= kMaxValueBytes) return;
    std::size_t end = kMaxValueBytes;
    // Back to the start of the character the cut falls in (at most three continuation bytes).
    for (int k = 0; k < 3 && end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80; ++k) --end;
    head = text.substr(0, end);
    more = text.size() - end;
}

std::string format_record(long long now_us, Level level, std::string_view target, std::string_view msg,
                          bool colour) {
    // The message may carry client text (titles, IPC requests, Lua errors): escaped, it cannot end the
    // line early or hold terminal escapes. The colours are the record's own.
    return record_line(now_us, level, target, dbg::escape_controls(msg), colour);
}

std::optional<std::string> init() {
    State& s = state();
    const char* env = std::getenv(kFilterVar);
    std::optional<Filter> f = env ? parse_filter(env) : std::nullopt;
    s.filter = f ? *f : Filter{};

    auto fd = open_log_file(kLogPath);
    if (!fd) return "Failed to create log file: " + fd.error();
    s.file_fd = *fd;

    const char* nc = std::getenv("NO_COLOR");
    s.colour = !(nc && *nc && unicode::is_valid_utf8(nc));
    s.out_fd = open_stdout();
    s.max_level = s.filter.most_verbose();
    s.ready = true;
    return std::nullopt;
}

bool enabled(Level level, std::string_view target) {
    const State& s = state();
    if (s.sink) return true;
    if (!s.ready || level > s.max_level) return false;
    return level <= s.filter.level_for(target);
}

void emit(Level level, std::string_view target, std::string_view msg) {
    State& s = state();
    if (s.sink) {
        s.sink(level, target, msg);
        if (!s.ready || level > s.filter.level_for(target)) return;
    }
    long long now = now_micros();
    const std::string text = dbg::escape_controls(msg);
    if (s.file_fd >= 0) write_all(s.file_fd, record_line(now, level, target, text, false));
    to_stdout(s, now, record_line(now, level, target, text, s.colour));
}

void set_test_sink(Sink sink) { state().sink = std::move(sink); }

}  // namespace vop::log
