#include "common/gw_time.h"

#include <atomic>
#include <ctime>
#include <cerrno>

namespace
{
std::atomic<int> g_sleep_divisor{1};
}

void gw_test_set_sleep_divisor(int divisor)
{
    g_sleep_divisor.store(divisor > 0 ? divisor : 1);
}

int64_t gw_real_pause_us(int64_t us)
{
    return us > 0 ? us / g_sleep_divisor.load() : 0;
}

void gw_sleep_us(int64_t us)
{
    if (us <= 0) {
        return;
    }
    us = gw_real_pause_us(us);
    timespec ts{static_cast<time_t>(us / 1000000), static_cast<long>((us % 1000000) * 1000)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int64_t gw_monotonic_us()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}
