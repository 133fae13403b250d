// Which frames a Linux raw CAN socket receives: the receive filters, the error
// mask and the loopback options, with the kernel's own matching rules, so a
// client of the simulated bus sees exactly what it would see on can0.
#pragma once

#include <linux/can.h>

#include <cstdint>
#include <vector>

namespace obdsim
{

struct RawSocketOptions {
    // A fresh raw socket has one filter that passes every data frame.
    std::vector<can_filter> filters{can_filter{0, 0}};
    uint32_t err_mask = 0;     // error classes delivered (CAN_RAW_ERR_FILTER)
    bool loopback = true;      // CAN_RAW_LOOPBACK: other local sockets see our frames
    bool recv_own = false;     // CAN_RAW_RECV_OWN_MSGS
    bool join_filters = false; // CAN_RAW_JOIN_FILTERS: all filters must match
};

// One receive filter against one frame, as the kernel registers it: a mask
// holding CAN_ERR_FLAG makes it an error-frame filter; CAN_INV_FILTER in the
// identifier inverts it; a mask with CAN_EFF_FLAG on an identifier without it
// selects 11-bit frames only.
bool filter_matches(const can_filter &f, canid_t frame_id);

// True when the socket with these options receives `frame`. `own` marks a
// frame this same socket sent (delivered only with loopback and recv_own).
bool socket_receives(const RawSocketOptions &o, const can_frame &frame, bool own = false);

} // namespace obdsim
