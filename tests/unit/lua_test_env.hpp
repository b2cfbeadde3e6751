// Test fixture for the Lua configuration: a temporary config home, captured log records, helpers.
#pragma once

#include "config/lua.hpp"
#include "logging.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace vop::testing {

struct LogRecord {
    log::Level level;
    std::string target;
    std::string message;
};

// Sets an environment variable for the lifetime of the object and restores it afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            setenv(name_.c_str(), old_->c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// A fresh directory under /tmp, removed with everything in it afterwards.
class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vop-test-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) ADD_FAILURE() << "mkdtemp failed";
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline std::string read_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void write_file(const std::filesystem::path& p, std::string_view text) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
}

// XDG_CONFIG_HOME points at a temporary directory; log records are captured.
class LuaConfigTest : public ::testing::Test {
protected:
    TempDir home_;
    ScopedEnv xdg_{"XDG_CONFIG_HOME", home_.path().c_str()};
    std::vector<LogRecord> logs_;

    void SetUp() override {
        log::set_test_sink([this](log::Level level, std::string_view target, std::string_view msg) {
            logs_.push_back({level, std::string(target), std::string(msg)});
        });
    }
    void TearDown() override { log::set_test_sink({}); }

    std::filesystem::path script_path() const { return home_.path() / "vop" / "init.lua"; }

    void write_script(std::string_view text) { write_file(script_path(), text); }

    // A new LuaConfig loaded from `script`; the load result is stored in `last_load`.
    LuaConfig load_script(std::string_view script) {
        write_script(script);
        auto created = LuaConfig::create();
        EXPECT_TRUE(created.ok());
        LuaConfig config = std::move(created).value();
        auto r = config.load();
        last_load = r.ok() ? std::optional<std::string>() : std::optional<std::string>(r.error().message);
        return config;
    }

    // Loads `script` and expects it to run without error.
    LuaConfig load_ok(std::string_view script) {
        LuaConfig config = load_script(script);
        EXPECT_FALSE(last_load.has_value()) << *last_load;
        return config;
    }

    bool logged(log::Level level, std::string_view message) const {
        for (const auto& r : logs_) {
            if (r.level == level && r.message == message) return true;
        }
        return false;
    }

    std::vector<std::string> messages(log::Level level) const {
        std::vector<std::string> out;
        for (const auto& r : logs_) {
            if (r.level == level) out.push_back(r.message);
        }
        return out;
    }

    static LuaState snapshot(LuaConfig& config) {
        auto s = config.state()->lock();
        return *s;
    }

    std::optional<std::string> last_load;
};

}  // namespace vop::testing
