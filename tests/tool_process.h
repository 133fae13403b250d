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
#include <vector>

#include "common/unique_fd.h"
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

// A stream socket connected to the UNIX socket at `path`; empty when nothing
// listens there (its file exists from bind on, a moment before listen).
inline UniqueFd connected(const std::string &path)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    UniqueFd s(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (s && connect(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        s.reset();
    }
    return s;
}

// Sends one command line to a simulator's control socket and returns the
// reply lines; the last is "ok" or "error: ..." (also when the simulator
// cannot be reached or does not complete its reply within 5 s).
inline std::vector<std::string> control_lines(const std::string &path, const std::string &command)
{
    const UniqueFd s = connected(path);
    const std::string line = command + "\n";
    std::vector<std::string> lines;
    if (!s) {
        lines = {"error: cannot connect"};
    } else if (::send(s.get(), line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
        lines = {"error: cannot send"};
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (std::string got; lines.empty() || (lines.back() != "ok" && lines.back().rfind("error:", 0) != 0);) {
        const size_t nl = got.find('\n');
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{s.get(), POLLIN, 0};
        char b[1024];
        ssize_t n = 0;
        if (nl != std::string::npos) {
            lines.push_back(got.substr(0, nl));
            got.erase(0, nl + 1);
        } else if (left.count() > 0 && poll(&p, 1, static_cast<int>(left.count())) > 0 &&
                   (n = ::read(s.get(), b, sizeof b)) > 0) {
            got.append(b, static_cast<size_t>(n));
        } else {
            lines.push_back("error: no complete reply");
        }
    }
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

} // namespace tooltest
