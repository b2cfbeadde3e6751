// scripts/run-vop (make run): a private Xvfb without DISPLAY, a nested Xephyr with one, clean-up either way,
// and the user's session left alone.
#include "harness.hpp"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
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

// The path the script printed after "run-vop: <what>: ", "" until it has.
std::string announced(VopProcess& run, const std::string& what) {
    std::string out = run.out();
    const std::string marker = "run-vop: " + what + ": ";
    size_t at = out.find(marker);
    if (at == std::string::npos) return "";
    at += marker.size();
    size_t end = out.find('\n', at);
    return end == std::string::npos ? "" : out.substr(at, end - at);
}

// Every entry under `dir` with its modification time and, for files, contents.
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        struct stat st {};
        lstat(e.path().c_str(), &st);
        out[e.path()] = std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + ":" +
                        (e.is_regular_file() ? read_file(e.path()) : "");
    }
    return out;
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

TEST(RunScript, WithoutDisplayUsesAPrivateXvfbAndEndsWhenVopEnds) {
    VopProcess run({.display = std::nullopt, .env = {{"NO_COLOR", "1"}}, .wrapper = {kScript}});
    ASSERT_TRUE(wait_until([&] { return announced_display(run) != ""; })) << run.describe();
    std::string display = announced_display(run);
    ASSERT_TRUE(run.wait_for_log(VopProcess::kReadyLine)) << run.describe();
    EXPECT_NE(run.out().find("private, invisible Xvfb"), std::string::npos) << run.out();
    EXPECT_NE(run.out().find("clients can reach it with DISPLAY=" + display + ";"), std::string::npos) << run.out();
    // The caller has no init.lua: the try-out writes the default into its own directory, not the caller's.
    EXPECT_TRUE(run.wait_for_log("Config loaded: 61 keybinds registered")) << run.describe();
    EXPECT_NE(run.out().find("configuration: the built-in default"), std::string::npos) << run.out();
    EXPECT_TRUE(std::filesystem::is_empty(run.config_home()));

    TestClient c(display);
    EXPECT_EQ(c.select_input_checked(c.root(), XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT), XCB_ACCESS)
        << "vop manages the private server";
    EXPECT_TRUE(wait_until([&] { return c.property_bytes(c.root(), "I3_SOCKET_PATH") == announced(run, "i3 socket"); }))
        << "for i3 bars: " << run.out();
    auto info = run_command(display, {"xdpyinfo"});
    EXPECT_NE(info.out.find("dimensions:    1920x1080 pixels"), std::string::npos);

    pid_t vop = vop_child(run.pid());
    ASSERT_GT(vop, 0);
    kill(vop, SIGKILL);
    EXPECT_EQ(run.wait_exit(), 128 + SIGKILL) << "the script reports vop's status: " << run.describe();
    EXPECT_NE(run.out().find("vop exited with status 137"), std::string::npos) << run.out();
    EXPECT_FALSE(server_reachable(display)) << "the server went with the script";
}

TEST(RunScript, WithADesktopNestsXephyrLeavesTheSessionAloneAndStopsOnInterrupt) {
    XServer desktop;
    // The caller has a configuration in its HOME, and systemctl, pkill and picom that record every call
    // first in its PATH (VopProcess puts them there).
    TempDir home("run-vop-home");
    std::filesystem::create_directories(home / ".config/vop");
    write_file(home / ".config/vop/init.lua", "vop.bind(\"mod+q\", vop.close_window)\n");
    const auto home_before = snapshot(home.path());
    VopProcess run({.display = desktop.display(),
                    .env = {{"NO_COLOR", "1"}, {"HOME", home.path()}, {"XDG_CONFIG_HOME", std::nullopt}},
                    .wrapper = {kScript}});
    ASSERT_TRUE(wait_until([&] { return announced_display(run) != ""; })) << run.describe();
    std::string display = announced_display(run);
    ASSERT_TRUE(run.wait_for_log(VopProcess::kReadyLine)) << run.describe();
    EXPECT_NE(display, desktop.display());
    EXPECT_NE(run.out().find("nested Xephyr window (1280x800)"), std::string::npos) << run.out();
    EXPECT_NE(run.out().find("clients can reach it with DISPLAY=" + display + ";"), std::string::npos) << run.out();
    auto info = run_command(display, {"xdpyinfo"});
    EXPECT_NE(info.out.find("dimensions:    1280x800 pixels"), std::string::npos) << info.out;
    TestClient outer(desktop.display());
    EXPECT_FALSE(outer.children(outer.root()).empty()) << "the Xephyr window is on the desktop";
    TestClient inner(display);
    EXPECT_TRUE(wait_until([&] {
        return inner.property_bytes(inner.root(), "I3_SOCKET_PATH") == announced(run, "i3 socket");
    })) << run.out();
    EXPECT_FALSE(outer.property_bytes(outer.root(), "I3_SOCKET_PATH")) << "an i3 there keeps its own";

    // The copy of the caller's script is what runs; the sockets are the try-out's own.
    EXPECT_TRUE(run.wait_for_log("Config loaded: 1 keybinds registered")) << run.describe();
    EXPECT_NE(run.out().find("configuration: a copy of " + home.path() + "/.config/vop/init.lua"), std::string::npos);
    for (const char* socket : {"JSON socket", "i3 socket"}) {
        const std::string path = announced(run, socket);
        EXPECT_TRUE(wait_until([&] { return std::filesystem::exists(path); })) << socket << ": " << run.out();
    }
    EXPECT_TRUE(std::filesystem::is_empty(run.runtime_dir())) << "nothing in the caller's runtime directory";

    run.signal(SIGINT);
    EXPECT_EQ(run.wait_exit(), 130) << run.describe();
    EXPECT_FALSE(server_reachable(display)) << "the server went with the script";
    EXPECT_TRUE(server_reachable(desktop.display())) << "the desktop itself is untouched";
    // vop shut down cleanly, and every program that acts on the session was a stand-in.
    for (const char* line : {"systemctl --user import-environment DISPLAY XAUTHORITY",
                             "systemctl --user start graphical-session.target", "pkill picom", "picom -b --config",
                             "pkill -x picom", "systemctl --user stop graphical-session.target"}) {
        EXPECT_NE(run.out().find(std::string("run-vop: not run in a try-out: ") + line), std::string::npos)
            << line << "\n" << run.out();
    }
    for (const char* recorder : {"systemctl", "pkill", "picom"}) {
        EXPECT_TRUE(run.stubs().calls(recorder).empty()) << recorder;
    }
    EXPECT_EQ(snapshot(home.path()), home_before) << "the caller's HOME is unchanged";
}

// Stop signals that keep coming while the script cleans up (an impatient Ctrl-C, a second TERM) neither cut
// the clean-up short nor change its outcome: the X server and the temporary directory go all the same.
TEST(RunScript, FurtherSignalsDuringTheCleanupLeaveNothingBehind) {
    VopProcess run({.display = std::nullopt, .env = {{"NO_COLOR", "1"}}, .wrapper = {kScript}});
    ASSERT_TRUE(run.wait_for_log(VopProcess::kReadyLine)) << run.describe();
    ASSERT_TRUE(wait_until([&] { return announced(run, "i3 socket") != ""; })) << run.describe();
    const std::string display = announced_display(run);
    const std::string config = announced(run, "configuration");  // "..., in <tmp>/config/vop/init.lua (gone ...)"
    const auto in = config.find(" in /");
    ASSERT_NE(in, std::string::npos) << config;
    const std::string tmp = config.substr(in + 4, config.find("/config/vop/init.lua") - in - 4);
    ASSERT_TRUE(std::filesystem::exists(tmp)) << tmp;

    run.signal(SIGTERM);
    std::optional<int> status;
    for (int i = 0; i < 400 && !status; ++i) {
        run.signal(i % 2 ? SIGINT : SIGTERM);
        status = run.wait_exit(5ms);
    }
    if (!status) status = run.wait_exit();
    // The status of whichever signal the script took first (bash runs pending traps in signal order).
    EXPECT_TRUE(status == 128 + SIGTERM || status == 128 + SIGINT) << run.describe();
    EXPECT_FALSE(server_reachable(display)) << "no X server is left behind";
    EXPECT_FALSE(std::filesystem::exists(tmp)) << tmp << " is left behind";
}
