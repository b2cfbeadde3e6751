// Starting vop in a private environment, waiting on its log, reading what its stubs recorded.
#include "vop_process.hpp"

#include "log_file.hpp"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace vop::test {
namespace fs = std::filesystem;

VopProcess::VopProcess(VopOptions opts) {
    home_ = dir_ / "home";
    config_home_ = dir_ / "config";
    runtime_dir_ = dir_ / "runtime";
    stub_log_ = dir_ / "stub-log";
    for (const auto& d : {home_, config_home_, runtime_dir_, stub_log_}) fs::create_directory(d);
    fs::permissions(runtime_dir_, fs::perms::owner_all, fs::perm_options::replace);
    if (!opts.init_lua.empty()) {
        fs::create_directories(config_home_ + "/vop");
        write_file(config_home_ + "/vop/init.lua", opts.init_lua);
    }

    // A stale log from an earlier run must not look like this run's readiness; anything other than a
    // regular file there was planted by the test and stays.
    struct stat st {};
    if (!opts.keep_old_log && lstat(kLogPath, &st) == 0 && S_ISREG(st.st_mode)) unlink(kLogPath);

    const char* path = std::getenv("PATH");
    EnvChanges env = {
        {"DISPLAY", opts.display},
        {"HOME", home_},
        {"XDG_CONFIG_HOME", config_home_},
        {"XDG_RUNTIME_DIR", runtime_dir_},
        {"PATH", std::string(VOP_STUB_DIR) + ":" + (path ? path : "/usr/bin:/bin")},
        {"VOP_STUB_LOG", stub_log_},
        {"NO_COLOR", std::nullopt},
        {"VOP_LOG", std::nullopt},
        {"I3SOCK", std::nullopt},
        {"XAUTHORITY", std::nullopt},
        {"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
    };
    for (const auto& [k, v] : opts.env) env[k] = v;

    SpawnOptions sp;
    sp.env = env;
    sp.stdout_path = dir_ / "stdout";
    int pipe_write = -1;
    if (opts.stdout_full_pipe) {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) throw HarnessError("pipe2 failed");
        pipe_read_ = p[0];
        pipe_write = sp.stdout_fd = p[1];
        // Filled without waiting, then blocking again: vop's stdout is as a real pipe's would be.
        fcntl(p[1], F_SETFL, O_NONBLOCK);
        char filler[PIPE_BUF] = {};
        for (ssize_t n; (n = ::write(p[1], filler, sizeof filler)) > 0;) filler_ += static_cast<std::size_t>(n);
        fcntl(p[1], F_SETFL, 0);
        fcntl(p[0], F_SETFL, O_NONBLOCK);
    }
    sp.stderr_path = dir_ / "stderr";
    sp.own_process_group = true;
    std::vector<std::string> argv = opts.wrapper;
    argv.push_back(VOP_BINARY);
    child_ = std::make_unique<Child>(argv, sp);
    if (pipe_write >= 0) close(pipe_write);
}

VopProcess::~VopProcess() {
    child_->kill_and_reap();
    if (pipe_read_ >= 0) close(pipe_read_);
}

namespace {

// Whether the thread is blocked in a poll/select with a finite timeout: the main loop's wait between
// ticks. Plain sleeps don't count: start-up sleeps while it restarts the compositor.
bool in_timed_wait(pid_t pid) {
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/syscall"));
    long nr = -1;
    if (!(in >> nr)) return false;  // "running", or gone
    std::vector<unsigned long long> a;
    std::string word;
    while (in >> word) a.push_back(std::stoull(word, nullptr, 16));
    auto arg = [&](size_t i) { return i < a.size() ? a[i] : 0ull; };
    auto finite_ms = [](unsigned long long v) { return static_cast<int32_t>(static_cast<uint32_t>(v)) >= 0; };
    switch (nr) {
        case SYS_poll: return finite_ms(arg(2));
        case SYS_ppoll: return arg(2) != 0;
        case SYS_epoll_wait:
        case SYS_epoll_pwait: return finite_ms(arg(3));
        case SYS_select:
        case SYS_pselect6: return arg(4) != 0;
        default: return false;
    }
}

}  // namespace

bool VopProcess::wait_ready(Millis timeout) {
    bool ok = wait_until([&] { return !running() || (log_contains(kReadyLine) && in_timed_wait(pid())); }, timeout,
                         2ms);
    return ok && running();
}

bool VopProcess::wait_idle(Millis timeout) {
    return wait_until([&] { return !running() || in_timed_wait(pid()); }, timeout, 1ms) && running();
}

bool VopProcess::wait_for_log(const std::string& text, Millis timeout) {
    return wait_until(
        [&] {
            bool alive = running();
            // An exited vop writes nothing more: one last look decides.
            return log_contains(text) || !alive;
        },
        timeout) &&
           log_contains(text);
}

std::optional<int> VopProcess::stop(Millis timeout) {
    signal(SIGTERM);
    return wait_exit(timeout);
}

std::string VopProcess::out() const {
    if (pipe_read_ < 0) return read_file(dir_ / "stdout");
    char buf[65536];
    for (ssize_t n; (n = ::read(pipe_read_, buf, sizeof buf)) > 0;) piped_.append(buf, static_cast<std::size_t>(n));
    return piped_.size() > filler_ ? piped_.substr(filler_) : "";
}
std::string VopProcess::err() const { return read_file(dir_ / "stderr"); }

std::string VopProcess::describe() {
    bool alive = running();
    auto st = child_->wait_exit(0ms);
    std::string s = "vop " + (alive ? std::string("running") : "exited with " + std::to_string(st.value_or(-1)));
    s += "\n--- stdout ---\n" + out() + "--- stderr ---\n" + err() + "--- " + kLogPath + " ---\n" + read_log();
    return s;
}

std::vector<std::vector<std::string>> StubLog::calls(const std::string& name) const {
    std::vector<std::vector<std::string>> out;
    for (const auto& line : split_lines(read_file(dir_ + "/" + name + ".calls"))) {
        std::vector<std::string> args;
        size_t a = 0;
        while (!line.empty()) {
            size_t tab = line.find('\t', a);
            args.push_back(line.substr(a, tab == std::string::npos ? std::string::npos : tab - a));
            if (tab == std::string::npos) break;
            a = tab + 1;
        }
        out.push_back(std::move(args));
    }
    return out;
}

std::vector<std::string> StubLog::lines(const std::string& name) const {
    std::vector<std::string> out;
    for (const auto& call : calls(name)) {
        std::string joined;
        for (const auto& a : call) joined += (joined.empty() ? "" : " ") + a;
        out.push_back(joined);
    }
    return out;
}

std::vector<std::string> StubLog::env(const std::string& name) const {
    return split_lines(read_file(dir_ + "/" + name + ".env"));
}

std::vector<std::string> StubLog::signals(const std::string& name) const {
    return split_lines(read_file(dir_ + "/" + name + ".signals"));
}

std::vector<pid_t> StubLog::pids(const std::string& name) const {
    std::vector<pid_t> out;
    for (const auto& l : split_lines(read_file(dir_ + "/" + name + ".pid"))) out.push_back(std::stoi(l));
    return out;
}

void StubLog::set_exit(const std::string& name, int status) const {
    write_file(dir_ + "/" + name + ".exit", std::to_string(status) + "\n");
}

}  // namespace vop::test
