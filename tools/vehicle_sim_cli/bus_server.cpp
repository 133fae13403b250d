#include "bus_server.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "can_text.h"
#include "obdsim_bus_proto.h"

namespace obdsim
{

namespace
{

// Room for the largest control record: the header and the kernel's maximum
// number of filters.
constexpr size_t kMaxRecord = sizeof(BusCtl) + kMaxFilters * sizeof(can_filter);
constexpr int kBacklog = 16;
// A raw socket's receive queue holds a few hundred frames; beyond that the
// kernel drops, and so do we.
constexpr int kClientSendBuffer = 256 * 1024;

std::string filters_text(const RawSocketOptions &o)
{
    if (o.filters.empty()) {
        return "no filter (receives no data frames)";
    }
    std::string s;
    char b[40];
    for (const auto &f : o.filters) {
        std::snprintf(b, sizeof b, "%s%X/%X", s.empty() ? "" : " ", f.can_id, f.can_mask);
        s += b;
    }
    return s;
}

} // namespace

BusServer::BusServer(Engine &engine, std::string path) : engine_(engine), path_(std::move(path)) {}

BusServer::~BusServer()
{
    if (listener_) {
        ::unlink(path_.c_str());
    }
}

bool BusServer::start(std::string &error)
{
    sockaddr_un addr{};
    if (path_.size() >= sizeof addr.sun_path) {
        error = "bus socket path too long: " + path_;
        return false;
    }
    // A socket left behind by a simulator that was killed would block the bind;
    // anything else at that path is not ours to remove.
    struct stat st {
    };
    if (::lstat(path_.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path_ + " exists and is not a socket";
            return false;
        }
        ::unlink(path_.c_str());
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        error = "bind " + path_ + ": " + std::strerror(errno);
        return false;
    }
    if (::listen(fd.get(), kBacklog) != 0) {
        error = std::string("listen: ") + std::strerror(errno);
        ::unlink(path_.c_str());
        return false;
    }
    listener_ = std::move(fd);
    return true;
}

std::string BusServer::describe() const
{
    return "bus " + path_;
}

void BusServer::collect(std::vector<pollfd> &fds, std::vector<std::function<void(short)>> &handlers)
{
    fds.push_back(pollfd{listener_.get(), POLLIN, 0});
    handlers.emplace_back([this](short) { accept_clients(); });
    for (const Client &c : clients_) {
        fds.push_back(pollfd{c.fd.get(), POLLIN, 0});
        int id = c.id;
        handlers.emplace_back([this, id](short) {
            for (size_t i = 0; i < clients_.size(); ++i) {
                if (clients_[i].id == id) {
                    read_client(i);
                    return;
                }
            }
        });
    }
}

void BusServer::accept_clients()
{
    for (;;) {
        int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            return;
        }
        int sz = kClientSendBuffer;
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sz, sizeof sz);
        Client c;
        c.id = next_id_++;
        c.fd.reset(fd);
        engine_.tracer().event("socket " + std::to_string(c.id) + " connected");
        clients_.push_back(std::move(c));
    }
}

void BusServer::read_client(size_t index)
{
    // Several records may be waiting; the loop ends at the first EAGAIN.
    for (;;) {
        Client &c = clients_[index];
        alignas(8) uint8_t buf[kMaxRecord];
        ssize_t n = ::recv(c.fd.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                return;
            }
        }
        if (n <= 0) {
            std::string gone = "socket " + std::to_string(c.id) + " closed";
            if (c.dropped) {
                gone += " (" + std::to_string(c.dropped) + " frames dropped on a full queue)";
            }
            engine_.tracer().event(gone);
            clients_.erase(clients_.begin() + static_cast<long>(index));
            return;
        }
        if (static_cast<size_t>(n) == sizeof(can_frame)) {
            can_frame f;
            std::memcpy(&f, buf, sizeof f);
            if (!c.bound) {
                engine_.tracer().event("socket " + std::to_string(c.id) +
                                       " wrote a frame before bind; dropped");
                continue;
            }
            if (f.can_dlc > CAN_MAX_DLEN) {
                engine_.tracer().event("socket " + std::to_string(c.id) + " wrote a frame with length " +
                                       std::to_string(f.can_dlc) + "; dropped");
                continue;
            }
            engine_.tracer().frame("RX", f);
            // Local loopback: the other sockets on can0 see it as well.
            int sender = c.id;
            for (Client &o : clients_) {
                if (o.bound && socket_receives(o.options, f, o.id == sender) &&
                    (o.id == sender || c.options.loopback)) {
                    deliver(o, f);
                }
            }
            engine_.on_bus_frame(f);
            continue;
        }
        handle_control(c, buf, static_cast<size_t>(n));
    }
}

void BusServer::handle_control(Client &c, const uint8_t *data, size_t len)
{
    BusCtl h;
    if (len < sizeof h) {
        engine_.tracer().event("socket " + std::to_string(c.id) + " sent a " + std::to_string(len) +
                               "-byte record; dropped");
        return;
    }
    std::memcpy(&h, data, sizeof h);
    if (h.magic != kCtlMagic || len != sizeof h + size_t{h.count} * sizeof(can_filter)) {
        engine_.tracer().event("socket " + std::to_string(c.id) + " sent a malformed record; dropped");
        return;
    }
    std::string who = "socket " + std::to_string(c.id);
    switch (static_cast<CtlOp>(h.op)) {
    case CtlOp::Bind:
        c.bound = true;
        c.ifindex = static_cast<int>(h.value);
        engine_.tracer().event(who + " bound to " + kBusIfName + ", filters " + filters_text(c.options));
        break;
    case CtlOp::Filter:
        c.options.filters.resize(h.count);
        if (h.count) {
            std::memcpy(c.options.filters.data(), data + sizeof h, size_t{h.count} * sizeof(can_filter));
        }
        engine_.tracer().event(who + " receive filter " + filters_text(c.options));
        break;
    case CtlOp::ErrFilter: {
        c.options.err_mask = h.value & CAN_ERR_MASK;
        char b[40];
        std::snprintf(b, sizeof b, " error mask 0x%X", c.options.err_mask);
        engine_.tracer().event(who + b);
        break;
    }
    case CtlOp::Loopback:
        c.options.loopback = h.value != 0;
        break;
    case CtlOp::RecvOwn:
        c.options.recv_own = h.value != 0;
        break;
    case CtlOp::JoinFilters:
        c.options.join_filters = h.value != 0;
        break;
    case CtlOp::LinkDown:
        // Only a link that was up goes down; sockets bound to every
        // interface are not told.
        if (link_up_) {
            engine_.tracer().event(std::string(kBusIfName) + " down");
            for (Client &o : clients_) {
                if (o.bound && o.ifindex == kBusIfIndex) {
                    ::send(o.fd.get(), "", 0, MSG_DONTWAIT | MSG_NOSIGNAL);
                }
            }
        }
        link_up_ = false;
        break;
    case CtlOp::LinkUp:
        link_up_ = true;
        break;
    default:
        engine_.tracer().event(who + " sent an unknown control record; dropped");
        break;
    }
}

void BusServer::deliver(Client &c, const can_frame &f)
{
    if (::send(c.fd.get(), &f, sizeof f, MSG_DONTWAIT | MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof f)) {
        ++c.dropped;
    }
}

void BusServer::transmit(const can_frame &f, const std::string &note)
{
    engine_.tracer().frame("TX", f, note);
    for (Client &c : clients_) {
        if (c.bound && socket_receives(c.options, f)) {
            deliver(c, f);
        }
    }
}

bool BusServer::transmit_raw(const std::vector<uint8_t> &bytes)
{
    engine_.tracer().event("raw record of " + std::to_string(bytes.size()) + " bytes to every socket");
    for (Client &c : clients_) {
        if (c.bound) {
            ::send(c.fd.get(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        }
    }
    return true;
}

} // namespace obdsim
