// Test processes: fork/exec with a prepared environment, exit status without reaping, polling helpers.
#include "process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace vop::test {

bool wait_until(const std::function<bool()>& pred, Millis timeout, Millis interval) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(interval);
    }
}

TempDir::TempDir(const std::string& prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw HarnessError("mkdtemp " + tmpl + ": " + std::strerror(errno));
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw HarnessError("cannot write " + path);
}

namespace {

std::vector<std::string> build_env(const EnvChanges& changes) {
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e; ++e) {
        std::string kv(*e);
        auto eq = kv.find('=');
        if (eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto& [k, v] : changes) {
        if (v) vars[k] = *v;
        else vars.erase(k);
    }
    std::vector<std::string> out;
    for (const auto& [k, v] : vars) out.push_back(k + "=" + v);
    return out;
}

std::vector<char*> c_strings(std::vector<std::string>& v) {
    std::vector<char*> out;
    for (auto& s : v) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Between fork and exec only async-signal-safe calls.
[[noreturn]] void exec_child(char* const* argv, char* const* envp, int out_fd, int err_fd, bool group,
                             int pass_fd) {
    if (group) setpgid(0, 0);
    // The test binary may ignore or block signals; the child starts from the defaults.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s = 1; s < NSIG; ++s) {
        if (s != SIGKILL && s != SIGSTOP) ::signal(s, SIG_DFL);
    }
    int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(out_fd >= 0 ? out_fd : null_fd, 1);
    dup2(err_fd >= 0 ? err_fd : null_fd, 2);
    for (int fd = 3; fd < 1024; ++fd) {
        if (fd != pass_fd) close(fd);
    }
    if (pass_fd >= 0) fcntl(pass_fd, F_SETFD, 0);
    execve(argv[0], argv, envp);
    _exit(127);
}

// The program as found on the child's own PATH, so a stub directory put first in it takes effect.
std::string resolve_program(const std::string& name, const std::vector<std::string>& env) {
    if (name.find('/') != std::string::npos) return name;
    for (const auto& kv : env) {
        if (kv.rfind("PATH=", 0) != 0) continue;
        std::stringstream dirs(kv.substr(5));
        std::string dir;
        while (std::getline(dirs, dir, ':')) {
            std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
            if (access(candidate.c_str(), X_OK) == 0) return candidate;
        }
    }
    return name;
}

int open_output(const std::string& path) {
    if (path.empty()) return -1;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw HarnessError("cannot open " + path + ": " + std::strerror(errno));
    return fd;
}

}  // namespace

Child::Child(const std::vector<std::string>& argv_in, const SpawnOptions& opts) : group_(opts.own_process_group) {
    if (argv_in.empty()) throw HarnessError("Child: empty argv");
    std::vector<std::string> argv_s = argv_in;
    std::vector<std::string> env_s = build_env(opts.env);
    argv_s[0] = resolve_program(argv_s[0], env_s);
    auto argv = c_strings(argv_s);
    auto envp = c_strings(env_s);
    int out_fd = opts.stdout_fd >= 0 ? opts.stdout_fd : open_output(opts.stdout_path);
    int err_fd = open_output(opts.stderr_path);
    pid_ = fork();
    if (pid_ == 0) exec_child(argv.data(), envp.data(), out_fd, err_fd, group_, opts.pass_fd);
    int fork_errno = errno;
    if (out_fd >= 0 && out_fd != opts.stdout_fd) close(out_fd);
    if (err_fd >= 0) close(err_fd);
    if (pid_ < 0) throw HarnessError(std::string("fork: ") + std::strerror(fork_errno));
    // Also in the parent, so that a signal to the group cannot miss a child that has not run yet.
    if (group_) setpgid(pid_, pid_);
}

Child::~Child() { kill_and_reap(); }

void Child::signal(int sig) const {
    if (!reaped_) ::kill(pid_, sig);
}

void Child::signal_group(int sig) const {
    if (!reaped_ && group_) ::kill(-pid_, sig);
}

std::optional<int> Child::wait_exit(Millis timeout) {
    wait_until([&] { return !running(); }, timeout, 2ms);
    return status_;
}

bool Child::running() {
    if (status_ || reaped_) return false;
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
    if (info.si_pid == 0) return true;
    status_ = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
    return false;
}

void Child::kill_and_reap() {
    if (reaped_ || pid_ <= 0) return;
    // The zombie leader keeps the group id reserved, so this reaches only what it left behind.
    if (group_) ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    int st = 0;
    while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
    if (!status_) status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    reaped_ = true;
}

CommandResult run_command(const std::string& display, const std::vector<std::string>& argv, const EnvChanges& env,
                          Millis timeout) {
    TempDir dir("vop-cmd");
    EnvChanges changes = env;
    if (display.empty()) changes["DISPLAY"] = std::nullopt;
    else changes["DISPLAY"] = display;
    SpawnOptions opts;
    opts.env = changes;
    opts.stdout_path = dir / "out";
    opts.stderr_path = dir / "err";
    CommandResult r;
    {
        Child child(argv, opts);
        auto st = child.wait_exit(timeout);
        r.status = st ? *st : -1;
    }
    r.out = read_file(dir / "out");
    r.err = read_file(dir / "err");
    return r;
}

}  // namespace vop::test
