// The OBD exchange against the in-process vehicle: single and segmented
// answers, negative answers, acceptance, time-outs and hostile frames.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/can/error.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "common/gw_time.h"
#include "support/capture.h"
#include "support/test_clock.h"
#include "th_obd2_com/can_link.h"
#include "th_obd2_com/ecu_list.h"
#include "th_obd2_com/obd2_reassembly.h"
#include "th_obd2_com/obd2_config.h"
#include "scripted_answers.h"
#include "vehicle_sim.h"

using namespace std::chrono_literals;
using vsim::InProcessBus;
using vsim::make_ecu11;
using vsim::make_ecu29;
using vsim::make_frame;

namespace
{

const std::string kVin = "1HGCM82633A004352";

std::vector<uint8_t> bytes(const uint8_t *p, size_t n)
{
    return {p, p + n};
}

constexpr Obd2Outcome kOk = Obd2Outcome::Answered;
constexpr Obd2Outcome kRefused = Obd2Outcome::Refused;
constexpr Obd2Outcome kBusy = Obd2Outcome::Busy;
constexpr Obd2Outcome kNone = Obd2Outcome::None;

struct Answer {
    Obd2Outcome rc = static_cast<Obd2Outcome>(99); // not set
    std::array<uint8_t, OBD2_RESP_BUF_SIZE> buf{};
    size_t len = 12345;
    int64_t took_us = 0;
};

struct Ask {
    int mode;
    uint8_t service;
    uint8_t param;
    int kind;
    uint8_t len_byte = 2; // the request's first byte
};

Answer exchange(const Ask &ask)
{
    Answer a;
    uint8_t req[8];
    prepare_request(req, ask.len_byte, ask.service, ask.param);
    int64_t t0 = gw_monotonic_us();
    a.rc = send_obd2_request(ask.mode, req, sizeof req, a.buf.data(), &a.len, ask.kind);
    a.took_us = gw_monotonic_us() - t0;
    return a;
}

vsim::EcuModel engine_ecu()
{
    auto e = make_ecu11(0);
    e.pids = {{0x0C, {0x1A, 0xF8}}, {0x0D, {0x32}}, {0x05, {0x7B}}};
    e.vin = kVin;
    return e;
}

// The simulated bus, its channels in the gateway's table.
struct AttachedBus : InProcessBus {
    explicit AttachedBus(vsim::VehicleModel vehicle) : InProcessBus(std::move(vehicle)) { attach(); }
};

class Exchange : public ::testing::Test
{
  protected:
    void SetUp() override { g_can_padding = 0xAA; }
    FakeClock clock_;
};

// Frames the gateway wrote, once the simulator thread has recorded them.
std::vector<can_frame> written(const InProcessBus &bus, int ch, size_t at_least)
{
    gw_sleep_us(1000); // time moves once the bus thread waits again
    EXPECT_GE(bus.received(ch).size(), at_least);
    return bus.received(ch);
}

// Identifier, data length and data of each frame, to compare frames whole.
std::vector<std::tuple<canid_t, int, std::vector<uint8_t>>> fields(const std::vector<can_frame> &frames)
{
    std::vector<std::tuple<canid_t, int, std::vector<uint8_t>>> out;
    for (const can_frame &f : frames) {
        out.emplace_back(f.can_id, f.can_dlc, bytes(f.data, f.can_dlc));
    }
    return out;
}

// Scripted bus: frames put on a channel once the gateway has written a given
// number of frames (the request is frame 1, the first flow control frame 2).
struct Step {
    size_t after_writes;
    can_frame frame;
    bool bypass_filter = false;
    std::vector<uint8_t> raw = {}; // written as one record instead of the frame
};

can_frame with_dlc(can_frame f, uint8_t dlc)
{
    f.can_dlc = dlc;
    return f;
}

const can_frame kErrorFrame = make_frame(CAN_ERR_FLAG | CAN_ERR_TX_TIMEOUT, {0, 0, 0, 0, 0, 0, 0, 0});

// A segmented answer as an ECU sends it: first frame, then consecutive frames.
std::vector<can_frame> segmented(uint32_t id, const std::vector<uint8_t> &payload, bool extended = false)
{
    std::vector<can_frame> out;
    can_frame f = make_frame(
        id, {static_cast<uint8_t>(0x10 | payload.size() >> 8), static_cast<uint8_t>(payload.size())},
        extended);
    f.can_dlc = 8;
    size_t at = 0;
    for (uint8_t seq = 1, first = 2;; seq = (seq + 1) & 0x0F, first = 1) {
        for (size_t i = first; i < 8; ++i) {
            f.data[i] = at < payload.size() ? payload[at++] : 0xAA;
        }
        out.push_back(f);
        if (at >= payload.size()) {
            return out;
        }
        f.data[0] = static_cast<uint8_t>(0x20 | seq);
    }
}

// Two ECUs' segmented answers to the same calibration ID request.
const auto kTransmissionCalid =
    segmented(0x7E9, {0x49, 0x04, 0x01, 'T', 'R', 'A', 'N', 'S', 'M', 'I', 'S', 'S', 'I', 'O', 'N'});
const auto kEngineCalid =
    segmented(0x7E8, {0x49, 0x04, 0x01, 'E', 'N', 'G', 'I', 'N', 'E', '-', 'C', 'A', 'L', 'I', 'D'});

int open_fd_count()
{
    int n = 0;
    for (int fd = 0; fd < 4096; ++fd) {
        n += (fcntl(fd, F_GETFD) != -1);
    }
    return n;
}

} // namespace

TEST_F(Exchange, PrepareRequestPadsWithLowByteOfPadding)
{
    g_can_padding = 0x1255;
    uint8_t req[8] = {};
    EXPECT_EQ(prepare_request(req, 2, 0x01, 0x0C), 1);
    EXPECT_EQ(bytes(req, 8), (std::vector<uint8_t>{2, 0x01, 0x0C, 0x55, 0x55, 0x55, 0x55, 0x55}));
}

TEST_F(Exchange, AnswersOfTheSimulatedVehicle)
{
    auto pid00 = make_ecu11(0);
    pid00.pids[0x00] = {0xBE, 0x3F, 0xA8, 0x13};
    pid00.padding = 0x00;
    auto vin29 = make_ecu29(0x10);
    vin29.vin = kVin;
    auto refusing = engine_ecu();
    refusing.negative[0x0100] = 0x12;
    auto slow = engine_ecu();
    slow.latency = 300ms; // longer than a short wait, well inside a long one
    // 60 codes: 2 + 120 payload bytes = first frame + 17 consecutive frames,
    // the 16th of which carries sequence number 0.
    auto many_codes = engine_ecu();
    std::vector<uint8_t> codes_answer{122, 0x43, 60};
    for (uint8_t i = 0; i < 60; ++i) {
        many_codes.stored_dtcs.push_back(static_cast<uint16_t>(0x0100 + i));
        codes_answer.insert(codes_answer.end(), {0x01, i});
    }
    // "Response pending" before the answer; one that never ends; one too many.
    auto pending = engine_ecu();
    pending.pending_dtcs = {0x0123};
    pending.pending[0x07] = {1, 300ms};
    pending.pending[0x01] = {1, 300ms}; // longer than a short wait
    auto stays_busy = engine_ecu();
    stays_busy.negative[0x010C] = 0x78;
    auto too_many = engine_ecu();
    too_many.pending[0x01] = {OBD2_MAX_RESPONSE_PENDING + 1, 10ms};
    const std::string waits =
        "OBD2 INFO: response pending (NRC=0x78) from 0x7E8, waiting for its final answer";
    std::vector<uint8_t> vin_answer{0x14, 0x49, 0x02, 0x01};
    vin_answer.insert(vin_answer.end(), kVin.begin(), kVin.end());
    const Ask vin{1, 0x09, 0x02, OBD2_REQ_VEHICLE_INFO};
    const Ask codes{1, 0x03, 0xAA, OBD2_REQ_DTC, 1};
    const can_frame flow_control = make_frame(0x7E0, {0x30, 0, 0, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA});

    struct Want {
        Obd2Outcome rc;
        size_t len;
        std::vector<uint8_t> head; // the answer's first bytes
        long waits_us = 0;         // for no answer (0: not checked)
    };
    struct Case {
        const char *name;
        vsim::VehicleModel vehicle;
        Ask ask;
        Want want;
        std::vector<can_frame> written = {}; // on the mode's channel (empty: not checked)
        std::vector<std::string> trace = {}; // lines traced once each
        bool wrong_sequence = false;         // in the next consecutive frame
    };
    const Want short_wait{kNone, 0, {}, OBD2_SHORT_WAIT_US};
    const std::string timed_out = "Timeout: No CAN frame received";
    const Case cases[] = {
        {"single frame kept whole with its data length",
         vehicle_of({pid00}),
         {1, 0x01, 0x00, OBD2_REQ_DETECT},
         {kOk, 8, {0x06, 0x41, 0x00, 0xBE, 0x3F, 0xA8, 0x13, 0x00}},
         {make_frame(0x7DF, {2, 0x01, 0x00, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA})}},
        {"VIN reassembled after exactly one flow control",
         vehicle_of({engine_ecu()}),
         vin,
         {kOk, 21, vin_answer},
         {make_frame(0x7DF, {2, 0x09, 0x02, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}), flow_control},
         {" >>>>>>> Total Len: 21 <<<<<<<<",
          "---------: response len : 21 copy len : 7 | expected seq : 3 | Total len : 21"}},
        {"29-bit: extended identifiers both ways",
         vehicle_of({vin29}),
         {2, 0x09, 0x02, OBD2_REQ_VEHICLE_INFO},
         {kOk, 21, vin_answer},
         {make_frame(0x18DB33F1, {2, 0x09, 0x02, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}, true),
          make_frame(0x18DA10F1, {0x30, 0, 0, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}, true)}},
        {"negative answer",
         vehicle_of({refusing}),
         {1, 0x01, 0x00, OBD2_REQ_DETECT},
         {kRefused, 8, {0x03, 0x7F, 0x01, 0x12}},
         {},
         {"OBD2 Negative Response: SID=0x01, NRC=0x12"}},
        {"wrong sequence number",
         vehicle_of({engine_ecu()}),
         vin,
         {kNone, 7, {}},
         {},
         {"OBD2 unexpected sequence: got 0x02, expected 0x01"},
         true},
        {"long answer wraps the sequence counter",
         vehicle_of({many_codes}),
         codes,
         {kOk, 123, codes_answer},
         {make_frame(0x7DF, {1, 0x03, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}), flow_control}},
        {"long kind waits ten seconds", vsim::VehicleModel{}, codes, {kNone, 0, {}, OBD2_LONG_WAIT_US}},
        {"answer inside the long wait is taken", vehicle_of({slow}), vin, {kOk, 21, vin_answer}},
        {"answer after a short wait is not",
         vehicle_of({slow}),
         {1, 0x01, 0x0C, OBD2_REQ_LIVE},
         {kNone, 0, {}}},
        // Every kind but the long one gives up after the short wait.
        {"live kind", {}, {1, 0x01, 0x0C, OBD2_REQ_LIVE}, short_wait, {}, {timed_out}},
        {"probe kind", {}, {1, 0x01, 0x0C, OBD2_REQ_PID_PROBE}, short_wait, {}, {timed_out}},
        {"detect kind", {}, {1, 0x01, 0x0C, OBD2_REQ_DETECT}, short_wait, {}, {timed_out}},
        {"unknown kind", {}, {1, 0x01, 0x0C, 99}, short_wait, {}, {timed_out}},
        {"response pending, then the answer",
         vehicle_of({pending}),
         {1, 0x07, 0xAA, OBD2_REQ_DTC, 1},
         {kOk, 8, {0x04, 0x47, 0x01, 0x01, 0x23}},
         {},
         {waits}},
        {"response pending outlasts a short wait",
         vehicle_of({pending}),
         {1, 0x01, 0x0C, OBD2_REQ_LIVE},
         {kOk, 8, {0x04, 0x41, 0x0C, 0x1A, 0xF8}},
         {},
         {waits}},
        {"response pending without end",
         vehicle_of({stays_busy}),
         {1, 0x01, 0x0C, OBD2_REQ_LIVE},
         {kBusy, 8, {0x03, 0x7F, 0x01, 0x78}, OBD2_RESPONSE_PENDING_WAIT_US},
         {},
         {waits, "OBD2 WARN: no final answer from 0x7E8 after response pending"}},
        {"one response pending too many",
         vehicle_of({too_many}),
         {1, 0x01, 0x0C, OBD2_REQ_LIVE},
         {kBusy, 8, {0x03, 0x7F, 0x01, 0x78}, OBD2_MAX_RESPONSE_PENDING * 10'000},
         {},
         {"OBD2 Negative Response: SID=0x01, NRC=0x78"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        AttachedBus bus(c.vehicle);
        if (c.wrong_sequence) {
            bus.vehicle().inject_wrong_sequence();
        }
        TraceCapture trace;
        auto a = exchange(c.ask);
        EXPECT_EQ(a.rc, c.want.rc);
        EXPECT_EQ(a.len, c.want.len);
        EXPECT_EQ(bytes(a.buf.data(), c.want.head.size()), c.want.head);
        if (c.want.waits_us != 0) {
            EXPECT_EQ(a.took_us, c.want.waits_us);
        }
        const int ch = c.ask.mode - 1;
        if (!c.written.empty()) {
            EXPECT_EQ(fields(written(bus, ch, c.written.size())), fields(c.written));
            EXPECT_TRUE(bus.received(1 - ch).empty());
        }
        for (const auto &line : c.trace) {
            EXPECT_EQ(trace.count_line(line), 1) << line;
        }
    }
}

TEST_F(Exchange, DetectModeFindsTheAddressingAndEveryAnsweringEcu)
{
    using Ids = std::vector<std::pair<uint32_t, int>>; // answer identifier, mode
    struct Case {
        const char *name;
        vsim::VehicleModel vehicle;
        int expect;
        size_t requests_on_29bit;
        Ids ecus;
    };
    auto neg = make_ecu11(0);
    neg.negative[0x0100] = 0x22;
    auto neg29 = make_ecu29(0x10);
    neg29.negative[0x0100] = 0x22;
    // The transmission answers first, the engine 20 ms later; a third ECU
    // answers later than any ECU may and is not waited for.
    auto engine = make_ecu11(0);
    engine.latency = 20ms;
    auto late = make_ecu11(2);
    late.latency = 90ms;
    const auto several = vehicle_of({make_ecu11(1), engine, late});
    // The transmission says "response pending" before the engine answers, and answers 30 ms later.
    auto busy = make_ecu11(1);
    busy.pending[0x01] = {1, 30ms};
    std::vector<Case> cases = {
        {"11-bit", vehicle_of({make_ecu11(0)}), 1, 0, {{0x7E8, 1}}},
        {"29-bit", vehicle_of({make_ecu29(0x10)}), 2, 1, {{0x18DAF110, 2}}},
        {"negative on 11-bit skips 29-bit", vehicle_of({neg}), -2, 0, {{0x7E8, 1}}},
        {"negative on 29-bit", vehicle_of({neg29}), -2, 1, {{0x18DAF110, 2}}},
        {"several ECUs, engine first", several, 1, 0, {{0x7E8, 1}, {0x7E9, 1}}},
        {"one busy at first", vehicle_of({busy, make_ecu11(0)}), 1, 0, {{0x7E8, 1}, {0x7E9, 1}}},
        {"nothing", vsim::VehicleModel{}, 0, 1, {}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        AttachedBus bus(c.vehicle);
        uint8_t req[8];
        prepare_request(req, 2, 0x01, 0x00);
        Answer a;
        std::array<EcuEntry, OBD2_MAX_ECUS> found{};
        int count = -1;
        int64_t t0 = gw_monotonic_us();
        EXPECT_EQ(detect_ecus(req, sizeof req, a.buf.data(), &a.len, found.data(), OBD2_MAX_ECUS, &count),
                  c.expect);
        const int64_t took_us = gw_monotonic_us() - t0;
        if (c.expect == 0) {
            EXPECT_EQ(took_us, 2 * OBD2_SHORT_WAIT_US);
        }
        if (c.ecus.size() > 1) {
            EXPECT_EQ(took_us, OBD2_DETECT_SETTLE_US); // from the first answer, at once
        }
        Ids ids;
        for (int i = 0; i < count; ++i) {
            ids.emplace_back(found[i].response_id, found[i].mode);
        }
        EXPECT_EQ(ids, c.ecus);
        gw_sleep_us(100'000); // every answer has come and gone
        bus.clear_received();
        // The presence check asks the same way.
        EXPECT_EQ(detect_mode(req, sizeof req, a.buf.data(), &a.len), c.expect);
        gw_sleep_us(5'000);
        EXPECT_EQ(bus.received(1).size(), c.requests_on_29bit);
    }
}

TEST_F(Exchange, ScriptedAnswers)
{
    struct Want {
        Obd2Outcome rc;
        size_t len;
        long flow_controls;
        std::vector<uint8_t> head; // the answer's first bytes
    };
    struct Case {
        const char *name;
        std::vector<Step> steps;
        Want want;
        std::array<uint8_t, 2> request = {0x09, 0x02}; // service, parameter
    };
    // A first frame announcing 4095 bytes followed by a long run of full
    // consecutive frames: the answer is capped at the buffer size.
    std::vector<Step> hostile{{1, make_frame(0x7E8, {0x1F, 0xFF, 0x49, 0x02, 0x01, 1, 2, 3})}};
    for (int i = 1; i <= 600; ++i) {
        auto f = make_frame(
            0x7E8, {static_cast<uint8_t>(0x20 | (i & 0x0F)), 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE});
        hostile.push_back({2, with_dlc(f, 15)});
    }
    std::vector<uint8_t> capped{0xFF, 0x49, 0x02, 0x01, 1, 2, 3};
    capped.resize(OBD2_RESP_BUF_SIZE, 0xEE);
    const std::vector<Case> cases = {
        {"0x7E9 is an answer",
         {{1, make_frame(0x7E9, {0x03, 0x41, 0x0D, 0x32, 0, 0, 0, 0})}},
         {kOk, 8, 0, {0x03, 0x41, 0x0D, 0x32}},
         {0x01, 0x0D}},
        {"0x7F0 and 0x7E0 are skipped",
         {{1, make_frame(0x7F0, {0x03, 0x41, 0x0D, 0x01}), true},
          {1, make_frame(0x7E0, {0x03, 0x41, 0x0D, 0x02}), true},
          {1, make_frame(0x7EF, {0x03, 0x41, 0x0D, 0x03})}},
         {kOk, 4, 0, {0x03, 0x41, 0x0D, 0x03}},
         {0x01, 0x0D}},
        {"29-bit frame on the 11-bit channel is skipped",
         {{1, make_frame(0x18DAF110, {0x03, 0x41, 0x0D, 0x01}, true), true},
          {1, make_frame(0x7E8, {0x03, 0x41, 0x0D, 0x09})}},
         {kOk, 4, 0, {0x03, 0x41, 0x0D, 0x09}},
         {0x01, 0x0D}},
        {"error frame and short record are skipped",
         {{1, kErrorFrame}, {1, make_frame(0x7E8, {0x02, 0x41, 0x0D})}},
         {kOk, 3, 0, {0x02, 0x41, 0x0D}},
         {0x01, 0x0D}},
        {"data length 15 counts as 8",
         {{1, with_dlc(make_frame(0x7E8, {0x03, 0x41, 0x0D, 0x32, 1, 2, 3, 4}), 15)}},
         {kOk, 8, 0, {0x03, 0x41, 0x0D, 0x32, 1, 2, 3, 4}},
         {0x01, 0x0D}},
        {"wrong sequence number",
         {{1, make_frame(0x7E8, {0x10, 0x14, 0x49, 0x02, 0x01, 'A', 'B', 'C'})},
          {2, make_frame(0x7E8, {0x22, 1, 2, 3, 4, 5, 6, 7})}},
         {kNone, 7, 1, {}}},
        {"negative answer during a segmented answer",
         {{1, make_frame(0x7E8, {0x10, 0x14, 0x49, 0x02, 0x01, 'A', 'B', 'C'})},
          {2, make_frame(0x7E8, {0x03, 0x7F, 0x09, 0x31})}},
         {kRefused, 4, 1, {0x03, 0x7F, 0x09, 0x31}}},
        {"response pending, then an answer that breaks off",
         {{1, make_frame(0x7E8, {0x03, 0x7F, 0x09, 0x78})},
          {1, make_frame(0x7E8, {0x10, 0x14, 0x49, 0x02, 0x01, 'A', 'B', 'C'})}},
         {kNone, 7, 1, {}}},
        {"a second first frame of the same ECU starts its answer over",
         {{1, make_frame(0x7E8, {0x10, 0x14, 0x49, 0x02, 0x01, 'A', 'B', 'C'})},
          {2, make_frame(0x7E8, {0x21, 'D', 'E', 'F', 'G', 'H', 'I', 'J'})},
          {2, make_frame(0x7E8, {0x10, 0x0A, 0x49, 0x02, 0x01, 'N', 'A', 'M'})},
          {3, make_frame(0x7E8, {0x21, 'E', '1', '2', '3', 0, 0, 0})}},
         {kOk, 11, 2, {0x0A, 0x49, 0x02, 0x01, 'N', 'A', 'M', 'E', '1', '2', '3'}}},
        {"single frame inside a segmented answer is ignored",
         {{1, make_frame(0x7E8, {0x10, 0x08, 0x49, 0x02, 0x01, 'C', 'A', 'L'})},
          {2, make_frame(0x7E9, {0x02, 0x41, 0x00})},
          {2, make_frame(0x7E8, {0x21, 'I', 'D', 0, 0, 0, 0, 0})}},
         {kOk, 9, 1, {0x08, 0x49, 0x02, 0x01, 'C', 'A', 'L', 'I', 'D'}}},
        {"consecutive frame before any first frame is no answer",
         {{1, make_frame(0x7E8, {0x21, 0x41, 0x0D, 3, 4, 5, 6, 7})},
          {1, make_frame(0x7E8, {0x03, 0x41, 0x0D, 0x32})}},
         {kOk, 4, 0, {0x03, 0x41, 0x0D, 0x32}},
         {0x01, 0x0D}},
        {"first frame announcing length 0 is no answer",
         {{1, make_frame(0x7E8, {0x10, 0x00, 0x49, 0x02, 3, 4, 5, 6})},
          {2, make_frame(0x7E8, {0x21, 1, 2, 3, 4, 5, 6, 7})}},
         {kNone, 0, 0, {}}},
        {"empty consecutive frame copies nothing",
         {{1, make_frame(0x7E8, {0x10, 0x09, 0x49, 0x02, 0x01, 1, 2, 3})},
          {2, with_dlc(make_frame(0x7E8, {0x21, 9}), 0)},
          {2, make_frame(0x7E8, {0x22, 0xAB, 0xCD, 0xEF, 0, 0, 0, 0})}},
         {kOk, 10, 1, {0x09, 0x49, 0x02, 0x01, 1, 2, 3, 0xAB, 0xCD, 0xEF}}},
        {"raw records of other sizes are skipped",
         {{1, {}, false, {0xE8, 0x07, 0, 0, 8, 0, 0, 0}},
          {1, {}, false, std::vector<uint8_t>(32)},
          {1, make_frame(0x7E8, {0x02, 0x41, 0x00})}},
         {kOk, 3, 0, {}},
         {0x01, 0x00}},
        {"hostile frames stay inside the buffer", hostile, {kOk, OBD2_RESP_BUF_SIZE, 1, capped}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        AttachedBus bus(vsim::VehicleModel{});
        TraceCapture trace; // hundreds of traced frames stay out of the log
        Answer a;
        {
            OnWrites script(bus, 0,
                            [&bus, &c, next = std::make_shared<size_t>(0)](size_t n, const can_frame &) {
                                for (; *next < c.steps.size() && c.steps[*next].after_writes <= n; ++*next) {
                                    const Step &s = c.steps[*next];
                                    s.raw.empty() ? bus.inject(0, s.frame, s.bypass_filter)
                                                  : bus.inject_raw(0, s.raw.data(), s.raw.size());
                                }
                            });
            a = exchange({1, c.request[0], c.request[1], OBD2_REQ_LIVE});
        }
        EXPECT_EQ(a.rc, c.want.rc);
        EXPECT_EQ(a.len, c.want.len);
        EXPECT_EQ(bytes(a.buf.data(), c.want.head.size()), c.want.head);
        if (c.want.rc != kRefused) {
            EXPECT_EQ(trace.count_containing("Negative Response"),
                      0); // only a negative answer is shown as one
        }
        const auto frames = bus.received(0);
        EXPECT_EQ(
            std::count_if(frames.begin(), frames.end(), [](const can_frame &f) { return f.data[0] == 0x30; }),
            c.want.flow_controls);
    }
}

TEST(Reassembly, EachAnswerComesWholeFromOneEcuAndAnswersTheRequest)
{
    using R = Obd2RxStep;
    const auto &t = kTransmissionCalid;
    const auto &e = kEngineCalid;
    // 127 payload bytes: the first frame's length byte and the first consecutive
    // frame's first data byte are both 0x7F.
    std::vector<uint8_t> cvn(127, 0x5A);
    cvn[0] = 0x49, cvn[1] = 0x06, cvn[6] = 0x7F;
    const auto c = segmented(0x7E8, cvn);
    std::vector<R> cvn_steps(c.size(), R::Skip);
    cvn_steps.front() = R::SendFlowControl;
    cvn_steps.back() = R::Complete;

    struct Request {
        int mode;
        std::vector<uint8_t> bytes; // as sent: length, service, parameter
        uint32_t bound;
    };
    struct Result {
        std::vector<uint8_t> head; // of the answer after the last step
        uint32_t answered_by;
        uint32_t flow_control_to;            // 0: none sent
        std::vector<uint32_t> released = {}; // flow control to other ECUs that began an answer
    };
    struct Case {
        const char *name;
        Request request;
        std::vector<can_frame> frames;
        std::vector<R> steps;
        Result result;
    };
    const std::vector<Case> cases = {
        {"interleaved first frames of two ECUs",
         {1, {2, 0x09, 0x04}, 0},
         {t[0], e[0], t[1], e[1], t[2]},
         {R::SendFlowControl, R::Skip, R::Skip, R::Skip, R::Complete},
         {{0x0F, 0x49, 0x04, 0x01, 'T', 'R', 'A', 'N'}, 0x7E9, 0x7E1, {0x7E0}}},
        {"a consecutive frame of another ECU in the middle",
         {1, {2, 0x09, 0x04}, 0},
         {e[0], t[1], e[1], e[2]},
         {R::SendFlowControl, R::Skip, R::Skip, R::Complete},
         {{0x0F, 0x49, 0x04, 0x01, 'E', 'N', 'G', 'I'}, 0x7E8, 0x7E0}},
        {"0x7F in first and consecutive frames is data",
         {1, {2, 0x09, 0x06}, 0},
         c,
         cvn_steps,
         {{0x7F, 0x49, 0x06, 0x5A, 0x5A, 0x5A, 0x5A, 0x7F}, 0x7E8, 0x7E0}},
        {"late answers to the previous service are skipped",
         {1, {1, 0x03}, 0},
         {make_frame(0x7E8, {0x02, 0x47, 0x00}), segmented(0x7E8, {0x47, 3, 1, 2, 3, 4, 5, 6})[0],
          make_frame(0x7E8, {0x02, 0x43, 0x00})},
         {R::Skip, R::Skip, R::Complete},
         {{0x02, 0x43, 0x00}, 0x7E8, 0}},
        {"a first frame too short to echo the InfoType is skipped",
         {1, {2, 0x09, 0x06}, 0},
         {make_frame(0x7E9, {0x10, 0x01, 0x49, 0x06, 0x01, 0x41, 0x42, 0x43}),
          make_frame(0x7E9, {0x21, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}),
          make_frame(0x7E8, {0x07, 0x49, 0x06, 0x01, 0x12, 0xAB, 0x34, 0xCD})},
         {R::Skip, R::Skip, R::Complete},
         {{0x07, 0x49, 0x06, 0x01, 0x12}, 0x7E8, 0}},
        {"an answer for another PID is skipped",
         {1, {2, 0x01, 0x0D}, 0},
         {make_frame(0x7E8, {0x04, 0x41, 0x0C, 0x1A, 0xF8}), make_frame(0x7E9, {0x03, 0x41, 0x0D, 0x77})},
         {R::Skip, R::Complete},
         {{0x03, 0x41, 0x0D, 0x77}, 0x7E9, 0}},
        {"a negative answer to another service is skipped",
         {1, {2, 0x09, 0x02}, 0},
         {make_frame(0x7E9, {0x03, 0x7F, 0x01, 0x12}), make_frame(0x7E8, {0x03, 0x7F, 0x09, 0x12})},
         {R::Skip, R::Refused},
         {{0x03, 0x7F, 0x09, 0x12}, 0x7E8, 0}},
        {"bound to an ECU: others' answers are skipped",
         {1, {2, 0x09, 0x04}, 0x7E8},
         {make_frame(0x7E9, {0x03, 0x7F, 0x09, 0x12}), t[0], e[0], e[1], e[2]},
         {R::Skip, R::Skip, R::SendFlowControl, R::Skip, R::Complete},
         {{0x0F, 0x49, 0x04, 0x01, 'E'}, 0x7E8, 0x7E0, {0x7E1}}},
        {"29-bit flow control",
         {2, {2, 0x09, 0x04}, 0},
         segmented(0x18DAF110, {0x49, 0x04, 1, 2, 3, 4, 5, 6}, true),
         {R::SendFlowControl, R::Complete},
         {{0x08, 0x49, 0x04}, 0x18DAF110, 0x18DA10F1 | CAN_EFF_FLAG}},
        // Another ECU answering in several frames gets flow control too, or its
        // transport holds its next answers for a second.
        {"another ECU's segmented answer is released, not collected",
         {1, {2, 0x09, 0x04}, 0x7E8},
         {t[0], e[0], t[1], e[1], e[2]},
         {R::Skip, R::SendFlowControl, R::Skip, R::Skip, R::Complete},
         {{0x0F, 0x49, 0x04, 0x01, 'E'}, 0x7E8, 0x7E0, {0x7E1}}},
        {"another ECU's segmented answer is released, unbound",
         {1, {2, 0x09, 0x04}, 0},
         {e[0], t[0], t[1], e[1], e[2]},
         {R::SendFlowControl, R::Skip, R::Skip, R::Skip, R::Complete},
         {{0x0F, 0x49, 0x04, 0x01, 'E'}, 0x7E8, 0x7E0, {0x7E1}}},
    };
    g_can_padding = 0xAA;
    for (const auto &k : cases) {
        SCOPED_TRACE(k.name);
        Obd2Reassembly r(k.request.mode, k.request.bytes.data(), k.request.bytes.size(), k.request.bound);
        uint32_t fc_id = 0;
        std::vector<uint32_t> released;
        size_t i = 0;
        for (R got; i < k.frames.size() && (got = r.step(k.frames[i])) == k.steps[i]; ++i) {
            fc_id = got == R::SendFlowControl ? r.flow_control().can_id : fc_id;
            if (r.releases_other_ecu()) {
                EXPECT_EQ(got, R::Skip);
                released.push_back(r.released_flow_control().can_id);
                EXPECT_EQ(r.released_flow_control().data[0], 0x30);
            }
        }
        if (i < k.frames.size()) {
            ADD_FAILURE() << "unexpected step at frame " << i;
            continue;
        }
        ASSERT_GE(r.answer_len(), k.result.head.size());
        EXPECT_EQ(bytes(r.answer(), k.result.head.size()), k.result.head);
        EXPECT_EQ(r.response_id(), k.result.answered_by);
        EXPECT_EQ(fc_id, k.result.flow_control_to);
        EXPECT_EQ(released, k.result.released);
        // Nothing past the announced total is kept: at 4095 bytes it would not fit.
        EXPECT_EQ(r.collected_len(), r.answer_len());
    }
}

TEST_F(Exchange, BadRequestLengthIsRefusedBeforeSending)
{
    AttachedBus bus(vehicle_of({engine_ecu()}));
    TraceCapture trace;
    uint8_t req[9] = {2, 1, 0, 0, 0, 0, 0, 0, 0};
    for (size_t len : {size_t{0}, size_t{1}, size_t{9}}) {
        std::array<uint8_t, OBD2_RESP_BUF_SIZE> buf{};
        size_t resp_len = 777;
        EXPECT_EQ(send_obd2_request(1, req, len, buf.data(), &resp_len, OBD2_REQ_LIVE), kNone);
        EXPECT_EQ(resp_len, 777u);
        EXPECT_EQ(trace.count_line("Invalid OBD2 request length: " + std::to_string(len) + " bytes"), 1);
    }
    gw_sleep_us(5'000);
    EXPECT_TRUE(bus.received(0).empty());
}

TEST_F(Exchange, StaleAnswersAreNeverTakenForTheNextRequest)
{
    // Three ECUs answer the functional request; a late answer arrives after
    // the requester gave up. Neither may answer the following request.
    auto a1 = make_ecu11(1);
    a1.pids = {{0x0C, {0x11, 0x11}}, {0x0D, {0x77}}};
    a1.latency = 5ms;
    auto a2 = make_ecu11(2);
    a2.pids = {{0x0C, {0x22, 0x22}}, {0x0D, {0x88}}};
    a2.latency = 10ms;
    AttachedBus bus(vehicle_of({engine_ecu(), a1, a2}));
    const Ask rpm{1, 0x01, 0x0C, OBD2_REQ_LIVE};

    auto first = exchange(rpm);
    ASSERT_EQ(first.rc, kOk);
    EXPECT_EQ(bytes(first.buf.data(), 5), (std::vector<uint8_t>{0x04, 0x41, 0x0C, 0x1A, 0xF8}));
    gw_sleep_us(30'000); // the other two answers are queued now

    // The same PID again: the queued answers would pass every check but freshness.
    bus.vehicle().set_silent(1, true);
    bus.vehicle().set_silent(2, true);
    auto second = exchange(rpm);
    ASSERT_EQ(second.rc, kOk);
    EXPECT_EQ(bytes(second.buf.data(), 5), (std::vector<uint8_t>{0x04, 0x41, 0x0C, 0x1A, 0xF8}));

    bus.vehicle().inject_late_answer(150ms);
    EXPECT_EQ(exchange(rpm).rc, kNone);
    gw_sleep_us(80'000); // the late answer is queued now
    auto after_late = exchange({1, 0x01, 0x0D, OBD2_REQ_LIVE});
    ASSERT_EQ(after_late.rc, kOk);
    EXPECT_EQ(after_late.buf[2], 0x0D);
}

TEST_F(Exchange, LeftoverFirstFramesGetFlowControlOnlyWhenSeveralEcusAreRecorded)
{
    struct Case {
        int ecus;
        uint32_t from; // a segmented answer begun after the exchange that asked had ended
        bool during;   // it comes during the next exchange, not before it
        std::vector<canid_t> written;
    };
    const Case cases[] = {
        {1, 0x7E8, false, {0x7DF}},        {2, 0x7E9, false, {0x7E1, 0x7DF}},
        {2, 0x7E8, false, {0x7E0, 0x7DF}}, // the ECU the next request is for, too
        {1, 0x7E8, true, {0x7DF}},         {2, 0x7E8, true, {0x7DF, 0x7E0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.from) + (c.during ? " during" : " before"));
        AttachedBus bus(vehicle_of({engine_ecu()}));
        g_ecu_count = c.ecus;
        const can_frame leftover = make_frame(c.from, {0x10, 0x0E, 0x43, 0x06, 0x03, 0x01, 0x04, 0x20});
        c.during ? bus.inject_on_request(0, leftover) : bus.inject(0, leftover);
        gw_sleep_us(1000);
        EXPECT_EQ(exchange({1, 0x01, 0x0C, OBD2_REQ_LIVE}).rc, kOk);
        std::vector<canid_t> ids;
        for (const can_frame &f : written(bus, 0, 1)) {
            ids.push_back(f.can_id);
        }
        EXPECT_EQ(ids, c.written);
    }
}

TEST_F(Exchange, NoSequenceOfFramesHoldsTheExchange)
{
    // Frames that carry no new byte of the answer do not extend the wait, and
    // no exchange outlasts its limit, whatever comes.
    const can_frame vin_start = make_frame(0x7E8, {0x10, 0x14, 0x49, 0x02, 0x01, 'A', 'B', 'C'});
    const can_frame huge_start = make_frame(0x7E8, {0x1F, 0xFF, 0x49, 0x02, 0x01, 'A', 'B', 'C'});
    std::vector<can_frame> empty_cfs, full_cfs;
    for (int i = 1; i <= 600; ++i) {
        const uint8_t seq = static_cast<uint8_t>(0x20 | (i & 0x0F));
        empty_cfs.push_back(with_dlc(make_frame(0x7E8, {seq}), 1));
        full_cfs.push_back(make_frame(0x7E8, {seq, 1, 2, 3, 4, 5, 6, 7}));
    }
    struct Case {
        const char *name;
        const can_frame *first_frame; // the answer starts with it, then only the frames below follow
        std::vector<can_frame> frames;
        std::chrono::microseconds period;
        int kind;
        long limit_us; // from the request
    };
    const Case cases[] = {
        {"error frames, silent vehicle", nullptr, {kErrorFrame}, 200us, OBD2_REQ_LIVE, OBD2_SHORT_WAIT_US},
        {"error frames after a first frame",
         &vin_start,
         {kErrorFrame},
         200us,
         OBD2_REQ_LIVE,
         OBD2_SHORT_WAIT_US},
        {"other frames of the answering ECU after its first frame",
         &vin_start,
         {make_frame(0x7E8, {0x02, 0x41, 0x00})},
         200us,
         OBD2_REQ_VEHICLE_INFO,
         OBD2_SEGMENT_GAP_LIMIT_US},
        {"the same first frame again and again", &vin_start, std::vector<can_frame>(100, vin_start), 50ms,
         OBD2_REQ_LIVE, OBD2_SHORT_WAIT_US},
        {"consecutive frames without a byte",
         &vin_start,
         {empty_cfs.begin(), empty_cfs.begin() + 100},
         50ms,
         OBD2_REQ_LIVE,
         OBD2_SHORT_WAIT_US},
        {"new bytes just in time, for ever", &huge_start, full_cfs, 90ms, OBD2_REQ_LIVE,
         obd2_exchange_limit_us(OBD2_SHORT_WAIT_US)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        AttachedBus bus(vsim::VehicleModel{});
        const size_t noise_after = c.first_frame != nullptr ? 2 : 1;
        Answer a;
        {
            TraceCapture trace; // thousands of traced frames stay out of the log
            OnWrites noise(bus, 0, [&bus, &c, noise_after](size_t n, const can_frame &) {
                if (c.first_frame != nullptr && n == 1) {
                    bus.inject(0, *c.first_frame);
                }
                if (n == noise_after) {
                    bus.start_noise(c.frames, c.period, c.frames.size() == 1);
                }
            });
            a = exchange({1, 0x09, 0x02, c.kind});
        }
        bus.stop_noise();
        EXPECT_EQ(a.rc, kNone);
        EXPECT_GE(a.took_us, c.limit_us);
        EXPECT_LT(a.took_us, c.limit_us + 1'000); // the next frames after the limit end it
    }
}

TEST_F(Exchange, ClosedSocketFailsCleanly)
{
    can_cfg[0].sock = -1;
    TraceCapture trace;
    auto a = exchange({1, 0x01, 0x00, OBD2_REQ_LIVE});
    EXPECT_EQ(a.rc, kNone);
    EXPECT_EQ(a.len, 12345u);
    EXPECT_EQ(trace.count_containing("CAN write failed: "), 1);
}

TEST(CanBringUp, SetupRunsTheThreeCommandsAndAlwaysSucceeds)
{
    static std::vector<std::string> cmds;
    static int status;
    can_test_set_shell_runner([](const char *cmd) {
        cmds.emplace_back(cmd);
        return status;
    });
    for (int s : {0, 256, -1}) {
        cmds.clear();
        status = s;
        EXPECT_EQ(can_setup("can0", 1000000), 1);
        EXPECT_EQ(cmds, (std::vector<std::string>{"sudo ip link set can0 down",
                                                  "sudo ip link set can0 up type can bitrate 1000000",
                                                  "sudo ip link set can0 up"}));
    }
    can_test_set_shell_runner(nullptr);
}

TEST(CanBringUp, FailingSocketsAreReportedClosedAndNeverPileUp)
{
    struct Case {
        const char *name;
        CanSocketFactory factory;
        const char *message;
    };
    const Case cases[] = {
        {"no socket", [](int) { return -1; }, "CAN socket creation failed: "},
        {"no interface can0", [](int) { return ::socket(AF_UNIX, SOCK_DGRAM, 0); },
         "CAN interface index failed: "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        can_test_set_socket_factory(c.factory);
        TraceCapture trace;
        EXPECT_EQ(init_can_socket(), 0);
        EXPECT_EQ(trace.count_containing(c.message), 2);
        EXPECT_EQ(std::make_pair(can_cfg[0].sock, can_cfg[1].sock), std::make_pair(-1, -1));
        trace.stop();
        int before = open_fd_count();
        for (int i = 0; i < 1000; ++i) {
            TraceCapture quiet;
            init_can_socket();
        }
        EXPECT_EQ(open_fd_count(), before);
    }
    can_test_set_socket_factory(nullptr);
}

TEST(CanBringUp, ChannelTableHoldsTheOBDIdentifiers)
{
    EXPECT_EQ((std::array<uint32_t, 6>{can_cfg[0].request_id, can_cfg[0].filter_id, can_cfg[0].filter_mask,
                                       can_cfg[1].request_id, can_cfg[1].filter_id, can_cfg[1].filter_mask}),
              (std::array<uint32_t, 6>{0x7DF, 0x7E8, 0x7F8, 0x18DB33F1, 0x18DAF110, 0x1FFFFFFF}));
}

TEST(CanBringUp, ApplyCanFilterRefusesUnknownKindsAndReportsFailures)
{
    int sock = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_GE(sock, 0);
    TraceCapture trace;
    errno = 0;
    EXPECT_EQ(apply_can_filter(sock, 9, 0x7E8, 0x7F8), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(trace.count_line("Unknown filter type: 9"), 1);
    for (int kind = 1; kind <= 4; ++kind) {
        EXPECT_EQ(apply_can_filter(sock, kind, 0x7E8, 0x7F8), -1) << kind;
    }
    EXPECT_EQ(trace.count_containing("setsockopt: "), 4);
    ::close(sock);
}
