// CPU cost of the bus worker alone while no broker is reachable: runs the
// worker thread for N seconds (default 30) and prints the process CPU time as
// a share of one core. Run it where nothing listens on 127.0.0.1:1883
// (bench/idle_cpu_no_broker.sh runs it in a private network namespace).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <unistd.h>

#include "th_mqtt/mqtt_link.h"

namespace
{
double cpu_seconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}
} // namespace

int main(int argc, char **argv)
{
    const int seconds = argc > 1 ? atoi(argv[1]) : 30;
    // The worker's trace is not part of the measurement's output.
    if (!freopen("/dev/null", "w", stdout)) {
        return 1;
    }
    const double cpu0 = cpu_seconds();
    const auto t0 = std::chrono::steady_clock::now();
    std::thread bus(proto_intrnl_mqtt_main, nullptr);
    bus.detach();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = cpu_seconds() - cpu0;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const bool holds = cpu / wall < 0.001;
    fprintf(stderr,
            "bus worker, no broker: %.3f s CPU over %.1f s = %.3f%% of one core (target < 0.1%%: %s)\n", cpu,
            wall, 100.0 * cpu / wall, holds ? "holds" : "MISSED");
    fflush(stderr);
    _exit(holds ? 0 : 1);
}
