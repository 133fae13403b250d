// Time helpers shared by the workers: every pause of the daemon goes through
// gw_sleep_us so that tests can run long scenarios on a compressed clock.
#pragma once

#include <cstdint>

// Sleeps for `us` microseconds of scenario time. The daemon runs real time;
// tests may divide every pause by a factor (gw_test_set_sleep_divisor).
void gw_sleep_us(int64_t us);

// Real microseconds that a pause of `us` scenario microseconds lasts, for
// pauses that wait on a condition instead of sleeping.
int64_t gw_real_pause_us(int64_t us);

// Monotonic microseconds, for measuring waits.
int64_t gw_monotonic_us();

// Test-only: divide every pause by `divisor` (1 = real time). The product never calls it.
void gw_test_set_sleep_divisor(int divisor);
