// Parsing vop's log records and moving the fixed log path aside for tests that tamper with it.
#include "log_file.hpp"

#include "process.hpp"

#include <unistd.h>

#include <filesystem>
#include <regex>

namespace vop::test {

std::optional<LogRecord> parse_record(const std::string& line) {
    static const std::regex re(
        R"(^(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{6}Z) (TRACE|DEBUG| INFO| WARN|ERROR) ([A-Za-z0-9_:]+): (.*)$)");
    std::smatch m;
    if (!std::regex_match(line, m, re)) return std::nullopt;
    std::string level = m[2];
    if (level[0] == ' ') level.erase(0, 1);
    return LogRecord{m[1], level, m[3], m[4]};
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        out.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return out;
}

std::string strip_ansi(const std::string& text) {
    static const std::regex esc("\x1b\\[[0-9;]*[A-Za-z]");
    return std::regex_replace(text, esc, "");
}

std::string read_log() { return read_file(kLogPath); }

std::vector<std::string> log_lines() { return split_lines(read_log()); }

std::vector<LogRecord> log_records() {
    std::vector<LogRecord> out;
    for (const auto& l : log_lines()) {
        if (auto r = parse_record(l)) out.push_back(std::move(*r));
    }
    return out;
}

bool log_contains(const std::string& text) {
    for (const auto& r : log_records()) {
        if (r.message.find(text) != std::string::npos) return true;
    }
    return false;
}

LogPathGuard::LogPathGuard() {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::symlink_status(kLogPath, ec).type() == fs::file_type::not_found) return;
    backup_ = std::string(kLogPath) + ".saved-by-test-" + std::to_string(getpid());
    fs::rename(kLogPath, backup_, ec);
    if (ec) throw HarnessError("cannot move " + std::string(kLogPath) + " aside: " + ec.message());
}

LogPathGuard::~LogPathGuard() {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::remove_all(kLogPath, ec);
    if (!backup_.empty()) fs::rename(backup_, kLogPath, ec);
}

}  // namespace vop::test
