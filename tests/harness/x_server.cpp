// Private X servers for tests: start with -displayfd, wait for the display number, stop and reap.
#include "x_server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <cstdio>
#include <sstream>

namespace vop::test {
namespace {

std::string tail(const std::string& text, size_t n = 1500) {
    return text.size() <= n ? text : "..." + text.substr(text.size() - n);
}

// Reads the display number the server writes once it accepts connections.
std::optional<int> read_display_number(int fd, Child& child, Millis timeout) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !child.running()) return std::nullopt;
        pollfd p{fd, POLLIN, 0};
        int n = poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 50)));
        if (n < 0 && errno != EINTR) return std::nullopt;
        if (n <= 0) continue;
        char buf[32];
        ssize_t r = read(fd, buf, sizeof buf);
        if (r == 0) return std::nullopt;  // the server closed it without a number: it failed
        if (r > 0) got.append(buf, static_cast<size_t>(r));
    }
    try {
        return std::stoi(got);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

XServerBase::~XServerBase() { stop(); }

void XServerBase::launch(std::vector<std::string> argv, const std::string& output_path, Millis timeout) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw HarnessError(std::string("pipe: ") + std::strerror(errno));
    argv.push_back("-displayfd");
    argv.push_back(std::to_string(fds[1]));
    SpawnOptions opts;
    opts.stdout_path = output_path;
    opts.stderr_path = output_path + ".err";
    opts.pass_fd = fds[1];
    try {
        child_ = std::make_unique<Child>(argv, opts);
    } catch (...) {
        close(fds[0]);
        close(fds[1]);
        throw;
    }
    close(fds[1]);
    auto number = read_display_number(fds[0], *child_, timeout);
    close(fds[0]);
    if (!number) {
        std::string why = child_->running() ? "no display number in time" : "it exited";
        stop();
        throw HarnessError(argv[0] + " did not start (" + why + "): " + tail(read_file(output_path + ".err")));
    }
    number_ = *number;
    display_ = ":" + std::to_string(number_);
}

void XServerBase::stop() {
    if (!child_) return;
    // SIGTERM lets the server remove its lock file and socket.
    child_->signal(SIGTERM);
    child_->wait_exit(3000ms);
    child_.reset();
}

XServer::XServer(const std::vector<std::string>& extra_args, const std::string& screen) {
    // Without GLX the server starts in half the time; nothing under test draws with OpenGL. Without
    // -noreset the server resets whenever its last client leaves (a readiness probe, say), and a vop
    // connecting during that reset fails.
    std::vector<std::string> argv = {"Xvfb",      "-screen", "0",          screen, "-noreset",
                                     "-nolisten", "tcp",     "-extension", "GLX"};
    argv.insert(argv.end(), extra_args.begin(), extra_args.end());
    launch(argv, dir_ / "xvfb.out", 10000ms);
}

XServer::~XServer() { stop(); }

std::vector<MonitorInfo> list_monitors(const std::string& display) {
    auto r = run_command(display, {"xrandr", "--listmonitors"});
    if (r.status != 0) throw HarnessError("xrandr --listmonitors failed: " + r.err);
    // " 0: +*DUMMY0 1920/508x1080/286+0+0  DUMMY0"
    std::vector<MonitorInfo> out;
    std::istringstream in(r.out);
    std::string l;
    while (std::getline(in, l)) {
        int index = 0, x = 0, y = 0;
        unsigned w = 0, h = 0;
        char name[128] = {};
        if (std::sscanf(l.c_str(), " %d: %127s %u/%*ux%u/%*u+%d+%d", &index, name, &w, &h, &x, &y) != 6) continue;
        std::string n = name;
        if (!n.empty() && n[0] == '+') n.erase(0, 1);
        bool primary = !n.empty() && n[0] == '*';
        if (primary) n.erase(0, 1);
        out.push_back({n, x, y, w, h, primary});
    }
    return out;
}

namespace {
constexpr const char* kDummyDriver = "/usr/lib/xorg/modules/drivers/dummy_drv.so";

// Virtual leaves room for a second monitor beside the first.
constexpr const char* kDummyConfig = R"(Section "Device"
    Identifier "dummy"
    Driver "dummy"
    VideoRam 256000
EndSection
Section "Monitor"
    Identifier "monitor"
    HorizSync 5.0-1000.0
    VertRefresh 5.0-200.0
EndSection
Section "Screen"
    Identifier "screen"
    Device "dummy"
    Monitor "monitor"
    DefaultDepth 24
    SubSection "Display"
        Depth 24
        Modes "1920x1080"
        Virtual 4096 2160
    EndSubSection
EndSection
Section "ServerLayout"
    Identifier "layout"
    Screen "screen"
EndSection
)";
}  // namespace

std::unique_ptr<DummyXorg> DummyXorg::start(std::string& why_not) {
    if (geteuid() != 0) {
        why_not = "Xorg with the dummy driver needs root";
        return nullptr;
    }
    if (access(kDummyDriver, R_OK) != 0) {
        why_not = std::string("the dummy video driver is not installed (") + kDummyDriver + ")";
        return nullptr;
    }
    std::unique_ptr<DummyXorg> x(new DummyXorg());
    std::string conf = x->dir_ / "xorg.conf";
    std::string confdir = x->dir_ / "xorg.conf.d";
    std::string log = x->dir_ / "xorg.log";
    try {
        write_file(conf, kDummyConfig);
        std::filesystem::create_directory(confdir);
        x->launch({"Xorg", "-config", conf, "-configdir", confdir, "-logfile", log, "-noreset", "-nolisten", "tcp"},
                  x->dir_ / "xorg.out", 20000ms);
    } catch (const std::exception& e) {
        why_not = std::string("Xorg with the dummy driver did not start: ") + e.what() + "\n" + tail(read_file(log));
        return nullptr;
    }
    return x;
}

DummyXorg::~DummyXorg() { stop(); }

void DummyXorg::add_second_monitor() {
    auto r = run_command(display_, {"xrandr", "--addmode", "DUMMY1", "1280x1024"});
    if (r.status != 0) throw HarnessError("xrandr --addmode failed: " + r.err);
    r = run_command(display_, {"xrandr", "--output", "DUMMY0", "--mode", "1920x1080", "--pos", "0x0", "--output",
                               "DUMMY1", "--mode", "1280x1024", "--pos", "1920x0"});
    if (r.status != 0) throw HarnessError("xrandr --output DUMMY1 failed: " + r.err);
}

void DummyXorg::remove_second_monitor() {
    auto r = run_command(display_, {"xrandr", "--output", "DUMMY1", "--off"});
    if (r.status != 0) throw HarnessError("xrandr --output DUMMY1 --off failed: " + r.err);
}

void DummyXorg::arrange(const Output& first, const std::optional<Output>& second) {
    auto at = [](const Output& o) { return std::to_string(o.x) + "x" + std::to_string(o.y); };
    std::vector<std::string> argv = {"xrandr", "--output", "DUMMY0", "--mode", first.mode, "--pos", at(first),
                                     "--output", "DUMMY1"};
    if (second) {
        auto r = run_command(display_, {"xrandr", "--addmode", "DUMMY1", second->mode});
        if (r.status != 0) throw HarnessError("xrandr --addmode failed: " + r.err);
        argv.insert(argv.end(), {"--mode", second->mode, "--pos", at(*second)});
    } else {
        argv.push_back("--off");
    }
    auto r = run_command(display_, argv);
    if (r.status != 0) throw HarnessError("xrandr --output failed: " + r.err);
}

}  // namespace vop::test
