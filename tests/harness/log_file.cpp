// Parsing vop's log records and moving the fixed log path aside for tests that tamper with it.
#include "log_file.hpp"

#include "process.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include <algorithm>
#include <filesystem>
#include <string_view>

namespace vop::test {

namespace {

// /tmp/vop.log is one path for every test run on the machine, so each test holds this lock while it runs:
// two developers' test runs then take turns instead of truncating each other's logs.
class LogPathLock : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        fd_ = open("/tmp/vop-e2e.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd_ < 0) return;
        fchmod(fd_, 0666);  // whoever created it, everyone may lock it
        bool told = false;
        // A test stuck elsewhere must not stop this run for good.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
        while (flock(fd_, LOCK_EX | LOCK_NB) != 0 && std::chrono::steady_clock::now() < deadline) {
            if (!told) std::fprintf(stderr, "waiting for another test run to release /tmp/vop-e2e.lock\n");
            told = true;
            usleep(20000);
        }
    }
    void OnTestEnd(const ::testing::TestInfo&) override {
        if (fd_ >= 0) close(fd_);  // releases the lock
        fd_ = -1;
    }
    int fd_ = -1;
};

const bool kLockRegistered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new LogPathLock);
    return true;
}();

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// "2026-01-31T09:05:07.012345Z": d is a digit, anything else must match exactly.
bool is_timestamp(std::string_view s) {
    constexpr std::string_view shape = "dddd-dd-ddTdd:dd:dd.ddddddZ";
    if (s.size() != shape.size()) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        if (shape[i] == 'd' ? !is_digit(s[i]) : s[i] != shape[i]) return false;
    }
    return true;
}

bool is_target_char(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
}
}  // namespace

std::optional<LogRecord> parse_record(const std::string& line) {
    // timestamp, blank, five-character level, blank, target, ": ", message
    constexpr size_t kStamp = 27, kLevel = 5;
    if (line.size() < kStamp + 1 + kLevel + 1 || !is_timestamp(std::string_view(line).substr(0, kStamp)) ||
        line[kStamp] != ' ' || line[kStamp + 1 + kLevel] != ' ')
        return std::nullopt;
    std::string level = line.substr(kStamp + 1, kLevel);
    static const std::string levels[] = {"TRACE", "DEBUG", " INFO", " WARN", "ERROR"};
    if (std::find(std::begin(levels), std::end(levels), level) == std::end(levels)) return std::nullopt;
    size_t t = kStamp + 1 + kLevel + 1;
    size_t sep = line.find(": ", t);
    if (sep == std::string::npos || sep == t ||
        !std::all_of(line.begin() + static_cast<long>(t), line.begin() + static_cast<long>(sep), is_target_char))
        return std::nullopt;
    if (level[0] == ' ') level.erase(0, 1);
    return LogRecord{line.substr(0, kStamp), level, line.substr(t, sep - t), line.substr(sep + 2)};
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
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
            size_t j = i + 2;
            while (j < text.size() && (is_digit(text[j]) || text[j] == ';')) ++j;
            if (j < text.size() && ((text[j] >= 'A' && text[j] <= 'Z') || (text[j] >= 'a' && text[j] <= 'z'))) {
                i = j;
                continue;
            }
        }
        out += text[i];
    }
    return out;
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
