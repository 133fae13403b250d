// Configuration file: CAN settings, chosen live sensors, chosen trouble-code groups.
#pragma once

#include <algorithm>
#include <array>

constexpr int CFG_MAX_LIVE_SENSORS = 87;
constexpr int CFG_MAX_DTC_GROUPS = 3;
constexpr int CFG_NAME_LEN = 64;

constexpr const char *CONFIG_FILE_PATH = "/opt/vyr/configs/config.json";
constexpr const char *DEFAULT_CONFIG_FILE_PATH = "/opt/vyr/configs/default_config/default_config.json";

// The CAN bit rates (bit/s) the interface is brought up with; any other rate is
// refused like a missing one and never reaches `ip link`.
constexpr std::array<int, 9> CAN_STANDARD_BITRATES = {10'000,  20'000,  50'000,  100'000,  125'000,
                                                      250'000, 500'000, 800'000, 1'000'000};
constexpr bool is_standard_can_bitrate(int bitrate)
{
    return std::find(CAN_STANDARD_BITRATES.begin(), CAN_STANDARD_BITRATES.end(), bitrate) !=
           CAN_STANDARD_BITRATES.end();
}

// A file larger than this is no configuration: it is not read.
constexpr long CONFIG_FILE_MAX_LEN = 1L << 20;

// Pause before an unusable configuration is tried again.
constexpr long CONFIG_RETRY_PAUSE_US = 1'000'000;
// A file that cannot be used is read again after this pause, and judged
// unusable only when it gives the same bytes: the UI may be writing it.
constexpr long CONFIG_SECOND_READ_PAUSE_US = 200'000;

extern int g_can_padding;
extern int g_can_bitrate;
extern char g_live_sensor_names[CFG_MAX_LIVE_SENSORS][CFG_NAME_LEN];
extern int g_live_sensor_count;
extern char g_dtc_names[CFG_MAX_DTC_GROUPS][CFG_NAME_LEN];
extern int g_dtc_count;

int parse_config_json(const char *path);
// What parse_config_json does with the text once read: 1 when it is JSON (and
// the values are taken), 0 otherwise.
int apply_config_text(const char *text);

// One run of the worker's configuration step: read (restoring the factory copy
// when unreadable), check, and bring up can0. Returns 1 when the interface is
// up, 0 when the configuration is unusable (after the retry pause).
int obd2_config_step();

// Paths in use (the constants above unless a test changed them).
const char *config_file_path();
const char *default_config_file_path();
// Test-only: point the two files elsewhere; null restores the constants.
void config_test_set_paths(const char *config_path, const char *default_path);
