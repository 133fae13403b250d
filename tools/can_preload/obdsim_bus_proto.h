// Wire format of the simulator's UNIX-socket CAN bus, shared by the bus server
// (obd-vehicle-sim --bus) and the SocketCAN preload library.
//
// Each bus client is one SOCK_SEQPACKET connection standing for one raw CAN
// socket on "can0". A record of exactly sizeof(can_frame) (16) bytes is a CAN
// frame, in both directions, so the client can read() and write() whole frames
// on the descriptor as it would on a raw CAN socket. Any other record from the
// client is a control record (BusCtl, at least 20 bytes, so never 16): the
// socket options and the bind that the kernel would keep for a raw socket.
// The server applies them itself; clients never filter.
//
// A zero-length record from the server means can0 went down: the kernel then
// fails the next read of every raw socket bound to can0 with ENETDOWN, once.
#pragma once

#include <linux/can.h>
#include <linux/can/raw.h>

#include <cstddef>
#include <cstdint>

namespace obdsim
{

// Environment variables read by the preload library (never by the product).
constexpr const char *kBusEnv = "OBDSIM_BUS";      // path of the bus socket
constexpr const char *kIpLogEnv = "OBDSIM_IP_LOG"; // file receiving "sudo ip link ..." commands

// The only interface the bus offers, and the index SIOCGIFINDEX reports for it.
constexpr const char *kBusIfName = "can0";
constexpr int kBusIfIndex = 2;

constexpr uint32_t kCtlMagic = 0x4F425343; // "OBSC"

enum class CtlOp : uint32_t {
    Bind = 1,        // value: interface index (0 = any)
    Filter = 2,      // count filters follow
    ErrFilter = 3,   // value: error class mask
    Loopback = 4,    // value: 0/1
    RecvOwn = 5,     // value: 0/1
    JoinFilters = 6, // value: 0/1
    LinkDown = 7,    // "ip link set can0 down" ran (sent on a connection of its own)
    LinkUp = 8,      // "ip link set can0 up ..." ran
};

struct BusCtl {
    uint32_t magic = kCtlMagic;
    uint32_t op = 0;
    uint32_t value = 0;
    uint32_t count = 0; // number of can_filter records after the header
    uint32_t reserved = 0;
};
static_assert(sizeof(BusCtl) == 20, "control header must never look like a frame");
static_assert(sizeof(can_frame) == 16, "classic CAN frame record");
static_assert(sizeof(can_filter) == 8, "kernel filter record");

// The kernel's limit on filters per raw socket.
constexpr size_t kMaxFilters = CAN_RAW_FILTER_MAX;

} // namespace obdsim
