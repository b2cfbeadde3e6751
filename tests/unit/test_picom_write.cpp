// Writing picom.conf into the configuration directory and restarting the compositor (with stub programs).
#include "config/picom.hpp"
#include "lua_test_env.hpp"
#include "util/process.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

using namespace vop;
using namespace vop::testing;

namespace {

const std::filesystem::path kStubs = std::filesystem::path(__FILE__).parent_path() / ".." / "harness" / "stubs";

std::vector<std::string> lines_of(const std::filesystem::path& p) {
    std::vector<std::string> out;
    std::string text = read_file(p), line;
    for (char ch : text) {
        if (ch == '\n') {
            out.push_back(line);
            line.clear();
        } else {
            line += ch == '\t' ? ' ' : ch;
        }
    }
    return out;
}

// Waits for the background picom stub to record its call.
bool wait_for(const std::filesystem::path& p) {
    for (int i = 0; i < 400 && !std::filesystem::exists(p); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return std::filesystem::exists(p);
}

class PicomWrite : public LuaConfigTest {
protected:
    TempDir stub_log_;
    TempDir bin_;
    ScopedEnv log_env_{"VOP_STUB_LOG", stub_log_.path().c_str()};
    std::optional<ScopedEnv> path_env_;

    // PATH holds only the named stubs and the few tools the stubs themselves run.
    void use_stubs(std::initializer_list<const char*> names) {
        std::filesystem::copy_file(kStubs / "record.sh", bin_.path() / "record.sh");
        for (const char* n : names) {
            std::filesystem::create_symlink(std::filesystem::canonical(kStubs / n), bin_.path() / n);
        }
        for (const char* tool : {"bash", "mkdir"}) {
            for (const char* dir : {"/usr/bin/", "/bin/"}) {
                if (std::filesystem::exists(std::string(dir) + tool)) {
                    std::filesystem::create_symlink(std::string(dir) + tool, bin_.path() / tool);
                    break;
                }
            }
        }
        path_env_.emplace("PATH", bin_.path().c_str());
    }
    void TearDown() override {
        process::reap_children();
        LuaConfigTest::TearDown();
    }
};

}  // namespace

TEST_F(PicomWrite, WritesTheFileThenKillsAndRestartsPicom) {
    use_stubs({"pkill", "picom"});
    Config c;
    c.corner_radius = 3;
    ASSERT_TRUE(picom::write_config(c).ok());
    const auto path = home_.path() / "vop" / "picom.conf";
    EXPECT_EQ(read_file(path), picom::generate(c));
    EXPECT_EQ(lines_of(stub_log_.path() / "pkill.calls"), std::vector<std::string>{"picom"});
    ASSERT_TRUE(wait_for(stub_log_.path() / "picom.calls"));
    EXPECT_EQ(lines_of(stub_log_.path() / "picom.calls"), std::vector<std::string>{"-b --config " + path.string()});
    EXPECT_TRUE(logged(log::Level::Info, "Generated picom config at \"" + path.string() + "\""));
    EXPECT_TRUE(logged(log::Level::Info, "Killed picom for restart"));
    EXPECT_TRUE(logged(log::Level::Info, "Restarted picom with config \"" + path.string() + "\""));
}

TEST_F(PicomWrite, PicomNotRunningIsOnlyDebug) {
    use_stubs({"pkill", "picom"});
    write_file(stub_log_.path() / "pkill.exit", "1\n");
    ASSERT_TRUE(picom::write_config(Config{}).ok());
    EXPECT_TRUE(logged(log::Level::Debug, "picom was not running"));
    EXPECT_FALSE(logged(log::Level::Info, "Killed picom for restart"));
    EXPECT_TRUE(wait_for(stub_log_.path() / "picom.calls"));
}

TEST_F(PicomWrite, WithoutPkillNoCompositorIsStarted) {
    use_stubs({"picom"});
    ASSERT_TRUE(picom::write_config(Config{}).ok());
    EXPECT_TRUE(std::filesystem::exists(home_.path() / "vop" / "picom.conf"));
    auto warns = messages(log::Level::Warn);
    ASSERT_EQ(warns.size(), 1u);
    EXPECT_EQ(warns[0], "Failed to kill picom: No such file or directory (os error 2)");
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_FALSE(std::filesystem::exists(stub_log_.path() / "picom.calls"));
}

TEST_F(PicomWrite, WithoutPicomTheFailureIsLogged) {
    use_stubs({"pkill"});
    ASSERT_TRUE(picom::write_config(Config{}).ok());
    auto warns = messages(log::Level::Warn);
    ASSERT_EQ(warns.size(), 1u);
    EXPECT_EQ(warns[0].rfind("Failed to restart picom: ", 0), 0u) << warns[0];
}

TEST_F(PicomWrite, AnUnwritableDirectoryIsAnErrorAndLeavesPicomAlone) {
    use_stubs({"pkill", "picom"});
    write_file(home_.path() / "vop", "a file where the directory should be");
    auto r = picom::write_config(Config{});
    ASSERT_FALSE(r.ok());
    EXPECT_NE(r.error().find("os error"), std::string::npos) << r.error();
    EXPECT_FALSE(std::filesystem::exists(stub_log_.path() / "pkill.calls"));
}
