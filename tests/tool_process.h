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
