// Vehicle files: JSON descriptions of a simulated vehicle (its ECUs, what they
// answer and how) read by obd-vehicle-sim. The loader is strict: an unknown
// key, a value of the wrong type or out of range refuses the whole file with a
// message naming the field, so a typo never silently becomes a default.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vehicle_sim.h"

namespace obdsim
{

struct VehicleFile {
    std::string name;
    vsim::VehicleModel model;
    std::vector<can_frame> chatter; // for Vehicle::set_chatter
};

// Parses the text of a vehicle file. On failure returns nothing and sets
// `error` to "<field>: <reason>" (or "line L column C: ..." for bad JSON).
std::optional<VehicleFile> parse_vehicle_file(std::string_view text, std::string &error);

// Reads and parses a file; errors are prefixed with the path.
std::optional<VehicleFile> load_vehicle_file(const std::string &path, std::string &error);

// "P0301" -> 0x0301, "U0100" -> 0xC100, "C1234" -> 0x5234, "B0001" -> 0x8001.
std::optional<uint16_t> parse_dtc_text(std::string_view text);
std::string dtc_text(uint16_t code);

// Hex bytes, blanks allowed between bytes: "1A F8", "1af8", "0x1A 0xF8".
std::optional<std::vector<uint8_t>> parse_hex_bytes(std::string_view text);

// A number written in hexadecimal, with or without 0x.
std::optional<uint32_t> parse_hex_u32(std::string_view text);

} // namespace obdsim
