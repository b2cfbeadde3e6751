// EWMH publishing read back with xcb, xprop and wmctrl.
#include "test_x11_fixture.hpp"

namespace vop::x11test {
namespace {

using EwmhTest = X11Test;

TEST_F(EwmhTest, CheckWindowNamesTheManager) {
    auto made = c->setup_wm_check();
    ASSERT_TRUE(made.ok()) << made.error().to_string();
    const Window check = made.value();
    sync_wm();
    EXPECT_TRUE(logged(log::Level::Info, fmt::format("Created WM check window {}", check)));

    Geometry g = geometry(check);
    EXPECT_EQ(g.x, -1);
    EXPECT_EQ(g.y, -1);
    EXPECT_EQ(g.width, 1u);
    EXPECT_EQ(g.height, 1u);
    EXPECT_EQ(map_state(check), XCB_MAP_STATE_UNMAPPED);

    EXPECT_EQ(get_u32(c->root, c->atoms._NET_SUPPORTING_WM_CHECK), std::vector<uint32_t>{check});
    EXPECT_EQ(get_u32(check, c->atoms._NET_SUPPORTING_WM_CHECK), std::vector<uint32_t>{check});
    xcb_atom_t type = 0;
    EXPECT_EQ(get_bytes(check, c->atoms._NET_WM_NAME, &type), "vop");  // no NUL
    EXPECT_EQ(type, c->atoms.UTF8_STRING);

    EXPECT_NE(run({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}).find(fmt::format("window id # {:#x}", check)),
              std::string::npos);
    EXPECT_EQ(run({"xprop", "-id", std::to_string(check), "_NET_WM_NAME"}), "_NET_WM_NAME(UTF8_STRING) = \"vop\"\n");
    EXPECT_NE(run({"wmctrl", "-m"}).find("Name: vop"), std::string::npos);
}

TEST_F(EwmhTest, DesktopNames) {
    struct Case {
        std::vector<std::string> names;
        std::string bytes;
    };
    using namespace std::string_literals;
    const Case cases[] = {
        {{"1", "2"}, "1\0" "2\0"s},
        {{}, ""},
        {{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}, "1\0" "2\0" "3\0" "4\0" "5\0" "6\0" "7\0" "8\0" "9\0" "10\0"s},
    };
    for (const Case& k : cases) {
        ASSERT_TRUE(c->set_desktop_names(k.names).ok());
        sync_wm();
        xcb_atom_t type = 0;
        EXPECT_EQ(get_bytes(c->root, c->atoms._NET_DESKTOP_NAMES, &type), k.bytes);
        EXPECT_EQ(type, c->atoms.UTF8_STRING);
    }
    EXPECT_EQ(run({"xprop", "-root", "_NET_DESKTOP_NAMES"}),
              "_NET_DESKTOP_NAMES(UTF8_STRING) = \"1\", \"2\", \"3\", \"4\", \"5\", \"6\", \"7\", \"8\", \"9\", "
              "\"10\"\n");
}

TEST_F(EwmhTest, CurrentDesktopAndActiveWindow) {
    ASSERT_TRUE(c->set_current_desktop(0).ok());
    sync_wm();
    EXPECT_EQ(run({"xprop", "-root", "_NET_CURRENT_DESKTOP"}), "_NET_CURRENT_DESKTOP(CARDINAL) = 0\n");
    ASSERT_TRUE(c->set_current_desktop(3).ok());
    sync_wm();
    EXPECT_EQ(get_u32(c->root, c->atoms._NET_CURRENT_DESKTOP), std::vector<uint32_t>{3});

    xcb_window_t w = make_window();
    ASSERT_TRUE(c->set_active_window(w).ok());
    sync_wm();
    xcb_atom_t type = 0;
    get_bytes(c->root, c->atoms._NET_ACTIVE_WINDOW, &type);
    EXPECT_EQ(type, XCB_ATOM_WINDOW);
    EXPECT_EQ(get_u32(c->root, c->atoms._NET_ACTIVE_WINDOW), std::vector<uint32_t>{w});
    ASSERT_TRUE(c->set_active_window(std::nullopt).ok());
    sync_wm();
    EXPECT_EQ(get_u32(c->root, c->atoms._NET_ACTIVE_WINDOW), std::vector<uint32_t>{0});
}

}  // namespace
}  // namespace vop::x11test
