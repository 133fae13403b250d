// The vehicle model on its own: answers, segmentation with flow control,
// faults, and the receive-filter rule of the in-process bus.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <poll.h>

#include <string>
#include <thread>
#include <vector>

#include "vehicle_sim.h"

using namespace std::chrono_literals;
using vsim::make_frame;
using vsim::Vehicle;

namespace
{

std::vector<uint8_t> data(const can_frame &f)
{
    return {f.data, f.data + f.can_dlc};
}

can_frame request(std::initializer_list<uint8_t> payload, bool ext = false)
{
    can_frame f{};
    f.can_id = ext ? (vsim::kFunctionalId29 | CAN_EFF_FLAG) : vsim::kFunctionalId11;
    f.can_dlc = 8;
    f.data[0] = static_cast<uint8_t>(payload.size());
    std::copy(payload.begin(), payload.end(), f.data + 1);
    return f;
}

can_frame flow_control(uint8_t bs, uint8_t st, uint32_t id = 0x7E0, uint8_t status = 0)
{
    return make_frame(id, {static_cast<uint8_t>(0x30 | status), bs, st, 0, 0, 0, 0, 0});
}

vsim::EcuModel ecu()
{
    auto e = vsim::make_ecu11(0);
    e.pids = {{0x05, {0x7B}}, {0x0C, {0x1A, 0xF8}}, {0x0D, {0x32}}, {0x2F, {0x80}}};
    e.vin = "1HGCM82633A004352";
    e.calid = "CAL-123";
    e.cvn = {0x12, 0xAB, 0x34, 0xCD};
    e.ecu_name = "ECM-EngineControl";
    e.stored_dtcs = {0x0123, 0xC100};
    e.pending_dtcs = {0x0123};
    e.permanent_dtcs = {0x0420};
    return e;
}

// Payload of a whole answer: a single frame, or a first frame followed by
// the consecutive frames released by one clear-to-send without limits.
std::vector<uint8_t> whole_answer(Vehicle &v, const can_frame &req)
{
    auto out = v.on_frame(req);
    if (out.empty()) {
        return {};
    }
    const can_frame &first = out.back().frame;
    if ((first.data[0] >> 4) == 0) {
        return {first.data + 1, first.data + 1 + (first.data[0] & 0x0F)};
    }
    size_t total = static_cast<size_t>(first.data[0] & 0x0F) << 8 | first.data[1];
    std::vector<uint8_t> p(first.data + 2, first.data + 8);
    auto cfs =
        v.on_frame(flow_control(0, 0, (first.can_id & CAN_EFF_FLAG) ? 0x18DA10F1 | CAN_EFF_FLAG : 0x7E0));
    for (const auto &cf : cfs) {
        p.insert(p.end(), cf.frame.data + 1, cf.frame.data + 8);
    }
    p.resize(std::min(p.size(), total));
    return p;
}

bool read_frame(int fd, can_frame &f, int timeout_ms)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1 && recv(fd, &f, sizeof f, 0) == static_cast<ssize_t>(sizeof f);
}

} // namespace

TEST(VehicleModel, Answers)
{
    struct Case {
        const char *name;
        can_frame req;
        std::vector<uint8_t> answer;
    };
    // An InfoType answer: one item, its text padded with zeros to the field's width.
    const auto info = [](uint8_t type, const std::string &text, size_t width) {
        std::vector<uint8_t> a{0x49, type, 0x01};
        a.insert(a.end(), text.begin(), text.end());
        a.resize(3 + width, 0);
        return a;
    };
    const Case cases[] = {
        // 0x05, 0x0C, 0x0D present; 0x20 announced because 0x2F exists.
        {"PID 00 bitmask", request({0x01, 0x00}), {0x41, 0x00, 0x08, 0x18, 0x00, 0x01}},
        {"PID 20 bitmask", request({0x01, 0x20}), {0x41, 0x20, 0x00, 0x02, 0x00, 0x00}},
        {"PID 40 beyond the table", request({0x01, 0x40}), {}},
        {"known PID", request({0x01, 0x0C}), {0x41, 0x0C, 0x1A, 0xF8}},
        {"two PIDs at once", request({0x01, 0x0D, 0x05}), {0x41, 0x0D, 0x32, 0x05, 0x7B}},
        {"unknown PID is not answered", request({0x01, 0x11}), {}},
        {"stored codes", request({0x03}), {0x43, 0x02, 0x01, 0x23, 0xC1, 0x00}},
        {"pending codes", request({0x07}), {0x47, 0x01, 0x01, 0x23}},
        {"permanent codes", request({0x0A}), {0x4A, 0x01, 0x04, 0x20}},
        {"VIN", request({0x09, 0x02}), info(0x02, "1HGCM82633A004352", 17)},
        {"CALID", request({0x09, 0x04}), info(0x04, "CAL-123", 16)},
        {"CVN", request({0x09, 0x06}), {0x49, 0x06, 0x01, 0x12, 0xAB, 0x34, 0xCD}},
        {"ECU name", request({0x09, 0x0A}), info(0x0A, "ECM-EngineControl", 20)},
        {"InfoType 00", request({0x09, 0x00}), {0x49, 0x00, 0x54, 0x40, 0x00, 0x00}},
        {"unknown InfoType", request({0x09, 0x08}), {0x7F, 0x09, 0x12}},
        {"unknown service", request({0x22, 0xF1, 0x90}), {0x7F, 0x22, 0x11}},
        {"29-bit request is not for an 11-bit ECU", request({0x01, 0x0C}, true), {}},
        {"physical request", make_frame(0x7E0, {0x02, 0x01, 0x0D, 0, 0, 0, 0, 0}), {0x41, 0x0D, 0x32}},
        {"request to another ECU", make_frame(0x7E1, {0x02, 0x01, 0x0D, 0, 0, 0, 0, 0}), {}},
        {"length beyond the frame", make_frame(0x7DF, {0x07, 0x01, 0x0D}), {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Vehicle v(vsim::VehicleModel{{ecu()}});
        EXPECT_EQ(whole_answer(v, c.req), c.answer);
    }
}

TEST(VehicleModel, FramesCarryTheEcuIdentityAndPadding)
{
    auto e29 = vsim::make_ecu29(0x10);
    e29.pids = {{0x0D, {0x10}}};
    e29.padding = 0x55;
    Vehicle v(vsim::VehicleModel{{ecu(), e29}});
    auto out = v.on_frame(request({0x01, 0x0D}, true));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].frame.can_id, 0x18DAF110u | CAN_EFF_FLAG);
    EXPECT_EQ(data(out[0].frame), (std::vector<uint8_t>{0x03, 0x41, 0x0D, 0x10, 0x55, 0x55, 0x55, 0x55}));
    EXPECT_EQ(vsim::make_ecu29(0x10).physical_id, 0x18DA10F1u);
    EXPECT_EQ(vsim::make_ecu11(3).response_id, 0x7EBu);
}

TEST(VehicleModel, SegmentedAnswerHonoursFlowControl)
{
    auto e = ecu();
    for (uint16_t i = 0; i < 30; ++i) {
        e.stored_dtcs.push_back(static_cast<uint16_t>(0x0200 + i)); // 64 payload bytes: FF + 9 CFs
    }
    Vehicle v(vsim::VehicleModel{{e}});
    auto ff = v.on_frame(request({0x03}));
    ASSERT_EQ(ff.size(), 1u);
    EXPECT_EQ(ff[0].frame.data[0], 0x10);
    EXPECT_EQ(ff[0].frame.data[1], 2 + 2 * 32);

    EXPECT_TRUE(v.on_frame(flow_control(0, 0, 0x7E1)).empty()) << "flow control for another ECU";
    EXPECT_TRUE(v.on_frame(flow_control(0, 0, 0x7E0, 1)).empty()) << "wait";

    auto block1 = v.on_frame(flow_control(3, 10)); // three frames, 10 ms apart
    ASSERT_EQ(block1.size(), 3u);
    EXPECT_EQ(block1[0].delay, 0us);
    EXPECT_EQ(block1[1].delay, 10ms);
    EXPECT_EQ(block1[2].delay, 20ms);
    EXPECT_EQ(block1[0].frame.data[0], 0x21);
    EXPECT_EQ(block1[2].frame.data[0], 0x23);

    auto block2 = v.on_frame(flow_control(0, 0xF5)); // the rest, 500 us apart
    ASSERT_EQ(block2.size(), 6u);
    EXPECT_EQ(block2[1].delay, 500us);
    EXPECT_EQ(block2[5].frame.data[0], 0x29);
    EXPECT_TRUE(v.on_frame(flow_control(0, 0)).empty()) << "answer complete";

    v.on_frame(request({0x03}));
    EXPECT_TRUE(v.on_frame(flow_control(0, 0, 0x7E0, 2)).empty()) << "overflow aborts";
    EXPECT_TRUE(v.on_frame(flow_control(0, 0)).empty());
}

TEST(VehicleModel, LongAnswerNumbersFramesModulo16)
{
    auto e = ecu();
    e.stored_dtcs.assign(60, 0x0101);
    Vehicle v(vsim::VehicleModel{{e}});
    v.on_frame(request({0x03}));
    auto cfs = v.on_frame(flow_control(0, 0));
    ASSERT_EQ(cfs.size(), 17u);
    EXPECT_EQ(cfs[14].frame.data[0], 0x2F);
    EXPECT_EQ(cfs[15].frame.data[0], 0x20);
    EXPECT_EQ(cfs[16].frame.data[0], 0x21);
}

TEST(VehicleModel, ClearingAnswersBusyThenPositiveAndErasesCodes)
{
    auto e = ecu();
    e.clear_busy_count = 2;
    Vehicle v(vsim::VehicleModel{{e}});
    EXPECT_EQ(whole_answer(v, request({0x04})), (std::vector<uint8_t>{0x7F, 0x04, 0x78}));
    EXPECT_EQ(whole_answer(v, request({0x04})), (std::vector<uint8_t>{0x7F, 0x04, 0x78}));
    EXPECT_EQ(whole_answer(v, request({0x04})), (std::vector<uint8_t>{0x44}));
    EXPECT_EQ(whole_answer(v, request({0x03})), (std::vector<uint8_t>{0x43, 0x00}));
    EXPECT_EQ(whole_answer(v, request({0x0A})), (std::vector<uint8_t>{0x4A, 0x01, 0x04, 0x20}));

    v.set_clear_behaviour(0, 0, 0x22);
    EXPECT_EQ(whole_answer(v, request({0x04})), (std::vector<uint8_t>{0x7F, 0x04, 0x22}));
}

TEST(VehicleModel, FaultsOnDemand)
{
    Vehicle v(vsim::VehicleModel{{ecu()}});
    v.set_negative(0, 0x010C, 0x31);
    EXPECT_EQ(whole_answer(v, request({0x01, 0x0C})), (std::vector<uint8_t>{0x7F, 0x01, 0x31}));
    v.set_negative(0, 0x0300, 0x22);
    EXPECT_EQ(whole_answer(v, request({0x03})), (std::vector<uint8_t>{0x7F, 0x03, 0x22}));
    v.set_negative(0, 0x010C, 0);
    EXPECT_EQ(whole_answer(v, request({0x01, 0x0C})), (std::vector<uint8_t>{0x41, 0x0C, 0x1A, 0xF8}));

    v.set_latency(20ms);
    v.inject_late_answer(300ms);
    EXPECT_EQ(v.on_frame(request({0x01, 0x0D})).at(0).delay, 320ms);
    EXPECT_EQ(v.on_frame(request({0x01, 0x0D})).at(0).delay, 20ms) << "late only once";

    // Two "response pending", 30 ms apart, then the answer.
    v.set_pending(0, 0x01, 2, 30ms);
    std::vector<std::pair<std::chrono::microseconds, std::vector<uint8_t>>> sent;
    for (const auto &tf : v.on_frame(request({0x01, 0x0D}))) {
        sent.emplace_back(tf.delay, std::vector<uint8_t>(tf.frame.data, tf.frame.data + 4));
    }
    const std::vector<uint8_t> busy{0x03, 0x7F, 0x01, 0x78};
    EXPECT_EQ(sent, (decltype(sent){{20ms, busy}, {50ms, busy}, {80ms, {0x03, 0x41, 0x0D, 0x32}}}));
    v.set_pending(0, 0x01, 0, 0ms);
    EXPECT_EQ(v.on_frame(request({0x01, 0x0D})).size(), 1u);

    v.set_silent(true);
    EXPECT_TRUE(v.on_frame(request({0x01, 0x0D})).empty());
    v.set_silent(false);

    v.on_frame(request({0x09, 0x02}));
    v.inject_wrong_sequence();
    auto cfs = v.on_frame(flow_control(0, 0));
    ASSERT_EQ(cfs.size(), 2u);
    EXPECT_EQ(cfs[0].frame.data[0], 0x22);
    EXPECT_EQ(cfs[1].frame.data[0], 0x22);

    auto err = make_frame(CAN_ERR_FLAG | CAN_ERR_TX_TIMEOUT, {});
    auto foreign = make_frame(0x7EA, {0x02, 0x41, 0x00});
    v.set_chatter({err, foreign});
    v.set_latency(0us);
    auto out = v.on_frame(request({0x01, 0x0D}));
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].frame.can_id, err.can_id);
    EXPECT_EQ(out[1].frame.can_id, 0x7EAu);
    EXPECT_EQ(out[2].frame.can_id, 0x7E8u);
}

TEST(VehicleModel, ExtraEcusAnswerTheFunctionalRequest)
{
    auto a = ecu();
    auto b = vsim::make_ecu11(1);
    b.pids = {{0x0D, {0x40}}};
    b.latency = 2ms;
    auto c = vsim::make_ecu29(0x18);
    c.pids = {{0x0D, {0x41}}};
    Vehicle v(vsim::VehicleModel{{a, b, c}});
    auto out = v.on_frame(request({0x01, 0x0D}));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].frame.can_id, 0x7E8u);
    EXPECT_EQ(out[1].frame.can_id, 0x7E9u);
    EXPECT_EQ(out[1].delay, 2ms);

    // Order by latency per ECU; without flow control the segmented answers interleave.
    v.set_latency(0, 3ms);
    EXPECT_EQ(v.on_frame(request({0x01, 0x0D})).at(0).frame.can_id, 0x7E9u);
    a.awaits_flow_control = false;
    a.cf_gap = 2ms;
    b = a;
    b.response_id = 0x7E9;
    b.latency = 1ms;
    Vehicle both(vsim::VehicleModel{{a, b}});
    std::vector<std::pair<uint32_t, uint8_t>> seen;
    for (const auto &tf : both.on_frame(request({0x09, 0x02}))) {
        seen.emplace_back(tf.frame.can_id, tf.frame.data[0]);
    }
    const std::vector<std::pair<uint32_t, uint8_t>> interleaved = {
        {0x7E8, 0x10}, {0x7E9, 0x10}, {0x7E8, 0x21}, {0x7E9, 0x21}, {0x7E8, 0x22}, {0x7E9, 0x22}};
    EXPECT_EQ(seen, interleaved);
    EXPECT_TRUE(both.on_frame(flow_control(0, 0)).empty()) << "already sent";
}

TEST(ReceiveFilter, SocketCanMatchingRule)
{
    const auto ch0 = vsim::gateway_filter(0);
    const auto ch1 = vsim::gateway_filter(1);
    struct Case {
        const char *name;
        vsim::CanFilter filter;
        can_frame frame;
        bool passes;
    };
    const Case cases[] = {
        {"0x7E8 on 11-bit", ch0, make_frame(0x7E8, {}), true},
        {"0x7EF on 11-bit", ch0, make_frame(0x7EF, {}), true},
        {"0x7F0 on 11-bit", ch0, make_frame(0x7F0, {}), false},
        {"0x7E0 on 11-bit", ch0, make_frame(0x7E0, {}), false},
        {"29-bit 0x7E8 on 11-bit: format is not matched", ch0, make_frame(0x7E8, {}, true), true},
        {"0x18DAF110 on 29-bit", ch1, make_frame(0x18DAF110, {}, true), true},
        {"0x18DAF111 on 29-bit", ch1, make_frame(0x18DAF111, {}, true), false},
        {"0x7E8 on 29-bit", ch1, make_frame(0x7E8, {}), false},
        {"error frame of a requested class", ch0, make_frame(CAN_ERR_FLAG | CAN_ERR_TX_TIMEOUT, {}), true},
        {"error frame of another class", ch1, make_frame(CAN_ERR_FLAG | CAN_ERR_BUSOFF, {}), false},
        {"inverted filter", vsim::CanFilter{0x7E8 | CAN_INV_FILTER, 0x7FF, 0}, make_frame(0x7E9, {}), true},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(vsim::filter_passes(c.filter, c.frame), c.passes) << c.name;
    }
}

TEST(InProcessBus, DeliversThroughTheChannelFilters)
{
    auto e11 = ecu();
    auto e29 = vsim::make_ecu29(0x10);
    e29.pids = {{0x0D, {0x10}}};
    vsim::InProcessBus bus(vsim::VehicleModel{{e11, e29}});
    can_frame f{};

    auto req29 = request({0x01, 0x0D}, true);
    ASSERT_EQ(send(bus.gateway_fd(1), &req29, sizeof req29, 0), static_cast<ssize_t>(sizeof req29));
    ASSERT_TRUE(read_frame(bus.gateway_fd(1), f, 500));
    EXPECT_EQ(f.can_id, 0x18DAF110u | CAN_EFF_FLAG);
    EXPECT_FALSE(read_frame(bus.gateway_fd(0), f, 20)) << "29-bit answer must not reach the 11-bit channel";

    bus.inject(0, make_frame(0x7F0, {1}));
    bus.inject(1, make_frame(0x18DAF111, {1}, true));
    EXPECT_FALSE(read_frame(bus.gateway_fd(0), f, 20));
    EXPECT_FALSE(read_frame(bus.gateway_fd(1), f, 20));
    bus.inject(0, make_frame(0x7F0, {1}), true);
    ASSERT_TRUE(read_frame(bus.gateway_fd(0), f, 100));
    EXPECT_EQ(f.can_id, 0x7F0u);

    // A filter mistake shows: a channel filter that lets nothing through.
    bus.set_filter(0, vsim::CanFilter{0x7E0, 0x7FF, 0});
    auto req11 = request({0x01, 0x0D});
    ASSERT_EQ(send(bus.gateway_fd(0), &req11, sizeof req11, 0), static_cast<ssize_t>(sizeof req11));
    EXPECT_FALSE(read_frame(bus.gateway_fd(0), f, 50));
    auto seen = bus.received(0);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].can_id, 0x7DFu);
}

TEST(InProcessBus, LatencyIsHonouredAndNoiseCanBeStopped)
{
    auto e = ecu();
    e.latency = 30ms;
    vsim::InProcessBus bus(vsim::VehicleModel{{e}});
    auto req = request({0x01, 0x0D});
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(send(bus.gateway_fd(0), &req, sizeof req, 0), static_cast<ssize_t>(sizeof req));
    can_frame f{};
    ASSERT_TRUE(read_frame(bus.gateway_fd(0), f, 500));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 30ms);

    bus.start_noise(make_frame(CAN_ERR_FLAG | CAN_ERR_TX_TIMEOUT, {}), 1ms);
    ASSERT_TRUE(read_frame(bus.gateway_fd(0), f, 100));
    EXPECT_TRUE(f.can_id & CAN_ERR_FLAG);
    ASSERT_TRUE(read_frame(bus.gateway_fd(1), f, 100)) << "error frames reach both channels";
    bus.stop_noise();
    std::this_thread::sleep_for(10ms);
    while (read_frame(bus.gateway_fd(0), f, 0)) {
    }
    EXPECT_FALSE(read_frame(bus.gateway_fd(0), f, 30));
}

TEST(InProcessBus, HeldFramesFollowTheNextRequest)
{
    vsim::InProcessBus bus(vsim::VehicleModel{});
    bus.inject_on_request(0, make_frame(0x7E8, {0x02, 0x41, 0x00}));
    bus.inject_on_request(0, make_frame(0x7F0, {0x01}), true);
    can_frame f{};
    EXPECT_FALSE(read_frame(bus.gateway_fd(0), f, 20)) << "nothing before the request";
    auto req = request({0x01, 0x00});
    ASSERT_EQ(send(bus.gateway_fd(0), &req, sizeof req, 0), static_cast<ssize_t>(sizeof req));
    ASSERT_TRUE(read_frame(bus.gateway_fd(0), f, 500));
    EXPECT_EQ(f.can_id, 0x7E8u);
    ASSERT_TRUE(read_frame(bus.gateway_fd(0), f, 500));
    EXPECT_EQ(f.can_id, 0x7F0u);
    ASSERT_EQ(send(bus.gateway_fd(0), &req, sizeof req, 0), static_cast<ssize_t>(sizeof req));
    EXPECT_FALSE(read_frame(bus.gateway_fd(0), f, 20)) << "held frames go once";
}
