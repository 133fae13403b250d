// obd-isotp-ecu: one ECU of a vehicle file, answering on the kernel's CAN_ISOTP
// sockets instead of the simulator's own segmentation, so the gateway meets a
// transport it did not write (flow control, padding and timing are the
// kernel's).
//
//   obd-isotp-ecu --vehicle FILE.json [--ecu N] [--clear BUSY:NRC] --can IFACE
//
// --clear overrides the file's clear behaviour: BUSY busy answers, then the
// negative answer NRC (hex; 0: positive).
//
// Requests arrive on the functional identifier (0x7DF / 0x18DB33F1) and on the
// ECU's physical identifier; every answer leaves from the physical socket, so
// the kernel takes the flow control of a segmented answer on the physical
// identifier. Runs until killed.
#include <linux/can.h>
#include <linux/can/isotp.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_fd.h"
#include "vehicle_file.h"

namespace
{

constexpr size_t kMaxPayload = 4095;

UniqueFd open_isotp(int ifindex, canid_t rx, canid_t tx, uint8_t padding)
{
    UniqueFd s(::socket(PF_CAN, SOCK_DGRAM | SOCK_CLOEXEC, CAN_ISOTP));
    if (!s) {
        std::perror("obd-isotp-ecu: CAN_ISOTP socket");
        return s;
    }
    can_isotp_options opts{};
    opts.flags = CAN_ISOTP_TX_PADDING;
    opts.txpad_content = padding;
    if (::setsockopt(s.get(), SOL_CAN_ISOTP, CAN_ISOTP_OPTS, &opts, sizeof opts) != 0) {
        std::perror("obd-isotp-ecu: CAN_ISOTP_OPTS");
        return UniqueFd();
    }
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifindex;
    addr.can_addr.tp.rx_id = rx;
    addr.can_addr.tp.tx_id = tx;
    if (::bind(s.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        std::perror("obd-isotp-ecu: bind");
        return UniqueFd();
    }
    return s;
}

std::string hex(const uint8_t *p, size_t n)
{
    std::string out;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%s%02X", i ? " " : "", p[i]);
        out += b;
    }
    return out;
}

int usage()
{
    std::fputs("usage: obd-isotp-ecu --vehicle FILE.json [--ecu N] [--clear BUSY:NRC] --can IFACE\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    std::string file, iface, clear;
    size_t index = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--vehicle") {
            file = argv[i + 1];
        } else if (a == "--can") {
            iface = argv[i + 1];
        } else if (a == "--clear") {
            clear = argv[i + 1];
        } else if (a == "--ecu") {
            index = std::strtoul(argv[i + 1], nullptr, 10);
        } else {
            return usage();
        }
    }
    if (file.empty() || iface.empty() || iface.size() >= IFNAMSIZ || argc % 2 == 0) {
        return usage();
    }
    std::string error;
    auto vf = obdsim::load_vehicle_file(file, error);
    if (!vf) {
        std::fprintf(stderr, "obd-isotp-ecu: %s\n", error.c_str());
        return 2;
    }
    if (index >= vf->model.ecus.size()) {
        std::fprintf(stderr, "obd-isotp-ecu: %s has no ECU %zu\n", file.c_str(), index);
        return 2;
    }
    const vsim::EcuModel ecu = vf->model.ecus[index];
    vsim::Vehicle vehicle(vf->model);
    if (!clear.empty()) {
        unsigned busy = 0, nrc = 0;
        if (std::sscanf(clear.c_str(), "%u:%x", &busy, &nrc) != 2 || busy > 100 || nrc > 0xFF) {
            return usage();
        }
        vehicle.set_clear_behaviour(index, static_cast<int>(busy), static_cast<uint8_t>(nrc));
    }

    const bool ext = ecu.addressing == vsim::Addressing::Bit29;
    auto id = [ext](uint32_t v) { return ext ? ((v & CAN_EFF_MASK) | CAN_EFF_FLAG) : (v & CAN_SFF_MASK); };
    const canid_t functional = id(ext ? vsim::kFunctionalId29 : vsim::kFunctionalId11);

    ifreq ifr{};
    std::memcpy(ifr.ifr_name, iface.c_str(), iface.size() + 1);
    UniqueFd probe(::socket(PF_CAN, SOCK_DGRAM | SOCK_CLOEXEC, CAN_ISOTP));
    if (!probe || ::ioctl(probe.get(), SIOCGIFINDEX, &ifr) != 0) {
        std::fprintf(stderr, "obd-isotp-ecu: %s: %s\n", iface.c_str(), std::strerror(errno));
        return 1;
    }
    UniqueFd func = open_isotp(ifr.ifr_ifindex, functional, id(ecu.response_id), ecu.padding);
    UniqueFd phys = open_isotp(ifr.ifr_ifindex, id(ecu.physical_id), id(ecu.response_id), ecu.padding);
    if (!func || !phys) {
        return 1;
    }
    std::printf("obd-isotp-ecu: ECU %zu answers from %X on %s\n", index, ecu.response_id, iface.c_str());
    std::fflush(stdout);

    std::vector<uint8_t> req(kMaxPayload);
    for (;;) {
        pollfd fds[2] = {{func.get(), POLLIN, 0}, {phys.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::perror("obd-isotp-ecu: poll");
            return 1;
        }
        for (const pollfd &p : fds) {
            if (!(p.revents & POLLIN)) {
                continue;
            }
            ssize_t n = ::read(p.fd, req.data(), req.size());
            if (n <= 0) {
                continue;
            }
            auto answer = vehicle.answer_payload(index, req.data(), static_cast<size_t>(n));
            std::printf("%X: %s -> %s\n", ecu.response_id, hex(req.data(), static_cast<size_t>(n)).c_str(),
                        answer.empty() ? "(none)" : hex(answer.data(), answer.size()).c_str());
            std::fflush(stdout);
            if (answer.empty()) {
                continue;
            }
            std::this_thread::sleep_for(ecu.latency);
            // "Response pending" first, as the vehicle file says; the kernel sends each as a single frame.
            const vsim::EcuModel::Pending pending =
                vehicle.pending_before(index, req.data(), static_cast<size_t>(n));
            for (int k = 0; k < pending.count; ++k) {
                const uint8_t busy[] = {OBD2_NEGATIVE_RESPONSE, req[0], OBD2_NRC_BUSY};
                if (::write(phys.get(), busy, sizeof busy) != static_cast<ssize_t>(sizeof busy)) {
                    std::perror("obd-isotp-ecu: write");
                }
                std::this_thread::sleep_for(pending.interval);
            }
            // A segmented answer whose flow control never came fails the next
            // write with ECOMM; that error is the old answer's, so send again.
            ssize_t w = ::write(phys.get(), answer.data(), answer.size());
            if (w < 0 && errno == ECOMM) {
                std::perror("obd-isotp-ecu: earlier answer lost");
                w = ::write(phys.get(), answer.data(), answer.size());
            }
            if (w != static_cast<ssize_t>(answer.size())) {
                std::perror("obd-isotp-ecu: write");
            }
        }
    }
}
