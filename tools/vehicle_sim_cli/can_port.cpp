#include "can_port.h"

#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace obdsim
{

namespace
{

// Exact-identifier filters: the frame format is part of the match, remote
// frames never pass.
can_filter exact11(uint32_t id)
{
    return can_filter{id & CAN_SFF_MASK, CAN_SFF_MASK | CAN_EFF_FLAG | CAN_RTR_FLAG};
}
can_filter exact29(uint32_t id)
{
    return can_filter{(id & CAN_EFF_MASK) | CAN_EFF_FLAG, CAN_EFF_MASK | CAN_EFF_FLAG | CAN_RTR_FLAG};
}

} // namespace

std::vector<can_filter> CanPort::vehicle_filters(const vsim::VehicleModel &model)
{
    std::vector<can_filter> out;
    bool has11 = false, has29 = false;
    for (const auto &e : model.ecus) {
        if (e.addressing == vsim::Addressing::Bit29) {
            has29 = true;
            out.push_back(exact29(e.physical_id));
        } else {
            has11 = true;
            out.push_back(exact11(e.physical_id));
        }
    }
    if (has11) {
        out.push_back(exact11(vsim::kFunctionalId11));
    }
    if (has29) {
        out.push_back(exact29(vsim::kFunctionalId29));
    }
    return out;
}

bool CanPort::start(const vsim::VehicleModel &model, std::string &error)
{
    UniqueFd s(::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, CAN_RAW));
    if (!s) {
        error = std::string("CAN socket: ") + std::strerror(errno) + " (is the can module loaded?)";
        return false;
    }
    ifreq ifr{};
    if (iface_.empty() || iface_.size() >= IFNAMSIZ) {
        error = "bad interface name: " + iface_;
        return false;
    }
    std::memcpy(ifr.ifr_name, iface_.c_str(), iface_.size() + 1);
    if (::ioctl(s.get(), SIOCGIFINDEX, &ifr) != 0) {
        error = "interface " + iface_ + ": " + std::strerror(errno);
        return false;
    }
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifr.ifr_ifindex;
    if (::bind(s.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        error = "bind to " + iface_ + ": " + std::strerror(errno);
        return false;
    }
    auto filters = vehicle_filters(model);
    if (::setsockopt(s.get(), SOL_CAN_RAW, CAN_RAW_FILTER, filters.data(),
                     static_cast<socklen_t>(filters.size() * sizeof(can_filter))) != 0) {
        error = std::string("CAN_RAW_FILTER: ") + std::strerror(errno);
        return false;
    }
    sock_ = std::move(s);
    return true;
}

void CanPort::collect(std::vector<pollfd> &fds, std::vector<std::function<void(short)>> &handlers)
{
    fds.push_back(pollfd{sock_.get(), POLLIN, 0});
    handlers.emplace_back([this](short) { read_frames(); });
}

void CanPort::read_frames()
{
    for (;;) {
        can_frame f{};
        ssize_t n = ::read(sock_.get(), &f, sizeof f);
        if (n != static_cast<ssize_t>(sizeof f)) {
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                engine_.tracer().event(std::string("read: ") + std::strerror(errno));
            }
            return;
        }
        engine_.tracer().frame("RX", f);
        engine_.on_bus_frame(f);
    }
}

void CanPort::transmit(const can_frame &f, const std::string &note)
{
    if (::write(sock_.get(), &f, sizeof f) != static_cast<ssize_t>(sizeof f)) {
        engine_.tracer().event(std::string("write: ") + std::strerror(errno));
        return;
    }
    engine_.tracer().frame("TX", f, note);
}

bool CanPort::transmit_raw(const std::vector<uint8_t> &)
{
    return false;
}

} // namespace obdsim
