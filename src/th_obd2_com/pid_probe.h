// Probe of which catalogue PIDs the vehicle answers.
#pragma once

#include <cstdint>

constexpr int PID_AVAILABILITY_SIZE = 87;
constexpr int PID_PROBE_COUNT = 56;

extern int g_pid_availability[PID_AVAILABILITY_SIZE];
extern const uint8_t g_probe_pid_list[PID_PROBE_COUNT];

int get_supported_pid_list(int mode);
