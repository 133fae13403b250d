// The TCP side of the broker link, below the client library: a cheap check
// that the broker listens, and socket options the library does not offer.
#pragma once

#include <sys/types.h>

#include <functional>
#include <vector>

// False only when a non-blocking TCP connect to ipv4:port is refused or fails
// outright (nothing listens); true when it connects or the answer takes
// longer than `timeout_ms` (then the library's own connect decides).
bool tcp_listener_present(const char *ipv4, int port, int timeout_ms);

// Calls `fn(fd, inode)` for every TCP socket of this process whose peer is ipv4:port.
void for_each_tcp_connection_to(const char *ipv4, int port, const std::function<void(int, ino_t)> &fn);

// Inodes of this process's TCP sockets connected to ipv4:port.
std::vector<ino_t> tcp_connections_to(const char *ipv4, int port);

// Sets TCP_NODELAY on the sockets connected to ipv4:port that are not in
// `before` (a library's connection opened since). Returns how many were set.
int tcp_nodelay_on_new_connections(const char *ipv4, int port, const std::vector<ino_t> &before);
