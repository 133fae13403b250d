// Live data: one snapshot of the configured sensors.
#pragma once

#include <cstddef>
#include <cstdint>

struct SupportedPid {
    uint8_t pid;
    char *short_key;
};

constexpr int LIVE_MAX_PIDS = 87;
constexpr size_t LIVE_JSON_BUF_SIZE = 4096;
constexpr long LIVE_SENSOR_PAUSE_US = 100'000;

extern SupportedPid supported_pids[LIVE_MAX_PIDS];
extern int g_supported_pid_count;
extern char json_output[LIVE_JSON_BUF_SIZE];

void get_live_info(int *count, char (*names)[64]);
int get_pid_list();
char *handle_live_mode(int mode);
