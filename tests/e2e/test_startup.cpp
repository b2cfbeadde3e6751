// Start-up of vop under a private X server: the log, its filter and colours, fatal start errors, the take-over.
#include "harness.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <set>

using namespace vop::test;

namespace {

constexpr uint32_t kRedirect = XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT;

// Seconds between a record's timestamp and now, to see that it is UTC.
long seconds_from_now(const std::string& stamp) {
    tm t{};
    strptime(stamp.c_str(), "%Y-%m-%dT%H:%M:%S", &t);
    return static_cast<long>(std::labs(static_cast<long>(timegm(&t) - std::time(nullptr))));
}

std::vector<std::string> messages(const std::vector<LogRecord>& records) {
    std::vector<std::string> out;
    for (const auto& r : records) out.push_back(r.message);
    return out;
}

bool has_level(const std::vector<LogRecord>& records, const std::string& level) {
    for (const auto& r : records) {
        if (r.level == level) return true;
    }
    return false;
}

}  // namespace

TEST(Startup, LogStartsWithTheFixedRecordsInExactFormat) {
    XServer x;
    VopProcess vop({.display = x.display(), .env = {{"NO_COLOR", "1"}}});
    ASSERT_TRUE(vop.wait_ready()) << vop.describe();

    auto lines = log_lines();
    ASSERT_GE(lines.size(), 4u) << vop.describe();
    // "<timestamp>  INFO vop: vop 0.1.0 starting": two blanks before INFO, which is right-aligned in five.
    auto first = parse_record(lines[0]);
    auto second = parse_record(lines[1]);
    ASSERT_TRUE(first && second) << lines[0] << "\n" << lines[1];
    EXPECT_EQ(lines[0], first->timestamp + "  INFO vop: vop 0.1.0 starting");
    EXPECT_EQ(lines[1], second->timestamp + "  INFO vop: Logging to /tmp/vop.log");
    EXPECT_LE(seconds_from_now(first->timestamp), 60) << "timestamps are UTC: " << first->timestamp;

    auto records = log_records();
    ASSERT_GE(records.size(), 4u);
    EXPECT_EQ(records[2].message, "Connected to X server, screen 1920x1080");
    EXPECT_EQ(records[2].target, "vop::x11::connection");
    EXPECT_EQ(records[2].level, "INFO");
    EXPECT_EQ(records[3].message, "Successfully became window manager");
    EXPECT_EQ(records[3].target, "vop::x11::connection");
    EXPECT_FALSE(has_level(records, "TRACE")) << "TRACE is off by default";
    // Every line of the file is a complete record.
    for (const auto& l : lines) EXPECT_TRUE(parse_record(l)) << "not a record: " << l;
}

// The log holds titles and commands: it is its owner's alone, whatever the umask, and an old one of ours is
// made private too.
TEST(Startup, LogFileIsTruncatedAndPrivate) {
    XServer x;
    LogPathGuard guard;
    auto mode = [] {
        struct stat st {};
        return lstat(kLogPath, &st) == 0 ? st.st_mode & 07777 : 0;
    };
    {
        // An old, longer log is cut, not appended to.
        write_file(kLogPath, std::string(200000, 'x') + "\n");
        chmod(kLogPath, 0644);
        VopProcess vop({.display = x.display(), .keep_old_log = true});
        ASSERT_TRUE(vop.wait_ready()) << vop.describe();
        auto lines = log_lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(parse_record(lines[0]).value_or(LogRecord{}).message, "vop 0.1.0 starting");
        EXPECT_EQ(read_log().find(std::string(100, 'x')), std::string::npos);
        EXPECT_EQ(mode(), 0600u);
    }
    for (mode_t umask_value : {0, 022, 077}) {
        SCOPED_TRACE(umask_value);
        std::filesystem::remove(kLogPath);
        mode_t saved = umask(umask_value);  // vop inherits it
        VopProcess vop({.display = x.display()});
        umask(saved);
        ASSERT_TRUE(vop.wait_ready()) << vop.describe();
        EXPECT_EQ(mode(), 0600u);
    }
}

// NO_COLOR decides the terminal colours only; the file never has escapes; both outputs hold the same records.
TEST(Startup, TerminalColourFollowsNoColor) {
    struct Case {
        const char* name;
        std::optional<std::string> no_color;
        bool coloured;
    };
    const Case cases[] = {
        {"unset", std::nullopt, true}, {"empty", "", true}, {"one", "1", false}, {"not UTF-8", "\xff", true}};
    XServer x;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        VopProcess vop({.display = x.display(), .env = {{"NO_COLOR", c.no_color}}});
        ASSERT_TRUE(vop.wait_ready()) << vop.describe();
        ASSERT_TRUE(vop.stop());
        std::string out = vop.out();
        std::string file = read_log();
        EXPECT_EQ(out.find('\x1b') != std::string::npos, c.coloured) << out;
        EXPECT_EQ(file.find('\x1b'), std::string::npos) << file;
        EXPECT_EQ(strip_ansi(out), file) << "stdout and the file hold the same records";
        EXPECT_EQ(vop.err(), "") << "records go to stdout, not stderr";
    }
}

// Client text cannot forge records: a title holding a line feed, a record of its own and terminal escapes
// stays escaped inside its one record on both outputs, and the file holds no escape byte at all.
TEST(Startup, HostileTitleStaysInsideItsRecord) {
    XServer x;
    VopProcess vop({.display = x.display()});
    ASSERT_TRUE(vop.wait_ready()) << vop.describe();
    TestClient c(x.display());
    uint32_t w = c.open_window(
        {.net_wm_name = "a\tb\n2026-01-31T09:05:07.012345Z ERROR vop: forged\x1b[2J\u0085"});
    ASSERT_TRUE(vop.wait_for_log("Managing window " + std::to_string(w))) << vop.describe();

    const std::string escaped = "title=a\\tb\\n2026-01-31T09:05:07.012345Z ERROR vop: forged\\u{1b}[2J\\u{85}";
    for (const auto& [name, text] : {std::pair{"file", read_log()}, std::pair{"stdout", vop.out()}}) {
        SCOPED_TRACE(name);
        std::vector<std::string> forged;
        for (const auto& l : split_lines(text)) {
            if (l.find("forged") != std::string::npos) forged.push_back(l);
        }
        ASSERT_EQ(forged.size(), 1u) << text;
        auto r = parse_record(strip_ansi(forged[0]));
        ASSERT_TRUE(r) << forged[0];
        EXPECT_EQ(r->message, "Checking rules for window " + std::to_string(w) + ": class=, instance=, " + escaped);
    }
    EXPECT_EQ(read_log().find('\x1b'), std::string::npos);
}

// Standard output on a pipe that nobody reads (a stalled pager, a full session log) holds nothing up: vop
// manages 30 new windows promptly and the file has their records. Once the pipe is read, the next record
// that goes out says how many were dropped.
TEST(Startup, UnreadStandardOutputHoldsNothingUp) {
    XServer x;
    VopProcess vop({.display = x.display(), .env = {{"NO_COLOR", "1"}}, .stdout_full_pipe = true});
    ASSERT_TRUE(vop.wait_ready()) << vop.describe();
    TestClient c(x.display());
    std::vector<uint32_t> windows;
    for (int i = 0; i < 30; ++i) windows.push_back(c.open_window());
    auto managed = [&] { return c.property_u32(c.root(), "_NET_CLIENT_LIST").value_or(std::vector<uint32_t>{}); };
    EXPECT_TRUE(wait_until([&] { return managed().size() == 30; }, 10000ms)) << vop.describe();
    for (uint32_t w : windows) EXPECT_TRUE(log_contains("Managing window " + std::to_string(w))) << w;
    EXPECT_EQ(vop.out(), "") << "nothing fitted into the full pipe";

    uint32_t last = c.open_window();
    EXPECT_TRUE(wait_until([&] { return vop.out().find("Managing window " + std::to_string(last)) != std::string::npos; }))
        << vop.describe();
    auto lines = split_lines(vop.out());
    ASSERT_FALSE(lines.empty());
    auto note = parse_record(lines[0]);
    ASSERT_TRUE(note) << lines[0];
    EXPECT_EQ(note->level, "WARN");
    EXPECT_NE(note->message.find(" log records were dropped: standard output did not take them"), std::string::npos)
        << note->message;
    EXPECT_GT(std::stoul(note->message), 30u);
    for (const auto& l : lines) EXPECT_TRUE(parse_record(l)) << "not a record: " << l;
}

TEST(Startup, FilterVariableSelectsRecords) {
    const std::vector<std::string> start = {"vop 0.1.0 starting", "Logging to /tmp/vop.log"};
    const std::vector<std::string> connection = {"Connected to X server, screen 1920x1080",
                                                 "Successfully became window manager"};
    auto both = start;
    both.insert(both.end(), connection.begin(), connection.end());
    // Levels from least to most verbose. A case gives the most verbose level that passes for the targets
    // under `prefix` and for all others.
    const std::vector<std::string> order = {"OFF", "ERROR", "WARN", "INFO", "DEBUG", "TRACE"};
    auto rank = [&](const std::string& l) { return std::find(order.begin(), order.end(), l) - order.begin(); };
    struct Case {
        std::optional<std::string> filter;
        std::string others, prefix, prefix_level;
        std::vector<std::string> present, absent;
    };
    const Case cases[] = {
        {std::nullopt, "DEBUG", "", "", both, {}},
        {"info", "INFO", "", "", both, {}},
        {"INFO", "INFO", "", "", both, {}},
        {"vop=loud", "DEBUG", "", "", both, {}},  // unparsable: the "debug" fallback
        {"", "DEBUG", "", "", both, {}},          // empty: the fallback too
        {"error", "ERROR", "", "", {}, both},
        {"off", "OFF", "", "", {}, both},
        {"warn,vop::x11=info", "WARN", "vop::x11", "INFO", connection, start},
        {"debug,vop::x11::connection=off", "DEBUG", "vop::x11::connection", "OFF", start, connection},
        {"vop::x11::connection=info", "OFF", "vop::x11::connection", "INFO", connection, start},  // only that target
    };
    XServer x;
    for (const auto& c : cases) {
        SCOPED_TRACE("VOP_LOG=" + c.filter.value_or("<unset>"));
        VopProcess vop({.display = x.display(), .env = {{"NO_COLOR", "1"}, {"VOP_LOG", c.filter}}});
        ASSERT_TRUE(vop.wait_idle()) << vop.describe();
        ASSERT_TRUE(vop.stop());
        auto records = log_records();
        auto got = messages(records);
        for (const auto& m : c.present) EXPECT_NE(std::find(got.begin(), got.end(), m), got.end()) << m;
        for (const auto& m : c.absent) EXPECT_EQ(std::find(got.begin(), got.end(), m), got.end()) << m;
        for (const auto& r : records) {
            bool under = !c.prefix.empty() &&
                         (r.target == c.prefix || r.target.rfind(c.prefix + "::", 0) == 0);
            EXPECT_LE(rank(r.level), rank(under ? c.prefix_level : c.others))
                << r.level << " " << r.target << ": " << r.message;
        }
        // A plain start logs DEBUG records (the key grabs), so they show whether DEBUG passes.
        EXPECT_EQ(has_level(records, "DEBUG"), rank(c.others) >= rank("DEBUG"));
        EXPECT_EQ(split_lines(vop.out()).size(), records.size()) << "both outputs pass the same records";
    }
}

TEST(Startup, SecondInstanceOnTheSameDisplayFails) {
    XServer x;
    VopProcess first({.display = x.display()});
    ASSERT_TRUE(first.wait_ready()) << first.describe();

    VopProcess second({.display = x.display(), .env = {{"NO_COLOR", "1"}}});
    EXPECT_EQ(second.wait_exit(), 1) << second.describe();
    const std::string fatal = "ERROR vop: Fatal error: Another window manager is already running";
    EXPECT_NE(second.out().find(fatal), std::string::npos) << second.out();
    auto records = log_records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.front().message, "vop 0.1.0 starting") << "the second start truncated the file";
    EXPECT_NE(read_log().find(fatal), std::string::npos) << read_log();
    EXPECT_TRUE(first.running()) << "the window manager in charge is untouched";
}

TEST(Startup, DisplayWithoutServerFailsToConnect) {
    ReservedDisplay nobody(false);
    struct Case {
        const char* name;
        std::optional<std::string> display;
    };
    const Case cases[] = {{"unset", std::nullopt}, {"no server", nobody.display()}, {"garbage", "no:such::display"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        VopProcess vop({.display = c.display, .env = {{"NO_COLOR", "1"}}});
        EXPECT_EQ(vop.wait_exit(), 1) << vop.describe();
        auto records = log_records();
        ASSERT_FALSE(records.empty()) << vop.describe();
        const auto& last = records.back();
        EXPECT_EQ(last.level, "ERROR");
        EXPECT_EQ(last.target, "vop");
        EXPECT_EQ(last.message.rfind("Fatal error: Failed to connect to X server: ", 0), 0u) << last.message;
        EXPECT_NE(vop.out().find("ERROR vop: Fatal error: Failed to connect to X server: "), std::string::npos);
    }
}

TEST(Startup, ScreenNumberPastTheLastHasNoScreens) {
    XServer x;
    for (const char* screen : {".1", ".7"}) {
        VopProcess vop({.display = x.display() + screen});
        EXPECT_EQ(vop.wait_exit(), 1) << vop.describe();
        auto records = log_records();
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records.back().message, "Fatal error: No screens available") << vop.describe();
    }
}

// The reserved display's listener does see vop connect when the log is fine; the cases below rely on that.
TEST(Startup, ConnectingVopIsSeenByAListeningDisplay) {
    ReservedDisplay listener(true);
    VopProcess vop({.display = listener.display()});
    EXPECT_TRUE(listener.accept_connection(10000ms));
    EXPECT_EQ(vop.wait_exit(), 1) << "the listener hung up: " << vop.describe();
}

// Whatever another user plants at the fixed path (or a directory or link), the start ends at once, with
// the path and the reason, before anything is written, made private or an X connection is made.
TEST(Startup, UnusableLogFileStopsBeforeConnecting) {
    namespace fs = std::filesystem;
    TempDir scratch;
    const std::string victim = scratch / "victim";
    const std::string linked = scratch / "linked";
    int fifo_reader = -1;
    const std::string prefix = std::string("Failed to create log file: ") + kLogPath;
    struct Case {
        const char* name;
        std::function<bool()> plant;  // false: this system cannot plant it
        std::string expected_err;
    };
    const Case cases[] = {
        {"directory", [] { return fs::create_directory(kLogPath); }, " is a directory, not a regular file\n"},
        {"symlink to a file",
         [&] {
             write_file(victim, "precious\n");
             fs::create_symlink(victim, kLogPath);
             return true;
         },
         " is a symbolic link, not a regular file\n"},
        {"dangling symlink",
         [&] {
             fs::create_symlink(scratch / "missing", kLogPath);
             return true;
         },
         " is a symbolic link, not a regular file\n"},
        {"FIFO without a reader", [] { return mkfifo(kLogPath, 0666) == 0; }, " is a FIFO, not a regular file\n"},
        {"FIFO with a reader",
         [&] {
             fifo_reader = mkfifo(kLogPath, 0666) == 0 ? open(kLogPath, O_RDONLY | O_NONBLOCK) : -1;
             return fifo_reader >= 0;
         },
         " is a FIFO, not a regular file\n"},
        {"another user's file",
         [] {
             write_file(kLogPath, "theirs\n");
             return chown(kLogPath, 65534, 65534) == 0;
         },
         fmt::format(" belongs to uid 65534, not to uid {} that vop runs as\n", geteuid())},
        {"hard link to a file of ours",
         [&] {
             write_file(linked, "theirs\n");
             fs::permissions(linked, fs::perms(0644));
             fs::create_hard_link(linked, kLogPath);
             return true;
         },
         " has 2 hard links, not 1: another name shares the file\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogPathGuard guard;
        if (!c.plant()) {
            std::cerr << "skipping the case \"" << c.name << "\": cannot plant it here (chown needs root)\n";
            continue;
        }
        struct stat planted {};
        lstat(kLogPath, &planted);
        ReservedDisplay listener(true);
        VopProcess vop({.display = listener.display(), .keep_old_log = true});
        EXPECT_EQ(vop.wait_exit(10000ms), 101) << vop.describe();
        EXPECT_EQ(vop.err(), prefix + c.expected_err);
        EXPECT_EQ(vop.out(), "") << "nothing is logged";
        EXPECT_FALSE(listener.accept_connection(0ms)) << "no X connection was made";
        if (fifo_reader >= 0) {
            char buf[16];
            EXPECT_LE(read(fifo_reader, buf, sizeof buf), 0) << "nothing was written into the FIFO";
            close(fifo_reader);
            fifo_reader = -1;
        }
        if (S_ISREG(planted.st_mode)) {
            struct stat now {};
            EXPECT_EQ(lstat(kLogPath, &now), 0);
            EXPECT_EQ(now.st_mode, planted.st_mode) << "the file was not made private";
            EXPECT_EQ(read_file(kLogPath), "theirs\n") << "the file was not written into";
        }
    }
    EXPECT_EQ(read_file(victim), "precious\n") << "the symlink's target was not truncated";
    EXPECT_FALSE(fs::exists(scratch / "missing")) << "the dangling symlink's target was not created";
}

TEST(Startup, WhileRunningNoOtherClientCanRedirectTheRoot) {
    XServer x;
    {
        // Before vop, any client may; dropping the connection releases it again.
        TestClient before(x.display());
        ASSERT_EQ(before.select_input_checked(before.root(), kRedirect), 0);
    }
    VopProcess vop({.display = x.display()});
    ASSERT_TRUE(vop.wait_ready()) << vop.describe();
    TestClient c(x.display());
    EXPECT_EQ(c.select_input_checked(c.root(), kRedirect), XCB_ACCESS);
    EXPECT_EQ(c.select_input_checked(c.root(), XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_PROPERTY_CHANGE),
              XCB_ACCESS);
    // vop selected exactly what a window manager needs on the root.
    const uint32_t wm_mask = kRedirect | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_STRUCTURE_NOTIFY |
                             XCB_EVENT_MASK_PROPERTY_CHANGE;
    EXPECT_EQ(c.all_event_masks(c.root()).value_or(0) & wm_mask, wm_mask);
    EXPECT_TRUE(vop.running());
}

TEST(Startup, InternsAllAtomsAndPaintsTheRootBlack) {
    const std::vector<std::string> names = {
        "WM_PROTOCOLS", "WM_DELETE_WINDOW", "WM_TRANSIENT_FOR", "WM_HINTS", "WM_NORMAL_HINTS",
        "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_DIALOG", "_NET_WM_WINDOW_TYPE_UTILITY",
        "_NET_WM_WINDOW_TYPE_TOOLBAR", "_NET_WM_WINDOW_TYPE_SPLASH", "_NET_WM_WINDOW_TYPE_NOTIFICATION",
        "_NET_WM_WINDOW_TYPE_DOCK", "_NET_WM_WINDOW_TYPE_DESKTOP", "_NET_WM_STATE", "_NET_WM_STATE_MODAL",
        "_NET_WM_STATE_FULLSCREEN", "_NET_SUPPORTED", "_NET_SUPPORTING_WM_CHECK", "_NET_CLIENT_LIST",
        "_NET_CLIENT_LIST_STACKING", "_NET_CLOSE_WINDOW", "_NET_WM_NAME", "_NET_NUMBER_OF_DESKTOPS",
        "_NET_CURRENT_DESKTOP", "_NET_DESKTOP_NAMES", "_NET_WM_DESKTOP", "_NET_ACTIVE_WINDOW", "UTF8_STRING",
        "_NET_WM_BYPASS_COMPOSITOR", "_NET_WM_STRUT", "_NET_WM_STRUT_PARTIAL"};
    ASSERT_EQ(names.size(), 31u);
    XServer x({"-retro"});
    TestClient c(x.display());
    // A fresh server knows none of the EWMH atoms, so their existence afterwards is vop's doing.
    EXPECT_FALSE(c.existing_atom("_NET_WM_STRUT_PARTIAL"));
    EXPECT_FALSE(c.existing_atom("_NET_WM_BYPASS_COMPOSITOR"));
    // With -retro the root starts as a black and white weave.
    std::set<uint32_t> before = {c.root_pixel(0, 0), c.root_pixel(1, 0), c.root_pixel(0, 1), c.root_pixel(1, 1)};
    EXPECT_GT(before.size(), 1u);

    VopProcess vop({.display = x.display()});
    ASSERT_TRUE(vop.wait_ready()) << vop.describe();
    for (const auto& n : names) EXPECT_TRUE(c.existing_atom(n)) << n;
    for (auto [px, py] : {std::pair{0, 0}, {1, 0}, {0, 1}, {1, 1}, {1919, 1079}, {960, 540}}) {
        EXPECT_EQ(c.root_pixel(static_cast<int16_t>(px), static_cast<int16_t>(py)), 0u) << px << "," << py;
    }
}
