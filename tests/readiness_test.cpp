// Readiness (PID 01/41) and freeze-frame (service 02) answers decoded and
// merged in memory, bytes as the exchange leaves them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "th_obd2_com/freeze_frame.h"
#include "th_obd2_com/obd2_protocol.h"
#include "th_obd2_com/readiness.h"

namespace
{

using Bytes = std::vector<uint8_t>;

// One letter per monitor: C complete, I incomplete, - not supported.
std::string states(const MonitorStatus &s)
{
    std::string out;
    for (const MonitorEntry &m : monitor_states(s)) {
        out += m.state == MonitorState::Complete ? 'C' : m.state == MonitorState::Incomplete ? 'I' : '-';
    }
    return out;
}

// "MIL/codes/ignition/states" of a status, or "none".
std::string summary(const std::optional<MonitorStatus> &s)
{
    if (!s) {
        return "none";
    }
    return std::to_string(s->mil) + "/" + std::to_string(s->dtc_count) + "/" +
           (is_compression_ignition(*s) ? "CI" : "SI") + "/" + states(*s);
}

// A single-frame PID 01 answer with data A B C D.
Bytes pid01(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    return {0x06, 0x41, 0x01, a, b, c, d, 0xAA};
}

constexpr Obd2Outcome A = Obd2Outcome::Answered;

MonitorReply reply(const Bytes &answer, Obd2Outcome outcome = A, uint8_t pid = OBD2_PID_MONITOR_STATUS)
{
    return read_monitor_reply(pid, outcome, answer.data(), answer.size());
}

// "none": an answer without the PID's data; "no answer": the ECU counts as silent.
TEST(Readiness, OneAnswerDecoded)
{
    struct Case {
        const char *what;
        Bytes answer;
        Obd2Outcome outcome;
        const char *summary;
    };
    const std::vector<Case> cases = {
        {"spark, MIL off, no codes, nothing supported", pid01(0x00, 0x00, 0x00, 0x00), A,
         "0/0/SI/-----------"},
        {"MIL on, 127 codes", pid01(0xFF, 0x00, 0x00, 0x00), A, "1/127/SI/-----------"},
        {"continuous: misfire and CCM incomplete", pid01(0x00, 0x57, 0x00, 0x00), A, "0/0/SI/ICI--------"},
        {"continuous: fuel incomplete", pid01(0x00, 0x27, 0x00, 0x00), A, "0/0/SI/CIC--------"},
        {"spark: even bits incomplete", pid01(0x00, 0x00, 0xFF, 0x55), A, "0/0/SI/---ICICICIC"},
        {"spark: odd bits incomplete", pid01(0x00, 0x00, 0xFF, 0xAA), A, "0/0/SI/---CICICICI"},
        {"unsupported monitors' incomplete bits", pid01(0x00, 0x70, 0x00, 0xFF), A, "0/0/SI/-----------"},
        {"compression: reserved bits 2 and 4 not shown", pid01(0x01, 0x0F, 0xFF, 0x55), A,
         "0/1/CI/CCCICCCIC"},
        {"compression: odd bits incomplete", pid01(0x80, 0x0F, 0xFF, 0xAA), A, "1/0/CI/CCCCIIICI"},
        {"the answer of another PID", {0x06, 0x41, 0x41, 0x00, 0x07, 0x00, 0x00, 0xAA}, A, "none"},
        {"one data byte short", {0x05, 0x41, 0x01, 0x00, 0x07, 0x00, 0xAA, 0xAA}, A, "none"},
        {"refused", {0x03, 0x7F, 0x01, 0x12, 0xAA, 0xAA, 0xAA, 0xAA}, Obd2Outcome::Refused, "none"},
        {"response pending that never ended", {0x03, 0x7F, 0x01, 0x78, 0xAA}, Obd2Outcome::Busy, "no answer"},
        {"no answer", {}, Obd2Outcome::None, "no answer"},
    };
    for (const Case &c : cases) {
        const MonitorReply r = reply(c.answer, c.outcome);
        EXPECT_EQ(r.answered ? summary(r.status) : "no answer", c.summary) << c.what;
    }
    const Bytes cycle = {0x06, 0x41, 0x41, 0x00, 0x07, 0x00, 0x00, 0xAA};
    EXPECT_EQ(summary(reply(cycle, A, OBD2_PID_MONITOR_CYCLE).status), "0/0/SI/CCC--------");
}

// The engine ECU first, then a second ECU.
TEST(Readiness, MergedOverEcus)
{
    const Bytes engine = pid01(0x81, 0x07, 0x05, 0x04); // CCM complete, CAT complete, EVAP incomplete
    struct Case {
        const char *what;
        MonitorReply second;
        const char *summary;
    };
    const std::vector<Case> cases = {
        {"supported by the second only, complete", reply(pid01(0x00, 0x00, 0x02, 0x00)),
         "1/1/SI/CCCCCI-----"},
        {"supported by the second only, incomplete", reply(pid01(0x00, 0x00, 0x02, 0x02)),
         "1/1/SI/CCCCII-----"},
        {"incomplete on the second only", reply(pid01(0x02, 0x44, 0x01, 0x01)), "1/3/SI/CCII-I-----"},
        {"complete on both", reply(pid01(0x00, 0x04, 0x01, 0x00)), "1/1/SI/CCCC-I-----"},
        {"EVAP complete on the second stays incomplete", reply(pid01(0x00, 0x00, 0x04, 0x00)),
         "1/1/SI/CCCC-I-----"},
        {"the second's ignition is not taken", reply(pid01(0x00, 0x08, 0x00, 0x00)), "1/1/SI/CCCC-I-----"},
        {"refused by the second", reply({0x03, 0x7F, 0x01, 0x12}, Obd2Outcome::Refused),
         "1/1/SI/CCCC-I-----"},
        {"no answer from the second", reply({}, Obd2Outcome::None), "1/1/SI/CCCC-I-----"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(summary(merge_monitor_status({reply(engine), c.second})), c.summary) << c.what;
    }
    // Without the engine's data the next ECU with data gives the ignition; nobody with data: nothing.
    const MonitorReply refused = reply({0x03, 0x7F, 0x01, 0x12}, Obd2Outcome::Refused);
    EXPECT_EQ(summary(merge_monitor_status({refused, reply(pid01(0x80, 0x0F, 0x01, 0x01))})),
              "1/0/CI/CCCI-----");
    EXPECT_EQ(summary(merge_monitor_status({refused, reply({}, Obd2Outcome::None)})), "none");
}

TEST(Readiness, PacketKeysInTableOrder)
{
    const MonitorStatus diesel{true, 2, 0x0F, 0xEB, 0xC0};
    // This drive cycle: CCM, NOX, BOOST, EGS and EGR not enabled.
    EXPECT_EQ(
        readiness_packet(diesel, MonitorStatus{false, 0, 0x13, 0x41, 0x40}),
        R"({"TYP":1,"CMD":13,"DATA":{"MIL":1,"DTCCNT":2,"IGN":"COMPRESSION","MON":{"MISF":"COMPLETE",)"
        R"("FUEL":"COMPLETE","CCM":"COMPLETE","NMHC":"COMPLETE","NOX":"COMPLETE","BOOST":"COMPLETE",)"
        R"("EGS":"COMPLETE","PM":"INCOMPLETE","EGR":"INCOMPLETE"},"CYC":{"MISF":"INCOMPLETE","FUEL":"COMPLETE",)"
        R"("CCM":"DISABLED","NMHC":"COMPLETE","NOX":"DISABLED","BOOST":"DISABLED","EGS":"DISABLED",)"
        R"("PM":"INCOMPLETE","EGR":"DISABLED"}}})");
}

// A segmented answer keeps the low byte of its length in byte 0: 0x10 for
// 16 payload bytes, which a single frame would read as none.
TEST(FreezeFrame, AnswersDecoded)
{
    Bytes segmented = {0x10, 0x42, 0x0C, 0x00, 0x21, 0x98};
    segmented.resize(17, 0x00);
    struct Case {
        const char *what;
        uint8_t pid; // 02: the code, else the value of a catalogue PID
        Bytes answer;
        const char *decoded;
    };
    const std::vector<Case> cases = {
        {"code P0301", 0x02, {0x05, 0x42, 0x02, 0x00, 0x03, 0x01, 0xAA, 0xAA}, "P0301"},
        {"no frame stored", 0x02, {0x05, 0x42, 0x02, 0x00, 0x00, 0x00, 0xAA, 0xAA}, "P0000"},
        {"frame 1 is not frame 0", 0x02, {0x05, 0x42, 0x02, 0x01, 0x03, 0x01, 0xAA, 0xAA}, "none"},
        {"a service 01 answer", 0x02, {0x05, 0x41, 0x02, 0x00, 0x03, 0x01, 0xAA, 0xAA}, "none"},
        {"8-bit value", 0x05, {0x04, 0x42, 0x05, 0x00, 0x80, 0xAA, 0xAA, 0xAA}, "88.00"},
        {"16-bit value", 0x0C, {0x05, 0x42, 0x0C, 0x00, 0x21, 0x98, 0xAA, 0xAA}, "2150.00"},
        {"16-bit value with one byte: padding is not B",
         0x0C,
         {0x04, 0x42, 0x0C, 0x00, 0x21, 0x98, 0xAA, 0xAA},
         "none"},
        {"clamped as live data", 0x61, {0x04, 0x42, 0x61, 0x00, 0xFF, 0xAA, 0xAA, 0xAA}, "125.00"},
        {"not a catalogue PID", 0x03, {0x05, 0x42, 0x03, 0x00, 0x02, 0x00, 0xAA, 0xAA}, "none"},
        {"another PID's value", 0x0D, {0x04, 0x42, 0x05, 0x00, 0x80, 0xAA, 0xAA, 0xAA}, "none"},
        {"segmented answer", 0x0C, segmented, "2150.00"},
    };
    for (const Case &c : cases) {
        std::string got = "none";
        if (c.pid == OBD2_PID_FREEZE_DTC) {
            if (auto code = decode_freeze_dtc(c.answer.data(), c.answer.size())) {
                got = freeze_dtc_text(*code);
            }
        } else if (auto v = decode_freeze_value(c.pid, c.answer.data(), c.answer.size())) {
            char text[32];
            snprintf(text, sizeof text, "%.2f", static_cast<double>(*v));
            got = text;
        }
        EXPECT_EQ(got, c.decoded) << c.what;
    }
}

} // namespace
