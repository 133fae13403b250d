// Vehicle information read over the in-process vehicle, and its JSON.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "scripted_answers.h"
#include "support/capture.h"
#include "support/test_clock.h"
#include "th_obd2_com/obd2_config.h"
#include "th_obd2_com/vehicle_info.h"
#include "vehicle_sim.h"

namespace
{

using Records = std::vector<std::pair<int, std::string>>;

std::string json_of(int mode, int bitrate)
{
    char *text = build_vehicle_info_json(mode, bitrate);
    std::string s = text != nullptr ? text : "(null)";
    cJSON_free(text);
    return s;
}

// The records read, in order: information type and text.
Records records()
{
    Records out;
    for (int i = 0; i < g_vehicle_info_count; ++i) {
        out.emplace_back(g_vehicle_info[i].info_type, g_vehicle_info[i].text);
    }
    return out;
}

class VehicleInfo : public testing::Test
{
  protected:
    void SetUp() override { g_can_padding = 0xAA; }
    FakeClock clock_;
};

TEST_F(VehicleInfo, ReadsAllFourItemsFromTheSimulatedEcu)
{
    vsim::EcuModel ecu;
    ecu.vin = "1HGCM82633A004352"; // segmented answer
    ecu.calid = "CAL0123456789ABC";
    ecu.cvn = {0x12, 0xAB, 0x34, 0xCD}; // one frame: 07 49 06 01 12 AB 34 CD
    ecu.ecu_name = "ECM-EngineControl";
    ecu.pending[0x09] = {1, std::chrono::milliseconds(300)}; // each item after "response pending"
    vsim::InProcessBus bus(vehicle_of({ecu}));
    bus.attach();

    TraceCapture trace;
    EXPECT_EQ(get_vehicle_info(1), 1);
    EXPECT_EQ(records(), (Records{{0x02, "1HGCM82633A004352"},
                                  {0x04, "CAL0123456789ABC"},
                                  {0x06, "0112AB34CD"},
                                  {0x0A, "ECM-EngineControl"}}));
    EXPECT_EQ(trace.count_line("InfoType 02 -> 1HGCM82633A004352"), 1);
    EXPECT_EQ(trace.count_line("InfoType 06 -> 0112AB34CD"), 1);

    EXPECT_EQ(
        json_of(1, 500000),
        R"J({"TYP":1,"CMD":7,"DATA":{"CVN":"0112AB34CD","VID":"1HGCM82633A004352","CID":"CAL0123456789ABC",)J"
        R"J("ECUNM":"ECM-EngineControl","PROTO":"ISO15765-4 (11-bit)","BR":500000}})J");
    EXPECT_STREQ(g_can_protocol, "ISO15765-4 (11-bit)");
}

TEST_F(VehicleInfo, ReadsOver29BitIdentifiers)
{
    vsim::EcuModel ecu = vsim::make_ecu29();
    ecu.vin = "WVWZZZ1JZXW000001";
    vsim::InProcessBus bus(vehicle_of({ecu}));
    bus.attach();
    EXPECT_EQ(get_vehicle_info(2), 1);
    EXPECT_EQ(records(), (Records{{0x02, "WVWZZZ1JZXW000001"}}));
}

TEST_F(VehicleInfo, NoItemAnsweredGivesZeroAndNotAvailable)
{
    vsim::InProcessBus bus(vehicle_of({vsim::EcuModel{}})); // answers service 09 negatively
    bus.attach();
    TraceCapture trace;
    EXPECT_EQ(get_vehicle_info(1), 0);
    EXPECT_EQ(g_vehicle_info_count, 0);
    for (const char *t : {"02", "04", "06", "0A"}) {
        EXPECT_EQ(trace.count_line(std::string("OBD2 WARN: Failed to request InfoType ") + t), 1) << t;
    }
    EXPECT_EQ(json_of(1, 500000), R"J({"TYP":1,"CMD":7,"DATA":{"CVN":"N/A","VID":"N/A","CID":"N/A",)J"
                                  R"J("ECUNM":"N/A","PROTO":"ISO15765-4 (11-bit)","BR":500000}})J");
}

// One item answered as scripted; the other three fail fast with a negative answer.
TEST_F(VehicleInfo, AnswerIsParsedOrRefused)
{
    struct Case {
        const char *what;
        uint8_t type;
        std::vector<uint8_t> frame;
        std::optional<std::string> text;
        const char *warning; // null: none expected
    };
    const std::vector<Case> cases = {
        {"padding 00 trimmed", 0x0A, {0x06, 0x49, 0x0A, 0x01, 'E', 'C', 'M', 0x00}, "ECM", nullptr},
        {"padding FF trimmed", 0x0A, {0x06, 0x49, 0x0A, 0x01, 'E', 'C', 'M', 0xFF}, "ECM", nullptr},
        {"padding 55 kept", 0x0A, {0x05, 0x49, 0x0A, 0x01, 'E', 'C', 0x55, 0x55}, "ECUU", nullptr},
        {"leading control bytes skipped",
         0x0A,
         {0x07, 0x49, 0x0A, 0x01, 0x02, 0xFF, 'A', 'B'},
         "AB",
         nullptr},
        {"NUL inside ends the text", 0x0A, {0x07, 0x49, 0x0A, 0x01, 'A', 0x00, 'B', 'C'}, "A", nullptr},
        {"only padding",
         0x0A,
         {0x03, 0x49, 0x0A, 0x01, 0x00, 0x00, 0xFF, 0x00},
         std::nullopt,
         "OBD2 WARN: Payload contains only padding for InfoType 0A"},
        {"no payload", 0x0A, {0x02, 0x49, 0x0A}, std::nullopt, "OBD2 WARN: No payload for InfoType 0A"},
        {"CVN keeps its count byte and all bytes",
         0x06,
         {0x07, 0x49, 0x06, 0x01, 0x00, 0xFF, 0x0a, 0xbc},
         "0100FF0ABC",
         nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        vsim::EcuModel ecu;
        ecu.silent = true;
        vsim::InProcessBus bus(vehicle_of({ecu}));
        bus.attach();
        ScriptedAnswers script(bus);
        for (uint8_t t : {0x02, 0x04, 0x06, 0x0A}) {
            script.set(0x09, t, t == c.type ? c.frame : std::vector<uint8_t>{0x03, 0x7F, 0x09, 0x12});
        }
        TraceCapture trace;
        EXPECT_EQ(get_vehicle_info(1), c.text ? 1 : 0);
        EXPECT_EQ(records(), (c.text ? Records{{c.type, *c.text}} : Records{}));
        if (c.warning != nullptr) {
            EXPECT_EQ(trace.count_line(c.warning), 1) << trace.text();
        }
    }
}

TEST(VehicleInfoJson, ProtocolFollowsTheMode)
{
    EXPECT_EQ(json_of(0, 0), R"J({"TYP":1,"CMD":7,"DATA":{"CVN":"N/A","VID":"N/A","CID":"N/A",)J"
                             R"J("ECUNM":"N/A","PROTO":"UNKNOWN","BR":0}})J");
    EXPECT_STREQ(g_can_protocol, "UNKNOWN");
    EXPECT_NE(json_of(2, 250000).find(R"J("PROTO":"ISO15765-4 (29-bit)","BR":250000)J"), std::string::npos);
    EXPECT_STREQ(g_can_protocol, "ISO15765-4 (29-bit)");
    json_of(7, 0);
    EXPECT_STREQ(g_can_protocol, "UNKNOWN");
}

TEST(VehicleInfoJson, LaterRecordReplacesEarlierAndOthersAreIgnored)
{
    for (const auto &[t, s] : Records{{0x02, "OLDVIN"}, {0x08, "X"}, {0x02, "NEWVIN"}, {0x0A, "ECM"}}) {
        g_vehicle_info[g_vehicle_info_count].info_type = static_cast<uint8_t>(t);
        std::snprintf(g_vehicle_info[g_vehicle_info_count].text, 128, "%s", s.c_str());
        ++g_vehicle_info_count;
    }
    EXPECT_EQ(json_of(1, 500000), R"J({"TYP":1,"CMD":7,"DATA":{"CVN":"N/A","VID":"NEWVIN","CID":"N/A",)J"
                                  R"J("ECUNM":"ECM","PROTO":"ISO15765-4 (11-bit)","BR":500000}})J");
}

} // namespace
