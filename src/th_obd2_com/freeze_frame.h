// Freeze frame (command 14): the engine ECU's service 02 frame 0, the code
// that stored it and its values of the catalogue PIDs.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The code of a PID 02 answer (0 = no frame stored); nothing when the answer
// is not one. Answers as the exchange leaves them: byte 0 a length byte, then
// 42 PID FRAME and the data.
std::optional<uint16_t> decode_freeze_dtc(const uint8_t *answer, size_t len);

// Marks in `supported` the PIDs a service 02 PID 00/20/40/... answer of
// range `base` lists. Nothing when the answer is not one; else whether it
// announces the next range.
std::optional<bool> decode_freeze_support(uint8_t base, const uint8_t *answer, size_t len,
                                          std::bitset<256> &supported);

// The catalogue value of a service 02 answer for `pid`, scaled as live data
// scales it; nothing when the answer is not one or too short for the PID.
std::optional<float> decode_freeze_value(uint8_t pid, const uint8_t *answer, size_t len);

// "P0301", "C1234", "B0001", "U0100".
std::string freeze_dtc_text(uint16_t code);

struct FreezeValue {
    const char *key;            // catalogue short key
    std::optional<float> value; // nothing: asked, not answered ("--")
};

// {"TYP":1,"CMD":14,"DATA":{"DTC":"P0301","VAL":{"ENGLD":35.29,...}}}, values
// with two decimals as in live data. Empty when it cannot be built.
std::string freeze_frame_packet(uint16_t code, const std::vector<FreezeValue> &values);

// Reads the engine ECU's frame and returns the text to publish (the packet,
// "NOFRAME" when none is stored, "NOTSUP" when the ECU refuses service 02),
// or null when the ECU did not answer.
const char *handle_freeze_frame_command();
