#include "th_obd2_com/pid_catalogue.h"

#include <cstring>
#include <string_view>

// Rows are kept in this order on purpose: availability flag i, the probe list
// and the keys of the stored ECU information all index by row. Some scalings
// deliberately differ from SAE J1979 (0x32 read unsigned, 0x33 as a throttle
// position, 0x5D at 0.703125): the UI and saved files expect these values.
constexpr PidInfo pids[PID_CATALOGUE_SIZE] = {
    {0x04, "engine_load", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x05, "coolant_temp", 8, 1.0f, -40.0f, -40.0f, 215.0f, "degC"},
    {0x0A, "fuel_pressure", 8, 3.0f, 0.0f, 0.0f, 765.0f, "kPa"},
    {0x0B, "intake_pressure", 8, 1.0f, 0.0f, 0.0f, 255.0f, "kPa"},
    {0x0C, "engine_rpm", 16, 0.25f, 0.0f, 0.0f, 16383.75f, "rpm"},
    {0x0D, "speed", 8, 1.0f, 0.0f, 0.0f, 255.0f, "km/h"},
    {0x0E, "timing_advance", 8, 0.5f, -64.0f, -64.0f, 63.5f, "deg"},
    {0x0F, "intake_temp", 8, 1.0f, -40.0f, -40.0f, 215.0f, "degC"},
    {0x10, "mass_air_flow_rate", 16, 0.01f, 0.0f, 0.0f, 655.35f, "g/s"},
    {0x11, "throttle_pos", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x22, "fuel_rail_press", 16, 0.079f, 0.0f, 0.0f, 5177.0f, "kPa"},
    {0x2F, "fuel_level", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x33, "throttle_pos_b", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x42, "ctrl_module_volt", 16, 0.001f, 0.0f, 0.0f, 65.535f, "V"},
    {0x46, "ambient_temp", 8, 1.0f, -40.0f, -40.0f, 215.0f, "degC"},
    {0x14, "oxygen_sensor1", 8, 0.005f, 0.0f, 0.0f, 1.275f, "V"},
    {0x15, "oxygen_sensor2", 8, 0.005f, 0.0f, 0.0f, 1.275f, "V"},
    {0x16, "oxygen_sensor3", 8, 0.005f, 0.0f, 0.0f, 1.275f, "V"},
    {0x17, "oxygen_sensor4", 8, 0.005f, 0.0f, 0.0f, 1.275f, "V"},
    {0x18, "oxygen_sensor5", 8, 0.005f, 0.0f, 0.0f, 1.275f, "V"},
    {0x19, "oxygen_sensor6", 8, 0.005f, 0.0f, 0.0f, 1.275f, "V"},
    {0x1A, "oxygen_sensor7", 8, 0.005f, 0.0f, 0.0f, 1.275f, "V"},
    {0x1B, "oxygen_sensor8", 8, 0.005f, 0.0f, 0.0f, 1.275f, "V"},
    {0x23, "fuel_rail_pressure_diesel", 16, 10.0f, 0.0f, 0.0f, 655350.0f, "kPa"},
    {0x2C, "commanded_egr", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x2D, "egr_error", 8, 0.78125f, -100.0f, -100.0f, 99.2f, "%"},
    {0x2E, "evap_purge", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x30, "warmups_since_clear", 8, 1.0f, 0.0f, 0.0f, 255.0f, "count"},
    {0x31, "distance_since_clear", 16, 1.0f, 0.0f, 0.0f, 65535.0f, "km"},
    {0x3C, "catalyst_temp_b1s1", 16, 0.1f, -40.0f, -40.0f, 6513.5f, "degC"},
    {0x3D, "catalyst_temp_b2s1", 16, 0.1f, -40.0f, -40.0f, 6513.5f, "degC"},
    {0x3E, "catalyst_temp_b1s2", 16, 0.1f, -40.0f, -40.0f, 6513.5f, "degC"},
    {0x3F, "catalyst_temp_b2s2", 16, 0.1f, -40.0f, -40.0f, 6513.5f, "degC"},
    {0x44, "lambda_equiv_ratio", 16, 1.0f / 32768.0f, 0.0f, 0.0f, 2.0f, "ratio"},
    {0x45, "relative_throttle", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x47, "abs_throttle_pos_b", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x48, "abs_throttle_pos_c", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x49, "abs_throttle_pos_d", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x4A, "abs_throttle_pos_e", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x4B, "abs_throttle_pos_f", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x4C, "commanded_throttle", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x4D, "time_with_mil_on", 16, 1.0f, 0.0f, 0.0f, 65535.0f, "min"},
    {0x4E, "time_since_codes_cleared", 16, 1.0f, 0.0f, 0.0f, 65535.0f, "min"},
    {0x06, "stft_bank1", 8, 0.78125f, -100.0f, -100.0f, 99.2f, "%"},
    {0x07, "ltft_bank1", 8, 0.78125f, -100.0f, -100.0f, 99.2f, "%"},
    {0x08, "stft_bank2", 8, 0.78125f, -100.0f, -100.0f, 99.2f, "%"},
    {0x09, "ltft_bank2", 8, 0.78125f, -100.0f, -100.0f, 99.2f, "%"},
    {0x21, "distance_with_mil", 16, 1.0f, 0.0f, 0.0f, 65535.0f, "km"},
    {0x32, "evap_pressure", 16, 0.25f, -32767.75f, -32767.75f, 32767.25f, "Pa"},
    {0x43, "absolute_load", 16, 100.0f / 255.0f, 0.0f, 0.0f, 25700.0f, "%"},
    {0x5C, "engine_oil_temp", 8, 1.0f, -40.0f, -40.0f, 215.0f, "degC"},
    {0x5D, "fuel_inject_timing", 16, 0.703125f, -210.0f, -210.0f, 302.4f, "deg"},
    {0x5E, "engine_fuel_rate", 16, 0.05f, 0.0f, 0.0f, 3212.75f, "L/h"},
    {0x61, "driver_demand_torque", 8, 1.0f, -125.0f, -125.0f, 125.0f, "%"},
    {0x62, "actual_engine_torque", 8, 1.0f, -125.0f, -125.0f, 125.0f, "%"},
    {0x63, "reference_engine_torque", 16, 1.0f, 0.0f, 0.0f, 65535.0f, "Nm"},
};

constexpr size_t num_pids = PID_CATALOGUE_SIZE;

// The sensor names of the configuration file, the live-data members and the
// availability keys of the ECU information file; index i belongs to row i.
constexpr const char *short_keys[PID_CATALOGUE_SIZE] = {
    "ENGLD",   "COLTMP", "FULPRS", "INTPRS",   "ENGRPM",  "SPD",     "TMADV",   "INTTMP", "MSFLRT", "THRTPS",
    "FULRPRS", "FLLVL",  "THRPSB", "CNTMDVOL", "AMBTMP",  "O2S1",    "O2S2",    "O2S3",   "O2S4",   "O2S5",
    "O2S6",    "O2S7",   "O2S8",   "FRLDSL",   "CMDEGR",  "EGRE",    "EVAPPRG", "WRMUPC", "DISCLR", "CTB1S1",
    "CTB2S1",  "CTB1S2", "CTB2S2", "LMBRAT",   "RELTHR",  "THRPSB2", "THRPSC",  "THRPSD", "THRPSE", "THRPSF",
    "CMDTHR",  "TMIL",   "TCLR",   "STFT1",    "LTFT1",   "STFT2",   "LTFT2",   "DISMIL", "EVPPRS", "ABSLOD",
    "OILTEMP", "INJTIM", "FULRAT", "DDTORQ",   "ACTTORQ", "REFTORQ",
};

namespace
{

constexpr bool catalogue_is_consistent()
{
    for (size_t i = 0; i < PID_CATALOGUE_SIZE; ++i) {
        // PID 0 is the "not found" answer of the name lookup.
        if (pids[i].pid == 0 || (pids[i].bits != 8 && pids[i].bits != 16)) {
            return false;
        }
        std::string_view key = short_keys[i];
        if (key.empty() || key.size() > 8) {
            return false;
        }
        for (char c : key) {
            if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) {
                return false;
            }
        }
        for (size_t j = i + 1; j < PID_CATALOGUE_SIZE; ++j) {
            if (pids[i].pid == pids[j].pid || key == std::string_view(short_keys[j])) {
                return false;
            }
        }
    }
    return true;
}
static_assert(catalogue_is_consistent(), "PIDs and short keys must be unique, non-zero and well formed");

const PidInfo *find_row(int pid)
{
    for (const PidInfo &row : pids) {
        if (row.pid == pid) {
            return &row;
        }
    }
    return nullptr;
}

} // namespace

float calculate_physical_value(int pid, const uint8_t *answer, size_t length)
{
    // Single-frame layout: [0] length byte, [1] 0x41, [2] PID, [3] A, [4] B.
    if (answer == nullptr || length <= 3) {
        return 0.0f;
    }
    const PidInfo *row = find_row(pid & 0xFF);
    if (row == nullptr) {
        return 0.0f;
    }
    unsigned raw = 0;
    if (row->bits == 8) {
        raw = answer[3];
    } else if (row->bits == 16) {
        if (length < 5) {
            return 0.0f;
        }
        raw = answer[3] * 256u + answer[4];
    } else {
        return 0.0f;
    }
    // Two separately rounded single-precision steps (the build forbids
    // contraction into a fused multiply-add), so values match bit for bit on
    // every target.
    float value = static_cast<float>(raw);
    value = value * row->scale;
    value = value + row->offset;
    if (value < row->min) {
        value = row->min;
    }
    if (value > row->max) {
        value = row->max;
    }
    return value;
}

int get_pid_from_name(const char *name)
{
    if (name == nullptr) {
        return 0;
    }
    for (size_t i = 0; i < PID_CATALOGUE_SIZE; ++i) {
        if (std::strcmp(name, short_keys[i]) == 0) {
            return pids[i].pid;
        }
    }
    return 0;
}

const char *get_pid_short_key(int pid)
{
    for (size_t i = 0; i < PID_CATALOGUE_SIZE; ++i) {
        if (pids[i].pid == pid) {
            return short_keys[i];
        }
    }
    return "UNKNOWN";
}
