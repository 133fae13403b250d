// Live data snapshot against the in-process vehicle simulator.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/cjson_ptr.h"
#include "common/gw_time.h"
#include "support/test_clock.h"
#include "support/capture.h"
#include "th_mqtt/mqtt_msg.h"
#include "th_obd2_com/live_data.h"
#include "th_obd2_com/obd2_config.h"
#include "scripted_answers.h"
#include "vehicle_sim.h"

namespace
{

constexpr uint8_t PAD = 0x55;

// The whole snapshot text around the sensor lines.
std::string packet(const std::string &lines)
{
    return "{\n  \"TYP\": 1,\n  \"CMD\": 2,\n  \"DATA\": {\n" + lines + "  }\n}";
}

class LiveData : public ::testing::Test
{
  protected:
    FakeClock clock_;
    void SetUp() override { g_can_padding = PAD; }

    static void set_sensors(const std::vector<const char *> &names)
    {
        memset(g_live_sensor_names, 0, sizeof g_live_sensor_names);
        g_live_sensor_count = static_cast<int>(names.size());
        for (size_t i = 0; i < names.size(); ++i) {
            snprintf(g_live_sensor_names[i], sizeof g_live_sensor_names[i], "%s", names[i]);
        }
    }

    static std::string snapshot()
    {
        get_pid_list();
        const char *text = handle_live_mode(1);
        return text != nullptr ? text : "(none)";
    }

    // PID bytes of the service 01 requests the gateway sent on 11-bit.
    static std::vector<uint8_t> asked(const vsim::InProcessBus &bus)
    {
        std::vector<uint8_t> pids;
        for (const can_frame &f : bus.received(0)) {
            EXPECT_EQ(f.can_dlc, 8);
            EXPECT_EQ(std::vector<uint8_t>(f.data, f.data + 8),
                      (std::vector<uint8_t>{0x02, 0x01, f.data[2], PAD, PAD, PAD, PAD, PAD}));
            pids.push_back(f.data[2]);
        }
        return pids;
    }
};

// Each sensor asked is followed by its pause, answered or not.
TEST_F(LiveData, AnsweredAndUnansweredSensorsTextByteForByte)
{
    struct Case {
        std::vector<const char *> sensors;
        std::vector<uint8_t> asked;
        std::string text;
    };
    const std::vector<Case> cases = {
        {{"ENGRPM", "SPD"}, {0x0C, 0x0D}, packet("    \"ENGRPM\": 781.25,\n    \"SPD\": \"--\"\n")},
        {{"SPD", "INTTMP", "ENGRPM"},
         {0x0D, 0x0F, 0x0C},
         packet("    \"SPD\": \"--\",\n    \"INTTMP\": \"--\",\n    \"ENGRPM\": 781.25\n")},
        {{"NOSUCH", "ENGRPM", "engrpm", "ENGRPM"},
         {0x0C, 0x0C},
         packet("    \"ENGRPM\": 781.25,\n    \"ENGRPM\": 781.25\n")},
        {{"ENGRPM", "ENGRPM", "ENGRPM"},
         {0x0C, 0x0C, 0x0C},
         packet("    \"ENGRPM\": 781.25,\n    \"ENGRPM\": 781.25,\n    \"ENGRPM\": 781.25\n")},
    };
    for (const Case &c : cases) {
        vsim::EcuModel e;
        e.pids[0x0C] = {0x0C, 0x35};
        vsim::InProcessBus bus(vehicle_of({e}));
        bus.attach();
        set_sensors(c.sensors);
        const int64_t start = gw_monotonic_us();
        EXPECT_EQ(snapshot(), c.text);
        EXPECT_GE(gw_monotonic_us() - start, static_cast<int64_t>(c.asked.size()) * LIVE_SENSOR_PAUSE_US);
        EXPECT_EQ(asked(bus), c.asked);
    }
}

// No request when no sensor is known; none at all when no known sensor answers.
TEST_F(LiveData, NoSensorKnownOrAnsweringGivesNoText)
{
    struct Case {
        std::vector<const char *> sensors;
        int asked;
    };
    for (const Case &c : {Case{{}, 0}, Case{{"spd", "FOO", ""}, 0}, Case{{"SPD", "COLTMP"}, 2}}) {
        vsim::EcuModel e;
        e.silent = c.asked > 0;
        e.pids[0x0D] = {0x5A};
        vsim::InProcessBus bus(vehicle_of({e}));
        bus.attach();
        set_sensors(c.sensors);
        get_pid_list();
        EXPECT_EQ(g_supported_pid_count, c.asked);
        EXPECT_EQ(handle_live_mode(1), nullptr);
        EXPECT_EQ(asked(bus).size(), static_cast<size_t>(c.asked));
        EXPECT_EQ(json_output[0], '\0');
    }
}

// Whatever answer arrives first is read: only the answer to the PID asked may
// become that sensor's value.
TEST_F(LiveData, OnlyTheAskedPidsAnswerCounts)
{
    struct Case {
        const char *what;
        std::string sensor; // asked before COLTMP
        std::vector<uint8_t> first;
        const char *value;
    };
    const std::vector<Case> cases = {
        {"its own answer", "SPD", {0x03, 0x41, 0x0D, 0x5A, 0xAA, 0xAA, 0xAA, 0xAA}, "90.00"},
        {"another PID's answer", "SPD", {0x04, 0x41, 0x0C, 0x0C, 0x35, 0xAA, 0xAA, 0xAA}, "\"--\""},
        {"another service", "SPD", {0x03, 0x42, 0x0D, 0x5A, 0xAA, 0xAA, 0xAA, 0xAA}, "\"--\""},
        {"negative answer", "SPD", {0x03, 0x7F, 0x01, 0x12, 0xAA, 0xAA, 0xAA, 0xAA}, "\"--\""},
        {"two bytes only", "SPD", {0x01, 0x41}, "\"--\""},
        {"echo without data", "SPD", {0x02, 0x41, 0x0D}, "0.00"},
        {"16-bit PID with one data byte", "ENGRPM", {0x03, 0x41, 0x0C, 0x0C}, "0.00"},
    };
    for (const Case &c : cases) {
        vsim::EcuModel e;
        e.silent = true;
        vsim::InProcessBus bus(vehicle_of({e}));
        bus.attach();
        SequencedAnswers node(bus, 0x7E8, {c.first, {0x03, 0x41, 0x05, 0x5A, 0xAA, 0xAA, 0xAA, 0xAA}});
        set_sensors({c.sensor.c_str(), "COLTMP"});
        EXPECT_EQ(snapshot(), packet("    \"" + c.sensor + "\": " + c.value + ",\n    \"COLTMP\": 50.00\n"))
            << c.what;
    }
}

TEST_F(LiveData, LateAnswerIsNotTakenForTheNextSensor)
{
    // The speed answer misses its 100 ms and lands (at 120 ms) while coolant
    // is being asked; coolant's own answer comes at about 140 ms.
    vsim::EcuModel e;
    e.pids[0x0D] = {0x5A};
    e.pids[0x05] = {0x5A};
    e.latency = std::chrono::milliseconds(40);
    vsim::InProcessBus bus(vehicle_of({e}));
    bus.attach();
    bus.vehicle().inject_late_answer(std::chrono::milliseconds(80));
    set_sensors({"SPD", "COLTMP"});
    EXPECT_EQ(snapshot(), packet("    \"SPD\": \"--\",\n    \"COLTMP\": 50.00\n"));
}

TEST_F(LiveData, FullSnapshotIsValidJsonWithinThePublishLimit)
{
    vsim::EcuModel e;
    e.pids[0x23] = {0xFF, 0xFF}; // FRLDSL 655350.00, the widest value
    e.pids[0x32] = {0x00, 0x00}; // EVPPRS -32767.75
    e.pids[0x42] = {0xFF, 0xFF}; // CNTMDVOL, an 8-character key
    vsim::InProcessBus bus(vehicle_of({e}));
    bus.attach();
    std::vector<const char *> sensors;
    const char *keys[] = {"FRLDSL", "EVPPRS", "CNTMDVOL"};
    for (int i = 0; i < CFG_MAX_LIVE_SENSORS; ++i) {
        sensors.push_back(keys[i % 3]);
    }
    set_sensors(sensors);
    const std::string text = snapshot();
    EXPECT_EQ(g_supported_pid_count, LIVE_MAX_PIDS);
    EXPECT_LE(text.size(), MQTT_MAX_PUBLISH_LEN);
    CJsonPtr parsed(cJSON_Parse(text.c_str()));
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(parsed.get(), "DATA")), LIVE_MAX_PIDS);
    EXPECT_NE(text.find("    \"FRLDSL\": 655350.00,\n"), std::string::npos);
    EXPECT_NE(text.find("    \"EVPPRS\": -32767.75,\n"), std::string::npos);
}

TEST_F(LiveData, SensorListTraceAndRebuild)
{
    TraceCapture cap;
    set_sensors({"COLTMP", "X", "SPD"});
    get_pid_list();
    set_sensors({"ENGRPM"});
    get_pid_list();
    ASSERT_EQ(g_supported_pid_count, 1);
    EXPECT_EQ(supported_pids[0].pid, 0x0C);
    EXPECT_STREQ(supported_pids[0].short_key, "ENGRPM");
    EXPECT_EQ(supported_pids[1].short_key, nullptr);
    EXPECT_EQ(cap.count_line("Supported PIDs (2):"), 1);
    EXPECT_EQ(cap.count_line("PID: 0x05, Name: COLTMP"), 1);
    EXPECT_EQ(cap.count_line("PID: 0x0D, Name: SPD"), 1);
    EXPECT_EQ(cap.count_line("PID: 0x0C, Name: ENGRPM"), 1);
}

} // namespace
