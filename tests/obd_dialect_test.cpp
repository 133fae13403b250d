// The dialect conversions: the UDS request for each classic one, and UDS
// answers (good and hostile) turned back into the classic answers.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <optional>
#include <string>
#include <vector>

#include "scripted_answers.h"
#include "support/test_clock.h"
#include "th_obd2_com/dtc.h"
#include "th_obd2_com/ecu_list.h"
#include "th_obd2_com/freeze_frame.h"
#include "th_obd2_com/live_data.h"
#include "th_obd2_com/obd2_config.h"
#include "th_obd2_com/obd_dialect.h"
#include "th_obd2_com/pid_catalogue.h"
#include "th_obd2_com/pid_probe.h"
#include "th_obd2_com/readiness.h"
#include "th_obd2_com/vehicle_info.h"
#include "vehicle_sim.h"

namespace
{

using Bytes = std::vector<uint8_t>;

// As the exchange leaves an answer: length byte, payload, single-frame padding.
Bytes fr(const Bytes &payload)
{
    Bytes a{static_cast<uint8_t>(payload.size() & 0xFF)};
    a.insert(a.end(), payload.begin(), payload.end());
    a.resize(std::max<size_t>(a.size(), 8), 0xAA);
    return a;
}

struct Case {
    const char *what;
    Bytes classic;  // request payload
    Bytes uds;      // its UDS request
    Bytes answer;   // UDS answer payload
    Bytes expected; // classic answer payload; empty: skipped as malformed
};

TEST(ObdDialect, RequestsAndAnswers)
{
    const Bytes rec5{0x20, 0x04, 0x20, 0x13, 0x08, 0x20, 0x04, 0x20,
                     0x1C, 0x08, 0x20, 0xC1, 0x00, 0x00, 0x08};
    Bytes many{0x59, 0x42, 0x33, 0xFF, 0xFF, 0x04};
    Bytes many_classic{0x43, 0xFF};
    for (unsigned c = 0; c < 300; ++c) {
        many.insert(many.end(), {0x20, static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c), 0x00, 0x08});
        if (c < 255) {
            many_classic.insert(many_classic.end(), {static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c)});
        }
    }
    Bytes stored{0x59, 0x42, 0x33, 0xFF, 0xFF, 0x04};
    stored.insert(stored.end(), rec5.begin(), rec5.end());
    const std::vector<Case> cases = {
        {"detection bitmap",
         {0x01, 0x00},
         {0x22, 0xF4, 0x00},
         {0x62, 0xF4, 0x00, 0xBE, 0x1F, 0xA8, 0x13},
         {0x41, 0x00, 0xBE, 0x1F, 0xA8, 0x13}},
        {"rpm", {0x01, 0x0C}, {0x22, 0xF4, 0x0C}, {0x62, 0xF4, 0x0C, 0x0B, 0xBB}, {0x41, 0x0C, 0x0B, 0xBB}},
        {"readiness",
         {0x01, 0x41},
         {0x22, 0xF4, 0x41},
         {0x62, 0xF4, 0x41, 0x00, 0x07, 0xE5, 0x04},
         {0x41, 0x41, 0x00, 0x07, 0xE5, 0x04}},
        {"wrong DID echoed", {0x01, 0x0C}, {0x22, 0xF4, 0x0C}, {0x62, 0xF4, 0x0D, 0x0B, 0xBB}, {}},
        {"infotype DID for a PID", {0x01, 0x02}, {0x22, 0xF4, 0x02}, {0x62, 0xF8, 0x02, 0x01, 0x41}, {}},
        {"data shorter than the PID", {0x01, 0x0C}, {0x22, 0xF4, 0x0C}, {0x62, 0xF4, 0x0C, 0x0B}, {}},
        {"DID without data", {0x09, 0x02}, {0x22, 0xF8, 0x02}, {0x62, 0xF8, 0x02}, {}},
        {"VIN without count byte",
         {0x09, 0x02},
         {0x22, 0xF8, 0x02},
         {0x62, 0xF8, 0x02, 'V', 'F', '1'},
         {0x49, 0x02, 'V', 'F', '1'}},
        {"CVN with count byte",
         {0x09, 0x06},
         {0x22, 0xF8, 0x06},
         {0x62, 0xF8, 0x06, 0x01, 0x12, 0xAB, 0x34, 0xCD},
         {0x49, 0x06, 0x01, 0x12, 0xAB, 0x34, 0xCD}},
        {"refusal", {0x09, 0x0A}, {0x22, 0xF8, 0x0A}, {0x7F, 0x22, 0x31}, {0x7F, 0x09, 0x31}},
        {"refusal of another service", {0x09, 0x0A}, {0x22, 0xF8, 0x0A}, {0x7F, 0x19, 0x31}, {}},
        {"stored: failure types merged",
         {0x03},
         {0x19, 0x42, 0x33, 0x08, 0xFF},
         stored,
         {0x43, 0x02, 0x04, 0x20, 0xC1, 0x00}},
        {"pending, none",
         {0x07},
         {0x19, 0x42, 0x33, 0x04, 0xFF},
         {0x59, 0x42, 0x33, 0xFF, 0xFF, 0x04},
         {0x47, 0x00}},
        {"format 00 accepted",
         {0x07},
         {0x19, 0x42, 0x33, 0x04, 0xFF},
         {0x59, 0x42, 0x33, 0xFF, 0xFF, 0x00, 0x20, 0x01, 0x71, 0x00, 0x04},
         {0x47, 0x01, 0x01, 0x71}},
        {"unknown format",
         {0x03},
         {0x19, 0x42, 0x33, 0x08, 0xFF},
         {0x59, 0x42, 0x33, 0xFF, 0xFF, 0x01, 0x20, 0x01, 0x71, 0x00, 0x08},
         {}},
        {"records cut short",
         {0x03},
         {0x19, 0x42, 0x33, 0x08, 0xFF},
         {0x59, 0x42, 0x33, 0xFF, 0xFF, 0x04, 0x20, 0x01, 0x71, 0x00},
         {}},
        {"another group", {0x03}, {0x19, 0x42, 0x33, 0x08, 0xFF}, {0x59, 0x42, 0x34, 0xFF, 0xFF, 0x04}, {}},
        {"header cut short", {0x03}, {0x19, 0x42, 0x33, 0x08, 0xFF}, {0x59, 0x42, 0x33, 0xFF}, {}},
        {"more codes than a classic count", {0x03}, {0x19, 0x42, 0x33, 0x08, 0xFF}, many, many_classic},
        {"permanent, 4-byte records",
         {0x0A},
         {0x19, 0x55, 0x33},
         {0x59, 0x55, 0x33, 0xFF, 0x04, 0x04, 0x20, 0x13, 0x08, 0x04, 0x20, 0x1C, 0x08},
         {0x4A, 0x01, 0x04, 0x20}},
        {"permanent, 5-byte records",
         {0x0A},
         {0x19, 0x55, 0x33},
         {0x59, 0x55, 0x33, 0xFF, 0x04, 0x20, 0x04, 0x20, 0x13, 0x08},
         {}},
        {"clear", {0x04}, {0x14, 0xFF, 0xFF, 0x33}, {0x54}, {0x44}},
        {"clear busy", {0x04}, {0x14, 0xFF, 0xFF, 0x33}, {0x7F, 0x14, 0x78}, {0x7F, 0x04, 0x78}},
        {"clear answered by another service", {0x04}, {0x14, 0xFF, 0xFF, 0x33}, {0x59, 0x42}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const ObdRequest r = uds_request_for(c.classic.data(), c.classic.size());
        EXPECT_EQ(Bytes(r.bytes.begin(), r.bytes.begin() + static_cast<long>(r.len)), c.uds);
        const Bytes a = fr(c.answer);
        const auto got =
            classic_answer_from_uds(c.classic.data(), c.classic.size(), a.data(), a.size(), 0xAA);
        if (c.expected.empty()) {
            EXPECT_FALSE(got.has_value());
        } else {
            ASSERT_TRUE(got.has_value());
            EXPECT_EQ(got->bytes, fr(c.expected));
        }
    }
    // Never read past the answer: a cut answer with a long announced length.
    const Bytes cut{0x12, 0x62, 0xF4};
    const Bytes req{0x01, 0x0C};
    EXPECT_FALSE(classic_answer_from_uds(req.data(), req.size(), cut.data(), cut.size(), 0).has_value());
}

// Every catalogue PID has a width, never fewer bytes than the catalogue
// reads (it reads only A of the oxygen sensors 14-1B).
TEST(ObdDialect, PidWidthsCoverTheCatalogue)
{
    for (const PidInfo &row : pids) {
        EXPECT_GE(obd_pid_width(row.pid), std::max(row.bits / 8u, 1u)) << "PID " << std::hex << int(row.pid);
    }
}

struct SnapshotCase {
    const char *what;
    Bytes list;                   // 19 03 answer payload
    std::optional<Bytes> request; // the snapshot request; nothing: list malformed; empty: none stored
    Bytes snapshot;               // 19 04 answer payload
    std::vector<std::pair<uint8_t, Bytes>> classic; // service 02 PID -> classic answer (empty: none)
};

TEST(ObdDialect, FreezeFrameFromSnapshot)
{
    const Bytes good{0x59, 0x04, 0x03, 0x01, 0x00, 0x08, 0x00, 0x03, 0xF4, 0x0C,
                     0x21, 0x98, 0xF4, 0x0D, 0x34, 0xF4, 0x42, 0x37, 0xC8};
    Bytes past = good;
    past[7] = 4; // one identifier more than present
    Bytes unknown = good;
    unknown[12] = 0xF5; // not a PID: what follows cannot be found
    const std::vector<SnapshotCase> cases = {
        {"record 00 preferred",
         {0x59, 0x03, 0x01, 0x71, 0x00, 0x01, 0x03, 0x01, 0x00, 0x00},
         Bytes{0x19, 0x04, 0x03, 0x01, 0x00, 0x00},
         good,
         {{0x02, {0x42, 0x02, 0x00, 0x03, 0x01}},
          {0x00, {0x42, 0x00, 0x00, 0x40, 0x18, 0x00, 0x01}},
          {0x20, {0x42, 0x20, 0x00, 0x00, 0x00, 0x00, 0x01}},
          {0x40, {0x42, 0x40, 0x00, 0x40, 0x00, 0x00, 0x00}},
          {0x0C, {0x42, 0x0C, 0x00, 0x21, 0x98}},
          {0x05, {}}}},
        {"none stored", {0x59, 0x03}, Bytes{}, {}, {}},
        {"list cut short", {0x59, 0x03, 0x03, 0x01, 0x00}, std::nullopt, {}, {}},
        {"identifier count past the answer",
         {0x59, 0x03, 0x03, 0x01, 0x00, 0x00},
         Bytes{0x19, 0x04, 0x03, 0x01, 0x00, 0x00},
         past,
         {}},
        {"another code's snapshot",
         {0x59, 0x03, 0x03, 0x01, 0x00, 0x00},
         Bytes{0x19, 0x04, 0x03, 0x01, 0x00, 0x00},
         {0x59, 0x04, 0x03, 0x02, 0x00, 0x08, 0x00, 0x00},
         {}},
        {"unknown identifier ends the record",
         {0x59, 0x03, 0x03, 0x01, 0x00, 0x00},
         Bytes{0x19, 0x04, 0x03, 0x01, 0x00, 0x00},
         unknown,
         {{0x0C, {0x42, 0x0C, 0x00, 0x21, 0x98}}, {0x0D, {}}, {0x42, {}}}},
    };
    for (const SnapshotCase &c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes list = fr(c.list);
        const auto picked = uds_pick_snapshot(list.data(), list.size());
        ASSERT_EQ(picked.has_value(), c.request.has_value());
        if (!picked) {
            continue;
        }
        ASSERT_EQ(picked->has_value(), !c.request->empty());
        if (!picked->has_value()) {
            EXPECT_EQ(classic_no_freeze_answer(0xAA).bytes, fr({0x42, 0x02, 0x00, 0x00, 0x00}));
            continue;
        }
        const ObdRequest r = uds_snapshot_request(**picked);
        EXPECT_EQ(Bytes(r.bytes.begin(), r.bytes.begin() + static_cast<long>(r.len)), *c.request);
        const Bytes a = fr(c.snapshot);
        const auto snap = uds_read_snapshot(**picked, a.data(), a.size());
        ASSERT_EQ(snap.has_value(), !c.classic.empty());
        for (const auto &[pid, expected] : c.classic) {
            const auto got = classic_freeze_answer(*snap, pid, 0xAA);
            EXPECT_EQ(got ? got->bytes : Bytes{}, expected.empty() ? Bytes{} : fr(expected))
                << "PID " << int(pid);
        }
    }
}

// Every command's result from one vehicle, classic or UDS (the ECU list
// recording the dialect as detection would): identical but the protocol name.
std::vector<std::string> results_of(std::vector<vsim::EcuModel> ecus, bool uds)
{
    for (size_t i = 0; i < ecus.size(); ++i) {
        ecus[i].uds = uds;
        g_ecu_list[i] = {ecus[i].response_id, 1, uds ? ObdDialect::Uds : ObdDialect::Classic};
    }
    g_ecu_count = static_cast<int>(ecus.size());
    vsim::InProcessBus bus(vsim::VehicleModel{ecus});
    bus.attach();
    std::vector<std::string> out;
    auto text = [&](const char *t) { out.push_back(t != nullptr ? t : "(none)"); };
    text(handle_dtc_command());
    text(handle_readiness_command());
    text(handle_freeze_frame_command());
    get_supported_pid_list(1);
    out.push_back(std::string(std::begin(g_pid_availability), std::end(g_pid_availability)));
    get_pid_list();
    text(handle_live_mode(1));
    get_vehicle_info(1);
    char *info = build_vehicle_info_json(1, 500000);
    text(info);
    cJSON_free(info);
    out.push_back(std::to_string(clear_dtc_of_recorded_ecus()));
    text(handle_dtc_command());
    for (const can_frame &f : bus.received(0)) {
        if (uds && (f.data[0] & 0xF0) == 0 && f.data[1] < 0x10) {
            ADD_FAILURE() << "classic request " << int(f.data[1]) << " sent to a UDS vehicle";
        }
    }
    return out;
}

TEST(ObdDialectWithVehicle, UdsVehicleReadsAsClassic)
{
    FakeClock clock;
    g_can_padding = 0xAA;
    g_dtc_count = 3;
    for (int i = 0; i < 3; ++i) {
        snprintf(g_dtc_names[i], sizeof g_dtc_names[i], "%s", std::array{"STRDTC", "PNDDTC", "PRMDTC"}[i]);
    }
    g_live_sensor_count = 3;
    for (int i = 0; i < 3; ++i) {
        snprintf(g_live_sensor_names[i], sizeof g_live_sensor_names[i], "%s",
                 std::array{"ENGRPM", "SPD", "CNTMDVOL"}[i]);
    }
    vsim::EcuModel engine = vsim::make_ecu11(0);
    engine.pids = {{0x01, {0x81, 0x07, 0x65, 0x04}},
                   {0x41, {0x00, 0x07, 0x65, 0x05}},
                   {0x0C, {0x1C, 0x20}},
                   {0x0D, {0x48}},
                   {0x42, {0x38, 0x40}}};
    engine.stored_dtcs = {0x0420, 0x0301};
    engine.pending_dtcs = {0x0420, 0x0171};
    engine.permanent_dtcs = {0x0420};
    engine.failure_types = {{0x0420, {0x13, 0x1C}}};
    engine.freeze_frame = vsim::EcuModel::FreezeFrame{0x0420, {{0x0C, {0x1C, 0x20}}, {0x42, {0x38, 0x40}}}};
    engine.vin = "5YJSIM27UDS000427";
    engine.calid = "SIMCAL-HEV27-ENG";
    engine.cvn = {0x5A, 0x17, 0xC0, 0xDE};
    engine.ecu_name = "ECM-EngineControl";
    engine.pending[OBD2_SID_CLEAR_DTC] = {1, std::chrono::microseconds(300'000)};
    vsim::EcuModel hybrid = vsim::make_ecu11(1);
    hybrid.pids = {{0x01, {0x00, 0x04, 0x00, 0x00}}, {0x0D, {0x48}}};
    hybrid.stored_dtcs = {0xC100};
    hybrid.pending_dtcs = {0xC100};
    hybrid.failure_types = {{0xC100, {0x87}}};
    hybrid.latency = std::chrono::microseconds(20'000); // the engine answers identification first

    const std::vector<std::vector<vsim::EcuModel>> vehicles = {{engine, hybrid}, {engine}, {hybrid}};
    for (const auto &v : vehicles) {
        SCOPED_TRACE(v.size());
        const std::vector<std::string> classic = results_of(v, false);
        std::vector<std::string> uds = results_of(v, true);
        const size_t at = uds[5].find(" J1979-2");
        ASSERT_NE(at, std::string::npos) << uds[5];
        uds[5].erase(at, 8);
        EXPECT_EQ(uds, classic);
    }
}

} // namespace
