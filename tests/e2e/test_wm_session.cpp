// The programs around vop: the systemd graphical session, the bar, and children started by the script.
#include "wm_fixture.hpp"

#include <csignal>
#include <dirent.h>
#include <fstream>

using namespace vop::test;

namespace {

// Zombie children of a process (state Z in /proc/<pid>/stat).
int zombie_children(pid_t parent) {
    int count = 0;
    DIR* d = opendir("/proc");
    if (!d) return 0;
    while (dirent* e = readdir(d)) {
        std::ifstream f(std::string("/proc/") + e->d_name + "/stat");
        std::string line;
        if (!std::getline(f, line)) continue;
        auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        if (sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent && state == 'Z') ++count;
    }
    closedir(d);
    return count;
}

}  // namespace

TEST_F(WmTest, StartsTheGraphicalSession) {
    start();
    auto stubs = vop_->stubs();
    ASSERT_TRUE(becomes([&] { return stubs.lines("systemctl").size() >= 2; }));
    auto lines = stubs.lines("systemctl");
    EXPECT_EQ(lines[0], "--user import-environment DISPLAY XAUTHORITY");
    EXPECT_EQ(lines[1], "--user start graphical-session.target");
    EXPECT_TRUE(vop_->wait_for_log("Imported DISPLAY=" + x_.display() + " to systemd user session"));
    EXPECT_TRUE(vop_->wait_for_log("Started graphical-session.target"));
    EXPECT_TRUE(stubs.lines("vopbar").empty()) << "no bar without vop.bar";
}

TEST_F(WmTest, FailingSystemctlIsLoggedAndStartGoesOn) {
    TempDir dir;
    // The stub log directory is known only once vop runs, so make systemctl fail through PATH instead.
    write_file(dir.path() + "/systemctl", "#!/bin/sh\necho 'no user manager' >&2\nexit 1\n");
    chmod((dir.path() + "/systemctl").c_str(), 0755);
    vop_ = std::make_unique<VopProcess>(VopOptions{
        .display = x_.display(),
        .env = {{"PATH", dir.path() + ":" + VOP_STUB_DIR + ":/usr/bin:/bin"}},
        .init_lua = kPlainConfig});
    ASSERT_TRUE(vop_->wait_idle()) << vop_->describe();
    EXPECT_TRUE(vop_->wait_for_log("Failed to import DISPLAY: no user manager"));
    EXPECT_TRUE(vop_->wait_for_log("Failed to start graphical-session.target: no user manager"));
    client_ = std::make_unique<TestClient>(x_.display());
    uint32_t a = client_->open_window();
    EXPECT_TRUE(has_geometry(a, {12, 12, 1892, 1052, 2}));
}

TEST_F(WmTest, SpawnsTheBarWithTheI3Socket) {
    start(kPlainConfig + "vop.bar = { height = 30 }\n");
    auto stubs = vop_->stubs();
    ASSERT_TRUE(becomes([&] { return !stubs.lines("vopbar").empty(); })) << vop_->describe();
    EXPECT_EQ(stubs.lines("vopbar")[0], "daemon");
    auto env = stubs.env("vopbar");
    ASSERT_FALSE(env.empty());
    EXPECT_NE(env[0].find("I3SOCK=" + vop_->runtime_dir() + "/vop-i3.sock"), std::string::npos) << env[0];
    EXPECT_NE(env[0].find("SIGPIPE=default"), std::string::npos) << env[0];
    // The bar's height replaces every dock reservation at the top.
    uint32_t a = client_->open_window();
    EXPECT_TRUE(has_geometry(a, {12, 42, 1892, 1022, 2}));

    // A bar that dies is collected by the loop and never signalled again (its pid may be reused).
    auto pids = stubs.pids("vopbar");
    ASSERT_FALSE(pids.empty());
    kill(pids[0], SIGTERM);
    EXPECT_TRUE(vop_->wait_for_log("vopbar exited with status: "));
}

TEST_F(WmTest, ReapsChildrenStartedByTheScript) {
    start(kPlainConfig + R"(
vop.exec("true")
vop.exec("sh -c 'exit 3'")
vop.exec_once("true")
)");
    EXPECT_TRUE(becomes([&] { return zombie_children(vop_->pid()) == 0; }));
}

// Programs the script starts through Lua's own os.execute and io.popen have SIGPIPE at its default (vop
// catches it rather than ignoring it), so a pipeline such as `yes | head` in them ends as it should.
TEST_F(WmTest, ScriptChildrenHaveSigpipeAtItsDefault) {
    start(kPlainConfig + R"(
local out = os.getenv("HOME") .. "/sigign"
os.execute("exec grep SigIgn /proc/self/status > " .. out)
local p = io.popen("exec grep SigIgn /proc/self/status")
local f = io.open(out, "a")
f:write(p:read("a"))
f:close()
p:close()
)");
    const auto lines = split_lines(read_file(vop_->home() + "/sigign"));
    ASSERT_EQ(lines.size(), 2u) << vop_->describe();
    for (const auto& l : lines) {
        ASSERT_EQ(l.rfind("SigIgn:", 0), 0u) << l;
        EXPECT_FALSE(std::stoull(l.substr(7), nullptr, 16) & (1ull << (SIGPIPE - 1))) << l;
    }
}
