// The OBD exchange against the in-process vehicle: single and segmented
// answers, negative answers, acceptance, time-outs and hostile frames.
#include <gtest/gtest.h>

#include <linux/can/error.h>

#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/gw_time.h"
#include "support/capture.h"
#include "th_obd2_com/can_link.h"
#include "th_obd2_com/obd2_config.h"
#include "vehicle_sim.h"

using namespace std::chrono_literals;
using vsim::InProcessBus;
using vsim::make_frame;

namespace {

const std::string kVin = "1HGCM82633A004352";

std::vector<uint8_t> bytes(const uint8_t *p, size_t n) { return {p, p + n}; }

struct Answer {
    int rc = 99;
    std::array<uint8_t, OBD2_RESP_BUF_SIZE> buf{};
    size_t len = 12345;
    int64_t took_us = 0;
};

Answer exchange(int mode, uint8_t service, uint8_t param, int kind, uint8_t len_byte = 2)
{
    Answer a;
    uint8_t req[8];
    prepare_request(req, len_byte, service, param);
    int64_t t0 = gw_monotonic_us();
    a.rc = send_obd2_request(mode, req, sizeof req, a.buf.data(), &a.len, kind);
    a.took_us = gw_monotonic_us() - t0;
    return a;
}

vsim::VehicleSpec one_ecu(vsim::EcuSpec e) { return vsim::VehicleSpec{{std::move(e)}, {}}; }

vsim::EcuSpec engine_ecu()
{
    auto e = vsim::make_ecu11(0);
    e.pids = {{0x0C, {0x1A, 0xF8}}, {0x0D, {0x32}}, {0x05, {0x7B}}};
    e.vin = kVin;
    return e;
}

class Exchange : public ::testing::Test {
protected:
    void SetUp() override { g_can_padding = 0xAA; }
};

// Frames the gateway wrote, after waiting briefly for the simulator thread to record them.
std::vector<can_frame> written(const InProcessBus &bus, int ch, size_t at_least)
{
    for (int i = 0; i < 200 && bus.received(ch).size() < at_least; ++i) {
        std::this_thread::sleep_for(1ms);
    }
    return bus.received(ch);
}

} // namespace

TEST_F(Exchange, PrepareRequestPadsWithLowByteOfPadding)
{
    g_can_padding = 0x1255;
    uint8_t req[8] = {};
    EXPECT_EQ(prepare_request(req, 2, 0x01, 0x0C), 1);
    EXPECT_EQ(bytes(req, 8), (std::vector<uint8_t>{2, 0x01, 0x0C, 0x55, 0x55, 0x55, 0x55, 0x55}));
}

TEST_F(Exchange, SingleFrameAnswerIsKeptWholeWithItsDataLength)
{
    auto e = vsim::make_ecu11(0);
    e.pids[0x00] = {0xBE, 0x3F, 0xA8, 0x13};
    e.padding = 0x00;
    InProcessBus bus(one_ecu(e));
    bus.attach();
    auto a = exchange(1, 0x01, 0x00, OBD2_REQ_DETECT);
    ASSERT_EQ(a.rc, 0);
    EXPECT_EQ(a.len, 8u);
    EXPECT_EQ(bytes(a.buf.data(), 8), (std::vector<uint8_t>{0x06, 0x41, 0x00, 0xBE, 0x3F, 0xA8, 0x13, 0x00}));
    auto w = written(bus, 0, 1);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].can_id, 0x7DFu);
    EXPECT_EQ(w[0].can_dlc, 8);
    EXPECT_EQ(bytes(w[0].data, 8), (std::vector<uint8_t>{2, 0x01, 0x00, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}));
}

TEST_F(Exchange, VinAnswerIsReassembledAfterExactlyOneFlowControl)
{
    InProcessBus bus(one_ecu(engine_ecu()));
    bus.attach();
    TraceCapture trace;
    auto a = exchange(1, 0x09, 0x02, OBD2_REQ_VEHICLE_INFO);
    ASSERT_EQ(a.rc, 0);
    ASSERT_EQ(a.len, 21u);
    EXPECT_EQ(a.buf[0], 0x14);
    EXPECT_EQ(bytes(a.buf.data() + 1, 3), (std::vector<uint8_t>{0x49, 0x02, 0x01}));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(a.buf.data() + 4), 17), kVin);
    auto w = written(bus, 0, 2);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[1].can_id, 0x7E0u);
    EXPECT_EQ(w[1].can_dlc, 8);
    EXPECT_EQ(bytes(w[1].data, 8), (std::vector<uint8_t>{0x30, 0, 0, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}));
    EXPECT_EQ(trace.count_line(" >>>>>>> Total Len: 21 <<<<<<<<"), 1);
    EXPECT_EQ(trace.count_line("---------: response len : 21 copy len : 7 | expected seq : 3 | Total len : 21"), 1);
}

TEST_F(Exchange, TwentyNineBitExchangeUsesExtendedIdsBothWays)
{
    auto e = vsim::make_ecu29(0x10);
    e.vin = kVin;
    InProcessBus bus(one_ecu(e));
    bus.attach();
    auto a = exchange(2, 0x09, 0x02, OBD2_REQ_VEHICLE_INFO);
    ASSERT_EQ(a.rc, 0);
    EXPECT_EQ(a.len, 21u);
    auto w = written(bus, 1, 2);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0].can_id, 0x18DB33F1u | CAN_EFF_FLAG);
    EXPECT_EQ(w[1].can_id, 0x18DA10F1u | CAN_EFF_FLAG);
    EXPECT_TRUE(bus.received(0).empty());
}

TEST_F(Exchange, NegativeAnswerIsReturnedWithTrace)
{
    auto e = engine_ecu();
    e.negative[0x0100] = 0x12;
    InProcessBus bus(one_ecu(e));
    bus.attach();
    TraceCapture trace;
    auto a = exchange(1, 0x01, 0x00, OBD2_REQ_DETECT);
    EXPECT_EQ(a.rc, -2);
    EXPECT_EQ(a.len, 8u);
    EXPECT_EQ(bytes(a.buf.data(), 4), (std::vector<uint8_t>{0x03, 0x7F, 0x01, 0x12}));
    EXPECT_EQ(trace.count_line("OBD2 Negative Response: SID=0x01, NRC=0x12"), 1);
}

TEST_F(Exchange, DetectModeFindsTheAddressing)
{
    struct Case {
        const char *name;
        vsim::VehicleSpec spec;
        int expect;
        size_t requests_on_29bit;
    };
    auto neg = vsim::make_ecu11(0);
    neg.negative[0x0100] = 0x22;
    std::vector<Case> cases = {
        {"11-bit", one_ecu(vsim::make_ecu11(0)), 1, 0},
        {"29-bit", one_ecu(vsim::make_ecu29(0x10)), 2, 1},
        {"negative on 11-bit skips 29-bit", one_ecu(neg), -2, 0},
        {"nothing", vsim::VehicleSpec{}, 0, 1},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        InProcessBus bus(c.spec);
        bus.attach();
        uint8_t req[8];
        prepare_request(req, 2, 0x01, 0x00);
        std::array<uint8_t, OBD2_RESP_BUF_SIZE> buf{};
        size_t len = 0;
        int64_t t0 = gw_monotonic_us();
        EXPECT_EQ(detect_mode(req, sizeof req, buf.data(), &len), c.expect);
        if (c.expect == 0) {
            EXPECT_GE(gw_monotonic_us() - t0, 2 * OBD2_SHORT_WAIT_US);
        }
        std::this_thread::sleep_for(5ms);
        EXPECT_EQ(bus.received(1).size(), c.requests_on_29bit);
    }
}
