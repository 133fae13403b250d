#include "th_mqtt/broker_socket.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "common/unique_fd.h"

namespace
{
bool ipv4_address(const char *ipv4, int port, sockaddr_in &out)
{
    out = sockaddr_in{};
    out.sin_family = AF_INET;
    out.sin_port = htons(static_cast<uint16_t>(port));
    return port > 0 && port <= 65535 && inet_pton(AF_INET, ipv4, &out.sin_addr) == 1;
}
} // namespace

bool tcp_listener_present(const char *ipv4, int port, int timeout_ms)
{
    sockaddr_in addr{};
    if (!ipv4_address(ipv4, port, addr)) {
        return true;
    }
    UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!s) {
        return true;
    }
    if (connect(s.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0) {
        return true;
    }
    if (errno != EINPROGRESS) {
        return false;
    }
    pollfd p{s.get(), POLLOUT, 0};
    int n;
    while ((n = poll(&p, 1, timeout_ms)) < 0 && errno == EINTR) {
    }
    if (n <= 0) {
        return true;
    }
    int err = 0;
    socklen_t len = sizeof err;
    return getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err == 0;
}

void for_each_tcp_connection_to(const char *ipv4, int port, const std::function<void(int, ino_t)> &fn)
{
    sockaddr_in want{};
    if (!ipv4_address(ipv4, port, want)) {
        return;
    }
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return;
    }
    const int own = dirfd(dir);
    while (const dirent *e = readdir(dir)) {
        char *end = nullptr;
        const long fd = strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || fd == own) {
            continue;
        }
        struct stat st {
        };
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int type = 0;
        socklen_t type_len = sizeof type;
        if (fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode) ||
            getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type, &type_len) != 0 ||
            type != SOCK_STREAM ||
            getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr *>(&peer), &len) != 0 ||
            len != sizeof peer || peer.sin_family != AF_INET || peer.sin_port != want.sin_port ||
            peer.sin_addr.s_addr != want.sin_addr.s_addr) {
            continue;
        }
        fn(static_cast<int>(fd), st.st_ino);
    }
    closedir(dir);
}

std::vector<ino_t> tcp_connections_to(const char *ipv4, int port)
{
    std::vector<ino_t> out;
    for_each_tcp_connection_to(ipv4, port, [&](int, ino_t ino) { out.push_back(ino); });
    return out;
}

int tcp_nodelay_on_new_connections(const char *ipv4, int port, const std::vector<ino_t> &before)
{
    int set = 0;
    for_each_tcp_connection_to(ipv4, port, [&](int fd, ino_t ino) {
        if (std::find(before.begin(), before.end(), ino) != before.end()) {
            return;
        }
        const int on = 1;
        if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0) {
            ++set;
        }
    });
    return set;
}
