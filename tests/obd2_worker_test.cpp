// OBD worker scenarios: start-up, heartbeat, vehicle lost and back, command
// parsing and execution, against the in-process simulated vehicle.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdio_ext.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/atomic_file.h"
#include "common/gw_time.h"
#include "common/unique_fd.h"
#include "main/gateway.h"
#include "support/broker.h"
#include "support/bus_runner.h"
#include "support/capture.h"
#include "support/ui_client.h"
#include "support/worker_env.h"
#include "th_mqtt/mqtt_link.h"
#include "th_mqtt/mqtt_msg.h"
#include "th_obd2_com/can_link.h"
#include "th_obd2_com/obd2_config.h"
#include "th_obd2_com/obd2_state.h"
#include "th_obd2_com/obd2_worker.h"
#include "th_obd2_com/pid_probe.h"
#include "th_obd2_com/vehicle_info.h"
#include "scripted_answers.h"

using namespace std::chrono_literals;

namespace
{

// Service 01 requests for any PID but 00 (the probe and live data; not detection).
int count_pid_requests(const std::vector<can_frame> &frames)
{
    return static_cast<int>(std::count_if(frames.begin(), frames.end(), [](const can_frame &f) {
        return f.can_dlc >= 3 && f.data[0] == 0x02 && f.data[1] == 0x01 && f.data[2] != 0x00;
    }));
}

// Live data of the sample vehicle, and its trouble codes.
const std::string kLivePacket = "{\n  \"TYP\": 1,\n  \"CMD\": 2,\n  \"DATA\": {\n    \"ENGRPM\": 781.25,\n"
                                "    \"SPD\": 50.00,\n    \"COLTMP\": 50.00\n  }\n}";
const std::string kDtcPacket =
    R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0123"],"PNDDTC":["P0123"],"PRMDTC":["U0100"]}})";

} // namespace

TEST(Worker, StartupWithVehicleIdentifiesAndThenReportsEcuPresence)
{
    WorkerEnv env(WorkerEnv::sample_vehicle());
    ASSERT_TRUE(env.start_until("ECU", 2));
    env.stop_worker();

    // Start-up's four reports, then heartbeats only.
    auto tokens = env.published().tokens();
    ASSERT_GE(tokens.size(), 6u);
    std::vector<std::string> expected = {"MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC"};
    expected.resize(tokens.size(), "ECU");
    EXPECT_EQ(tokens, expected);

    const std::string info = env.read_ecu_info();
    for (const char *field : {"\"VID\":\t\"WVWZZZ1JZXW000001\"", "\"PROTO\":\t\"ISO15765-4 (11-bit)\"",
                              "\"BR\":\t500000", "\"ENGRPM\":\t1", "\"ENGLD\":\t1", "\"INTPRS\":\t0"}) {
        EXPECT_NE(info.find(field), std::string::npos) << field << " in " << info;
    }

    // The interface came up at the configured bit rate.
    auto cmds = env.shell_commands();
    ASSERT_EQ(cmds.size(), 3u);
    EXPECT_EQ(cmds[1], "sudo ip link set can0 up type can bitrate 500000");
    EXPECT_EQ(std::tuple(g_ecu_count, g_ecu_list[0].mode, g_ecu_list[0].response_id),
              std::tuple(1, 1, 0x7E8u));
}

TEST(Worker, DetectionRecordsEachAnsweringEcuWithItsOwnIdentifier)
{
    struct Case {
        const char *name;
        vsim::VehicleModel vehicle;
        std::vector<std::pair<uint32_t, int>> ecus; // answer identifier, mode
    };
    auto refusing = WorkerEnv::sample_vehicle();
    refusing.ecus[0].negative[0x0100] = 0x22;
    vsim::VehicleModel refusing29{{vsim::make_ecu29(0x10)}};
    refusing29.ecus[0].negative[0x0100] = 0x22;
    // The transmission answers before the engine.
    auto two = WorkerEnv::sample_vehicle();
    two.ecus[0].latency = 10ms;
    two.ecus.push_back(vsim::make_ecu11(1));
    const Case cases[] = {
        {"refusal on 11-bit", refusing, {{0x7E8, 1}}},
        {"refusal on 29-bit", refusing29, {{0x18DAF110, 2}}},
        {"engine and transmission", two, {{0x7E8, 1}, {0x7E9, 1}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        WorkerEnv env(c.vehicle);
        env.published().set_accept(false); // identification stops at its first report
        ASSERT_TRUE(env.start_until("GOTINFO", 1, 10s));
        env.stop_worker();
        std::vector<std::pair<uint32_t, int>> ids;
        for (int i = 0; i < g_ecu_count; ++i) {
            ids.emplace_back(g_ecu_list[i].response_id, g_ecu_list[i].mode);
        }
        EXPECT_EQ(ids, c.ecus);
    }
}

TEST(Worker, VehicleLostAndBackIsReidentifiedWithoutProbeAndDescribedAgain)
{
    WorkerEnv env(WorkerEnv::sample_vehicle());
    ASSERT_TRUE(env.start_until("ECU"));
    const std::string identified = env.read_ecu_info();

    env.bus().vehicle().set_silent(true);
    ASSERT_TRUE(env.published().wait_for_token("NOECU", 2, 20s));
    const std::string reset = env.read_ecu_info();
    EXPECT_NE(reset.find("\"PROTO\":\t\"UNKNOWN\""), std::string::npos);
    EXPECT_NE(reset.find("\"VID\":\t\"WVWZZZ1JZXW000001\""), std::string::npos); // reset keeps the texts

    env.published().clear();
    env.bus().clear_received();
    env.bus().vehicle().set_silent(false);
    ASSERT_TRUE(env.published().wait_for_token("SAVSUC", 1, 20s));
    ASSERT_TRUE(env.published().wait_for_token("ECU", 2, 20s));
    env.stop_worker();

    auto tokens = env.published().tokens();
    std::erase(tokens, "NOECU");
    std::vector<std::string> expected = {"ECU", "GOTECU", "MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC"};
    ASSERT_GE(tokens.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(tokens.begin(), tokens.begin() + 6), expected);
    EXPECT_EQ(count_pid_requests(env.bus().received(0)), 0); // the probe was skipped
    EXPECT_EQ(env.read_ecu_info(), identified);              // the file describes the vehicle again
}

TEST(Worker, RestartResetsTheFileSoTheFullScanRunsAgain)
{
    WorkerEnv env(WorkerEnv::sample_vehicle());
    for (int run = 0; run < 2; ++run) {
        // A new process starts with no vehicle information in memory.
        g_vehicle_info_count = 0;
        memset(g_vehicle_info, 0, sizeof g_vehicle_info);
        env.published().clear();
        env.bus().clear_received();
        ASSERT_TRUE(env.start_until("SAVSUC"));
        env.stop_worker();
        EXPECT_EQ(count_pid_requests(env.bus().received(0)), PID_PROBE_COUNT) << "run " << run;
        EXPECT_EQ(env.published().count_token("GOTPID"), 1);
    }
}

TEST(Worker, NoVehicleReportsNoEcuAboutOnceASecondAndKeepsTheResetFile)
{
    vsim::VehicleModel model = WorkerEnv::sample_vehicle();
    model.ecus[0].silent = true;
    WorkerEnv env(model);
    env.start_worker();
    const int64_t t0 = gw_monotonic_us();
    ASSERT_TRUE(env.published().wait_for_token("NOECU", 3, 10s));
    const int64_t elapsed = gw_monotonic_us() - t0;
    env.stop_worker();
    // Each round: two 100 ms detection waits and a 1 s pause.
    EXPECT_GE(elapsed, 2 * 1'200'000 + 200'000);
    EXPECT_LT(elapsed, 3 * 1'200'000);
    EXPECT_EQ(get_obd2_thrd_state(), OBD2_STATE_DETECT_MODE);
    const std::string info = env.read_ecu_info();
    EXPECT_NE(info.find("\"VID\":\t\"N/A\""), std::string::npos);
    EXPECT_NE(info.find("\"BR\":\t500000"), std::string::npos); // later resets carry the configured rate
}

TEST(Worker, CommandForAnAbsentVehicleTakesOneShortRequestAndAStopIsTakenAtOnce)
{
    // Three ECUs recorded, then the vehicle is switched off and reported
    // absent by the heartbeat, or by detection after command 10.
    for (const bool reload : {false, true}) {
        SCOPED_TRACE(reload ? "after command 10" : "heartbeat");
        vsim::VehicleModel model = WorkerEnv::sample_vehicle();
        model.ecus.push_back(vsim::make_ecu11(1));
        model.ecus.push_back(vsim::make_ecu11(2));
        WorkerEnv env(model);
        ASSERT_TRUE(env.start_until("SAVSUC"));
        env.bus().vehicle().set_silent(true);
        if (reload) {
            command_for_can(R"({"TYP":1,"CMD":10})");
        }
        ASSERT_TRUE(env.published().wait_for_token("NOECU", 1, 20s));
        TraceCapture cap;
        env.bus().clear_received();
        const int64_t sent = gw_monotonic_us();
        command_for_can(R"({"TYP":1,"CMD":1})");
        const bool answered = env.published().wait_for_token("NORES", 1, 5s);
        const int64_t answered_us = gw_monotonic_us() - sent;
        gw_sleep_us(1'000'000);
        const int64_t stop_sent = gw_monotonic_us();
        command_for_can(R"({"TYP":1,"CMD":3})");
        const bool stopped = wait_until([&] { return cap.count_line("[DEBUG] TYP=1, CMD=3") == 1; }, 5s);
        const int64_t stop_taken_us = gw_monotonic_us() - stop_sent;
        env.stop_worker();
        cap.stop();
        ASSERT_TRUE(answered && stopped);
        EXPECT_EQ(answered_us, OBD2_SHORT_WAIT_US); // one detection request, no trouble-code request
        EXPECT_LE(stop_taken_us, OBD2_SHORT_WAIT_US);
        // Detection requests only (01 00, then 22 F4 00), one per attempt: no trouble-code request waits for
        // anybody.
        for (const can_frame &f : env.bus().received(0)) {
            EXPECT_THAT(std::vector<uint8_t>(f.data, f.data + 3),
                        ::testing::AnyOf(std::vector<uint8_t>{0x02, 0x01, 0x00},
                                         std::vector<uint8_t>{0x03, 0x22, 0xF4}));
        }
        EXPECT_GE(cap.count_line("OBD2_ERROR : The vehicle does not answer."), 1);
    }
}

TEST(Worker, LostInterfaceIsBroughtUpAgainAndTheVehicleFoundAgain)
{
    WorkerEnv env(WorkerEnv::sample_vehicle());
    ASSERT_TRUE(env.start_until("SAVSUC"));
    TraceCapture cap;
    // The interface goes away under the worker's sockets (an adapter pulled,
    // a driver reloaded): every socket call fails until new sockets are opened.
    UniqueFd gone(::socket(AF_INET, SOCK_DGRAM, 0)); // sends without an address fail
    env.set_can_available(false);
    std::atomic<bool> pulled{false};
    env.published().set_on_publish([&](const std::string &text) {
        if (packet_token(text) == "ECU" && !pulled.exchange(true)) {
            can_cfg[0].sock = can_cfg[1].sock = gone.get(); // on the worker's thread, between exchanges
        }
    });
    ASSERT_TRUE(
        wait_until([&] { return cap.count_containing("OBD2_ERROR : CAN interface lost") == 1; }, 30s));
    ASSERT_TRUE(wait_until([&] { return env.shell_commands().size() == 6; }, 5s)) << "not brought up again";
    env.published().clear();
    env.set_can_available(true);
    ASSERT_TRUE(env.published().wait_for_token("SAVSUC", 1, 20s));
    env.stop_worker();
    EXPECT_EQ(env.published().tokens().front(), "MODEDETECTED");
}

TEST(Worker, NegativeAnswerToleranceStartsAgainAfterAPositiveAnswer)
{
    WorkerEnv env(WorkerEnv::sample_vehicle());
    ASSERT_TRUE(env.start_until("ECU"));
    TraceCapture cap;
    // Two separate runs of three negative answers, each followed by a positive one, are tolerated.
    for (int round = 0; round < 2; ++round) {
        const int ecu_before = env.published().count_token("ECU");
        env.bus().vehicle().set_negative(0, 0x0100, 0x22);
        ASSERT_TRUE(wait_until(
            [&] { return cap.count_line("OBD2 Negative Response: SID=0x01, NRC=0x22") >= 3 * (round + 1); },
            20s));
        env.bus().vehicle().set_negative(0, 0x0100, 0);
        ASSERT_TRUE(env.published().wait_for_token("ECU", ecu_before + 1, 20s));
    }
    EXPECT_EQ(env.published().count_token("NOECU"), 0);
    // Then a fourth negative answer in a row is no ECU.
    env.bus().vehicle().set_negative(0, 0x0100, 0x22);
    ASSERT_TRUE(env.published().wait_for_token("NOECU", 1, 20s));
    env.stop_worker();
    EXPECT_EQ(cap.count_line("OBD2 Negative Response: SID=0x01, NRC=0x22"), 2 * 3 + 4);
}

TEST(Worker, IdentificationThatCouldNotPublishWaitsForTheBusLink)
{
    WorkerEnv env(WorkerEnv::sample_vehicle());
    mqtt_change_state(MQTT_RECONNECT); // the broker is unreachable
    env.published().set_accept(false);
    ASSERT_TRUE(env.start_until("GOTINFO", 1, 10s));
    env.bus().clear_received();
    gw_sleep_us(10'000'000);
    // Not repeated against the vehicle while the link is down.
    EXPECT_EQ(env.published().count_token("GOTINFO"), 1);
    EXPECT_TRUE(env.bus().received(0).empty());
    EXPECT_EQ(get_obd2_thrd_state(), OBD2_STATE_IDENTIFY);

    // Publishing works again once the link is up, and identification completes.
    env.published().set_accept(true);
    mqtt_change_state(MQTT_CONNECTED);
    ASSERT_TRUE(env.published().wait_for_token("SAVSUC", 1, 20s));
    env.stop_worker();
}

TEST(Worker, ExceptionsFailTheOperationAndTheWorkerGoesOn)
{
    WorkerEnv env(WorkerEnv::sample_vehicle());
    unlink(env.config_path().c_str()); // the factory copy is to be restored
    TraceCapture cap;
    static std::string no_memory_under; // reads of files below this folder run out of memory
    no_memory_under = env.dir();
    gw_test_set_read_hook([](const char *path) {
        if (std::string(path).starts_with(no_memory_under)) {
            throw std::bad_alloc();
        }
    });
    env.start_worker();
    const bool not_judged = wait_until(
        [&] {
            return cap.count_line(
                       "OBD2 WARN: The configuration changed or could not be read again; it is read "
                       "on the next pass.") >= 2;
        },
        10s);
    gw_test_set_read_hook(nullptr);
    std::atomic<bool> thrown{false};
    env.published().set_on_publish([&](const std::string &text) {
        if (packet_token(text) == "MODEDETECTED" && !thrown.exchange(true)) {
            throw std::bad_alloc();
        }
    });
    const bool identified = env.published().wait_for_token("SAVSUC", 1, 20s);
    env.stop_worker();
    env.published().set_on_publish(nullptr);
    cap.stop();
    EXPECT_TRUE(not_judged);
    EXPECT_TRUE(identified);
    EXPECT_GE(cap.count_line("OBD2_ERROR : Failed to open file: " + env.ecu_info_path()), 1);
    EXPECT_EQ(cap.count_line("OBD2_ERROR : Pass of state 2 abandoned: std::bad_alloc"), 1);
}

TEST(Worker, ParseReceivedCommandScansTheText)
{
    struct Case {
        const char *text;
        int expected;
    } cases[] = {
        {R"({"TYP":1,"CMD":2})", 2},
        {R"({"TYP":1, "CMD" : :  4})", 4},
        {R"({"TYP":1,"CMD":  : 10})", 10},
        {R"({"TYP":1,"CMD":"2"})", -1},
        {R"({"TYP":1,"CMD"2})", -1},
        {R"({"TYP":1})", -1},
        {R"({"TYP":1,"DATA":{"CMD":5},"CMD":2})", 5},
        {R"({"TYP":1,"CMD":0})", 0},
        {R"({"TYP":1,"CMD":-7})", -7},
        {R"({"TYP":1,"cmd":2})", -1},
        // Outside the int range: no action, never the low 32 bits (4, 7).
        {R"({"TYP":1,"CMD":4294967300})", -1},
        {R"({"TYP":1,"CMD":21474836487})", -1},
        {R"({"TYP":1,"CMD":-4294967292})", -1},
        {R"({"TYP":1,"CMD":2147483647})", 2147483647},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        obd2_test_reset_handover(OBD2_STATE_IDLE);
        command_for_can(c.text);
        TraceCapture cap;
        const int cmd = parse_received_cmd();
        cap.stop();
        EXPECT_EQ(cmd, c.expected);
        EXPECT_EQ(cap.count_line("[DEBUG] TYP=1, CMD=" + std::to_string(c.expected)), 1);
    }
    // A shorter command after a longer one is parsed from its own text only.
    obd2_test_reset_handover(OBD2_STATE_IDLE);
    command_for_can(R"({"TYP":1,"XX":"aaaaaaaaaaaaaaaaaaaa","CMD":4})");
    parse_received_cmd();
    command_for_can(R"({"TYP":1})");
    EXPECT_EQ(parse_received_cmd(), -1);
}

TEST(Worker, CommandZeroRepeatsTheDetectionFailureUntilANewCommand)
{
    WorkerEnv env(WorkerEnv::sample_vehicle());
    ASSERT_TRUE(env.start_until("SAVSUC")); // an idle worker, start-up done
    env.stop_worker();
    TraceCapture cap;
    command_for_can(R"({"TYP":1,"CMD":0})");
    for (int i = 0; i < 3; ++i) {
        obd2_run_state_pass();
    }
    EXPECT_EQ(cap.count_line("OBD2_ERROR : CAN command detection failed."), 3);
    EXPECT_EQ(get_obd2_thrd_state(), OBD2_STATE_PARSE_CMD);
}

TEST(Worker, CommandsWithoutAVehicleReportComerAndEndWithoutRetry)
{
    WorkerEnv env(WorkerEnv::sample_vehicle());
    g_ecu_count = 0;
    // Reads report COMER; commands without an action end the same way instead of spinning.
    for (int cmd : {1, 2, 4, 13, 14, 3, 5, 6, 7, 8, 9, 11, 12, 99, -1, 10}) {
        SCOPED_TRACE(cmd);
        env.published().clear();
        obd2_test_reset_handover(OBD2_STATE_EXEC_CMD);
        EXPECT_EQ(handle_received_cmd(cmd), 1);
        EXPECT_EQ(get_obd2_thrd_state(), cmd == 10 ? OBD2_STATE_CONFIG : OBD2_STATE_IDLE);
        if (cmd == 1 || cmd == 2 || cmd == 4 || cmd == 13 || cmd == 14) {
            EXPECT_EQ(env.published().packets(),
                      std::vector<std::string>{R"({"TYP":1,"CMD":)" + std::to_string(cmd) +
                                               R"(,"ERROR":1,"DATA":{"msg":"COMER"}})"});
        }
    }
}

// A refused clear; readiness and the freeze frame of a vehicle gone silent.
TEST(Worker, FailingCommandRetriesThreeTimesThenIdles)
{
    for (int cmd : {4, 13, 14}) {
        SCOPED_TRACE(cmd);
        vsim::VehicleModel model = WorkerEnv::sample_vehicle();
        model.ecus[0].clear_nrc = 0x22;
        WorkerEnv env(model);
        ASSERT_TRUE(env.start_until("SAVSUC"));
        TraceCapture cap;
        env.published().clear();
        env.bus().vehicle().set_silent(cmd != 4);
        env.bus().clear_received();
        command_for_can((R"({"TYP":1,"CMD":)" + std::to_string(cmd) + "}").c_str());
        ASSERT_TRUE(
            wait_until([&] { return cap.count_line("OBD2_ERROR : NO COMMUNICATION WITH ECU.") == 1; }, 20s));
        gw_sleep_us(2'000'000);
        env.stop_worker();
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(cap.count_line("OBD2_ERROR : Error while handling received command--- Retrying [" +
                                     std::to_string(i) + "]"),
                      1);
        }
        EXPECT_EQ(env.published().count_token("NORES"), 4);
        EXPECT_EQ(get_obd2_thrd_state(), OBD2_STATE_IDLE);
        // The first attempt asks; each retry first checks with a detection request that anybody answers.
        const auto sent = env.bus().received(0);
        EXPECT_EQ(
            std::count_if(sent.begin(), sent.end(), [](const can_frame &f) { return f.data[2] != 0x00; }),
            cmd == 4 ? 4 : 1);
    }
}

TEST(Worker, LiveDataEndsOnlyAfterFourFailuresInARow)
{
    WorkerEnv env(WorkerEnv::sample_vehicle());
    ASSERT_TRUE(env.start_until("SAVSUC"));
    env.stop_worker();
    command_for_can(R"({"TYP":1,"CMD":2})");
    obd2_run_state_pass(); // parse
    TraceCapture cap;
    // Four single missed snapshots, each followed by a good one.
    for (int i = 0; i < 4; ++i) {
        env.bus().vehicle().set_silent(true);
        obd2_run_state_pass();
        env.bus().vehicle().set_silent(false);
        obd2_run_state_pass();
    }
    cap.stop();
    EXPECT_EQ(cap.count_line("OBD2_ERROR : Error while handling received command--- Retrying [0]"), 4);
    EXPECT_EQ(cap.count_line("OBD2_ERROR : NO COMMUNICATION WITH ECU."), 0);
    EXPECT_EQ(get_obd2_thrd_state(), OBD2_STATE_EXEC_CMD);
}

TEST(Worker, ReadResultsArePublishedUntilTheReadEndsAndTheWorkerIdles)
{
    struct Case {
        const char *command;
        const char *token;
        int results;     // published before `end` is sent
        const char *end; // the command ending the read, unless it ends by itself
        std::string packet;
    };
    const Case cases[] = {
        {R"({"TYP":1,"CMD":1})", "<1,1>", 1, nullptr, kDtcPacket},
        {R"({"TYP":1,"CMD":2})", "<1,2>", 3, R"({"TYP":1,"CMD":3})", kLivePacket},
        {R"({"TYP":1,"CMD":13})", "<1,13>", 1, nullptr,
         R"({"TYP":1,"CMD":13,"DATA":{"MIL":1,"DTCCNT":2,"IGN":"SPARK","MON":{"MISF":"COMPLETE","FUEL":"COMPLETE",)"
         R"("CCM":"COMPLETE","CAT":"INCOMPLETE","HCAT":"UNSUPPORTED","EVAP":"UNSUPPORTED","SAIR":"UNSUPPORTED",)"
         R"("ACRF":"UNSUPPORTED","O2S":"UNSUPPORTED","O2SH":"UNSUPPORTED","EGR":"UNSUPPORTED"}}})"},
        {R"({"TYP":1,"CMD":14})", "<1,14>", 1, nullptr,
         R"({"TYP":1,"CMD":14,"DATA":{"DTC":"P0123","VAL":{"COLTMP":50.00,"ENGRPM":781.25}}})"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command);
        WorkerEnv env(WorkerEnv::sample_vehicle());
        ASSERT_TRUE(env.start_until("SAVSUC"));
        command_for_can(c.command);
        ASSERT_TRUE(env.published().wait_for_token(c.token, c.results, 20s));
        if (c.end != nullptr) {
            command_for_can(c.end);
        }
        ASSERT_TRUE(wait_until([] { return get_obd2_thrd_state() == OBD2_STATE_IDLE; }, 5s));
        const int results = env.published().count_token(c.token);
        gw_sleep_us(3'000'000);
        env.stop_worker();
        EXPECT_EQ(env.published().count_token(c.token), results);
        auto pkts = env.published().packets();
        auto first = std::find_if(pkts.begin(), pkts.end(),
                                  [&](const std::string &p) { return packet_token(p) == c.token; });
        ASSERT_NE(first, pkts.end());
        EXPECT_EQ(*first, c.packet);
    }
}

TEST(Worker, DtcClearedIsReportedAboutFourSecondsAfterTheAnswer)
{
    vsim::VehicleModel model = WorkerEnv::sample_vehicle();
    model.ecus[0].clear_busy_count = 2;
    WorkerEnv env(model);
    ASSERT_TRUE(env.start_until("SAVSUC", 1, 30s));
    TraceCapture cap;
    command_for_can(R"({"TYP":1,"CMD":4})");
    // Each busy answer is followed by the wait for a final answer that never comes.
    ASSERT_TRUE(wait_until([&] { return cap.count_line("OBD2: DTCs cleared successfully.") == 1; }, 30s));
    const int64_t answered = gw_monotonic_us();
    ASSERT_TRUE(env.published().wait_for_token("DTC_CLEARED", 1, 10s));
    const int64_t delay = gw_monotonic_us() - answered;
    env.stop_worker();
    EXPECT_GE(delay, OBD2_DTC_CLEARED_DELAY_US - 5'000); // the trace line comes just after the answer
    EXPECT_LE(delay, OBD2_DTC_CLEARED_DELAY_US + 5'000);
    EXPECT_EQ(cap.count_line("OBD2: ECU busy clearing DTCs (NRC=0x78). Retrying..."), 2);
}

// Engine at 0x7E8 answering every catalogue PID but 0F, and a quicker
// transmission at 0x7E9 that answers every functional request too, differently.
vsim::VehicleModel engine_and_transmission(bool with_transmission)
{
    vsim::VehicleModel model = WorkerEnv::sample_vehicle();
    vsim::EcuModel &engine = model.ecus[0];
    engine.latency = 5ms;
    for (uint8_t pid : g_probe_pid_list) {
        engine.pids.emplace(pid, std::vector<uint8_t>{0x10, 0x20});
    }
    engine.pids.erase(0x0F);
    if (with_transmission) {
        vsim::EcuModel tcm = vsim::make_ecu11(1);
        tcm.pids = {{0x0C, {0x20, 0x00}}, {0x0D, {0x10}}, {0x05, {0x40}}, {0x0F, {0x30}}};
        tcm.stored_dtcs = {0x0700};
        tcm.pending_dtcs = {0x0700, 0x0123};
        tcm.vin = "TCMSIM00000000002";
        tcm.calid = "CAL-TCM";
        tcm.cvn = {0x01, 0x02, 0x03, 0x04};
        tcm.ecu_name = "TCM-Transmission";
        model.ecus.push_back(tcm);
    }
    return model;
}

// Runs start-up on this thread; `extra` ECUs detection did not record are
// added before identification. Returns the ECU information file it wrote.
std::string identify_on_this_thread(WorkerEnv &env, const std::vector<EcuEntry> &extra)
{
    g_vehicle_info_count = 0; // as a new process: nothing known yet
    memset(g_vehicle_info, 0, sizeof g_vehicle_info);
    obd2_worker_start();
    for (int i = 0; i < 20 && get_obd2_thrd_state() != OBD2_STATE_IDENTIFY; ++i) {
        obd2_run_state_pass();
    }
    // Detection takes the first answer; the others come within the ECU's latency.
    gw_sleep_us(20'000);
    for (const EcuEntry &e : extra) {
        if (std::none_of(g_ecu_list, g_ecu_list + g_ecu_count,
                         [&](const EcuEntry &r) { return r.response_id == e.response_id; })) {
            g_ecu_list[g_ecu_count++] = e;
        }
    }
    for (int i = 0; i < 5 && get_obd2_thrd_state() == OBD2_STATE_IDENTIFY; ++i) {
        obd2_run_state_pass();
    }
    return env.read_ecu_info();
}

TEST(Worker, TwoEcusIdentifyStreamAndHeartbeatWithTheEngineAloneAndReadAndClearBoth)
{
    std::string engine_alone;
    {
        WorkerEnv env(engine_and_transmission(false));
        engine_alone = identify_on_this_thread(env, {});
    }
    WorkerEnv env(engine_and_transmission(true));
    EXPECT_EQ(identify_on_this_thread(env, {{0x7E9, 1}}), engine_alone);
    ASSERT_EQ(get_obd2_thrd_state(), OBD2_STATE_IDLE);
    ASSERT_EQ(g_ecu_count, 2);

    // The transmission refuses the heartbeat probe before the engine answers it.
    env.bus().vehicle().set_negative(1, 0x0100, 0x22);
    env.published().clear();
    for (int i = 0; i <= OBD2_HEARTBEAT_IDLE_PASSES + 1; ++i) {
        obd2_run_state_pass();
    }
    EXPECT_EQ(env.published().tokens(), std::vector<std::string>{"ECU"});

    // Each command succeeds with one packet.
    const std::pair<int, std::string> steps[] = {
        {2, kLivePacket},
        {1,
         R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0123","P0700"],"PNDDTC":["P0123","P0700"],"PRMDTC":["U0100"]}})"},
        {4, R"({"TYP":1,"CMD":4,"ERROR":0,"DATA":{"msg":"DTC_CLEARED"}})"},
    };
    for (const auto &[cmd, packet] : steps) {
        gw_sleep_us(20'000); // commands are not back to back: late answers are in
        env.published().clear();
        env.bus().clear_received();
        obd2_test_reset_handover(OBD2_STATE_EXEC_CMD);
        EXPECT_EQ(handle_received_cmd(cmd), 1) << cmd;
        EXPECT_EQ(env.published().packets(), std::vector<std::string>{packet}) << cmd;
    }
    // One clear request reaches both ECUs, one outcome; a refusal by either ECU is no clear.
    EXPECT_EQ(env.bus().received(0).size(), 1u);
    env.bus().vehicle().set_clear_behaviour(1, 0, 0x22);
    gw_sleep_us(20'000);
    env.published().clear();
    EXPECT_EQ(handle_received_cmd(4), 0);
    EXPECT_EQ(env.published().tokens(), std::vector<std::string>{"NORES"});
    // A read no ECU answers (sends fail: no 10 s waits) is no vehicle without codes.
    can_cfg[0].sock = -1;
    env.published().clear();
    EXPECT_EQ(handle_received_cmd(1), 0);
    EXPECT_EQ(env.published().tokens(), std::vector<std::string>{"NORES"});
}

TEST(Worker, CommandTenReadsTheChangedConfiguration)
{
    WorkerEnv env(WorkerEnv::sample_vehicle());
    ASSERT_TRUE(env.start_until("SAVSUC"));
    env.write_config(
        R"({"can_port":{"padding":85,"BR":250000},"live_page":{"sensors":[{"name":"SPD","show":1}]}})");
    env.published().clear();
    command_for_can(R"({"TYP":1,"CMD":10})");
    ASSERT_TRUE(env.published().wait_for_token("MODEDETECTED", 1, 20s));
    ASSERT_TRUE(env.published().wait_for_token("SAVSUC", 1, 20s));
    command_for_can(R"({"TYP":1,"CMD":2})");
    ASSERT_TRUE(env.published().wait_for_token("<1,2>", 1, 20s));
    command_for_can(R"({"TYP":1,"CMD":3})");
    env.stop_worker();
    auto cmds = env.shell_commands();
    ASSERT_EQ(cmds.size(), 6u);
    EXPECT_EQ(cmds[4], "sudo ip link set can0 up type can bitrate 250000");
    EXPECT_EQ(g_can_padding, 85);
    auto pkts = env.published().packets();
    auto live = std::find_if(pkts.begin(), pkts.end(),
                             [](const std::string &p) { return packet_token(p) == "<1,2>"; });
    ASSERT_NE(live, pkts.end());
    EXPECT_EQ(*live, "{\n  \"TYP\": 1,\n  \"CMD\": 2,\n  \"DATA\": {\n    \"SPD\": 50.00\n  }\n}");
    // The new padding byte fills the requests.
    auto frames = env.bus().received(0);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().data[7], 0x55);
}

TEST(Worker, CommandDuringStartupResumesStartupAfterwards)
{
    // Command 0 has nothing to do either: it must not hold start-up up.
    for (const char *command : {R"({"TYP":1,"CMD":7})", R"({"TYP":1,"CMD":0})"}) {
        SCOPED_TRACE(command);
        vsim::VehicleModel model = WorkerEnv::sample_vehicle();
        model.ecus[0].silent = true;
        WorkerEnv env(model);
        ASSERT_TRUE(env.start_until("NOECU"));
        command_for_can(command);
        ASSERT_TRUE(wait_until([] { return get_obd2_thrd_state() == OBD2_STATE_DETECT_MODE; }, 5s));
        // Detection carries on: the vehicle appears and is identified.
        env.bus().vehicle().set_silent(false);
        ASSERT_TRUE(env.published().wait_for_token("SAVSUC", 1, 20s));
        ASSERT_TRUE(env.published().wait_for_token("ECU", 1, 20s));
        env.stop_worker();
    }
}

TEST(Worker, CommandsHandedOverWhileBusyAreCarriedOutInOrderAndNoneIsLostSilently)
{
    WorkerEnv env(WorkerEnv::sample_vehicle());
    ASSERT_TRUE(env.start_until("SAVSUC"));
    env.write_config(
        R"({"can_port":{"padding":170,"BR":250000},"live_page":{"sensors":[{"name":"SPD","show":1}]}})");
    env.published().clear();
    TraceCapture cap;
    {
        // During the trouble-code read: a reload, then live data.
        std::atomic<bool> sent{false};
        OnWrites during(env.bus(), 0, [&](size_t, const can_frame &f) {
            if (f.data[1] == 0x03 && !sent.exchange(true)) {
                command_for_can(R"({"TYP":1,"CMD":10})");
                command_for_can(R"({"TYP":1,"CMD":2})");
            }
        });
        command_for_can(R"({"TYP":1,"CMD":1})");
        ASSERT_TRUE(env.published().wait_for_token("<1,2>", 1, 20s));
    }
    command_for_can(R"({"TYP":1,"CMD":3})");
    ASSERT_TRUE(wait_until([] { return get_obd2_thrd_state() == OBD2_STATE_IDLE; }, 5s));

    // While the worker cannot take commands (inside a publication), a full
    // queue refuses the excess with a trace; the queued ones all run, in order,
    // and one handed over just before the worker moves on by itself is not dropped.
    std::atomic<bool> burst{false};
    env.published().set_on_publish([&](const std::string &text) {
        if (packet_token(text) == "<1,1>" && !burst.exchange(true)) {
            for (size_t i = 0; i < OBD2_CMD_QUEUE_SIZE + 2; ++i) {
                command_for_can(i + 1 < OBD2_CMD_QUEUE_SIZE ? R"({"TYP":1,"CMD":7})"
                                                            : R"({"TYP":1,"CMD":1})");
            }
        }
    });
    command_for_can(R"({"TYP":1,"CMD":1})");
    ASSERT_TRUE(env.published().wait_for_token("<1,1>", 3, 20s));
    ASSERT_TRUE(wait_until([] { return get_obd2_thrd_state() == OBD2_STATE_IDLE; }, 5s));
    gw_sleep_us(2'000'000);
    env.stop_worker();
    cap.stop();

    auto tokens = env.published().tokens();
    std::erase(tokens, "ECU");
    ASSERT_GE(tokens.size(), 6u) << ::testing::PrintToString(tokens);
    EXPECT_EQ(std::vector<std::string>(tokens.begin(), tokens.begin() + 6),
              (std::vector<std::string>{"<1,1>", "MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC", "<1,2>"}));
    const auto cmds = env.shell_commands();
    ASSERT_EQ(cmds.size(), 6u);
    EXPECT_EQ(cmds[4], "sudo ip link set can0 up type can bitrate 250000");
    EXPECT_EQ(cap.count_line("[DEBUG] TYP=1, CMD=7"), static_cast<int>(OBD2_CMD_QUEUE_SIZE) - 1);
    EXPECT_EQ(env.published().count_token("<1,1>"), 3); // the first read, then the two queued last
    EXPECT_EQ(cap.count_line("OBD2_ERROR : Command refused: " + std::to_string(OBD2_CMD_QUEUE_SIZE) +
                             " commands already pending."),
              2);

    // Pass by pass: a command taken, and another handed over before it is carried out.
    env.published().clear();
    command_for_can(R"({"TYP":1,"CMD":13})");
    obd2_run_state_pass();
    command_for_can(R"({"TYP":1,"CMD":14})");
    for (int i = 0; i < 4; ++i) {
        obd2_run_state_pass();
    }
    tokens = env.published().tokens();
    std::erase(tokens, "ECU");
    EXPECT_EQ(tokens, (std::vector<std::string>{"<1,13>", "<1,14>"}));
}

TEST(Worker, CommandDuringHeartbeatPublishIsHandedOverWithoutWaiting)
{
    WorkerEnv env(WorkerEnv::sample_vehicle());
    ASSERT_TRUE(env.start_until("SAVSUC"));
    // Inside the heartbeat's "ECU" publication (obd_state_mutex held), a command
    // arrives on another thread, as the bus callback thread would deliver it.
    std::atomic<bool> handed_over{false};
    std::atomic<bool> done{false};
    env.published().set_on_publish([&](const std::string &text) {
        if (packet_token(text) != "ECU" || done.exchange(true)) {
            return;
        }
        std::thread callback([&] {
            command_for_can(R"({"TYP":1,"CMD":1})");
            handed_over.store(true);
        });
        callback.join(); // would deadlock if the hand-over waited for obd_state_mutex
        EXPECT_EQ(get_obd2_thrd_state(), OBD2_STATE_PARSE_CMD);
    });
    ASSERT_TRUE(env.published().wait_for_token("<1,1>", 1, 20s));
    env.published().set_on_publish(nullptr);
    env.stop_worker();
    EXPECT_TRUE(handed_over.load());
}

TEST(Worker, CommandEndsTheHeartbeatPauseAtOnceAndPassesKeepTheirSpacing)
{
    WorkerEnv env(WorkerEnv::sample_vehicle());
    std::mutex mu;
    std::vector<int64_t> probes;
    env.published().set_on_publish([&](const std::string &text) {
        if (packet_token(text) == "ECU") {
            std::lock_guard<std::mutex> lk(mu);
            probes.push_back(gw_monotonic_us());
        }
    });
    ASSERT_TRUE(env.start_until("ECU", 3));
    {
        // Without a command: four whole pauses (and one quick exchange) between two probes.
        std::lock_guard<std::mutex> lk(mu);
        const int64_t spacing = probes[2] - probes[1];
        EXPECT_GE(spacing, 4 * OBD2_IDLE_PAUSE_US);
        EXPECT_LT(spacing, 4 * OBD2_IDLE_PAUSE_US + 20'000);
    }
    // Well inside the first pause after the third probe.
    gw_sleep_us(OBD2_IDLE_PAUSE_US / 4);
    const int64_t handed_over = gw_monotonic_us();
    command_for_can(R"({"TYP":1,"CMD":1})");
    ASSERT_TRUE(wait_until([] { return !obd2_command_pending(); }, 2s));
    EXPECT_LT(gw_monotonic_us() - handed_over, 1'000);
    EXPECT_TRUE(env.published().wait_for_token("<1,1>", 1, 5s));
    env.published().set_on_publish(nullptr);
    env.stop_worker();
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kRoundTrips = 200; // sanitized builds check the same interleavings, fewer times
#else
constexpr int kRoundTrips = 1000;
#endif

TEST(WorkerOverBroker, ThousandCommandsDuringHeartbeatsAreAllAnswered)
{
    // Real broker, real client library: the heartbeat publishes with QoS 1 while
    // holding obd_state_mutex, and commands arrive on the library's callback
    // thread, which also processes the acknowledgements those publishes wait for.
    TestBroker broker;
    ASSERT_TRUE(broker.start());
    WorkerEnv env(WorkerEnv::sample_vehicle(), WorkerEnv::default_config(), 200);
    mqtt_test_set_publish_hook(nullptr); // publish through the broker, not the recorder
    BusWorkerRunner bus;
    ASSERT_TRUE(wait_for_link_state(MQTT_CONNECTED, 5000));
    UiClient ui;
    ASSERT_TRUE(ui.connect());
    TraceCapture cap; // the worker's trace of 1000 reads stays out of the log
    env.start_worker();
    ASSERT_TRUE(ui.wait_for_payload("\"ECU\"", 30s));

    int answered = 0;
    for (int i = 0; i < kRoundTrips; ++i) {
        ui.clear();
        ASSERT_TRUE(ui.send_command(R"({"TYP":1,"CMD":1})"));
        if (!ui.wait_for_payload(kDtcPacket, 10s)) {
            break;
        }
        ++answered;
    }
    env.stop_worker();
    bus.stop();
    EXPECT_EQ(answered, kRoundTrips);
    // Heartbeats really ran in between.
    EXPECT_GT(cap.count_containing(R"("msg":"ECU")"), 5);
}

// stdout of a service is a pipe, fully buffered unless the daemon says otherwise.
TEST(Main, TraceIsLineBufferedOnAPipe)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setvbuf(stdout, nullptr, _IOFBF, 0);
        setvbuf(stderr, nullptr, _IOFBF, 0);
        gateway_line_buffered_trace();
        _exit(__flbf(stdout) != 0 && __flbf(stderr) != 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(Main, FailedThreadCreationStopsWithStatusOne)
{
    TraceCapture cap;
    static int creations;
    creations = 0;
    // The second thread, the OBD worker, cannot be created; the others pretend to start and never run.
    gateway_test_set_thread_create([](pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) {
        return ++creations == 2 ? EAGAIN : 0;
    });
    EXPECT_EQ(gateway_main(), 1);
    gateway_test_set_thread_create(nullptr);
    cap.stop();
    auto lines = cap.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("MAIN_ERROR : Failed to create obd2 communication thread: ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "MAIN_ERROR : Error while creating threads --> EXITING FROM MAIN.");
}
