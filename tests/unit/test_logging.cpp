// Log filter directives, the record line format and the opening of the log file.
#include "logging.hpp"
#include "lua_test_env.hpp"
#include "util/debug_form.hpp"
#include "x11/error.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <thread>

using vop::log::Level;

TEST(LogFilter, DirectivesAndFallback) {
    auto f = vop::log::parse_filter("info");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->level_for("vop::core"), Level::Info);

    f = vop::log::parse_filter("warn, vop::ipc=trace,vop::ipc::i3_server=error");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->level_for("vop"), Level::Warn);
    EXPECT_EQ(f->level_for("vop::ipc::server"), Level::Trace);
    EXPECT_EQ(f->level_for("vop::ipc::i3_server"), Level::Error);
    // A prefix matches only on a module boundary.
    EXPECT_EQ(f->level_for("vop::ipcx"), Level::Warn);
    EXPECT_EQ(f->most_verbose(), Level::Trace);

    EXPECT_FALSE(vop::log::parse_filter(""));
    EXPECT_FALSE(vop::log::parse_filter("=info"));
    EXPECT_FALSE(vop::log::parse_filter("vop=loud"));
    EXPECT_FALSE(vop::log::parse_filter("a b=info"));
}

TEST(LogFormat, RecordLine) {
    // 2026-01-31T09:05:07.012345Z
    long long us = 1769850307LL * 1000000 + 12345;
    EXPECT_EQ(vop::log::format_record(us, Level::Info, "vop", "vop 0.1.0 starting", false),
              "2026-01-31T09:05:07.012345Z  INFO vop: vop 0.1.0 starting\n");
    EXPECT_EQ(vop::log::format_record(us, Level::Error, "vop::core", "x", false),
              "2026-01-31T09:05:07.012345Z ERROR vop::core: x\n");
    auto coloured = vop::log::format_record(us, Level::Warn, "vop", "m", true);
    EXPECT_NE(coloured.find('\x1b'), std::string::npos);
    EXPECT_NE(coloured.find(" WARN"), std::string::npos);
}

// Whatever the message holds, a record is one line without terminal escapes of the message's own: control
// characters are escaped, everything else is left as it is.
TEST(LogFormat, MessageControlCharactersAreEscaped) {
    struct Case {
        std::string msg, shown;
    } cases[] = {
        {"title\n2026-01-31T09:05:07.012345Z ERROR vop: forged", "title\\n2026-01-31T09:05:07.012345Z ERROR vop: forged"},
        {"boom\nstack traceback:\n\t[C]: in ?", "boom\\nstack traceback:\\n\\t[C]: in ?"},  // a Lua error
        {"\x1b[31mred\x1b]0;title\x07", "\\u{1b}[31mred\\u{1b}]0;title\\u{7}"},
        {"cr\r nul" + std::string(1, '\0') + " del\x7f", "cr\\r nul\\0 del\\u{7f}"},
        {"next line \u0085 csi \u009b", "next line \\u{85} csi \\u{9b}"},
        {"bad \xff\xc3", "bad \\xFF\\xC3"},
        {R"(kept: "q" \n \ caf\u00e9 \u200b \u2603)", R"(kept: "q" \n \ caf\u00e9 \u200b \u2603)"},
    };
    long long us = 1769850307LL * 1000000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        EXPECT_EQ(vop::log::format_record(us, Level::Info, "vop", c.msg, false),
                  "2026-01-31T09:05:07.000000Z  INFO vop: " + c.shown + "\n");
        // The colour escapes are the record's own: as many as for a plain message.
        auto coloured = vop::log::format_record(us, Level::Info, "vop", c.msg, true);
        EXPECT_EQ(std::count(coloured.begin(), coloured.end(), '\x1b'), 6);
        EXPECT_EQ(std::count(coloured.begin(), coloured.end(), '\n'), 1);
    }
}

// One inserted value puts at most its first 4 KiB into a record, cut between characters, then says how many
// bytes it left out, whatever its type; short values, numbers and the fixed text are kept whole, a null C
// string shows as "(null)".
TEST(LogFormat, InsertedValuesAreCapped) {
    std::vector<std::string> got;
    vop::log::set_test_sink([&](Level, std::string_view, std::string_view m) { got.emplace_back(m); });
    const std::string euro_at_cut = std::string(4095, 'b') + "\u20ac" + "cd";  // the cut falls inside the sign
    vop::log::warn("vop", "x {} {} {:x} {} y", std::string(5000, 'a'), "short", 255, euro_at_cut);
    vop::log::error("vop", "Fatal error: {}", vop::Error::io(std::string(5000, 'e')));
    vop::log::info("vop", "exactly {}", std::string(vop::log::kMaxValueBytes, 'c'));
    const char* unset = nullptr;
    vop::log::info("vop", "{} and {}", unset, const_cast<char*>(unset));
    vop::log::set_test_sink({});
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], "x " + std::string(4096, 'a') + "… (904 more bytes) short ff " + std::string(4095, 'b') +
                          "… (5 more bytes) y");
    EXPECT_EQ(got[1], "Fatal error: IO error: " + std::string(4086, 'e') + "… (914 more bytes)");
    EXPECT_EQ(got[2], "exactly " + std::string(4096, 'c'));
    EXPECT_EQ(got[3], "(null) and (null)");
}

// The log takes its path from nothing or from a previous log of ours, each time as a fresh private file, and
// never writes into another file, not even one that a racer keeps linking at the path and unlinking again
// (or renaming a link over it) while the log is opened.
TEST(LogFile, NeverWritesIntoAFileLinkedAtThePathWhileItOpens) {
    vop::testing::TempDir dir;
    const std::string log = dir.path() / "vop.log", victim = dir.path() / "victim", spare = dir.path() / "spare";
    auto mode = [](const std::string& p) {
        struct stat st {};
        return lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    };
    auto open_and_write = [&] {
        auto fd = vop::log::open_log_file(log.c_str());
        if (!fd) return false;
        EXPECT_EQ(write(*fd, "record\n", 7), 7);
        close(*fd);
        return true;
    };
    ASSERT_TRUE(open_and_write());
    chmod(log.c_str(), 0644);
    ASSERT_TRUE(open_and_write()) << "a previous log is replaced";
    EXPECT_EQ(vop::testing::read_file(log), "record\n");
    EXPECT_EQ(mode(log), 0600u);
    auto missing = vop::log::open_log_file((dir.path() / "gone/vop.log").c_str());
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), (dir.path() / "gone/vop.log").string() + ": No such file or directory (os error 2)");

    vop::testing::write_file(victim, "precious\n");
    chmod(victim.c_str(), 0644);
    std::atomic<bool> stop{false};
    std::thread racer([&] {
        for (unsigned n = 0; !stop; ++n) {
            if (n % 2 == 0 ? link(victim.c_str(), log.c_str()) == 0
                           : link(victim.c_str(), spare.c_str()) == 0 && rename(spare.c_str(), log.c_str()) == 0)
                unlink(log.c_str());
        }
    });
    // A racer's window is a few microseconds wide: thousands of rounds find it even on a loaded machine.
    for (int i = 0; i < 5000; ++i) open_and_write();
    stop = true;
    racer.join();
    EXPECT_EQ(vop::testing::read_file(victim), "precious\n");
    EXPECT_EQ(mode(victim), 0644u);
}

TEST(DebugForm, QuotedOptionalAndList) {
    struct Case {
        std::string text, quoted;
    } cases[] = {
        {"a\"b\\c\nd\x01", R"("a\"b\\c\nd\u{1}")"},
        {std::string("\t\r\0\x1b\x7f", 5), R"("\t\r\0\u{1b}\u{7f}")"},
        // Non-ASCII controls and characters that do not show as themselves.
        {"\u0085 \u009b \u00a0 \u00ad", R"("\u{85} \u{9b} \u{a0} \u{ad}")"},
        {"\u200b\u202e\u2028\u2029\ufeff", R"("\u{200b}\u{202e}\u{2028}\u{2029}\u{feff}")"},
        {"\ue000 \U000e0001 \U0010ffff", R"("\u{e000} \u{e0001} \u{10ffff}")"},
        {"caf\u00e9 \u4e2d \u2603 \U0001f600 \u0301", "\"caf\u00e9 \u4e2d \u2603 \U0001f600 \u0301\""},
        {"\xff\xc3(\xed\xa0\x80", R"("\xFF\xC3(\xED\xA0\x80")"},
    };
    for (const auto& c : cases) EXPECT_EQ(vop::dbg::quoted(c.text), c.quoted) << c.quoted;
    EXPECT_EQ(vop::dbg::form(std::optional<std::string>("x")), "Some(\"x\")");
    EXPECT_EQ(vop::dbg::form(std::optional<int>()), "None");
    EXPECT_EQ(vop::dbg::list(std::vector<std::string>{"a", "b"}), "[\"a\", \"b\"]");
    EXPECT_EQ(vop::dbg::list(std::vector<int>{}), "[]");
}
