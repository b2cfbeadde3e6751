// Private X servers for tests: Xvfb (one screen, optionally without RandR) and Xorg with the dummy driver.
#pragma once

#include "process.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vop::test {

// A running X server on a display number the server chose itself (-displayfd). Killed and reaped
// on destruction.
class XServerBase {
public:
    virtual ~XServerBase();
    XServerBase(const XServerBase&) = delete;
    XServerBase& operator=(const XServerBase&) = delete;

    const std::string& display() const { return display_; }  // ":N"
    int number() const { return number_; }
    bool alive() { return child_ && child_->running(); }
    void stop();  // SIGTERM, a grace period, then SIGKILL; idempotent

protected:
    XServerBase() = default;
    // Starts `argv` with "-displayfd <fd>" appended and waits for the number it writes.
    void launch(std::vector<std::string> argv, const std::string& output_path, Millis timeout);

    std::unique_ptr<Child> child_;
    std::string display_;
    int number_ = -1;
};

// Xvfb -screen 0 1920x1080x24 -nolisten tcp -extension GLX, plus `extra_args`. Throws HarnessError when it does not come up.
class XServer : public XServerBase {
public:
    static inline const std::vector<std::string> kNoRandr = {"-extension", "RANDR"};
    explicit XServer(const std::vector<std::string>& extra_args = {}, const std::string& screen = "1920x1080x24");
    ~XServer() override;

private:
    TempDir dir_{"vop-xvfb"};
};

struct MonitorInfo {
    std::string name;
    int x = 0, y = 0;
    unsigned width = 0, height = 0;
    bool primary = false;
    bool operator==(const MonitorInfo&) const = default;
};

// The RandR monitors of a display as `xrandr --listmonitors` reports them.
std::vector<MonitorInfo> list_monitors(const std::string& display);

// Xorg with the dummy video driver: outputs DUMMY0..DUMMY15, DUMMY0 connected and primary at 1920x1080.
// Needs root; `start` returns null with the reason in `why_not` when it cannot run here.
class DummyXorg : public XServerBase {
public:
    static std::unique_ptr<DummyXorg> start(std::string& why_not);
    ~DummyXorg() override;

    // DUMMY1 1280x1024 to the right of DUMMY0 (1920x1080 at 0,0); throws HarnessError when xrandr fails.
    void add_second_monitor();
    // Switches DUMMY1 off again.
    void remove_second_monitor();
    // One output's mode ("1280x1024", one the server lists) and position.
    struct Output {
        std::string mode;
        int x = 0, y = 0;
    };
    // Sets DUMMY0 and, when given, DUMMY1 to these modes and positions in one change (DUMMY1 off when not
    // given), as a user's display settings do; throws HarnessError when xrandr fails.
    void arrange(const Output& first, const std::optional<Output>& second);

private:
    DummyXorg() = default;
    TempDir dir_{"vop-xorg"};
};

}  // namespace vop::test
