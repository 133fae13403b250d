// The catalogue of service 01 PIDs the gateway knows, and answer scaling.
#pragma once

#include <cstddef>
#include <cstdint>

struct PidInfo {
    uint8_t pid;
    const char *name;
    uint8_t bits;
    float scale;
    float offset;
    float min;
    float max;
    const char *unit;
};

constexpr size_t PID_CATALOGUE_SIZE = 56;

extern const PidInfo pids[PID_CATALOGUE_SIZE];
extern const size_t num_pids;
extern const char *const short_keys[PID_CATALOGUE_SIZE];

float calculate_physical_value(int pid, const uint8_t *answer, size_t length);
int get_pid_from_name(const char *name);
const char *get_pid_short_key(int pid);
