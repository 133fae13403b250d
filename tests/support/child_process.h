// A program the tests run as a child: in a process group of its own, killed
// with the test process, output captured line by line (or written to a file),
// a time limit on every wait, and nothing of it left behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

class ChildProcess
{
  public:
    ChildProcess() = default;
    // See start().
    ChildProcess(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
                 const std::string &stdout_file = "", bool stderr_too = false)
    {
        start(argv, env, stdout_file, stderr_too);
    }
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Stops a child this object still runs, then starts argv[0] (a path, or a
    // name looked up in PATH) with our environment plus `env` ("NAME=value",
    // replacing same-named variables). stdout goes to `stdout_file` when given
    // (created empty; a busy trace would fill a pipe nobody reads), stderr too
    // with `stderr_too`; otherwise to pipes read by read_line()/lines()/err().
    bool start(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
               const std::string &stdout_file = "", bool stderr_too = false);

    pid_t pid() const { return pid_; }
    // True while the process has not exited (reaps it when it has).
    bool running();
    // How it ended, once running() is false: "exit N" or "signal N".
    std::string end_reason() const;

    // Next stdout line, or false after timeout_ms / at end of output.
    bool read_line(std::string &line, int timeout_ms);
    // Waits for the exit; returns the exit code, 128+signal, or -1 on timeout
    // (the child is then killed). Collects the rest of stdout and stderr.
    int wait(int timeout_ms);
    // Sends `sig` to the process alone.
    void signal(int sig);
    // Sends `sig` to the whole process group, waits up to `grace` for the
    // process to end, then kills what is left of the group. Reaps the process.
    void stop(int sig = 9, std::chrono::milliseconds grace = std::chrono::milliseconds(3000));

    // Output not yet taken by read_line (complete after wait()).
    std::vector<std::string> lines();
    const std::string &err() const { return errbuf_; }

  private:
    void reaped(int status);

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    bool exited_ = false;
    bool group_killed_ = false;
    int status_ = -1;
    std::string buf_, errbuf_;
};

// A field of /proc/PID/status: KiB for the memory ones, a count for Threads (-1 when unavailable).
long proc_status_kib(pid_t pid, const char *field);
// Descriptors the process holds open.
long open_fds(pid_t pid);
