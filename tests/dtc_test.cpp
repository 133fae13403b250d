// Trouble-code decoding, stored/pending filtering, reading and clearing
// against the in-process vehicle simulator.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "common/cjson_ptr.h"
#include "common/gw_time.h"
#include "support/test_clock.h"
#include "support/capture.h"
#include "th_mqtt/mqtt_msg.h"
#include "th_obd2_com/can_link.h"
#include "th_obd2_com/dtc.h"
#include "th_obd2_com/obd2_config.h"
#include "th_obd2_com/freeze_frame.h"
#include "th_obd2_com/obd2_worker.h"
#include "scripted_answers.h"
#include "vehicle_sim.h"

namespace
{

std::string decode(const std::vector<uint8_t> &answer)
{
    return decode_dtc_array(answer.data(), answer.size());
}

// Answer of a segmented read: length byte, service, N, then the pairs.
std::vector<uint8_t> long_answer(uint8_t sid, const std::vector<uint16_t> &codes, uint8_t n)
{
    std::vector<uint8_t> a{static_cast<uint8_t>((2 + 2 * codes.size()) & 0xFF), sid, n};
    for (uint16_t c : codes) {
        a.push_back(static_cast<uint8_t>(c >> 8));
        a.push_back(static_cast<uint8_t>(c & 0xFF));
    }
    return a;
}

// The decoded list of these P codes, items separated by `sep`.
std::string p_codes(const std::vector<uint16_t> &codes, const char *sep)
{
    std::string s = "[";
    for (size_t i = 0; i < codes.size(); ++i) {
        char text[16];
        snprintf(text, sizeof text, "\"P%04X\"", codes[i]);
        s += (i ? sep : "") + std::string(text);
    }
    return s + "]";
}

struct DecodeCase {
    const char *what;
    std::vector<uint8_t> answer;
    const char *expected;
};

TEST(DecodeDtcArray, OneFrameAnswers)
{
    const std::vector<DecodeCase> cases = {
        {"two codes", {0x06, 0x43, 0x02, 0x01, 0x23, 0xC1, 0x00, 0xAA}, R"(["P0123", "U0100"])"},
        {"only a zero pair", {0x04, 0x43, 0x01, 0x00, 0x00, 0xAA, 0xAA, 0xAA}, "[]"},
        {"N is zero", {0x02, 0x43, 0x00, 0x01, 0x23, 0xAA, 0xAA, 0xAA}, "[]"},
        {"three bytes only", {0x02, 0x43, 0x01}, "[]"},
        {"not a trouble-code answer", {0x04, 0x41, 0x01, 0x01, 0x23, 0xAA, 0xAA, 0xAA}, "[]"},
        {"pending answer", {0x04, 0x47, 0x01, 0x21, 0x45, 0xAA, 0xAA, 0xAA}, R"(["P2145"])"},
        {"permanent answer", {0x04, 0x4A, 0x01, 0x01, 0x00, 0xAA, 0xAA, 0xAA}, R"(["P0100"])"},
        {"chassis and body skipped but counted", {0x06, 0x43, 0x03, 0x40, 0x01, 0xBF, 0xFF, 0x01}, "[]"},
        {"P3xxx skipped, U3xxx kept", {0x06, 0x43, 0x02, 0x30, 0x00, 0xF4, 0x56, 0xAA}, R"(["U3456"])"},
        {"P2FFF and U3FFF kept", {0x06, 0x43, 0x02, 0x2F, 0xFF, 0xFF, 0xFF, 0xAA}, R"(["P2FFF", "U3FFF"])"},
        {"N past the frame, AA skipped", {0x04, 0x43, 0x05, 0x01, 0x23, 0xAA, 0xAA, 0xAA}, R"(["P0123"])"},
        {"padding 55 read, skipped", {0x04, 0x43, 0x03, 0x01, 0x23, 0x55, 0x55, 0x55}, R"(["P0123"])"},
        {"padding 00 read, skipped", {0x04, 0x43, 0x03, 0x01, 0x23, 0x00, 0x00, 0x00}, R"(["P0123"])"},
        {"same code twice in one answer", {0x06, 0x43, 0x02, 0x01, 0x23, 0x01, 0x23, 0xAA}, R"(["P0123"])"},
        {"N counts pairs, not codes", {0x06, 0x43, 0x01, 0x01, 0x23, 0x01, 0x24, 0xAA}, R"(["P0123"])"},
    };
    for (const DecodeCase &c : cases) {
        EXPECT_EQ(decode(c.answer), c.expected) << c.what;
    }
}

TEST(DecodeDtcArray, RemembersOnlyTwentyCodesForRepeats)
{
    std::vector<uint16_t> codes(21);
    std::iota(codes.begin(), codes.end(), 1);
    codes.push_back(21); // not remembered: written again
    const std::vector<uint16_t> expected = codes;
    codes.push_back(1); // remembered: left out
    const auto answer = long_answer(0x43, codes, static_cast<uint8_t>(codes.size()));
    EXPECT_EQ(decode(answer), p_codes(expected, ", "));
}

TEST(DecodeDtcArray, LargestAnswerIsCompleteJson)
{
    std::vector<uint16_t> codes;
    for (int i = 0; i < 300; ++i) {
        codes.push_back(static_cast<uint16_t>(0xC000 + i));
    }
    // N says 255: the walk stops there even though more pairs follow.
    const auto answer = long_answer(0x4A, codes, 255);
    CJsonPtr parsed(cJSON_Parse(decode(answer).c_str()));
    ASSERT_TRUE(cJSON_IsArray(parsed.get()));
    ASSERT_EQ(cJSON_GetArraySize(parsed.get()), 255);
    EXPECT_STREQ(cJSON_GetArrayItem(parsed.get(), 254)->valuestring, "U00FE");
}

TEST(KeepOnlyPendingInStored, Table)
{
    struct Case {
        const char *stored;
        const char *pending;
        const char *expected;
    };
    const std::vector<Case> cases = {
        {R"(["P0123","P0456","U0100"])", R"(["U0100","P0123"])", R"(["P0123","U0100"])"},
        {R"(["P0123","P0123"])", R"(["P0123"])", R"(["P0123","P0123"])"},
        {R"(["P0123"])", "[]", "[]"},
        {R"(["p0123"])", R"(["P0123"])", "[]"},
        {R"([1,"P0123",null,{"a":1}])", R"(["P0123"])", R"(["P0123"])"},
        {"[]", R"(["P0123"])", "[]"},
    };
    for (const Case &c : cases) {
        CJsonPtr stored(cJSON_Parse(c.stored));
        CJsonPtr pending(cJSON_Parse(c.pending));
        keep_only_pending_in_stored(stored.get(), pending.get());
        CJsonText text(cJSON_PrintUnformatted(stored.get()));
        EXPECT_STREQ(text.get(), c.expected) << c.stored << " vs " << c.pending;
    }
}

TEST(KeepOnlyPendingInStored, TracesRemovalsAndToleratesAbsentArrays)
{
    TraceCapture cap;
    CJsonPtr stored(cJSON_Parse(R"(["P0456","P0123"])"));
    CJsonPtr pending(cJSON_Parse(R"(["P0123"])"));
    keep_only_pending_in_stored(stored.get(), pending.get());
    keep_only_pending_in_stored(nullptr, pending.get());
    keep_only_pending_in_stored(stored.get(), nullptr);
    EXPECT_EQ(cap.count_line("Removing STORED DTC P0456 (not present in PENDING)"), 1);
    EXPECT_EQ(cJSON_GetArraySize(stored.get()), 1);
}

// ---------------------------------------------------------------------------
// Reading and clearing against the simulator.

constexpr uint8_t PAD = 0x55;

class DtcWithVehicle : public ::testing::Test
{
  protected:
    FakeClock clock_;
    void SetUp() override
    {
        g_can_padding = PAD;
        g_ecu_count = 1;
        g_ecu_list[0] = {0x7E8, 1};
        set_groups({"STRDTC", "PNDDTC", "PRMDTC"});
    }

    static void set_groups(const std::vector<const char *> &names)
    {
        memset(g_dtc_names, 0, sizeof g_dtc_names);
        g_dtc_count = static_cast<int>(names.size());
        for (size_t i = 0; i < names.size(); ++i) {
            snprintf(g_dtc_names[i], sizeof g_dtc_names[i], "%s", names[i]);
        }
    }

    // Requests (not flow control) the gateway sent on a channel.
    static std::vector<std::vector<uint8_t>> requests(const vsim::InProcessBus &bus, int ch)
    {
        std::vector<std::vector<uint8_t>> out;
        for (const can_frame &f : bus.received(ch)) {
            if ((f.data[0] & 0xF0) != 0x30) {
                out.emplace_back(f.data, f.data + f.can_dlc);
            }
        }
        return out;
    }
};

TEST_F(DtcWithVehicle, ReadsAllGroupsAndFiltersStored)
{
    vsim::EcuModel e;
    e.stored_dtcs = {0x0123, 0x0456};
    e.pending_dtcs = {0x0123, 0xC100};
    e.permanent_dtcs = {0x0789, 0x4123};
    vsim::InProcessBus bus(vehicle_of({e}));
    bus.attach();
    TraceCapture cap;

    EXPECT_STREQ(
        handle_dtc_command(),
        R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0123"],"PNDDTC":["P0123","U0100"],"PRMDTC":["P0789"]}})");
    const std::vector<std::vector<uint8_t>> sent = {{0x01, 0x03, PAD, PAD, PAD, PAD, PAD, PAD},
                                                    {0x01, 0x07, PAD, PAD, PAD, PAD, PAD, PAD},
                                                    {0x01, 0x0A, PAD, PAD, PAD, PAD, PAD, PAD}};
    EXPECT_EQ(requests(bus, 0), sent);
    EXPECT_EQ(cap.count_line("Removing STORED DTC P0456 (not present in PENDING)"), 1);
    EXPECT_EQ(cap.count_line("stored dtc response : 67"), 1);  // 0x43
    EXPECT_EQ(cap.count_line("pending dtc response : 71"), 1); // 0x47
    EXPECT_EQ(cap.count_line(std::string("final json: ") + final_json), 1);
}

// A refused group adds nothing; the other groups are still asked.
TEST_F(DtcWithVehicle, GroupSelectionAndRefusedGroups)
{
    vsim::EcuModel codes;
    codes.stored_dtcs = {0x0123};
    codes.pending_dtcs = {0x0123};
    codes.permanent_dtcs = {0x0789};
    vsim::EcuModel refusing = codes;
    refusing.stored_dtcs.clear();
    refusing.negative[0x0700] = 0x22;
    // "Response pending", then the codes 30 ms later: they count.
    vsim::EcuModel pending = codes;
    pending.pending[0x07] = {1, std::chrono::milliseconds(30)};
    // Pending without end: no codes from that group, the others still count.
    vsim::EcuModel stays_busy = codes;
    stays_busy.negative[0x0700] = 0x78;
    const auto packet = [](const std::string &data) { return R"({"TYP":1,"CMD":1,"DATA":{)" + data + "}}"; };
    const std::string none = packet(R"("STRDTC":[],"PNDDTC":[],"PRMDTC":[])");
    struct Case {
        std::vector<const char *> groups;
        vsim::EcuModel ecu;
        size_t requests;
        std::string packet;
    };
    const std::vector<Case> cases = {
        {{"STRDTC"}, codes, 1, none},
        {{}, codes, 0, none},
        {{"pnddtc", "OTHER"}, codes, 0, none},
        {{"PRMDTC", "PNDDTC"}, codes, 2, packet(R"("STRDTC":[],"PNDDTC":["P0123"],"PRMDTC":["P0789"])")},
        {{"STRDTC", "PNDDTC", "PRMDTC"},
         refusing,
         3,
         packet(R"("STRDTC":[],"PNDDTC":[],"PRMDTC":["P0789"])")},
        {{"STRDTC", "PNDDTC"}, pending, 2, packet(R"("STRDTC":["P0123"],"PNDDTC":["P0123"],"PRMDTC":[])")},
        {{"STRDTC", "PNDDTC"}, stays_busy, 2, packet(R"("STRDTC":[],"PNDDTC":[],"PRMDTC":[])")},
    };
    for (const Case &c : cases) {
        vsim::InProcessBus bus(vehicle_of({c.ecu}));
        bus.attach();
        set_groups(c.groups);
        EXPECT_STREQ(handle_dtc_command(), c.packet.c_str());
        EXPECT_EQ(requests(bus, 0).size(), c.requests) << c.packet;
    }
}

TEST_F(DtcWithVehicle, AnswerOfAnotherGroupIsNotTaken)
{
    vsim::EcuModel e;
    e.silent = true;
    vsim::InProcessBus bus(vehicle_of({e}));
    bus.attach();
    // Pending-code answers come back to both the stored and the pending request:
    // the stored request gets no answer of its own.
    SequencedAnswers node(
        bus, 0x7E8,
        {{0x04, 0x47, 0x01, 0x01, 0x23, 0xAA, 0xAA, 0xAA}, {0x06, 0x47, 0x02, 0x01, 0x23, 0x01, 0x24, 0xAA}});
    set_groups({"STRDTC", "PNDDTC"});
    EXPECT_STREQ(handle_dtc_command(),
                 R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":[],"PNDDTC":["P0123","P0124"],"PRMDTC":[]}})");
}

TEST_F(DtcWithVehicle, EveryEcuIsAskedAtOnceAndTheEngineCodesComeFirstEachOnce)
{
    // One request per group reaches every ECU. The second ECU answers first;
    // its codes still follow the engine's. Once the engine has answered, a
    // silent ECU costs only the time any ECU has to answer after the first,
    // and one that says "response pending" is waited for.
    const char *both =
        R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0123","P0700"],"PNDDTC":["P0171","P0123","P0700"],"PRMDTC":["P0700"]}})";
    const char *engine_only =
        R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0123"],"PNDDTC":["P0171","P0123"],"PRMDTC":[]}})";
    const auto engine_answers = std::chrono::milliseconds(20);
    vsim::EcuModel tcm = vsim::make_ecu11(1);
    tcm.stored_dtcs = {0x0700, 0x0123};
    tcm.pending_dtcs = {0x0123, 0x0700};
    tcm.permanent_dtcs = {0x0700};
    vsim::EcuModel tcm29 = tcm;
    tcm29.addressing = vsim::Addressing::Bit29;
    tcm29.response_id = 0x18DAF110;
    tcm29.physical_id = 0x18DA10F1;
    vsim::EcuModel silent = tcm;
    silent.silent = true;
    vsim::EcuModel busy = tcm;
    for (uint8_t service : {0x03, 0x07, 0x0A}) {
        busy.pending[service] = {1, std::chrono::milliseconds(300)};
    }
    struct Case {
        const char *what;
        vsim::EcuModel second;
        EcuEntry entry;
        const char *packet;
        int64_t took_us; // at most
    };
    const Case cases[] = {
        {"11-bit", tcm, {0x7E9, 1}, both, 3 * 20'000},
        {"29-bit", tcm29, {0x18DAF110, 2}, both, 3 * 20'000},
        {"silent second ECU", silent, {0x7E9, 1}, engine_only, 3 * (20'000 + OBD2_DETECT_SETTLE_US)},
        {"response pending first", busy, {0x7E9, 1}, both, 3 * 300'000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        vsim::EcuModel a;
        a.latency = engine_answers;
        a.stored_dtcs = {0x0123};
        a.pending_dtcs = {0x0171, 0x0123};
        vsim::InProcessBus bus(vehicle_of({a, c.second}));
        bus.attach();
        g_ecu_count = 2;
        g_ecu_list[1] = c.entry;
        const int64_t start = gw_monotonic_us();
        EXPECT_STREQ(handle_dtc_command(), c.packet);
        EXPECT_LE(gw_monotonic_us() - start, c.took_us);
        const size_t on_29bit = c.entry.mode == 2 ? 3 : 0;
        EXPECT_EQ(requests(bus, 0).size(), 3u);
        EXPECT_EQ(requests(bus, 1).size(), on_29bit);
    }
}

TEST_F(DtcWithVehicle, SegmentedAnswerWithManyCodes)
{
    vsim::EcuModel e;
    e.pending_dtcs.resize(100);
    std::iota(e.pending_dtcs.begin(), e.pending_dtcs.end(), 0x0100);
    vsim::InProcessBus bus(vehicle_of({e}));
    bus.attach();
    set_groups({"PNDDTC"});
    const std::string packet = handle_dtc_command();
    EXPECT_EQ(packet, R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":[],"PNDDTC":)" + p_codes(e.pending_dtcs, ",") +
                          R"(,"PRMDTC":[]}})");
    // One request and one flow-control frame.
    const auto sent = bus.received(0);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].data[0], 0x30);
}

TEST_F(DtcWithVehicle, PacketAtTheLimitLeavesOutWholeCodesFromTheEnd)
{
    vsim::EcuModel e;
    for (uint16_t i = 1; i <= 255; ++i) {
        e.stored_dtcs.push_back(i);
        e.pending_dtcs.push_back(i);
        e.permanent_dtcs.push_back(static_cast<uint16_t>(0xC000 + i));
    }
    vsim::InProcessBus bus(vehicle_of({e}));
    bus.attach();
    TraceCapture cap;

    const std::string packet = handle_dtc_command();
    ASSERT_LE(packet.size(), DTC_PACKET_MAX_LEN);
    ASSERT_LE(DTC_PACKET_MAX_LEN, MQTT_MAX_PUBLISH_LEN);
    // No more was left out than needed: one more code would not fit.
    EXPECT_GT(packet.size() + 8, DTC_PACKET_MAX_LEN);

    CJsonPtr parsed(cJSON_Parse(packet.c_str()));
    ASSERT_TRUE(parsed);
    cJSON *data = cJSON_GetObjectItem(parsed.get(), "DATA");
    cJSON *pending = cJSON_GetObjectItem(data, "PNDDTC");
    // Stored and pending alone need 4140 characters: all permanent codes and
    // the last 18 pending ones are left out.
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(data, "STRDTC")), 255);
    EXPECT_EQ(cJSON_GetArraySize(pending), 237);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(data, "PRMDTC")), 0);
    EXPECT_STREQ(cJSON_GetArrayItem(pending, 236)->valuestring, "P00ED");
    const std::string limit = "OBD2 WARN: DTC packet limit of 3999 bytes reached, ";
    EXPECT_EQ(cap.count_line(limit + "255 PRMDTC codes left out"), 1);
    EXPECT_EQ(cap.count_line(limit + "18 PNDDTC codes left out"), 1);
}

// Out of memory at any point of the read is no result: never a packet that
// reads as "no codes" or lacks a group.
TEST_F(DtcWithVehicle, ReadWithoutMemoryFailsLikeAReadNobodyAnswered)
{
    vsim::EcuModel e;
    e.stored_dtcs = {0x0123};
    e.pending_dtcs = {0x0123, 0xC100};
    e.permanent_dtcs = {0x0789};
    const char *whole =
        R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0123"],"PNDDTC":["P0123","U0100"],"PRMDTC":["P0789"]}})";
    static int s_allocs_left;
    cJSON_Hooks hooks{[](size_t n) { return s_allocs_left-- > 0 ? malloc(n) : nullptr; }, free};
    int failures = 0;
    for (int allocs = 0; allocs < 60; ++allocs) {
        SCOPED_TRACE(allocs);
        vsim::InProcessBus bus(vehicle_of({e}));
        bus.attach();
        s_allocs_left = allocs;
        cJSON_InitHooks(&hooks);
        TraceCapture quiet;
        const char *packet = handle_dtc_command();
        cJSON_InitHooks(nullptr);
        quiet.stop();
        if (packet == nullptr) {
            ++failures;
        } else {
            EXPECT_STREQ(packet, whole);
        }
    }
    EXPECT_GT(failures, 0);
}

TEST_F(DtcWithVehicle, ReadWithoutAnyAnswerFailsButARefusalIsAnAnswer)
{
    // A failed send is as good as a silent ECU here and does not wait 10 s.
    vsim::EcuModel refusing;
    for (uint16_t key : {0x0300, 0x0700, 0x0A00}) {
        refusing.negative[key] = 0x11;
    }
    struct Case {
        const char *what;
        vsim::EcuModel ecu;
        bool send_fails;
        const char *packet;
    };
    const std::vector<Case> cases = {
        {"no answer", {}, true, nullptr},
        {"every group refused", refusing, false,
         R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":[],"PNDDTC":[],"PRMDTC":[]}})"},
    };
    for (const Case &c : cases) {
        vsim::InProcessBus bus(vehicle_of({c.ecu}));
        bus.attach();
        if (c.send_fails) {
            can_cfg[0].sock = -1;
        }
        const char *packet = handle_dtc_command();
        EXPECT_STREQ(packet != nullptr ? packet : "(none)", c.packet != nullptr ? c.packet : "(none)")
            << c.what;
    }
}

// Every request is the same 04 request. After "response pending" the final
// answer is awaited; only when none comes is the request sent again, after a
// pause, up to the limit.
TEST_F(DtcWithVehicle, ClearOutcomes)
{
    struct Case {
        const char *what;
        int busy; // answers 7F 04 78 and nothing more, this many times
        uint8_t nrc;
        int result;
        size_t requests;
        int pauses; // each after a pending wait that ended without an answer
        const char *trace;
        std::vector<std::vector<uint8_t>> script = {}; // answers of another node; the ECU is then silent
        std::chrono::milliseconds confirms_after = {}; // "response pending", then the answer this late
    };
    const std::vector<uint8_t> ok = {0x01, 0x44, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    const std::vector<uint8_t> cut = {0x01, 0x44}; // holds 44 but is too short
    const std::vector<uint8_t> wait = {0x03, 0x7F, 0x04, 0x78};
    const char *cleared = "OBD2: DTCs cleared successfully.";
    const char *unusable = "OBD2: No usable response to Clear DTC request.";
    const std::vector<Case> cases = {
        {"positive", 0, 0, 1, 1, 0, cleared, {}},
        {"rejected", 0, 0x22, 0, 1, 0, "OBD2: Negative Response. NRC=0x22", {}},
        {"two busy then positive", 2, 0, 1, 3, 2, cleared, {}},
        {"five busy then positive", 5, 0, 1, 6, 5, cleared, {}},
        {"six busy", 6, 0, 0, 6, 5, "OBD2: Retry limit reached. Clear DTC failed.", {}},
        {"short answers holding 44 are unusable", 0, 0, 0, 3, 0, unusable, {cut, cut, cut, ok}},
        {"two unusable answers do not end the call", 0, 0, 1, 3, 0, cleared, {cut, cut, ok}},
        {"a busy answer ends a run of unusable ones", 0, 0, 1, 6, 1, cleared, {cut, cut, wait, cut, cut, ok}},
        {"confirmed 3 s after response pending", 0, 0, 1, 1, 0, cleared, {}, std::chrono::milliseconds(3000)},
        {"a confirmation just after the pending wait is not thrown away",
         0,
         0,
         1,
         1,
         1,
         cleared,
         {},
         std::chrono::milliseconds(5100)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        vsim::EcuModel e;
        e.clear_busy_count = c.busy;
        e.clear_nrc = c.nrc;
        e.silent = !c.script.empty();
        if (c.confirms_after.count() > 0) {
            e.pending[0x04] = {1, c.confirms_after};
        }
        vsim::InProcessBus bus(vehicle_of({e}));
        bus.attach();
        SequencedAnswers node(bus, 0x7E8, c.script);
        TraceCapture cap;
        const int64_t start = gw_monotonic_us();
        EXPECT_EQ(handle_clear_dtc_command(1), c.result);
        const int64_t took = gw_monotonic_us() - start;
        EXPECT_GE(took, c.pauses * (OBD2_RESPONSE_PENDING_WAIT_US + DTC_CLEAR_BUSY_PAUSE_US));
        EXPECT_GE(took, std::chrono::microseconds(c.confirms_after).count());
        EXPECT_EQ(requests(bus, 0),
                  std::vector<std::vector<uint8_t>>(c.requests, {0x01, 0x04, PAD, PAD, PAD, PAD, PAD, PAD}));
        EXPECT_EQ(cap.count_line(c.trace), 1);
    }
}

// Service 02 of the engine ECU: PID 02, the bitmasks its frame announces, then its catalogue PIDs.
TEST_F(DtcWithVehicle, FreezeFrameOutcomes)
{
    using Frame = vsim::EcuModel::FreezeFrame;
    const Frame frame{0x0301,
                      {{0x03, {0x02, 0x00}}, {0x0C, {0x21, 0x98}}, {0x2F, {0xA6}}, {0x42, {0x37, 0xC8}}}};
    const auto values = [](const char *v) {
        return R"({"TYP":1,"CMD":14,"DATA":{"DTC":"P0301","VAL":{)" + std::string(v) + "}}}";
    };
    const auto status = [](const char *m) {
        return R"({"TYP":1,"CMD":14,"ERROR":0,"DATA":{"msg":")" + std::string(m) + "\"}}";
    };
    const std::vector<uint8_t> all = {0x02, 0x00, 0x20, 0x40, 0x0C, 0x2F, 0x42};
    struct Case {
        const char *what;
        std::optional<Frame> frame;
        uint16_t refused; // service << 8 | PID answered 7F 02 12
        bool silent;
        std::string packet;
        std::vector<uint8_t> asked;
    };
    const std::vector<Case> cases = {
        {"stored frame", frame, 0, false, values(R"("ENGRPM":2150.00,"FLLVL":65.10,"CNTMDVOL":14.28)"), all},
        {"a value refused", frame, 0x022F, false, values(R"("ENGRPM":2150.00,"FLLVL":"--","CNTMDVOL":14.28)"),
         all},
        {"bitmask refused", frame, 0x0200, false, values(""), {0x02, 0x00}},
        {"no frame stored", Frame{}, 0, false, status("NOFRAME"), {0x02}},
        {"service 02 refused", std::nullopt, 0, false, status("NOTSUP"), {0x02}},
        {"no answer", frame, 0, true, "(none)", {0x02}},
    };
    for (const Case &c : cases) {
        vsim::EcuModel e;
        e.freeze_frame = c.frame;
        e.silent = c.silent;
        e.negative[c.refused] = c.refused != 0 ? 0x12 : 0;
        vsim::InProcessBus bus(vehicle_of({e}));
        bus.attach();
        const char *packet = handle_freeze_frame_command();
        EXPECT_EQ(packet != nullptr ? packet : "(none)", c.packet) << c.what;
        std::vector<uint8_t> asked;
        for (const auto &r : requests(bus, 0)) {
            EXPECT_EQ(r, (std::vector<uint8_t>{0x03, 0x02, r[2], 0x00, PAD, PAD, PAD, PAD})) << c.what;
            asked.push_back(r[2]);
        }
        EXPECT_EQ(asked, c.asked) << c.what;
    }
}

TEST_F(DtcWithVehicle, ClearAgainstFailingInterfaceIsBounded)
{
    vsim::InProcessBus bus(vehicle_of({vsim::EcuModel{}}));
    bus.attach();
    can_cfg[0].sock = -1;
    TraceCapture cap;
    EXPECT_EQ(handle_clear_dtc_command(1), 0);
    EXPECT_EQ(cap.count_line("RESPONSE FOR CLEAR DTC : "), DTC_CLEAR_MAX_UNUSABLE);
    EXPECT_EQ(cap.count_line("OBD2: No usable response to Clear DTC request."), 1);
}

} // namespace
