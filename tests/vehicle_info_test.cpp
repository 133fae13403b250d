// Vehicle information read over the in-process vehicle, and its JSON.
#include <gtest/gtest.h>

#include "common/gw_time.h"
#include "support/test_clock.h"
#include "support/case_name.h"

#include <cctype>
#include <ostream>

#include <cjson/cJSON.h>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "scripted_answers.h"
#include "support/capture.h"
#include "th_obd2_com/obd2_config.h"
#include "th_obd2_com/vehicle_info.h"
#include "vehicle_sim.h"

namespace
{

std::string json_of(int mode, int bitrate)
{
    char *text = build_vehicle_info_json(mode, bitrate);
    std::string s = text != nullptr ? text : "(null)";
    cJSON_free(text);
    return s;
}

std::optional<std::string> text_of(uint8_t info_type)
{
    for (int i = 0; i < g_vehicle_info_count; ++i) {
        if (g_vehicle_info[i].info_type == info_type) {
            return std::string(g_vehicle_info[i].text);
        }
    }
    return std::nullopt;
}

vsim::VehicleModel one_ecu(vsim::EcuModel ecu)
{
    vsim::VehicleModel model;
    model.ecus.push_back(std::move(ecu));
    return model;
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
    vsim::InProcessBus bus(one_ecu(ecu));
    bus.attach();

    TraceCapture trace;
    EXPECT_EQ(get_vehicle_info(1), 1);
    EXPECT_EQ(g_vehicle_info_count, 4);
    EXPECT_EQ(text_of(0x02), "1HGCM82633A004352");
    EXPECT_EQ(text_of(0x04), "CAL0123456789ABC");
    EXPECT_EQ(text_of(0x06), "0112AB34CD");
    EXPECT_EQ(text_of(0x0A), "ECM-EngineControl");
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
    vsim::InProcessBus bus(one_ecu(ecu));
    bus.attach();
    EXPECT_EQ(get_vehicle_info(2), 1);
    EXPECT_EQ(g_vehicle_info_count, 1);
    EXPECT_EQ(text_of(0x02), "WVWZZZ1JZXW000001");
}

TEST_F(VehicleInfo, NoItemAnsweredGivesZeroAndNotAvailable)
{
    vsim::InProcessBus bus(one_ecu(vsim::EcuModel{})); // answers service 09 negatively
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

struct AnswerCase {
    const char *what;
    std::vector<uint8_t> frame; // answer to 09 0A
    std::optional<std::string> text;
    const char *warning; // null: none expected
};

void PrintTo(const AnswerCase &c, std::ostream *os)
{
    *os << c.what;
}

class EcuNameAnswer : public VehicleInfo, public testing::WithParamInterface<AnswerCase>
{
};

TEST_P(EcuNameAnswer, IsParsedOrRefused)
{
    const AnswerCase &c = GetParam();
    vsim::EcuModel ecu;
    ecu.silent = true;
    vsim::InProcessBus bus(one_ecu(ecu));
    bus.attach();
    ScriptedAnswers script(bus);
    // The other three items fail fast with a negative answer.
    for (uint8_t t : {0x02, 0x04, 0x06}) {
        script.set(0x09, t, {0x03, 0x7F, 0x09, 0x12});
    }
    script.set(0x09, 0x0A, c.frame);

    TraceCapture trace;
    EXPECT_EQ(get_vehicle_info(1), c.text ? 1 : 0);
    EXPECT_EQ(text_of(0x0A), c.text);
    if (c.warning != nullptr) {
        EXPECT_EQ(trace.count_line(c.warning), 1) << trace.text();
    }
}

INSTANTIATE_TEST_SUITE_P(
    VehicleInfo, EcuNameAnswer,
    testing::Values(
        AnswerCase{"padding 00 trimmed", {0x06, 0x49, 0x0A, 0x01, 'E', 'C', 'M', 0x00}, "ECM", nullptr},
        AnswerCase{"padding FF trimmed", {0x06, 0x49, 0x0A, 0x01, 'E', 'C', 'M', 0xFF}, "ECM", nullptr},
        AnswerCase{"padding 55 kept", {0x05, 0x49, 0x0A, 0x01, 'E', 'C', 0x55, 0x55}, "ECUU", nullptr},
        AnswerCase{
            "leading control bytes skipped", {0x07, 0x49, 0x0A, 0x01, 0x02, 0xFF, 'A', 'B'}, "AB", nullptr},
        AnswerCase{"NUL inside ends the text", {0x07, 0x49, 0x0A, 0x01, 'A', 0x00, 'B', 'C'}, "A", nullptr},
        AnswerCase{"only padding",
                   {0x03, 0x49, 0x0A, 0x01, 0x00, 0x00, 0xFF, 0x00},
                   std::nullopt,
                   "OBD2 WARN: Payload contains only padding for InfoType 0A"},
        AnswerCase{"no payload", {0x02, 0x49, 0x0A}, std::nullopt, "OBD2 WARN: No payload for InfoType 0A"}),
    case_name<AnswerCase>);

TEST_F(VehicleInfo, CvnKeepsItsCountByteAndAllBytes)
{
    vsim::EcuModel ecu;
    ecu.silent = true;
    vsim::InProcessBus bus(one_ecu(ecu));
    bus.attach();
    ScriptedAnswers script(bus);
    for (uint8_t t : {0x02, 0x04, 0x0A}) {
        script.set(0x09, t, {0x03, 0x7F, 0x09, 0x12});
    }
    script.set(0x09, 0x06, {0x07, 0x49, 0x06, 0x01, 0x00, 0xFF, 0x0a, 0xbc});
    EXPECT_EQ(get_vehicle_info(1), 1);
    EXPECT_EQ(text_of(0x06), "0100FF0ABC");
}

TEST(VehicleInfoJson, ProtocolFollowsTheMode)
{
    g_vehicle_info_count = 0;
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
    std::memset(g_vehicle_info, 0, sizeof g_vehicle_info);
    const std::pair<uint8_t, const char *> recs[] = {
        {0x02, "OLDVIN"}, {0x08, "X"}, {0x02, "NEWVIN"}, {0x0A, "ECM"}};
    g_vehicle_info_count = 0;
    for (const auto &[t, s] : recs) {
        g_vehicle_info[g_vehicle_info_count].info_type = t;
        std::snprintf(g_vehicle_info[g_vehicle_info_count].text, 128, "%s", s);
        ++g_vehicle_info_count;
    }
    EXPECT_EQ(json_of(1, 500000), R"J({"TYP":1,"CMD":7,"DATA":{"CVN":"N/A","VID":"NEWVIN","CID":"N/A",)J"
                                  R"J("ECUNM":"ECM","PROTO":"ISO15765-4 (11-bit)","BR":500000}})J");
}

} // namespace
