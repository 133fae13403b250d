// Readiness (command 13): the monitor status of service 01 PID 01 (since the
// codes were cleared) and PID 41 (this drive cycle) of every recorded ECU,
// merged into one packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "th_obd2_com/can_link.h"

// One PID 01 or 41 answer: byte A as the MIL and the confirmed-code count
// (PID 41 leaves A reserved), bytes B, C, D as sent. In a merged status the
// count is the sum and the incomplete bits of B and D are set only where a
// supporting ECU set them.
struct MonitorStatus {
    bool mil = false;
    unsigned dtc_count = 0;
    uint8_t b = 0;
    uint8_t c = 0;
    uint8_t d = 0;
};

// One ECU's outcome for one PID.
struct MonitorReply {
    bool answered = false;               // data or a refusal: the ECU is there
    std::optional<MonitorStatus> status; // set when it gave the PID's data
};

// Reads one exchange's outcome for `pid` (the buffer as the exchange leaves
// it). A refusal is an answer without data; a busy ECU gave none.
MonitorReply read_monitor_reply(uint8_t pid, Obd2Outcome outcome, const uint8_t *answer, size_t len);

// Merges the replies, the engine ECU's first: MIL on if any ECU says so,
// codes summed, ignition from the first ECU with data; a monitor is supported
// if any ECU supports it, and incomplete if any ECU supporting it says so.
// Nothing when no ECU gave data.
std::optional<MonitorStatus> merge_monitor_status(const std::vector<MonitorReply> &replies);

enum class MonitorState { NotSupported, Complete, Incomplete };

struct MonitorEntry {
    const char *key;
    MonitorState state;
};

bool is_compression_ignition(const MonitorStatus &s);
// The monitors of an ignition type (the status's unless given) in table order.
std::vector<MonitorEntry> monitor_states(const MonitorStatus &s,
                                         std::optional<bool> compression = std::nullopt);

// The packet: {"TYP":1,"CMD":13,"DATA":{"MIL":..,"DTCCNT":..,"IGN":..,"MON":{..}[,"CYC":{..}]}};
// the ignition of `since_clear` names the monitors of both. Empty when it cannot be built.
std::string readiness_packet(const MonitorStatus &since_clear, const std::optional<MonitorStatus> &cycle);

// Asks every recorded ECU and returns the text to publish (the readiness
// packet, or "NOTSUP" when the ECUs answered but none gives PID 01), or null
// when no ECU answered.
const char *handle_readiness_command();
