// Command round trips over a real broker: the UI publishes a trouble-code
// read and waits for its packet, N times (default 1000), against the bus and
// OBD workers of this process and the in-process vehicle (answers in
// microseconds), so what is left is the broker hops and the daemon. Prints
// the mean per trip and, measured in the same run, the bare publish ->
// subscribe hop twice. Needs a private network namespace (bench/run.sh).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "common/gw_time.h"
#include "support/broker.h"
#include "support/bus_runner.h"
#include "support/ui_client.h"
#include "support/worker_env.h"
#include "th_mqtt/mqtt_link.h"
#include "th_mqtt/mqtt_msg.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace
{
constexpr double kTargetMs = 2.0;

double ms_since(Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

int fail(const char *why)
{
    std::fprintf(stderr, "command_round_trip: %s\n", why);
    return 1;
}
} // namespace

int main(int argc, char **argv)
{
    const int trips = argc > 1 ? std::atoi(argv[1]) : 1000;
    TestBroker broker;
    if (!broker.start()) {
        return fail("no broker");
    }
    // The workers' trace is not part of the output.
    std::FILE *out = fdopen(dup(fileno(stdout)), "w");
    if (out == nullptr || !freopen("/dev/null", "w", stdout)) {
        return fail("cannot redirect the trace");
    }
    // Start-up on a compressed clock; the trips run in real time.
    WorkerEnv env(WorkerEnv::sample_vehicle(), WorkerEnv::default_config(), 1); // real time
    mqtt_test_set_publish_hook(nullptr); // through the broker, not the recorder
    BusWorkerRunner bus;
    UiClient ui("bench_round_trip");
    if (!wait_for_link_state(MQTT_CONNECTED, 10000) || !ui.connect()) {
        return fail("the bus did not connect");
    }
    env.start_worker();
    if (!ui.wait_for_payload("\"SAVSUC\"", 30s)) {
        return fail("no identification");
    }

    const std::string dtc_packet =
        R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0123"],"PNDDTC":["P0123"],"PRMDTC":["U0100"]}})";
    const auto t0 = Clock::now();
    for (int i = 0; i < trips; ++i) {
        ui.clear();
        if (!ui.send_command(R"({"TYP":1,"CMD":1})") || !ui.wait_for_payload(dtc_packet, 10s)) {
            return fail("a trouble-code read was not answered");
        }
    }
    const double mean = ms_since(t0) / trips;

    // The same broker's bare hop: the UI's own publication on the topic it subscribes.
    std::vector<double> hops;
    for (int i = 0; i < 200; ++i) {
        ui.clear();
        const std::string marker = "hop " + std::to_string(i);
        const auto sent = Clock::now();
        if (!ui.publish("dt/app_to_ui/resp", marker) || !ui.wait_for_payload(marker, 5s)) {
            return fail("a bare hop was lost");
        }
        hops.push_back(ms_since(sent));
    }
    env.stop_worker();
    bus.stop();
    std::fprintf(out,
                 "command round trips over the broker, %d: mean %6.3f ms per trip (target < %.0f ms: %s); "
                 "bare hop twice: %.3f ms\n",
                 trips, mean, kTargetMs, mean < kTargetMs ? "holds" : "MISSED", 2 * median(hops));
    std::fflush(out);
    return 0;
}
