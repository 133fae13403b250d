// The figures the UI's documentation promises, written here as the document
// gives them (not through the daemon's constants), each measured on the
// in-process vehicle with the fake clock: a changed constant fails here until
// the document changes with it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

#include "common/gw_time.h"
#include "support/capture.h"
#include "support/test_clock.h"
#include "support/worker_env.h"
#include "th_obd2_com/can_link.h"
#include "th_obd2_com/obd2_config.h"
#include "th_obd2_com/obd2_state.h"
#include "vehicle_sim.h"

using namespace std::chrono_literals;

namespace
{

// How long one request waits on a vehicle that does not answer it, in µs.
long silent_wait_us(int kind, vsim::EcuModel ecu = {}, bool with_ecu = false)
{
    FakeClock clock;
    vsim::VehicleModel vehicle;
    if (with_ecu) {
        vehicle.ecus.push_back(ecu);
    }
    vsim::InProcessBus bus(vehicle);
    bus.attach();
    uint8_t req[8], buf[OBD2_RESP_BUF_SIZE];
    size_t len = 0;
    prepare_request(req, 2, 0x01, 0x0C);
    const int64_t t0 = gw_monotonic_us();
    send_obd2_request(1, req, sizeof req, buf, &len, kind);
    return static_cast<long>(gw_monotonic_us() - t0);
}

// The most "response pending" answers after which the real answer is still taken.
long pending_answers_taken()
{
    long most = 0;
    for (int n = 1; n <= 8; ++n) {
        FakeClock clock;
        vsim::EcuModel ecu = vsim::make_ecu11(0);
        ecu.pids = {{0x0C, {0x1A, 0xF8}}};
        ecu.pending[0x01] = {n, 10ms};
        vsim::InProcessBus bus(vsim::VehicleModel{{ecu}});
        bus.attach();
        uint8_t req[8], buf[OBD2_RESP_BUF_SIZE];
        size_t len = 0;
        prepare_request(req, 2, 0x01, 0x0C);
        most = send_obd2_request(1, req, sizeof req, buf, &len, OBD2_REQ_LIVE) == Obd2Outcome::Answered
                   ? n
                   : most;
    }
    return most;
}

long clear_reported_after_us()
{
    WorkerEnv env(WorkerEnv::sample_vehicle());
    if (!env.start_until("SAVSUC", 1, 30s)) {
        return -1;
    }
    TraceCapture cap;
    command_for_can(R"({"TYP":1,"CMD":4})");
    if (!wait_until([&] { return cap.count_line("OBD2: DTCs cleared successfully.") == 1; }, 30s)) {
        return -1;
    }
    const int64_t answered = gw_monotonic_us();
    const bool reported = env.published().wait_for_token("DTC_CLEARED", 1, 10s);
    const int64_t delay = gw_monotonic_us() - answered;
    env.stop_worker();
    return reported ? static_cast<long>(delay) : -1;
}

// Commands handed over while the worker is held inside a publication: how many
// wait for it (the rest are refused).
long commands_waiting()
{
    WorkerEnv env(WorkerEnv::sample_vehicle());
    if (!env.start_until("SAVSUC", 1, 30s)) {
        return -1;
    }
    TraceCapture cap;
    std::atomic<bool> burst{false};
    env.published().set_on_publish([&](const std::string &text) {
        if (packet_token(text) == "<1,1>" && !burst.exchange(true)) {
            for (int i = 0; i < 40; ++i) {
                command_for_can(R"({"TYP":1,"CMD":7})");
            }
        }
    });
    command_for_can(R"({"TYP":1,"CMD":1})");
    wait_until([&] { return burst && get_obd2_thrd_state() == OBD2_STATE_IDLE; }, 20s);
    gw_sleep_us(2'000'000);
    env.stop_worker();
    return cap.count_line("[DEBUG] TYP=1, CMD=7");
}

// NORES published for one trouble-code read of a vehicle gone silent.
long attempts_of_a_failing_read()
{
    WorkerEnv env(WorkerEnv::sample_vehicle());
    if (!env.start_until("SAVSUC", 1, 30s)) {
        return -1;
    }
    env.bus().vehicle().set_silent(true);
    env.published().clear();
    command_for_can(R"({"TYP":1,"CMD":1})");
    // A fifth attempt would come within 31 s of the fourth (three groups of 10 s, 1 s apart).
    env.published().wait_for_token("NORES", 4, 300s);
    gw_sleep_us(40'000'000);
    env.stop_worker();
    return env.published().count_token("NORES");
}

long live_sensors_kept()
{
    std::string many = R"({"live_page":{"sensors":[)";
    for (int i = 0; i < 100; ++i) {
        many += (i ? "," : "") + std::string(R"({"name":"S)") + std::to_string(i) + R"(","show":1})";
    }
    many += "]}}";
    char path[] = "/tmp/figures-config-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0 || write(fd, many.data(), many.size()) != static_cast<ssize_t>(many.size())) {
        return -1;
    }
    close(fd);
    const int parsed = parse_config_json(path);
    unlink(path);
    return parsed == 1 ? g_live_sensor_count : -1;
}

} // namespace

TEST(DocumentedFigures, AsTheProtocolDocumentGivesThem)
{
    vsim::EcuModel stays_busy = vsim::make_ecu11(0);
    stays_busy.negative[0x010C] = 0x78;
    struct Row {
        const char *figure; // as docs/protocol.md says it
        long documented;
        std::function<long()> measure;
        long tolerance = 0;
    };
    const Row rows[] = {
        {"up to 32 commands wait while the gateway is busy", 32, commands_waiting},
        {"a failing command is tried up to four times", 4, attempts_of_a_failing_read},
        {"0.1 s for live data", 100'000, [] { return silent_wait_us(OBD2_REQ_LIVE); }},
        {"0.1 s for the sensor probe", 100'000, [] { return silent_wait_us(OBD2_REQ_PID_PROBE); }},
        {"10 s for the first answer to a trouble-code read", 10'000'000,
         [] { return silent_wait_us(OBD2_REQ_DTC); }},
        {"10 s for a clear", 10'000'000, [] { return silent_wait_us(OBD2_REQ_CLEAR_DTC); }},
        {"10 s for the vehicle identification", 10'000'000,
         [] { return silent_wait_us(OBD2_REQ_VEHICLE_INFO); }},
        {"up to 5 s after a \"response pending\"", 5'000'000,
         [&] { return silent_wait_us(OBD2_REQ_LIVE, stays_busy, true); }},
        {"\"response pending\" at most six times", 6, pending_answers_taken},
        {"DTC_CLEARED about 4 s after every ECU confirmed", 4'000'000, clear_reported_after_us, 5'000},
        {"at most 87 live sensors kept", 87, live_sensors_kept},
    };
    for (const Row &r : rows) {
        const long measured = r.measure();
        EXPECT_LE(std::labs(measured - r.documented), r.tolerance)
            << r.figure << ": measured " << measured << ", documented " << r.documented;
    }
}
