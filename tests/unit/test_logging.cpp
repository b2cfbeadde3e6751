// Log filter directives and the record line format.
#include "logging.hpp"
#include "util/debug_form.hpp"

#include <gtest/gtest.h>

#include <optional>

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

TEST(DebugForm, QuotedOptionalAndList) {
    EXPECT_EQ(vop::dbg::quoted("a\"b\\c\nd\x01"), "\"a\\\"b\\\\c\\nd\\u{1}\"");
    EXPECT_EQ(vop::dbg::form(std::optional<std::string>("x")), "Some(\"x\")");
    EXPECT_EQ(vop::dbg::form(std::optional<int>()), "None");
    EXPECT_EQ(vop::dbg::list(std::vector<std::string>{"a", "b"}), "[\"a\", \"b\"]");
    EXPECT_EQ(vop::dbg::list(std::vector<int>{}), "[]");
}
