// Reading vop's log records (the file /tmp/vop.log or captured stdout) and guarding the fixed log path.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vop::test {

inline constexpr const char* kLogPath = "/tmp/vop.log";

// One record line: "<timestamp> <LEVEL> <target>: <message>", level right-aligned in five characters.
struct LogRecord {
    std::string timestamp;  // 2026-01-31T09:05:07.012345Z
    std::string level;      // "INFO", "ERROR"... (without the alignment blanks)
    std::string target;
    std::string message;
};

// The record of `line` when the line has exactly the record format, else std::nullopt.
std::optional<LogRecord> parse_record(const std::string& line);
std::vector<std::string> split_lines(const std::string& text);
// The text with terminal escape sequences (ESC [ ... letter) removed.
std::string strip_ansi(const std::string& text);

std::string read_log();
std::vector<std::string> log_lines();
// The records of the log file; lines that are not records are skipped.
std::vector<LogRecord> log_records();
// Whether any record's message contains `text`.
bool log_contains(const std::string& text);

// Moves whatever is at /tmp/vop.log aside so a test may plant something there; on destruction
// removes what the test left and puts the original back.
class LogPathGuard {
public:
    LogPathGuard();
    ~LogPathGuard();
    LogPathGuard(const LogPathGuard&) = delete;
    LogPathGuard& operator=(const LogPathGuard&) = delete;

private:
    std::string backup_;  // "" when nothing was there
};

}  // namespace vop::test
