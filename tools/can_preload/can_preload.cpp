// libobdsim_can_preload.so: runs an unchanged SocketCAN program (the gateway)
// on a machine without CAN, against obd-vehicle-sim --bus PATH.
//
//   OBDSIM_BUS=/tmp/bus.sock OBDSIM_IP_LOG=/tmp/ip.log LD_PRELOAD=.../libobdsim_can_preload.so obd-gateway
//
// socket(PF_CAN, SOCK_RAW, CAN_RAW) returns a SOCK_SEQPACKET UNIX socket
// connected to the bus, so select()/poll()/read()/write()/close() work on it
// unchanged; every record on it is one 16-byte struct can_frame. The calls
// that configure a raw CAN socket are answered here with the kernel's error
// codes, and their effect (bind, receive filters, error mask, loopback) is
// sent to the bus, which filters for each socket as the kernel would.
// "sudo ip link ..." commands run through system() are logged, not run.
// Everything else goes to the real libc.
//
// Not covered: descriptors duplicated with dup()/fcntl(F_DUPFD) (dup2/dup3
// are), CAN FD frames, the CAN_BCM/ISO-TP protocols, and writes while can0 is
// down (the kernel refuses them with ENETDOWN; here they reach the bus).
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "obdsim_bus_proto.h"

#define OBDSIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace
{

using obdsim::BusCtl;
using obdsim::CtlOp;

// Descriptors above this are never CAN sockets of ours (socket() refuses them).
constexpr int kMaxFd = 4096;
constexpr const char *kIpPrefix = "sudo ip link";

// What the kernel keeps for a raw CAN socket; replayed to the bus when the
// connection is made after the options were set.
struct CanSock {
    bool connected = false;
    bool bound = false;
    std::vector<can_filter> filters{can_filter{0, 0}};
    uint32_t err_mask = 0;
    int loopback = 1;
    int recv_own = 0;
    int join = 0;
};

// Non-null entry = the descriptor is one of our CAN sockets. The array is
// constant-initialised, so calls that arrive before any constructor ran work.
std::atomic<CanSock *> g_socks[kMaxFd];
std::mutex g_mu; // guards the CanSock contents and entry changes

template <typename F> struct Real {
    const char *name;
    std::atomic<void *> ptr{nullptr};
    F get()
    {
        void *p = ptr.load(std::memory_order_acquire);
        if (!p) {
            p = dlsym(RTLD_NEXT, name);
            ptr.store(p, std::memory_order_release);
        }
        return reinterpret_cast<F>(p);
    }
};

Real<int (*)(int, int, int)> real_socket{"socket"};
Real<int (*)(int)> real_close{"close"};
Real<int (*)(int, unsigned long, void *)> real_ioctl{"ioctl"};
Real<int (*)(int, const sockaddr *, socklen_t)> real_bind{"bind"};
Real<int (*)(int, const sockaddr *, socklen_t)> real_connect{"connect"};
Real<int (*)(int, int, int, const void *, socklen_t)> real_setsockopt{"setsockopt"};
Real<int (*)(int, int, int, void *, socklen_t *)> real_getsockopt{"getsockopt"};
Real<ssize_t (*)(int, void *, size_t)> real_read{"read"};
Real<ssize_t (*)(int, void *, size_t, size_t)> real_read_chk{"__read_chk"};
Real<ssize_t (*)(int, const void *, size_t)> real_write{"write"};
Real<ssize_t (*)(int, void *, size_t, int)> real_recv{"recv"};
Real<ssize_t (*)(int, void *, size_t, size_t, int)> real_recv_chk{"__recv_chk"};
Real<ssize_t (*)(int, void *, size_t, int, sockaddr *, socklen_t *)> real_recvfrom{"recvfrom"};
Real<ssize_t (*)(int, msghdr *, int)> real_recvmsg{"recvmsg"};
Real<ssize_t (*)(int, const void *, size_t, int)> real_send{"send"};
Real<ssize_t (*)(int, const void *, size_t, int, const sockaddr *, socklen_t)> real_sendto{"sendto"};
Real<ssize_t (*)(int, const msghdr *, int)> real_sendmsg{"sendmsg"};
Real<int (*)(int, int)> real_dup2{"dup2"};
Real<int (*)(int, int, int)> real_dup3{"dup3"};
Real<int (*)(const char *)> real_system{"system"};

__attribute__((constructor)) void resolve_all()
{
    real_socket.get(), real_close.get(), real_ioctl.get(), real_bind.get(), real_connect.get();
    real_setsockopt.get(), real_getsockopt.get(), real_read.get(), real_read_chk.get(), real_write.get();
    real_recv.get(), real_recv_chk.get(), real_recvfrom.get(), real_recvmsg.get(), real_send.get();
    real_sendto.get(), real_sendmsg.get(), real_dup2.get(), real_dup3.get(), real_system.get();
}

bool is_ours(int fd)
{
    return fd >= 0 && fd < kMaxFd && g_socks[fd].load(std::memory_order_acquire) != nullptr;
}

int fail(int err)
{
    errno = err;
    return -1;
}

// The bus has gone (the simulator stopped): to the program it looks like
// the interface went down.
int map_link_error(int err)
{
    return (err == EPIPE || err == ECONNRESET || err == ENOTCONN || err == ECONNREFUSED) ? ENETDOWN : err;
}

bool send_ctl(int fd, CtlOp op, uint32_t value, const std::vector<can_filter> *filters = nullptr)
{
    std::vector<unsigned char> rec(sizeof(BusCtl) + (filters ? filters->size() * sizeof(can_filter) : 0));
    BusCtl h;
    h.op = static_cast<uint32_t>(op);
    h.value = value;
    h.count = filters ? static_cast<uint32_t>(filters->size()) : 0;
    std::memcpy(rec.data(), &h, sizeof h);
    if (filters && !filters->empty()) {
        std::memcpy(rec.data() + sizeof h, filters->data(), filters->size() * sizeof(can_filter));
    }
    return real_send.get()(fd, rec.data(), rec.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(rec.size());
}

// Connects to the bus if not yet done, and hands over the options set so far.
// Caller holds g_mu.
bool ensure_connected(int fd, CanSock &s)
{
    if (s.connected) {
        return true;
    }
    const char *path = std::getenv(obdsim::kBusEnv);
    sockaddr_un addr{};
    if (!path || std::strlen(path) >= sizeof addr.sun_path) {
        return false;
    }
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path);
    if (real_connect.get()(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        return false;
    }
    s.connected = true;
    // The bus starts every connection with a fresh socket's defaults.
    const CanSock fresh;
    if (s.filters.size() != fresh.filters.size() ||
        std::memcmp(s.filters.data(), fresh.filters.data(), s.filters.size() * sizeof(can_filter)) != 0) {
        send_ctl(fd, CtlOp::Filter, 0, &s.filters);
    }
    if (s.err_mask != fresh.err_mask)
        send_ctl(fd, CtlOp::ErrFilter, s.err_mask);
    if (s.loopback != fresh.loopback)
        send_ctl(fd, CtlOp::Loopback, static_cast<uint32_t>(s.loopback));
    if (s.recv_own != fresh.recv_own)
        send_ctl(fd, CtlOp::RecvOwn, static_cast<uint32_t>(s.recv_own));
    if (s.join != fresh.join)
        send_ctl(fd, CtlOp::JoinFilters, static_cast<uint32_t>(s.join));
    return true;
}

void forget(int fd)
{
    if (fd < 0 || fd >= kMaxFd) {
        return;
    }
    std::lock_guard lock(g_mu);
    delete g_socks[fd].exchange(nullptr, std::memory_order_acq_rel);
}

// Checks shared by write/send/sendto/sendmsg: the kernel refuses a frame on an
// unbound socket (ENXIO), a record that is not one classic frame, or a data
// length above 8 (EINVAL).
int check_frame_out(int fd, const void *buf, size_t len)
{
    {
        std::lock_guard lock(g_mu);
        CanSock *s = g_socks[fd].load(std::memory_order_acquire);
        if (!s || !s->bound) {
            return ENXIO;
        }
    }
    if (len != sizeof(can_frame)) {
        return EINVAL;
    }
    can_frame f;
    std::memcpy(&f, buf, sizeof f);
    return f.can_dlc > CAN_MAX_DLEN ? EINVAL : 0;
}

ssize_t finish_read(ssize_t n, size_t asked)
{
    if (n == 0 && asked > 0) {
        return fail(ENETDOWN);
    }
    if (n < 0) {
        errno = map_link_error(errno);
    }
    return n;
}

ssize_t finish_send(ssize_t n)
{
    if (n < 0) {
        errno = map_link_error(errno);
    }
    return n;
}

void log_ip_command(const char *cmd)
{
    const char *path = std::getenv(obdsim::kIpLogEnv);
    std::string line = std::string(cmd) + "\n";
    if (!path || !*path) {
        std::string msg = "obdsim-can-preload: not run: " + line;
        ssize_t n = real_write.get()(STDERR_FILENO, msg.data(), msg.size());
        (void)n;
        return;
    }
    int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    ssize_t n = real_write.get()(fd, line.data(), line.size());
    (void)n;
    real_close.get()(fd);
}

// "sudo ip link set can0 down|up ...": the bus tells the sockets on can0, as
// the kernel does, through a connection of its own (the program may have no
// CAN socket open yet).
void tell_bus_link(const char *cmd)
{
    char ifname[IFNAMSIZ + 1] = {};
    char state[8] = {};
    if (std::sscanf(cmd, " sudo ip link set %16s %7s", ifname, state) != 2 ||
        std::strcmp(ifname, obdsim::kBusIfName) != 0) {
        return;
    }
    CtlOp op;
    if (std::strcmp(state, "down") == 0) {
        op = CtlOp::LinkDown;
    } else if (std::strcmp(state, "up") == 0) {
        op = CtlOp::LinkUp;
    } else {
        return;
    }
    const char *path = std::getenv(obdsim::kBusEnv);
    sockaddr_un addr{};
    if (!path || std::strlen(path) >= sizeof addr.sun_path) {
        return;
    }
    int fd = real_socket.get()(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path);
    if (real_connect.get()(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
        send_ctl(fd, op, 0);
    }
    real_close.get()(fd);
}

int set_int_option(int fd, CanSock &s, int &field, CtlOp op, const void *optval, socklen_t optlen)
{
    if (optlen != sizeof(int)) {
        return fail(EINVAL);
    }
    if (!optval) {
        return fail(EFAULT);
    }
    int v;
    std::memcpy(&v, optval, sizeof v);
    field = v ? 1 : 0;
    if (s.connected) {
        send_ctl(fd, op, static_cast<uint32_t>(field));
    }
    return 0;
}

} // namespace

OBDSIM_EXPORT int socket(int domain, int type, int protocol) noexcept
{
    int base = type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (domain != PF_CAN || base != SOCK_RAW || protocol != CAN_RAW || !std::getenv(obdsim::kBusEnv)) {
        return real_socket.get()(domain, type, protocol);
    }
    int fd = real_socket.get()(AF_UNIX, SOCK_SEQPACKET | (type & (SOCK_NONBLOCK | SOCK_CLOEXEC)), 0);
    if (fd < 0) {
        return -1;
    }
    if (fd >= kMaxFd) {
        real_close.get()(fd);
        return fail(EMFILE);
    }
    auto *s = new (std::nothrow) CanSock;
    if (!s) {
        real_close.get()(fd);
        return fail(ENOMEM);
    }
    std::lock_guard lock(g_mu);
    // A bus that is not there yet is not an error here: the kernel would create
    // the socket too, and only find no can0 when asked for it.
    ensure_connected(fd, *s);
    delete g_socks[fd].exchange(s, std::memory_order_acq_rel);
    return fd;
}

OBDSIM_EXPORT int close(int fd)
{
    if (is_ours(fd)) {
        forget(fd);
    }
    return real_close.get()(fd);
}

OBDSIM_EXPORT int dup2(int oldfd, int newfd) noexcept
{
    if (is_ours(newfd) && oldfd != newfd) {
        forget(newfd);
    }
    return real_dup2.get()(oldfd, newfd);
}

OBDSIM_EXPORT int dup3(int oldfd, int newfd, int flags) noexcept
{
    if (is_ours(newfd) && oldfd != newfd) {
        forget(newfd);
    }
    return real_dup3.get()(oldfd, newfd, flags);
}

OBDSIM_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (!is_ours(fd) || request != SIOCGIFINDEX) {
        return real_ioctl.get()(fd, request, arg);
    }
    if (!arg) {
        return fail(EFAULT);
    }
    ifreq ifr;
    std::memcpy(&ifr, arg, sizeof ifr);
    ifr.ifr_name[IFNAMSIZ - 1] = '\0';
    if (std::strcmp(ifr.ifr_name, obdsim::kBusIfName) != 0) {
        return fail(ENODEV);
    }
    std::lock_guard lock(g_mu);
    CanSock *s = g_socks[fd].load(std::memory_order_acquire);
    if (!s || !ensure_connected(fd, *s)) {
        return fail(ENODEV); // no simulator: no can0
    }
    ifr.ifr_ifindex = obdsim::kBusIfIndex;
    std::memcpy(arg, &ifr, sizeof ifr);
    return 0;
}

OBDSIM_EXPORT int bind(int fd, const sockaddr *addr, socklen_t len) noexcept
{
    if (!is_ours(fd)) {
        return real_bind.get()(fd, addr, len);
    }
    if (!addr || len < offsetof(sockaddr_can, can_ifindex) + sizeof(int)) {
        return fail(EINVAL);
    }
    sockaddr_can a{};
    std::memcpy(&a, addr, std::min<size_t>(len, sizeof a));
    if (a.can_family != AF_CAN) {
        return fail(EINVAL);
    }
    if (a.can_ifindex != 0 && a.can_ifindex != obdsim::kBusIfIndex) {
        return fail(ENODEV);
    }
    std::lock_guard lock(g_mu);
    CanSock *s = g_socks[fd].load(std::memory_order_acquire);
    if (!s || !ensure_connected(fd, *s) || !send_ctl(fd, CtlOp::Bind, static_cast<uint32_t>(a.can_ifindex))) {
        return fail(ENODEV);
    }
    s->bound = true;
    return 0;
}

OBDSIM_EXPORT int setsockopt(int fd, int level, int optname, const void *optval, socklen_t optlen) noexcept
{
    if (!is_ours(fd) || level != SOL_CAN_RAW) {
        return real_setsockopt.get()(fd, level, optname, optval, optlen);
    }
    std::lock_guard lock(g_mu);
    CanSock *s = g_socks[fd].load(std::memory_order_acquire);
    if (!s) {
        return fail(EBADF);
    }
    switch (optname) {
    case CAN_RAW_FILTER: {
        if (optlen % sizeof(can_filter) != 0 || optlen > obdsim::kMaxFilters * sizeof(can_filter)) {
            return fail(EINVAL);
        }
        size_t count = optlen / sizeof(can_filter);
        if (count && !optval) {
            return fail(EFAULT);
        }
        s->filters.resize(count);
        if (count) {
            std::memcpy(s->filters.data(), optval, optlen);
        }
        if (s->connected) {
            send_ctl(fd, CtlOp::Filter, 0, &s->filters);
        }
        return 0;
    }
    case CAN_RAW_ERR_FILTER: {
        if (optlen != sizeof(can_err_mask_t)) {
            return fail(EINVAL);
        }
        if (!optval) {
            return fail(EFAULT);
        }
        can_err_mask_t m;
        std::memcpy(&m, optval, sizeof m);
        s->err_mask = m & CAN_ERR_MASK;
        if (s->connected) {
            send_ctl(fd, CtlOp::ErrFilter, s->err_mask);
        }
        return 0;
    }
    case CAN_RAW_LOOPBACK:
        return set_int_option(fd, *s, s->loopback, CtlOp::Loopback, optval, optlen);
    case CAN_RAW_RECV_OWN_MSGS:
        return set_int_option(fd, *s, s->recv_own, CtlOp::RecvOwn, optval, optlen);
    case CAN_RAW_JOIN_FILTERS:
        return set_int_option(fd, *s, s->join, CtlOp::JoinFilters, optval, optlen);
    case CAN_RAW_FD_FRAMES:
    case CAN_RAW_XL_FRAMES: {
        if (optlen != sizeof(int)) {
            return fail(EINVAL);
        }
        int v = 0;
        if (optval) {
            std::memcpy(&v, optval, sizeof v);
        }
        return v ? fail(ENOPROTOOPT) : 0; // the bus carries classic frames only
    }
    default:
        return fail(ENOPROTOOPT);
    }
}

OBDSIM_EXPORT int getsockopt(int fd, int level, int optname, void *optval, socklen_t *optlen) noexcept
{
    if (!is_ours(fd) || level != SOL_CAN_RAW) {
        return real_getsockopt.get()(fd, level, optname, optval, optlen);
    }
    if (!optlen || !optval) {
        return fail(EFAULT);
    }
    std::lock_guard lock(g_mu);
    CanSock *s = g_socks[fd].load(std::memory_order_acquire);
    if (!s) {
        return fail(EBADF);
    }
    auto give = [&](const void *src, size_t n) {
        size_t room = *optlen;
        std::memcpy(optval, src, std::min(room, n));
        *optlen = static_cast<socklen_t>(std::min(room, n));
        return 0;
    };
    switch (optname) {
    case CAN_RAW_FILTER: {
        size_t need = s->filters.size() * sizeof(can_filter);
        if (*optlen < need) {
            *optlen = static_cast<socklen_t>(need);
            return fail(ERANGE);
        }
        return give(s->filters.data(), need);
    }
    case CAN_RAW_ERR_FILTER:
        return give(&s->err_mask, sizeof s->err_mask);
    case CAN_RAW_LOOPBACK:
        return give(&s->loopback, sizeof(int));
    case CAN_RAW_RECV_OWN_MSGS:
        return give(&s->recv_own, sizeof(int));
    case CAN_RAW_JOIN_FILTERS:
        return give(&s->join, sizeof(int));
    default:
        return fail(ENOPROTOOPT);
    }
}

OBDSIM_EXPORT ssize_t read(int fd, void *buf, size_t n)
{
    if (!is_ours(fd)) {
        return real_read.get()(fd, buf, n);
    }
    return finish_read(real_read.get()(fd, buf, n), n);
}

OBDSIM_EXPORT ssize_t __read_chk(int fd, void *buf, size_t n, size_t buflen)
{
    if (!is_ours(fd)) {
        return real_read_chk.get()(fd, buf, n, buflen);
    }
    return finish_read(real_read_chk.get()(fd, buf, n, buflen), n);
}

OBDSIM_EXPORT ssize_t recv(int fd, void *buf, size_t n, int flags)
{
    if (!is_ours(fd)) {
        return real_recv.get()(fd, buf, n, flags);
    }
    return finish_read(real_recv.get()(fd, buf, n, flags), n);
}

OBDSIM_EXPORT ssize_t __recv_chk(int fd, void *buf, size_t n, size_t buflen, int flags)
{
    if (!is_ours(fd)) {
        return real_recv_chk.get()(fd, buf, n, buflen, flags);
    }
    return finish_read(real_recv_chk.get()(fd, buf, n, buflen, flags), n);
}

// The kernel reports the receiving interface as the source address.
static void fill_source(sockaddr *addr, socklen_t *len)
{
    if (!addr || !len) {
        return;
    }
    sockaddr_can a{};
    a.can_family = AF_CAN;
    a.can_ifindex = obdsim::kBusIfIndex;
    std::memcpy(addr, &a, std::min<size_t>(*len, sizeof a));
    *len = sizeof a;
}

OBDSIM_EXPORT ssize_t recvfrom(int fd, void *buf, size_t n, int flags, sockaddr *addr, socklen_t *len)
{
    if (!is_ours(fd)) {
        return real_recvfrom.get()(fd, buf, n, flags, addr, len);
    }
    ssize_t r = finish_read(real_recvfrom.get()(fd, buf, n, flags, nullptr, nullptr), n);
    if (r >= 0) {
        fill_source(addr, len);
    }
    return r;
}

OBDSIM_EXPORT ssize_t recvmsg(int fd, msghdr *msg, int flags)
{
    if (!is_ours(fd) || !msg) {
        return real_recvmsg.get()(fd, msg, flags);
    }
    void *name = msg->msg_name;
    socklen_t namelen = msg->msg_namelen;
    msg->msg_name = nullptr;
    msg->msg_namelen = 0;
    size_t asked = 0;
    for (size_t i = 0; i < msg->msg_iovlen; ++i) {
        asked += msg->msg_iov[i].iov_len;
    }
    ssize_t r = finish_read(real_recvmsg.get()(fd, msg, flags), asked);
    msg->msg_name = name;
    msg->msg_namelen = namelen;
    if (r >= 0) {
        fill_source(static_cast<sockaddr *>(name), &msg->msg_namelen);
    }
    return r;
}

OBDSIM_EXPORT ssize_t write(int fd, const void *buf, size_t n)
{
    if (!is_ours(fd)) {
        return real_write.get()(fd, buf, n);
    }
    if (int err = check_frame_out(fd, buf, n)) {
        return fail(err);
    }
    return finish_send(real_send.get()(fd, buf, n, MSG_NOSIGNAL));
}

OBDSIM_EXPORT ssize_t send(int fd, const void *buf, size_t n, int flags)
{
    if (!is_ours(fd)) {
        return real_send.get()(fd, buf, n, flags);
    }
    if (int err = check_frame_out(fd, buf, n)) {
        return fail(err);
    }
    return finish_send(real_send.get()(fd, buf, n, flags | MSG_NOSIGNAL));
}

OBDSIM_EXPORT ssize_t sendto(int fd, const void *buf, size_t n, int flags, const sockaddr *addr,
                             socklen_t len)
{
    if (!is_ours(fd)) {
        return real_sendto.get()(fd, buf, n, flags, addr, len);
    }
    if (addr) {
        sockaddr_can a{};
        std::memcpy(&a, addr, std::min<size_t>(len, sizeof a));
        if (len < sizeof a || a.can_family != AF_CAN) {
            return fail(EINVAL);
        }
        if (a.can_ifindex != obdsim::kBusIfIndex) {
            return fail(ENXIO);
        }
    }
    if (int err = check_frame_out(fd, buf, n)) {
        return fail(err);
    }
    return finish_send(real_send.get()(fd, buf, n, flags | MSG_NOSIGNAL));
}

OBDSIM_EXPORT ssize_t sendmsg(int fd, const msghdr *msg, int flags)
{
    if (!is_ours(fd) || !msg) {
        return real_sendmsg.get()(fd, msg, flags);
    }
    if (msg->msg_iovlen != 1) {
        return fail(EINVAL); // one frame is one buffer
    }
    if (int err = check_frame_out(fd, msg->msg_iov[0].iov_base, msg->msg_iov[0].iov_len)) {
        return fail(err);
    }
    return finish_send(
        real_send.get()(fd, msg->msg_iov[0].iov_base, msg->msg_iov[0].iov_len, flags | MSG_NOSIGNAL));
}

OBDSIM_EXPORT int system(const char *cmd)
{
    if (cmd) {
        const char *p = cmd;
        while (*p == ' ' || *p == '\t') {
            ++p;
        }
        if (std::strncmp(p, kIpPrefix, std::strlen(kIpPrefix)) == 0) {
            log_ip_command(cmd);
            tell_bus_link(p);
            return 0; // as if the command had succeeded
        }
    }
    return real_system.get()(cmd);
}
