// What the tool tests need to run the bench tools (obd-vehicle-sim,
// obdsim-can-probe, the preload library) as child processes.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"

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

using ToolProcess = ::ChildProcess;

// Sends one command line to a simulator's control socket and returns the
// reply lines; the last is "ok" or "error: ..." (also when the simulator
// cannot be reached or does not complete its reply within 5 s).
inline std::vector<std::string> control_lines(const std::string &path, const std::string &command)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0 || connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        if (s >= 0)
            ::close(s);
        return {"error: cannot connect"};
    }
    std::vector<std::string> lines;
    std::string line = command + "\n", got;
    if (::send(s, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
        ::close(s);
        return {"error: cannot send"};
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        for (size_t nl; (nl = got.find('\n')) != std::string::npos;) {
            lines.push_back(got.substr(0, nl));
            got.erase(0, nl + 1);
            if (lines.back() == "ok" || lines.back().rfind("error:", 0) == 0) {
                ::close(s);
                return lines;
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        pollfd p{s, POLLIN, 0};
        char b[1024];
        ssize_t n = 0;
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0 ||
            (n = ::read(s, b, sizeof b)) <= 0)
            break;
        got.append(b, static_cast<size_t>(n));
    }
    ::close(s);
    lines.push_back("error: no complete reply");
    return lines;
}

// The reply as one text, each line ended by a newline.
inline std::string control(const std::string &path, const std::string &command)
{
    std::string text;
    for (const auto &l : control_lines(path, command)) {
        text += l + "\n";
    }
    return text;
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
