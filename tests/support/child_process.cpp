#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

extern char **environ;

namespace
{

constexpr std::chrono::milliseconds kPollStep{5};

// argv[0] as execve needs it: names without a slash are looked up in PATH
// here, before the fork (the child may only make async-signal-safe calls).
std::string resolve(const std::string &name)
{
    const char *path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr && name.find('/') == std::string::npos ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (access((dir + "/" + name).c_str(), X_OK) == 0) {
            return dir + "/" + name;
        }
    }
    return name;
}

bool fill(int fd, std::string &into, int timeout_ms)
{
    pollfd p{fd, POLLIN, 0};
    char b[4096];
    ssize_t n = 0;
    if (fd < 0 || poll(&p, 1, timeout_ms) <= 0 || (n = ::read(fd, b, sizeof b)) <= 0) {
        return false;
    }
    into.append(b, static_cast<size_t>(n));
    return true;
}

void close_fd(int &fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

} // namespace

ChildProcess::~ChildProcess()
{
    stop(9, std::chrono::milliseconds(0));
    close_fd(out_);
    close_fd(err_);
}

bool ChildProcess::start(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                         const std::string &stdout_file, bool stderr_too)
{
    stop(9, std::chrono::milliseconds(0));
    close_fd(out_);
    close_fd(err_);
    pid_ = status_ = -1;
    exited_ = group_killed_ = false;
    buf_.clear();
    errbuf_.clear();

    std::vector<std::string> args = argv.empty() ? std::vector<std::string>{""} : argv, envs = env;
    args[0] = resolve(args[0]);
    for (char **e = environ; *e; ++e) {
        const std::string kv = *e, name = kv.substr(0, kv.find('=') + 1);
        if (std::none_of(env.begin(), env.end(),
                         [&](const std::string &x) { return x.rfind(name, 0) == 0; })) {
            envs.push_back(kv);
        }
    }
    const auto pointers = [](std::vector<std::string> &strings) {
        std::vector<char *> v;
        for (auto &str : strings) {
            v.push_back(str.data());
        }
        v.push_back(nullptr);
        return v;
    };
    std::vector<char *> av = pointers(args), ev = pointers(envs);

    // Everything the child needs is opened here: a file starts empty before
    // the child exists, so nobody reads an earlier run's lines as this one's.
    int out[2] = {-1, -1}, err[2] = {-1, -1};
    const int file = stdout_file.empty() ? -1
                                         : ::open(stdout_file.c_str(),
                                                  O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    const bool opened = (stdout_file.empty() ? pipe2(out, O_CLOEXEC) == 0 : file >= 0) &&
                        (stderr_too || pipe2(err, O_CLOEXEC) == 0);
    const int child_out = file >= 0 ? file : out[1];
    const int child_err = stderr_too ? child_out : err[1];
    const pid_t parent = ::getpid();
    const pid_t pid = opened ? ::fork() : -1;
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int in = ::getppid() == parent ? ::open("/dev/null", O_RDONLY) : -1;
        if (in < 0) {
            ::_exit(126);
        }
        ::dup2(in, STDIN_FILENO);
        ::dup2(child_out, STDOUT_FILENO);
        ::dup2(child_err, STDERR_FILENO);
        ::close_range(3, ~0U, 0);
        ::execve(av[0], av.data(), ev.data());
        ::_exit(127);
    }
    for (int fd : {file, out[1], err[1], pid < 0 ? out[0] : -1, pid < 0 ? err[0] : -1}) {
        close_fd(fd);
    }
    if (pid < 0) {
        return false;
    }
    ::setpgid(pid, pid);
    out_ = out[0];
    err_ = err[0];
    pid_ = pid;
    return true;
}

void ChildProcess::reaped(int status)
{
    exited_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool ChildProcess::running()
{
    if (pid_ <= 0 || exited_) {
        return false;
    }
    int st = 0;
    const pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        reaped(st);
    } else if (r != 0) {
        exited_ = true; // lost: nothing left to wait for
    }
    return r == 0;
}

std::string ChildProcess::end_reason() const
{
    if (!exited_) {
        return "";
    }
    return status_ >= 128 ? "signal " + std::to_string(status_ - 128) : "exit " + std::to_string(status_);
}

bool ChildProcess::read_line(std::string &line, int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        size_t nl = buf_.find('\n');
        if (nl != std::string::npos) {
            line = buf_.substr(0, nl);
            buf_.erase(0, nl + 1);
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0 || !fill(out_, buf_, static_cast<int>(left.count()))) {
            return false;
        }
    }
}

int ChildProcess::wait(int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (running()) {
        if (std::chrono::steady_clock::now() > deadline) {
            stop(9, std::chrono::milliseconds(0));
            status_ = -1;
            break;
        }
        fill(out_, buf_, 5);
        fill(err_, errbuf_, 5);
        if (out_ < 0 && err_ < 0) {
            std::this_thread::sleep_for(kPollStep);
        }
    }
    while (fill(out_, buf_, 0) || fill(err_, errbuf_, 0)) {
    }
    return status_;
}

void ChildProcess::signal(int sig)
{
    if (running()) {
        ::kill(pid_, sig);
    }
}

void ChildProcess::stop(int sig, std::chrono::milliseconds grace)
{
    if (pid_ <= 0 || group_killed_) {
        return;
    }
    if (running()) {
        ::kill(-pid_, sig);
        auto until = std::chrono::steady_clock::now() + grace;
        while (running() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(kPollStep);
        }
        if (running()) {
            ::kill(-pid_, SIGKILL);
            int st = 0;
            if (::waitpid(pid_, &st, 0) == pid_) {
                reaped(st);
            }
        }
    }
    // Anything else the process group still holds goes too (once: the
    // number may name another group later).
    ::kill(-pid_, SIGKILL);
    group_killed_ = true;
}

std::vector<std::string> ChildProcess::lines()
{
    std::vector<std::string> v;
    for (std::string l; read_line(l, 0);) {
        v.push_back(l);
    }
    if (!buf_.empty()) {
        v.push_back(std::exchange(buf_, {}));
    }
    return v;
}

long proc_status_kib(pid_t pid, const char *field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(field, 0) == 0) {
            return std::atol(line.c_str() + std::strlen(field));
        }
    }
    return -1;
}

long open_fds(pid_t pid)
{
    long n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        ++n;
    }
    return n;
}
