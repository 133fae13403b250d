#include "th_obd2_com/obd2_reassembly.h"

#include <algorithm>
#include <cstring>

#include "th_obd2_com/obd2_config.h"
#include "th_obd2_com/obd2_protocol.h"

Obd2Reassembly::Obd2Reassembly(int mode, const uint8_t *request, size_t request_len,
                               uint32_t bound_response_id, bool release_leftovers)
    : mode_(mode), service_(request_len >= 2 ? request[1] : 0), pid_(-1), bound_(bound_response_id),
      release_leftovers_(release_leftovers)
{
    // Services 01, 02 and 09 echo their parameter byte; the trouble-code services have none.
    if (request_len >= 3 && (service_ == OBD2_SID_CURRENT_DATA || service_ == OBD2_SID_FREEZE_FRAME ||
                             service_ == OBD2_SID_VEHICLE_INFO)) {
        pid_ = request[2];
    }
}

uint32_t Obd2Reassembly::accepted_id(int mode, const can_frame &rx)
{
    if (mode == 1) {
        const uint32_t sid = rx.can_id & CAN_SFF_MASK;
        return obd2_is_response_id_11(sid) ? sid : 0;
    }
    if (mode == 2) {
        const uint32_t eid = rx.can_id & CAN_EFF_MASK;
        return eid == OBD2_RESPONSE_ID_29 ? eid : 0;
    }
    return 0;
}

// `payload` starts at the service byte; only the `len` bytes the frame carries count.
bool Obd2Reassembly::answers(const uint8_t *payload, size_t len) const
{
    if (len < 1 || payload[0] != obd2_positive_sid(service_)) {
        return false;
    }
    return pid_ < 0 || (len >= 2 && payload[1] == pid_);
}

Obd2RxStep Obd2Reassembly::step(const can_frame &rx)
{
    const Obd2RxStep s = take(rx);
    if (s == Obd2RxStep::Skip && !release_ && release_leftovers_ && releases(mode_, 0, rx, &release_fc_)) {
        release_ = true; // no answering ECU has identifier 0: every first frame counts
    }
    return s;
}

Obd2RxStep Obd2Reassembly::take(const can_frame &rx)
{
    advanced_ = false;
    stray_ = false;
    release_ = false;
    if (rx.can_id & CAN_ERR_FLAG) {
        return Obd2RxStep::Skip;
    }
    if (bound_ != 0 && releases(mode_, bound_, rx, &release_fc_)) {
        release_ = true;
        return Obd2RxStep::Skip;
    }
    const uint32_t id = accepted_id(mode_, rx);
    if (done_ || id == 0 || (bound_ != 0 && id != bound_)) {
        return Obd2RxStep::Skip;
    }
    // A data length code above 8 (CAN FD style or hostile) still carries only 8 bytes.
    const size_t dlc = std::min<size_t>(rx.can_dlc, CAN_MAX_DLEN);
    const uint8_t type = rx.data[0] >> 4;

    if (type == ISOTP_FIRST_FRAME) {
        // The payload starts after the two length bytes; bytes past the
        // announced length are not part of it, so they cannot make it an answer.
        const size_t announced = static_cast<size_t>(rx.data[0] & 0x0F) << 8 | rx.data[1];
        if (dlc >= 2 && answers(rx.data + 2, std::min(dlc - 2, announced))) {
            bound_ = id;
            return start_segmented(rx, dlc);
        }
    } else if (type == ISOTP_CONSECUTIVE_FRAME && first_frame_) {
        return consecutive(rx, dlc);
    } else if (type == ISOTP_SINGLE_FRAME) {
        if (dlc >= 3 && rx.data[1] == OBD2_NEGATIVE_RESPONSE && rx.data[2] == service_) {
            bound_ = id;
            if (dlc >= 4 && rx.data[3] == OBD2_NRC_BUSY) {
                // Not an answer yet: a first frame of the ECU's answer may still follow.
                first_frame_ = false;
                std::memcpy(buf_.data(), rx.data, dlc);
                len_ = dlc;
                return Obd2RxStep::Pending;
            }
            return single(rx, dlc, Obd2RxStep::Refused);
        }
        if (!first_frame_ && dlc >= 1 && answers(rx.data + 1, dlc - 1)) {
            bound_ = id;
            return single(rx, dlc, Obd2RxStep::Complete);
        }
    }
    stray_ = first_frame_;
    return Obd2RxStep::Skip;
}

Obd2RxStep Obd2Reassembly::start_segmented(const can_frame &rx, size_t dlc)
{
    // A first frame of the same ECU again starts its answer over.
    first_frame_ = true;
    seq_counter_ = 1;
    // The 12-bit length plus one for the length byte kept at the head of the answer.
    expected_total_ = (static_cast<size_t>(rx.data[0] & 0x0F) << 8 | rx.data[1]) + 1;
    const size_t copy = dlc > 0 ? dlc - 1 : 0;
    std::memcpy(buf_.data(), rx.data + 1, copy);
    len_ = copy;

    fc_ = flow_control_to(mode_, bound_);
    return Obd2RxStep::SendFlowControl;
}

bool Obd2Reassembly::releases(int mode, uint32_t except, const can_frame &rx, can_frame *fc)
{
    // Another ECU answers the same functional request in several frames;
    // nobody else sends it flow control.
    const uint32_t id = (rx.can_id & CAN_ERR_FLAG) ? 0 : accepted_id(mode, rx);
    if (id == 0 || id == except || rx.can_dlc == 0 || (rx.data[0] >> 4) != ISOTP_FIRST_FRAME) {
        return false;
    }
    *fc = flow_control_to(mode, id);
    return true;
}

can_frame Obd2Reassembly::flow_control_to(int mode, uint32_t response_id)
{
    can_frame fc{};
    fc.can_id =
        mode == 1 ? obd2_physical_id_11(response_id) : (obd2_physical_id_29(response_id) | CAN_EFF_FLAG);
    fc.can_dlc = CAN_MAX_DLEN;
    fc.data[0] = ISOTP_FC_CONTINUE;
    fc.data[1] = ISOTP_FC_BLOCK_SIZE_ALL;
    fc.data[2] = ISOTP_FC_STMIN_NONE;
    std::fill(fc.data + 3, fc.data + CAN_MAX_DLEN, static_cast<uint8_t>(g_can_padding & 0xFF));
    return fc;
}

Obd2RxStep Obd2Reassembly::consecutive(const can_frame &rx, size_t dlc)
{
    const uint8_t got = rx.data[0] & ISOTP_SEQUENCE_MASK;
    if (got != static_cast<uint8_t>(seq_counter_ % 16)) {
        received_seq_ = got;
        done_ = true;
        return Obd2RxStep::Failed;
    }
    // A first frame may announce fewer bytes than it carries; never go past
    // the announced total (at most the buffer size).
    const size_t room = expected_total_ > len_ ? expected_total_ - len_ : 0;
    last_copy_ = std::min(dlc > 0 ? dlc - 1 : 0, room);
    std::memcpy(buf_.data() + len_, rx.data + 1, last_copy_);
    len_ += last_copy_;
    ++seq_counter_;
    if (len_ < expected_total_) {
        advanced_ = true;
        return Obd2RxStep::Skip;
    }
    answer_len_ = expected_total_;
    answered_ = true;
    done_ = true;
    return Obd2RxStep::Complete;
}

Obd2RxStep Obd2Reassembly::single(const can_frame &rx, size_t dlc, Obd2RxStep result)
{
    std::memcpy(buf_.data(), rx.data, dlc);
    len_ = dlc;
    answer_len_ = dlc;
    answered_ = true;
    done_ = true;
    return result;
}

size_t obd2_answer_payload_len(const uint8_t *answer, size_t len)
{
    if (answer == nullptr || len < 2) {
        return 0;
    }
    if (len > CAN_MAX_DLEN) {
        return len - 1;
    }
    return std::min<size_t>(answer[0] & 0x0F, len - 1);
}
