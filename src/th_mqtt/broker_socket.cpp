#include "th_mqtt/broker_socket.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
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

namespace
{
// Inodes of the TCP sockets in this network namespace connected to `want`,
// from the kernel's table: no descriptor of another thread is touched.
std::vector<ino_t> inodes_connected_to(const sockaddr_in &want)
{
    std::vector<ino_t> out;
    FILE *f = fopen("/proc/self/net/tcp", "re");
    if (f == nullptr) {
        return out;
    }
    char line[512];
    if (fgets(line, sizeof line, f) != nullptr) { // header
        while (fgets(line, sizeof line, f) != nullptr) {
            unsigned addr = 0, port = 0, state = 0;
            unsigned long inode = 0;
            // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode
            if (sscanf(line, " %*s %*s %8x:%4x %2x %*s %*s %*s %*s %*s %lu", &addr, &port, &state, &inode) ==
                    4 &&
                addr == want.sin_addr.s_addr && port == ntohs(want.sin_port) && inode != 0) {
                out.push_back(static_cast<ino_t>(inode));
            }
        }
    }
    fclose(f);
    return out;
}
} // namespace

void for_each_tcp_connection_to(const char *ipv4, int port, const std::function<void(int, ino_t)> &fn)
{
    sockaddr_in want{};
    if (!ipv4_address(ipv4, port, want)) {
        return;
    }
    const std::vector<ino_t> connected = inodes_connected_to(want);
    if (connected.empty()) {
        return;
    }
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return;
    }
    while (const dirent *e = readdir(dir)) {
        char *end = nullptr;
        const long fd = strtol(e->d_name, &end, 10);
        char target[64] = {};
        unsigned long inode = 0;
        if (end == e->d_name || *end != '\0' ||
            readlinkat(dirfd(dir), e->d_name, target, sizeof target - 1) <= 0 ||
            sscanf(target, "socket:[%lu]", &inode) != 1 ||
            std::find(connected.begin(), connected.end(), static_cast<ino_t>(inode)) == connected.end()) {
            continue;
        }
        fn(static_cast<int>(fd), static_cast<ino_t>(inode));
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
