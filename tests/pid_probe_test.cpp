// The supported-PID probe against the in-process vehicle.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "scripted_answers.h"
#include "common/gw_time.h"
#include "support/test_clock.h"
#include "support/capture.h"
#include "support/worker_env.h"
#include "th_obd2_com/obd2_config.h"
#include "th_obd2_com/pid_probe.h"
#include "vehicle_sim.h"

namespace
{

// The flags expected when exactly these PIDs count as answered.
std::vector<int> flags_for(std::initializer_list<uint8_t> available)
{
    std::vector<int> f;
    for (uint8_t pid : g_probe_pid_list) {
        f.push_back(std::find(available.begin(), available.end(), pid) != available.end() ? 1 : 0);
    }
    return f;
}

std::vector<int> probed_flags()
{
    return std::vector<int>(g_pid_availability, g_pid_availability + PID_PROBE_COUNT);
}

std::string flag_line(const std::vector<int> &f)
{
    std::string s = "[";
    for (size_t i = 0; i < f.size(); ++i) {
        s += std::to_string(f[i]) + (i + 1 < f.size() ? "," : "");
    }
    return s + "]";
}

// An ECU answering `supported`, refusing at once every other probed PID but
// those in `silent`, which it leaves unanswered (each costs a full wait).
vsim::EcuModel ecu_with(std::initializer_list<uint8_t> supported, std::initializer_list<uint8_t> silent = {},
                        vsim::EcuModel ecu = {})
{
    for (uint8_t pid : g_probe_pid_list) {
        if (std::find(silent.begin(), silent.end(), pid) == silent.end()) {
            ecu.negative[static_cast<uint16_t>(0x0100 | pid)] = 0x12;
        }
    }
    for (uint8_t pid : supported) {
        ecu.negative.erase(static_cast<uint16_t>(0x0100 | pid));
        ecu.pids[pid] = {0x12, 0x34};
    }
    return ecu;
}

class PidProbe : public testing::Test
{
  protected:
    FakeClock clock_;
    PublishRecorder published_;
    void SetUp() override
    {
        g_can_padding = 0xAA;
        std::fill(std::begin(g_pid_availability), std::end(g_pid_availability), 1);
    }
};

TEST_F(PidProbe, MarksExactlyTheAnsweredPidsAndReportsGotpid)
{
    vsim::InProcessBus bus(vehicle_of({ecu_with({0x04, 0x0C, 0x0D, 0x33, 0x06, 0x63})}));
    bus.attach();
    TraceCapture trace;
    EXPECT_EQ(get_supported_pid_list(1), 1);
    EXPECT_EQ(probed_flags(), flags_for({0x04, 0x0C, 0x0D, 0x33, 0x06, 0x63}));
    for (int i = PID_PROBE_COUNT; i < PID_AVAILABILITY_SIZE; ++i) {
        EXPECT_EQ(g_pid_availability[i], 0) << i;
    }
    EXPECT_EQ(trace.count_line("Checking supported PIDs one by one..."), 1);
    EXPECT_EQ(trace.count_line("PID 0x0C \u2192 AVAILABLE "), 1);
    EXPECT_EQ(trace.count_line("PID 0x05 \u2192 NOT AVAILABLE "), 1);
    EXPECT_EQ(trace.count_line(flag_line(flags_for({0x04, 0x0C, 0x0D, 0x33, 0x06, 0x63}))), 1);
    EXPECT_EQ(trace.count_line("returning l_status : 1"), 1);
    // Published on the status topic (index 0), the only one the recorder takes.
    EXPECT_EQ(published_.packets(),
              std::vector<std::string>{R"J({"TYP":1,"CMD":0,"ERROR":0,"DATA":{"msg":"GOTPID"}})J"});
}

TEST_F(PidProbe, LateAnswerDoesNotMarkTheNextPid)
{
    // 0x04 answers 150 ms late, during the wait for 0x05, which does not answer.
    vsim::InProcessBus bus(vehicle_of({ecu_with({0x04, 0x0A, 0x0B}, {0x05})}));
    bus.attach();
    bus.vehicle().inject_late_answer(std::chrono::milliseconds(150));
    EXPECT_EQ(get_supported_pid_list(1), 1);
    EXPECT_EQ(probed_flags(), flags_for({0x0A, 0x0B}));
}

TEST_F(PidProbe, SecondEcuAnsweringDoesNotShiftTheFlags)
{
    // Only the first answer to each functional request is read; the slower
    // ECU's answer arrives during the next exchange and must neither be taken
    // for the next PID nor hide it.
    vsim::EcuModel second = vsim::make_ecu11(1); // answers only the PIDs it supports
    for (uint8_t pid : {0x04, 0x0C, 0x0D}) {
        second.pids[pid] = {0x56, 0x78};
    }
    second.latency = std::chrono::milliseconds(2);
    vsim::InProcessBus bus(vehicle_of({ecu_with({0x04, 0x05, 0x0C, 0x0D}), second}));
    bus.attach();
    EXPECT_EQ(get_supported_pid_list(1), 1);
    EXPECT_EQ(probed_flags(), flags_for({0x04, 0x05, 0x0C, 0x0D}));
}

TEST_F(PidProbe, OnlyAnswersEchoingThePidCount)
{
    vsim::EcuModel silent;
    silent.silent = true;
    vsim::InProcessBus bus(vehicle_of({silent}));
    bus.attach();
    ScriptedAnswers script(bus);
    for (uint8_t pid : g_probe_pid_list) {
        script.set(0x01, pid, {0x03, 0x7F, 0x01, 0x12}); // refused at once, no time-outs
    }
    script.set(0x01, 0x04, {0x03, 0x41, 0x04, 0x10, 0xAA, 0xAA, 0xAA, 0xAA}); // counts
    script.set(0x01, 0x05, {0x03, 0x41, 0x0D, 0x10, 0xAA, 0xAA, 0xAA, 0xAA}); // another PID
    script.set(0x01, 0x06, {0x03, 0x7F, 0x01, 0x22, 0xAA, 0xAA, 0xAA, 0xAA}); // refused, other NRC
    script.set(0x01, 0x0A, {0x03, 0x49, 0x0A, 0x10, 0xAA, 0xAA, 0xAA, 0xAA}); // another service
    script.set(0x01, 0x0B, {0x02, 0x41});                                     // truncated
    script.set(0x01, 0x0C, {0x04, 0x41, 0x0C, 0x1A, 0xF8, 0xAA, 0xAA, 0xAA}); // counts
    script.set(0x01, 0x0D, {});                                               // empty
    EXPECT_EQ(get_supported_pid_list(1), 1);
    EXPECT_EQ(probed_flags(), flags_for({0x04, 0x0C}));
}

TEST_F(PidProbe, SilentVehicleGivesAllZerosInAboutFiveAndAHalfSeconds)
{
    vsim::EcuModel silent;
    silent.silent = true;
    vsim::InProcessBus bus(vehicle_of({silent}));
    bus.attach();
    TraceCapture trace;
    const int64_t start = gw_monotonic_us();
    EXPECT_EQ(get_supported_pid_list(1), 1);
    const int64_t elapsed = gw_monotonic_us() - start;
    EXPECT_EQ(probed_flags(), flags_for({}));
    EXPECT_EQ(trace.count_line(flag_line(flags_for({}))), 1);
    EXPECT_EQ(trace.count_containing("\u2192 NOT AVAILABLE"), PID_PROBE_COUNT);
    EXPECT_EQ(elapsed, PID_PROBE_COUNT * OBD2_SHORT_WAIT_US);
    EXPECT_EQ(published_.packets().size(), 1u);
}

TEST_F(PidProbe, BrokerUnreachableStillFillsTheFlags)
{
    published_.set_accept(false);
    vsim::InProcessBus bus(vehicle_of({ecu_with({0x05, 0x46})}));
    bus.attach();
    TraceCapture trace;
    EXPECT_EQ(get_supported_pid_list(1), 0);
    EXPECT_EQ(probed_flags(), flags_for({0x05, 0x46}));
    EXPECT_EQ(trace.count_line("OBD2_ERROR : Error while publishing PID STATUS packet"), 1);
}

TEST_F(PidProbe, ProbesOver29BitIdentifiers)
{
    vsim::InProcessBus bus(vehicle_of({ecu_with({0x0C, 0x0D}, {}, vsim::make_ecu29())}));
    bus.attach();
    EXPECT_EQ(get_supported_pid_list(2), 1);
    EXPECT_EQ(probed_flags(), flags_for({0x0C, 0x0D}));
    // Requests go out on the 29-bit channel only, padded with the configured byte.
    const std::vector<can_frame> sent = bus.received(1);
    ASSERT_EQ(sent.size(), static_cast<size_t>(PID_PROBE_COUNT));
    EXPECT_EQ(sent[0].can_id, 0x18DB33F1u | CAN_EFF_FLAG);
    const uint8_t first[8] = {0x02, 0x01, 0x04, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_EQ(std::memcmp(sent[0].data, first, 8), 0);
    EXPECT_TRUE(bus.received(0).empty());
}

} // namespace
