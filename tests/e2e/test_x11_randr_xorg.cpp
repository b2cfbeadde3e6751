// Monitor detection with several RandR outputs, on Xorg with the dummy driver.
#include "test_x11_fixture.hpp"

#include "x_server.hpp"

namespace vop::x11test {
namespace {

class DummyMonitorTest : public X11Test {
protected:
    void SetUp() override {
        std::string why_not;
        xorg_ = test::DummyXorg::start(why_not);
        if (!xorg_) GTEST_SKIP() << why_not;
        connect(xorg_->display());
    }
    void TearDown() override {
        X11Test::TearDown();
        xorg_.reset();
    }
    std::vector<Monitor> detect() {
        auto found = c->detect_monitors();
        EXPECT_TRUE(found.ok()) << found.error().to_string();
        return found.ok() ? found.value() : std::vector<Monitor>{};
    }
    // Drains the events of the Connection under test; true when a RandR notification was among them.
    bool randr_notified() {
        const uint8_t base = c->randr_event_base().value_or(0);
        bool seen = false;
        while (xcb_generic_event_t* ev = xcb_poll_for_event(c->conn)) {
            const uint8_t type = ev->response_type & 0x7f;
            seen |= type == base || type == base + 1;  // ScreenChangeNotify, Notify (output change)
            free(ev);
        }
        return seen;
    }
    std::unique_ptr<test::DummyXorg> xorg_;
};

TEST_F(DummyMonitorTest, OutputsSortedByXWithThePrimaryMarked) {
    auto one = detect();
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].name, "DUMMY0");
    EXPECT_EQ(one[0].rect, (Rect{0, 0, 1920, 1080}));
    EXPECT_NE(one[0].output, 0u);

    ASSERT_TRUE(c->select_randr_input().ok());
    sync_wm();
    xorg_->add_second_monitor();
    EXPECT_TRUE(test::wait_until([&] { return randr_notified(); }));

    records.clear();
    auto two = detect();
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].name, "DUMMY0");
    EXPECT_EQ(two[1].name, "DUMMY1");
    EXPECT_EQ(two[1].rect, (Rect{1920, 0, 1280, 1024}));
    EXPECT_NE(two[0].output, two[1].output);
    EXPECT_TRUE(two[0].primary);
    EXPECT_FALSE(two[1].primary);
    EXPECT_TRUE(logged(log::Level::Info, "Monitor 0: 'DUMMY0' at (0, 0) size 1920x1080 (primary)"));
    EXPECT_TRUE(logged(log::Level::Info, "Monitor 1: 'DUMMY1' at (1920, 0) size 1280x1024 "));

    // Put the second output on the left: it now comes first, and the primary flag follows its output.
    run({"xrandr", "--output", "DUMMY0", "--primary", "--output", "DUMMY1", "--pos", "0x0", "--output", "DUMMY0",
         "--pos", "1280x0"});
    auto swapped = detect();
    ASSERT_EQ(swapped.size(), 2u);
    EXPECT_EQ(swapped[0].name, "DUMMY1");
    EXPECT_EQ(swapped[0].rect.x, 0);
    EXPECT_EQ(swapped[1].name, "DUMMY0");
    EXPECT_EQ(swapped[1].rect.x, 1280);
    EXPECT_TRUE(swapped[1].primary);
    EXPECT_FALSE(swapped[0].primary);

    // No primary output: no monitor is primary.
    run({"xrandr", "--noprimary"});
    for (const Monitor& m : detect()) EXPECT_FALSE(m.primary) << m.name;

    // An output switched off (connected, no CRTC) is no monitor.
    xorg_->remove_second_monitor();
    auto back = detect();
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].name, "DUMMY0");
}

}  // namespace
}  // namespace vop::x11test
