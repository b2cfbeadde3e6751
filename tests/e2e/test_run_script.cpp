// scripts/run-vop (make run): a private Xvfb without DISPLAY, a nested Xephyr with one, clean-up either way.
#include "harness.hpp"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <signal.h>

#include <filesystem>
#include <sstream>

using namespace vop::test;

namespace {

const std::string kScript =
    (std::filesystem::path(VOP_STUB_DIR).parent_path().parent_path().parent_path() / "scripts/run-vop").string();

// The display the script announced ("... on display :N"), "" until it has.
std::string announced_display(VopProcess& run) {
    std::string out = run.out();
    const std::string marker = " on display :";
    size_t at = out.find(marker);
    if (at == std::string::npos) return "";
    size_t digits = at + marker.size();
    size_t end = out.find_first_not_of("0123456789", digits);
    if (end == std::string::npos || end == digits) return "";
    return ":" + out.substr(digits, end - digits);
}

bool server_reachable(const std::string& display) { return run_command(display, {"xdpyinfo"}).status == 0; }

// The pid of the script's vop child.
pid_t vop_child(pid_t script) {
    std::istringstream kids(read_file("/proc/" + std::to_string(script) + "/task/" + std::to_string(script) +
                                      "/children"));
    pid_t pid;
    while (kids >> pid) {
        std::error_code ec;
        auto exe = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
        if (!ec && exe == std::filesystem::path(VOP_BINARY)) return pid;
    }
    return -1;
}

}  // namespace

TEST(RunScript, WithoutDisplayUsesAPrivateXvfbAndStopsItOnInterrupt) {
    VopProcess run({.display = std::nullopt, .env = {{"NO_COLOR", "1"}}, .wrapper = {kScript}});
    ASSERT_TRUE(wait_until([&] { return announced_display(run) != ""; })) << run.describe();
    std::string display = announced_display(run);
    ASSERT_TRUE(run.wait_for_log(VopProcess::kReadyLine)) << run.describe();
    EXPECT_NE(run.out().find("private, invisible Xvfb"), std::string::npos) << run.out();

    TestClient c(display);
    EXPECT_EQ(c.select_input_checked(c.root(), XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT), XCB_ACCESS)
        << "vop manages the private server";
    auto info = run_command(display, {"xdpyinfo"});
    EXPECT_NE(info.out.find("dimensions:    1920x1080 pixels"), std::string::npos);

    run.signal(SIGINT);
    EXPECT_EQ(run.wait_exit(), 130) << run.describe();
    EXPECT_FALSE(server_reachable(display)) << "the server went with the script";
}

TEST(RunScript, WithADesktopNestsXephyrAndEndsWhenVopEnds) {
    XServer desktop;
    VopProcess run({.display = desktop.display(), .env = {{"NO_COLOR", "1"}}, .wrapper = {kScript}});
    ASSERT_TRUE(wait_until([&] { return announced_display(run) != ""; })) << run.describe();
    std::string display = announced_display(run);
    ASSERT_TRUE(run.wait_for_log(VopProcess::kReadyLine)) << run.describe();
    EXPECT_NE(display, desktop.display());
    EXPECT_NE(run.out().find("nested Xephyr window (1280x800)"), std::string::npos) << run.out();
    auto info = run_command(display, {"xdpyinfo"});
    EXPECT_NE(info.out.find("dimensions:    1280x800 pixels"), std::string::npos) << info.out;
    TestClient outer(desktop.display());
    EXPECT_FALSE(outer.children(outer.root()).empty()) << "the Xephyr window is on the desktop";

    pid_t vop = vop_child(run.pid());
    ASSERT_GT(vop, 0);
    kill(vop, SIGKILL);
    EXPECT_EQ(run.wait_exit(), 128 + SIGKILL) << "the script reports vop's status: " << run.describe();
    EXPECT_NE(run.out().find("vop exited with status 137"), std::string::npos) << run.out();
    EXPECT_FALSE(server_reachable(display));
    EXPECT_TRUE(server_reachable(desktop.display())) << "the desktop itself is untouched";
}
