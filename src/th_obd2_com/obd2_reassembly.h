// The receiving side of one OBD exchange, without sockets: received frames go
// in one at a time, and each step says what the exchange does next.
#pragma once

#include <linux/can.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "th_obd2_com/can_link.h"

enum class Obd2RxStep {
    Skip,            // not part of the answer, or the answer goes on: keep reading
    SendFlowControl, // a first frame of the answer: send flow_control(), keep reading
    Complete,        // answer() holds the answer
    Refused,         // answer() holds the negative answer (single frame 7F)
    Failed,          // wrong consecutive-frame sequence number
    Pending,         // "response pending" (7F, the service, 0x78): the final answer is still to come
};

// One answer to one request. An answer counts only when it answers the request
// (service + 0x40, and for services 01, 02 and 09 the PID or InfoType echoed); a
// refusal only when it names the service asked. A segmented answer belongs to
// the ECU whose first frame started it: every other identifier is skipped
// until it completes or fails. "Response pending" from an ECU binds the answer
// to it, like a first frame; its final answer is still taken, and answer()
// holds the pending frame meanwhile. After Complete, Refused or Failed every
// further frame is skipped.
class Obd2Reassembly
{
  public:
    // `mode` 1 takes 11-bit answers 0x7E8..0x7EF, mode 2 29-bit 0x18DAF110 only.
    // `bound_response_id` != 0 takes only that ECU's frames from the start.
    // `release_leftovers` (several ECUs recorded): every first frame not taken
    // is released, a leftover of the ECU asked too.
    Obd2Reassembly(int mode, const uint8_t *request, size_t request_len, uint32_t bound_response_id,
                   bool release_leftovers = false);

    Obd2RxStep step(const can_frame &rx);

    // After SendFlowControl: the frame to send to the answering ECU.
    const can_frame &flow_control() const { return fc_; }

    // After Complete or Refused, the answer: byte 0 a length byte, the payload
    // from byte 1. Before, the bytes of a segmented answer collected so far.
    const uint8_t *answer() const { return buf_.data(); }
    size_t answer_len() const { return answered_ ? answer_len_ : len_; }
    // Bytes received of a segmented answer, which may pass its announced total.
    size_t collected_len() const { return len_; }

    // The ECU that answered (or whose segmented answer is collected); 0 before.
    uint32_t response_id() const { return bound_; }

    // A first frame of the answer has come.
    bool collecting() const { return first_frame_; }
    // The last Skip was a consecutive frame of the answer: the wait starts again.
    bool advanced() const { return advanced_; }
    // The last Skip came from the ECU being collected without carrying the answer on.
    bool stray_from_ecu() const { return stray_; }
    // The last Skip was another ECU's first frame (or, releasing leftovers, any
    // first frame not taken): send it released_flow_control() so its transport
    // can finish (its frames are skipped) instead of holding that ECU's next
    // answers until its own time-out.
    bool releases_other_ecu() const { return release_; }
    const can_frame &released_flow_control() const { return release_fc_; }
    // The rule behind it, for frames outside any exchange too: true, with the
    // flow control to send in `fc`, when `rx` is the first frame of an ECU
    // answering on `mode` other than `except`.
    static bool releases(int mode, uint32_t except, const can_frame &rx, can_frame *fc);

    // The ECU a frame comes from when it is an answering identifier of `mode`; 0 otherwise.
    static uint32_t answering_id(int mode, const can_frame &rx)
    {
        return (rx.can_id & CAN_ERR_FLAG) ? 0 : accepted_id(mode, rx);
    }

    size_t expected_total() const { return expected_total_; }
    size_t last_copy() const { return last_copy_; }
    // Sequence counter (not wrapped) of the next consecutive frame.
    uint32_t sequence_counter() const { return seq_counter_; }
    // After Failed: the sequence number received.
    uint8_t received_sequence() const { return received_seq_; }

  private:
    static uint32_t accepted_id(int mode, const can_frame &rx);
    Obd2RxStep take(const can_frame &rx);
    bool answers(const uint8_t *payload, size_t len) const;
    Obd2RxStep start_segmented(const can_frame &rx, size_t dlc);
    Obd2RxStep consecutive(const can_frame &rx, size_t dlc);
    Obd2RxStep single(const can_frame &rx, size_t dlc, Obd2RxStep result);
    static can_frame flow_control_to(int mode, uint32_t response_id);

    int mode_;
    uint8_t service_;
    int pid_; // -1: the answer carries no echo to check
    uint32_t bound_;
    bool release_leftovers_;
    bool first_frame_ = false;
    bool done_ = false;
    bool answered_ = false;
    bool advanced_ = false;
    bool stray_ = false;
    bool release_ = false;
    size_t expected_total_ = 0;
    size_t len_ = 0;
    size_t answer_len_ = 0;
    size_t last_copy_ = 0;
    uint32_t seq_counter_ = 1;
    uint8_t received_seq_ = 0;
    can_frame fc_{};
    can_frame release_fc_{};
    // Only the first len_ bytes are ever read; left uninitialised so an exchange
    // does not clear 4 KiB it mostly never uses.
    std::array<uint8_t, OBD2_RESP_BUF_SIZE> buf_;
};

// Payload bytes of an answer as the exchange leaves it (from byte 1): a single
// frame says how many in byte 0 (the rest is padding), a segmented answer
// (9 bytes or more) is all payload.
size_t obd2_answer_payload_len(const uint8_t *answer, size_t len);
