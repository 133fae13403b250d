// Runs the bench tools (obd-vehicle-sim, obdsim-can-probe, the preload
// library) as child processes for the tool tests: output captured line by
// line, a time limit on everything, and no child left behind.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace tooltest
{

// A built tool: $OBDGW_BUILD_DIR/<relative path>, empty when the variable is unset.
inline std::string built(const std::string &rel)
{
    const char *dir = std::getenv("OBDGW_BUILD_DIR");
    return dir ? std::string(dir) + "/" + rel : std::string();
}

// A file of the source tree. OBDGW_SOURCE_DIR when set, else the tree this
// header was compiled from.
inline std::string source(const std::string &rel)
{
    if (const char *dir = std::getenv("OBDGW_SOURCE_DIR")) {
        return std::string(dir) + "/" + rel;
    }
    std::string here = __FILE__; // <source>/tests/tool_process.h
    return here.substr(0, here.rfind("/tests/")) + "/" + rel;
}

class ToolProcess
{
  public:
    // env: "NAME=value" entries added to (or replacing those of) our environment.
    // stdout_file: where stdout goes instead of the pipe (a busy trace would
    // fill a pipe nobody reads).
    ToolProcess(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
                const std::string &stdout_file = "")
    {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
            return;
        }
        std::vector<std::string> envs;
        for (char **e = environ; *e; ++e) {
            std::string s = *e;
            bool replaced = false;
            for (const auto &x : env) {
                if (s.substr(0, s.find('=') + 1) == x.substr(0, x.find('=') + 1)) {
                    replaced = true;
                }
            }
            if (!replaced) {
                envs.push_back(s);
            }
        }
        envs.insert(envs.end(), env.begin(), env.end());
        std::vector<char *> av, ev;
        for (const auto &a : argv)
            av.push_back(const_cast<char *>(a.c_str()));
        av.push_back(nullptr);
        for (const auto &e : envs)
            ev.push_back(const_cast<char *>(e.c_str()));
        ev.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            int o = stdout_file.empty() ? out[1]
                                        : ::open(stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(o, STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            int devnull = ::open("/dev/null", O_RDONLY);
            dup2(devnull, STDIN_FILENO);
            execve(av[0], av.data(), ev.data());
            _exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }

    ~ToolProcess()
    {
        if (running()) {
            kill(pid_, SIGKILL);
            int st;
            waitpid(pid_, &st, 0);
        }
        if (out_ >= 0)
            ::close(out_);
        if (err_ >= 0)
            ::close(err_);
    }

    ToolProcess(const ToolProcess &) = delete;
    ToolProcess &operator=(const ToolProcess &) = delete;

    bool started() const { return pid_ > 0; }
    bool running() const { return pid_ > 0 && !exited_; }
    pid_t pid() const { return pid_; }

    // Next stdout line, or false after timeout_ms / at end of output.
    bool read_line(std::string &line, int timeout_ms)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            size_t nl = buf_.find('\n');
            if (nl != std::string::npos) {
                line = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                return true;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !fill(out_, buf_, static_cast<int>(left.count()))) {
                return false;
            }
        }
    }

    // Waits for the exit; returns the exit code, 128+signal, or -1 on timeout
    // (the child is then killed). Collects the rest of stdout and stderr.
    int wait(int timeout_ms)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!exited_) {
            int st = 0;
            pid_t r = waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &st, 0);
                exited_ = true;
                status_ = -1;
                break;
            }
            fill(out_, buf_, 5);
            fill(err_, errbuf_, 5);
        }
        while (fill(out_, buf_, 0)) {
        }
        while (fill(err_, errbuf_, 0)) {
        }
        return status_;
    }

    void signal(int sig) { kill(pid_, sig); }

    // Output not yet taken by read_line (complete after wait()).
    std::vector<std::string> lines()
    {
        std::vector<std::string> v;
        std::string l;
        while (read_line(l, 0)) {
            v.push_back(l);
        }
        if (!buf_.empty()) {
            v.push_back(buf_);
            buf_.clear();
        }
        return v;
    }
    const std::string &err() const { return errbuf_; }

  private:
    static bool fill(int fd, std::string &into, int timeout_ms)
    {
        if (fd < 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return false;
        char b[4096];
        ssize_t n = ::read(fd, b, sizeof b);
        if (n <= 0)
            return false;
        into.append(b, static_cast<size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    bool exited_ = false;
    int status_ = -1;
    std::string buf_, errbuf_;
};

// Sends one command line to a control socket and returns the reply, up to and
// including its "ok" / "error: ..." line.
inline std::string control(const std::string &path, const std::string &command)
{
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    if (s < 0 || connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        if (s >= 0)
            ::close(s);
        return "error: cannot connect";
    }
    std::string line = command + "\n";
    if (::write(s, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        ::close(s);
        return "error: cannot send";
    }
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char b[1024];
        ssize_t n = ::read(s, b, sizeof b);
        if (n <= 0)
            break;
        got.append(b, static_cast<size_t>(n));
        if (got.find("\nok\n") != std::string::npos || got.rfind("ok\n", 0) == 0 ||
            got.find("error: ") != std::string::npos) {
            if (got.back() == '\n')
                break;
        }
    }
    ::close(s);
    return got;
}

inline bool wait_for_path(const std::string &path, int timeout_ms)
{
    for (int i = 0; i < timeout_ms / 10; ++i) {
        if (access(path.c_str(), F_OK) == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

} // namespace tooltest
