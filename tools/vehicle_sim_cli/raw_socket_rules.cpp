// Mirrors the receive path of Linux CAN_RAW sockets (filter registration in
// the af_can receive lists, then raw_rcv): error frames only ever meet the
// error mask and error-class filters; data frames meet the id/mask filters;
// a frame matching several filters is delivered once.
#include "raw_socket_rules.h"

#include <cstddef>

namespace obdsim
{

namespace
{

constexpr canid_t kEffRtr = CAN_EFF_FLAG | CAN_RTR_FLAG;

} // namespace

bool filter_matches(const can_filter &f, canid_t frame_id)
{
    canid_t id = f.can_id;
    canid_t mask = f.can_mask;
    bool inverted = (id & CAN_INV_FILTER) != 0;

    if (mask & CAN_ERR_FLAG) {
        // Error-frame filter: any common error class bit.
        return (frame_id & CAN_ERR_FLAG) && (frame_id & mask & CAN_ERR_MASK) != 0;
    }
    if (frame_id & CAN_ERR_FLAG) {
        return false;
    }
    // "11-bit only" filters: the mask keeps the frame-format bit, and only the
    // 11 identifier bits count.
    if ((mask & CAN_EFF_FLAG) && !(id & CAN_EFF_FLAG)) {
        mask &= (CAN_SFF_MASK | kEffRtr);
    }
    id &= mask;
    bool match = (frame_id & mask) == id;
    return inverted ? !match : match;
}

bool socket_receives(const RawSocketOptions &o, const can_frame &frame, bool own)
{
    if (own && !(o.loopback && o.recv_own)) {
        return false;
    }
    std::size_t matches = 0;
    for (const can_filter &f : o.filters) {
        if (filter_matches(f, frame.can_id)) {
            ++matches;
        }
    }
    if ((frame.can_id & CAN_ERR_FLAG) && (frame.can_id & o.err_mask & CAN_ERR_MASK)) {
        ++matches;
    }
    if (o.join_filters && o.filters.size() > 1) {
        return matches >= o.filters.size();
    }
    return matches > 0;
}

} // namespace obdsim
