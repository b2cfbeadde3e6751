// Monitor detection through RandR, a server without RandR, and the ordering of found monitors.
#include "test_x11_fixture.hpp"

namespace vop::x11test {
namespace {

using RandrTest = X11Test;

TEST_F(RandrTest, XvfbHasOneMonitorNamedScreen) {
    ASSERT_TRUE(c->has_randr());
    auto found = c->detect_monitors();
    ASSERT_TRUE(found.ok()) << found.error().to_string();
    ASSERT_EQ(found->size(), 1u);
    const Monitor& m = found->front();
    EXPECT_EQ(m.name, "screen");
    EXPECT_EQ(m.rect, (Rect{0, 0, 1920, 1080}));
    EXPECT_NE(m.output, 0u);
    EXPECT_TRUE(m.workspaces.empty());
    EXPECT_EQ(m.workspace, 0u);
    EXPECT_TRUE(logged(log::Level::Debug, "Raw monitor order from RandR:"));
    EXPECT_TRUE(logged(log::Level::Debug, "  'screen' at (0, 0) size 1920x1080"));
    EXPECT_FALSE(m.primary);  // Xvfb names no primary output
    EXPECT_TRUE(logged(log::Level::Info, "Monitor 0: 'screen' at (0, 0) size 1920x1080 "));
}

TEST_F(RandrTest, SelectingNotificationsRaisesNoError) {
    ASSERT_TRUE(c->select_randr_input().ok());
    sync_wm();
    while (xcb_generic_event_t* ev = xcb_poll_for_event(c->conn)) {
        EXPECT_NE(ev->response_type, 0) << "X error " << int(reinterpret_cast<xcb_generic_error_t*>(ev)->error_code);
        free(ev);
    }
    EXPECT_TRUE(c->check().ok());
}

class NoRandrTest : public X11Test {
    void SetUp() override { start(test::XServer::kNoRandr); }
};

TEST_F(NoRandrTest, DetectionFailsWithoutClosingTheConnection) {
    EXPECT_FALSE(c->has_randr());
    EXPECT_EQ(c->randr_event_base(), std::nullopt);
    auto found = c->detect_monitors();
    ASSERT_FALSE(found.ok());
    EXPECT_EQ(found.error().kind(), Error::Kind::Connection);
    EXPECT_NE(found.error().to_string().find("RANDR"), std::string::npos);
    auto selected = c->select_randr_input();
    ASSERT_FALSE(selected.ok());
    EXPECT_EQ(selected.error().kind(), Error::Kind::Connection);
    // The connection is still good for everything else.
    EXPECT_TRUE(c->check().ok());
    ASSERT_TRUE(c->set_current_desktop(1).ok());
    sync_wm();
    EXPECT_TRUE(c->check().ok());
    EXPECT_EQ(get_u32(c->root, c->atoms._NET_CURRENT_DESKTOP), std::vector<uint32_t>{1});

    Monitor fallback = Monitor::fallback(c->screen_width, c->screen_height);
    EXPECT_EQ(fallback.name, "default");
    EXPECT_EQ(fallback.rect, (Rect{0, 0, 1920, 1080}));
    EXPECT_EQ(fallback.output, 0u);
    EXPECT_FALSE(fallback.primary);
}

Monitor at(const char* name, int16_t x, bool primary = false) {
    Monitor m;
    m.name = name;
    m.rect = Rect{x, 0, 800, 600};
    m.output = static_cast<uint32_t>(x + 5000);
    m.primary = primary;
    return m;
}

std::vector<std::string> names(const std::vector<Monitor>& ms) {
    std::vector<std::string> out;
    for (const Monitor& m : ms) out.push_back(m.name);
    return out;
}

TEST(ArrangeMonitors, SortedLeftToRightStableAndCapped) {
    std::vector<std::pair<log::Level, std::string>> lines;
    log::set_test_sink([&](log::Level l, std::string_view, std::string_view m) { lines.emplace_back(l, m); });
    struct Case {
        const char* name;
        std::vector<Monitor> found;
        std::vector<std::string> order;
    };
    const Case cases[] = {
        {"right one first", {at("B", 1920), at("A", 0)}, {"A", "B"}},
        {"equal x keeps RandR order", {at("first", 0), at("second", 0)}, {"first", "second"}},
        {"negative x sorts first", {at("zero", 0), at("left", -1280)}, {"left", "zero"}},
        {"none", {}, {}},
    };
    for (const Case& k : cases) EXPECT_EQ(names(arrange_monitors(k.found)), k.order) << k.name;

    // More monitors than workspaces: the leftmost ten are kept, the rest logged and dropped.
    std::vector<Monitor> twelve;
    for (int i = 11; i >= 0; --i) twelve.push_back(at(fmt::format("M{}", i).c_str(), static_cast<int16_t>(i * 800)));
    lines.clear();
    auto kept = arrange_monitors(twelve);
    ASSERT_EQ(kept.size(), kMaxMonitors);
    EXPECT_EQ(kept.front().name, "M0");
    EXPECT_EQ(kept.back().name, "M9");
    int warned = 0, infos = 0;
    for (auto& [level, msg] : lines) {
        warned += level == log::Level::Warn && msg.find("Ignoring monitor 'M1") == 0;
        infos += level == log::Level::Info && msg.rfind("Monitor ", 0) == 0;
    }
    EXPECT_EQ(warned, 2);  // M10 and M11
    EXPECT_EQ(infos, 10);

    lines.clear();
    arrange_monitors({at("DP-1", 0, true), at("HDMI-1", 800)});
    std::vector<std::string> info;
    for (auto& [level, msg] : lines)
        if (level == log::Level::Info) info.push_back(msg);
    EXPECT_EQ(info, (std::vector<std::string>{"Monitor 0: 'DP-1' at (0, 0) size 800x600 (primary)",
                                              "Monitor 1: 'HDMI-1' at (800, 0) size 800x600 "}));
    log::set_test_sink({});
}

}  // namespace
}  // namespace vop::x11test
