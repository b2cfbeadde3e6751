// The real vop on a private Xvfb: map latency over 200 windows, idle wake-ups, resident memory.
#include <xcb/xcb.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

constexpr int kWindows = 200;
constexpr int kWindowsForMemory = 100;
constexpr auto kStartTimeout = Millis(10000);
constexpr auto kMapTimeout = Millis(2000);
constexpr auto kIdleSpan = Millis(2000);

// Set by SIGINT/SIGTERM: every wait gives up so the destructors still clean up.
std::atomic<bool> g_interrupted{false};

extern "C" void on_signal(int) { g_interrupted = true; }

void sleep_for(Millis d) {
    auto end = Clock::now() + d;
    while (!g_interrupted && Clock::now() < end) std::this_thread::sleep_for(Millis(10));
}

struct TempDir {
    fs::path path;
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "vop-bench-XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};

// A child we started; on destruction it gets SIGTERM, then SIGKILL if it lingers, and is reaped.
// With `group` set the child leads its own process group and the signals go to the whole group,
// so whatever vop spawned (bar, compositor stubs) goes too.
struct Child {
    pid_t pid = -1;
    bool group = false;

    bool running() {
        if (pid <= 0) return false;
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) {
            pid = -1;
            return false;
        }
        return true;
    }
    void stop() {
        if (!running()) return;
        pid_t target = group ? -pid : pid;
        kill(target, SIGTERM);
        auto deadline = Clock::now() + Millis(2000);
        while (running() && Clock::now() < deadline) std::this_thread::sleep_for(Millis(10));
        if (pid > 0) {
            kill(target, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
    Child() = default;
    ~Child() { stop(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
};

// In the child after fork: stdout and stderr to `log`.
void redirect_output(const fs::path& log) {
    int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
        close(fd);
    }
}

std::string read_text(const fs::path& p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Starts Xvfb and returns its display name once it writes its number to the -displayfd pipe.
std::optional<std::string> start_xvfb(Child& xvfb, const fs::path& log) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return std::nullopt;
    }
    if (pid == 0) {
        redirect_output(log);
        fcntl(fds[1], F_SETFD, 0);  // the server must inherit the write end
        std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1920x1080x24", "-noreset", "-nolisten",
               "tcp", static_cast<char*>(nullptr));
        _exit(127);
    }
    xvfb.pid = pid;
    close(fds[1]);
    std::string got;
    auto deadline = Clock::now() + kStartTimeout;
    while (got.find('\n') == std::string::npos && !g_interrupted && Clock::now() < deadline && xvfb.running()) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buf[32];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;  // closed without a number: the server failed
        got.append(buf, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    if (got.find('\n') == std::string::npos) return std::nullopt;
    return ":" + got.substr(0, got.find('\n'));
}

void start_vop(Child& vop, const std::string& display, const fs::path& dir) {
    for (const char* d : {"home", "config", "runtime", "stub-log"}) fs::create_directory(dir / d);
    fs::permissions(dir / "runtime", fs::perms::owner_all, fs::perm_options::replace);
    const char* path = std::getenv("PATH");
    std::string new_path = std::string(VOP_STUB_DIR) + ":" + (path ? path : "/usr/bin:/bin");
    pid_t pid = fork();
    if (pid < 0) return;
    if (pid == 0) {
        setpgid(0, 0);
        redirect_output(dir / "vop.out");
        setenv("DISPLAY", display.c_str(), 1);
        setenv("HOME", (dir / "home").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (dir / "runtime").c_str(), 1);
        setenv("VOP_STUB_LOG", (dir / "stub-log").c_str(), 1);
        setenv("PATH", new_path.c_str(), 1);
        setenv("NO_COLOR", "1", 1);
        setenv("VOP_LOG", "info", 1);
        for (const char* k : {"I3SOCK", "XAUTHORITY", "DBUS_SESSION_BUS_ADDRESS"}) unsetenv(k);
        execl(VOP_BINARY, VOP_BINARY, static_cast<char*>(nullptr));
        _exit(127);
    }
    setpgid(pid, pid);  // also from here, so the group exists whoever runs first
    vop.pid = pid;
    vop.group = true;
}

struct XConn {
    xcb_connection_t* c = nullptr;
    xcb_screen_t* screen = nullptr;
    explicit XConn(const std::string& display) {
        c = xcb_connect(display.c_str(), nullptr);
        if (xcb_connection_has_error(c) == 0) screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    }
    ~XConn() {
        if (c) xcb_disconnect(c);
    }
    bool ok() const { return screen != nullptr; }
    XConn(const XConn&) = delete;
    XConn& operator=(const XConn&) = delete;
};

xcb_atom_t intern(xcb_connection_t* c, const char* name) {
    auto* r = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    xcb_atom_t a = r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(r);
    return a;
}

bool root_has_wm_check(XConn& x, xcb_atom_t check) {
    auto* r = xcb_get_property_reply(
        x.c, xcb_get_property(x.c, 0, x.screen->root, check, XCB_ATOM_WINDOW, 0, 1), nullptr);
    bool has = r && r->type == XCB_ATOM_WINDOW && xcb_get_property_value_length(r) >= 4;
    std::free(r);
    return has;
}

// Waits for an event `want` accepts, dropping the others; false on timeout or a broken connection.
bool wait_event(xcb_connection_t* c, const std::function<bool(const xcb_generic_event_t*)>& want, Millis timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        while (xcb_generic_event_t* ev = xcb_poll_for_event(c)) {
            bool hit = want(ev);
            std::free(ev);
            if (hit) return true;
        }
        if (xcb_connection_has_error(c) || g_interrupted) return false;
        auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{xcb_get_file_descriptor(c), POLLIN, 0};
        poll(&p, 1, static_cast<int>(std::min<long>(left, 50)));
    }
}

// One field of /proc/<pid>/status (a number, kB for memory), or nothing when the process is gone.
std::optional<long> status_field(const fs::path& status, const std::string& key) {
    std::ifstream in(status);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + ":", 0) == 0) return std::strtol(line.c_str() + key.size() + 1, nullptr, 10);
    }
    return std::nullopt;
}

// Context switches of every thread of `pid`: a wake-up on any thread counts.
long context_switches(pid_t pid) {
    long total = 0;
    std::error_code ec;
    for (const auto& task : fs::directory_iterator(fmt::format("/proc/{}/task", pid), ec)) {
        total += status_field(task.path() / "status", "voluntary_ctxt_switches").value_or(0);
        total += status_field(task.path() / "status", "nonvoluntary_ctxt_switches").value_or(0);
    }
    return total;
}

double rss_mb(pid_t pid) {
    return static_cast<double>(status_field(fmt::format("/proc/{}/status", pid), "VmRSS").value_or(0)) / 1024.0;
}

double percentile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    auto i = static_cast<std::size_t>(std::ceil(q * static_cast<double>(v.size())));
    return v[std::clamp<std::size_t>(i, 1, v.size()) - 1];
}

int fail(const std::string& why, const fs::path& dir) {
    if (g_interrupted) {
        fmt::print(stderr, "wm_bench: interrupted\n");
        return 1;
    }
    fmt::print(stderr, "wm_bench: {}\n", why);
    std::string out = read_text(dir / "vop.out");
    if (!out.empty()) {
        fmt::print(stderr, "vop output (last lines):\n{}\n", out.substr(out.size() > 2000 ? out.size() - 2000 : 0));
    }
    return 1;
}

int run() {
    TempDir dir;
    Child xvfb;
    auto display = start_xvfb(xvfb, dir.path / "xvfb.out");
    if (!display) {
        if (g_interrupted) return 1;
        fmt::print(stderr, "wm_bench: Xvfb did not start: {}\n", read_text(dir.path / "xvfb.out"));
        return 1;
    }
    Child vop;
    start_vop(vop, *display, dir.path);
    if (vop.pid <= 0) return fail("could not start vop", dir.path);

    XConn x(*display);
    if (!x.ok()) return fail("cannot connect to " + *display, dir.path);
    xcb_atom_t check = intern(x.c, "_NET_SUPPORTING_WM_CHECK");
    auto deadline = Clock::now() + kStartTimeout;
    while (!root_has_wm_check(x, check)) {
        if (!vop.running()) return fail("vop exited during start-up", dir.path);
        if (g_interrupted || Clock::now() >= deadline) return fail("vop not ready in time", dir.path);
        std::this_thread::sleep_for(Millis(20));
    }
    sleep_for(Millis(500));  // let start-up work (bar, compositor stubs) finish before measuring idleness
    if (g_interrupted) return 1;
    const pid_t pid = vop.pid;

    double rss_idle = rss_mb(pid);
    long before = context_switches(pid);
    sleep_for(kIdleSpan);
    if (g_interrupted || !vop.running()) return fail("vop exited while idle", dir.path);
    double wakeups = static_cast<double>(context_switches(pid) - before) /
                     std::chrono::duration<double>(kIdleSpan).count();

    std::vector<double> latencies;
    double rss_loaded = 0;
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    for (int i = 0; i < kWindows; ++i) {
        xcb_window_t w = xcb_generate_id(x.c);
        xcb_create_window(x.c, XCB_COPY_FROM_PARENT, w, x.screen->root, 0, 0, 200, 150, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(x.c);
        auto t0 = Clock::now();
        xcb_map_window(x.c, w);
        xcb_flush(x.c);
        bool mapped = wait_event(
            x.c,
            [w](const xcb_generic_event_t* ev) {
                return (ev->response_type & 0x7f) == XCB_MAP_NOTIFY &&
                       reinterpret_cast<const xcb_map_notify_event_t*>(ev)->window == w;
            },
            kMapTimeout);
        if (!mapped) return fail(fmt::format("window {} of {} was not mapped in time", i + 1, kWindows), dir.path);
        latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (i + 1 == kWindowsForMemory) {
            sleep_for(Millis(300));  // the layout and decorations of the last ones settle
            if (!vop.running()) return fail("vop exited while mapping windows", dir.path);
            rss_loaded = rss_mb(pid);
        }
    }
    if (!vop.running()) return fail("vop exited while mapping windows", dir.path);

    fmt::print("map latency over {} windows: median {:.2f} ms, p90 {:.2f} ms\n", kWindows,
               percentile(latencies, 0.5), percentile(latencies, 0.9));
    fmt::print("idle wake-ups: {:.1f} per second\n", wakeups);
    fmt::print("resident memory: idle {:.1f} MB, with {} windows {:.1f} MB\n", rss_idle, kWindowsForMemory,
               rss_loaded);
    return 0;
}

}  // namespace

int main() {
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    try {
        return run();
    } catch (const std::exception& e) {
        fmt::print(stderr, "wm_bench: {}\n", e.what());
        return 1;
    }
}
