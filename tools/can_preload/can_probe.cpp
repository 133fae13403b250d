// obdsim-can-probe: one raw CAN socket driven from the command line, with the
// plain SocketCAN calls a gateway makes. Run it with the preload library to
// check the simulated bus, or without it on vcan0 to see what the kernel does;
// both must print the same.
//
//   obdsim-can-probe [--iface can0] [--filter ID:MASK].. [--no-filters] [--err-mask HEX]
//                    [--loopback 0|1] [--recv-own 0|1] [--join 0|1] [--write-unbound]
//                    [--send FRAME].. [--write-size N] [--until FRAME] [--listen MS]
//                    [--stamp] [--system COMMAND] [--link-bounce]
//
// Prints "ready" once bound, then one "rx FRAME" line per frame received
// (cansend syntax; "rx +MSms FRAME" with --stamp, counted from the bind)
// until FRAME of --until arrives or --listen ms pass. A
// failing call prints "STEP: ERRNO-NAME" and exits with 3. --link-bounce runs
// "sudo ip link set IFACE down" and "... up" once bound, as the gateway's
// bring-up does.
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "can_text.h"
#include "vehicle_file.h"

namespace
{

constexpr int kExitUsage = 2;
constexpr int kExitCallFailed = 3;
constexpr int kExitNoMarker = 4;

struct Opts {
    std::string iface = "can0";
    std::vector<can_filter> filters;
    bool set_filters = false;
    std::optional<uint32_t> err_mask;
    std::optional<int> loopback, recv_own, join;
    bool write_unbound = false;
    std::vector<can_frame> sends;
    std::optional<size_t> write_size;
    std::optional<can_frame> until;
    int listen_ms = 0;
    std::optional<std::string> system_cmd;
    bool stamp = false;
    bool link_bounce = false;
};

int report(const char *step)
{
    const char *name = strerrorname_np(errno);
    std::printf("%s: %s\n", step, name ? name : "?");
    std::fflush(stdout);
    return kExitCallFailed;
}

bool same_frame(const can_frame &a, const can_frame &b)
{
    return a.can_id == b.can_id && a.can_dlc == b.can_dlc && std::memcmp(a.data, b.data, a.can_dlc) == 0;
}

bool parse(int argc, char **argv, Opts &o)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        auto need = [&]() {
            if (!v) {
                std::fprintf(stderr, "%s needs a value\n", a.c_str());
            }
            ++i;
            return v != nullptr;
        };
        auto flag = [&](std::optional<int> &dst) {
            if (!need())
                return false;
            dst = std::atoi(v);
            return true;
        };
        if (a == "--iface") {
            if (!need())
                return false;
            o.iface = v;
        } else if (a == "--filter") {
            if (!need())
                return false;
            std::string s = v;
            size_t colon = s.find(':');
            auto id = colon == std::string::npos ? std::nullopt : obdsim::parse_hex_u32(s.substr(0, colon));
            auto mask =
                colon == std::string::npos ? std::nullopt : obdsim::parse_hex_u32(s.substr(colon + 1));
            if (!id || !mask) {
                std::fprintf(stderr, "--filter ID:MASK (hex)\n");
                return false;
            }
            o.filters.push_back(can_filter{*id, *mask});
            o.set_filters = true;
        } else if (a == "--no-filters") {
            o.filters.clear();
            o.set_filters = true;
        } else if (a == "--err-mask") {
            if (!need())
                return false;
            o.err_mask = obdsim::parse_hex_u32(v);
            if (!o.err_mask)
                return false;
        } else if (a == "--loopback") {
            if (!flag(o.loopback))
                return false;
        } else if (a == "--recv-own") {
            if (!flag(o.recv_own))
                return false;
        } else if (a == "--join") {
            if (!flag(o.join))
                return false;
        } else if (a == "--write-unbound") {
            o.write_unbound = true;
        } else if (a == "--send" || a == "--until") {
            if (!need())
                return false;
            auto f = obdsim::parse_frame_text(v);
            if (!f) {
                std::fprintf(stderr, "bad frame %s\n", v);
                return false;
            }
            if (a == "--send") {
                o.sends.push_back(*f);
            } else {
                o.until = *f;
            }
        } else if (a == "--write-size") {
            if (!need())
                return false;
            o.write_size = static_cast<size_t>(std::atoi(v));
        } else if (a == "--listen") {
            if (!need())
                return false;
            o.listen_ms = std::atoi(v);
        } else if (a == "--link-bounce") {
            o.link_bounce = true;
        } else if (a == "--stamp") {
            o.stamp = true;
        } else if (a == "--system") {
            if (!need())
                return false;
            o.system_cmd = v;
        } else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    Opts o;
    if (!parse(argc, argv, o)) {
        return kExitUsage;
    }
    if (o.system_cmd) {
        int rc = std::system(o.system_cmd->c_str());
        std::printf("system: %d\n", rc);
        return 0;
    }
    int s = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (s < 0) {
        return report("socket");
    }
    if (o.write_unbound) {
        can_frame f{};
        f.can_id = 0x7DF;
        f.can_dlc = 8;
        if (write(s, &f, sizeof f) < 0) {
            report("write-unbound");
        } else {
            std::printf("write-unbound: ok\n");
        }
    }
    if (o.set_filters &&
        setsockopt(s, SOL_CAN_RAW, CAN_RAW_FILTER, o.filters.empty() ? nullptr : o.filters.data(),
                   static_cast<socklen_t>(o.filters.size() * sizeof(can_filter))) != 0) {
        return report("filter");
    }
    if (o.err_mask &&
        setsockopt(s, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &*o.err_mask, sizeof(can_err_mask_t)) != 0) {
        return report("err-filter");
    }
    if (o.loopback && setsockopt(s, SOL_CAN_RAW, CAN_RAW_LOOPBACK, &*o.loopback, sizeof(int)) != 0) {
        return report("loopback");
    }
    if (o.recv_own && setsockopt(s, SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, &*o.recv_own, sizeof(int)) != 0) {
        return report("recv-own");
    }
    if (o.join && setsockopt(s, SOL_CAN_RAW, CAN_RAW_JOIN_FILTERS, &*o.join, sizeof(int)) != 0) {
        return report("join");
    }
    ifreq ifr{};
    std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", o.iface.c_str());
    if (ioctl(s, SIOCGIFINDEX, &ifr) != 0) {
        return report("ifindex");
    }
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifr.ifr_ifindex;
    if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        return report("bind");
    }
    std::printf("ready\n");
    std::fflush(stdout);
    auto bound_at = std::chrono::steady_clock::now();

    if (o.write_size) {
        std::vector<unsigned char> buf(*o.write_size + 1, 0);
        can_frame f{};
        f.can_id = 0x7DF;
        f.can_dlc = 8;
        std::memcpy(buf.data(), &f, std::min(sizeof f, buf.size()));
        if (write(s, buf.data(), *o.write_size) < 0) {
            report("write-size");
        } else {
            std::printf("write-size: ok\n");
        }
    }
    if (o.link_bounce) {
        std::string down = "sudo ip link set " + o.iface + " down";
        std::string up = "sudo ip link set " + o.iface + " up";
        if (std::system(down.c_str()) != 0 || std::system(up.c_str()) != 0) {
            std::printf("link-bounce: failed\n");
        }
    }
    for (const can_frame &f : o.sends) {
        if (write(s, &f, sizeof f) != static_cast<ssize_t>(sizeof f)) {
            return report("send");
        }
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(o.listen_ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(s, &rd);
        timeval tv{static_cast<time_t>(left.count() / 1000),
                   static_cast<suseconds_t>((left.count() % 1000) * 1000)};
        int rc = select(s + 1, &rd, nullptr, nullptr, &tv);
        if (rc < 0) {
            return report("select");
        }
        if (rc == 0) {
            break;
        }
        can_frame f{};
        ssize_t n = read(s, &f, sizeof f);
        if (n < 0) {
            return report("read");
        }
        if (n != static_cast<ssize_t>(sizeof f)) {
            std::printf("short %zd\n", n);
            continue;
        }
        if (o.stamp) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                            bound_at);
            std::printf("rx +%lldms %s\n", static_cast<long long>(ms.count()), obdsim::frame_text(f).c_str());
        } else {
            std::printf("rx %s\n", obdsim::frame_text(f).c_str());
        }
        std::fflush(stdout);
        if (o.until && same_frame(f, *o.until)) {
            close(s);
            return 0;
        }
    }
    close(s);
    return o.until ? kExitNoMarker : 0;
}
