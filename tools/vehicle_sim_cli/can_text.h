// CAN frames as text: the cansend syntax for input ("7DF#0201000000000000",
// "18DAF110#0641", "20000004#" for an error frame) and candump-like lines for
// traces, with a short OBD/ISO-TP reading of the bytes.
#pragma once

#include <linux/can.h>

#include <optional>
#include <string>
#include <string_view>

namespace obdsim
{

// "ID#DATA": 3 hex digits = 11-bit id, 8 hex digits = 29-bit id (the flags
// CAN_EFF_FLAG/CAN_RTR_FLAG/CAN_ERR_FLAG may be written into it; without any
// flag the extended flag is added). DATA: up to 8 hex bytes, '.' allowed
// between bytes; "R" instead of data makes a remote frame.
std::optional<can_frame> parse_frame_text(std::string_view text);

// The same syntax back ("7E8#064100BE3FA81300").
std::string frame_text(const can_frame &f);

// "7DF   [8]  02 01 00 AA AA AA AA AA" (candump's columns).
std::string frame_columns(const can_frame &f);

// What the frame means on an OBD bus: "request 01 PID 0C", "answer 41 0C 1A F8",
// "first frame, 20 bytes: 49 02 01 ...", "flow control: continue", ...
std::string describe_frame(const can_frame &f);

} // namespace obdsim
