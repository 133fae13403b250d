// The dialect conversions: the UDS request for each classic one, and UDS
// answers (good and hostile) turned back into the classic answers.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <optional>
#include <string>
#include <vector>

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

// "62 F4 0C" -> bytes.
Bytes hx(const std::string &text)
{
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += text[i] == ' ' ? 1 : 2) {
        if (text[i] != ' ') {
            out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
        }
    }
    return out;
}

// As the exchange leaves an answer: length byte, payload, single-frame padding.
Bytes fr(const Bytes &payload)
{
    Bytes a(std::max<size_t>(payload.size() + 1, 8), 0xAA);
    a[0] = static_cast<uint8_t>(payload.size() & 0xFF);
    std::copy(payload.begin(), payload.end(), a.begin() + 1);
    return a;
}

Bytes request_bytes(const ObdRequest &r)
{
    return Bytes(r.bytes.begin(), r.bytes.begin() + static_cast<long>(r.len));
}

TEST(ObdDialect, RequestsAndAnswers)
{
    // 300 codes: a classic count byte holds 255.
    std::string many = "59 42 33 FF FF 04", many_classic = "43 FF";
    for (unsigned c = 0; c < 300; ++c) {
        char rec[24];
        snprintf(rec, sizeof rec, " 20 %04X 00 08", c);
        many += rec;
        if (c < 255) {
            many_classic += rec + 3;
            many_classic.resize(many_classic.size() - 6);
        }
    }
    struct Case {
        const char *what, *classic, *uds, *answer;
        std::string expected; // classic answer payload; empty: skipped as malformed
    };
    const std::vector<Case> cases = {
        {"detection bitmap", "01 00", "22 F4 00", "62 F4 00 BE 1F A8 13", "41 00 BE 1F A8 13"},
        {"rpm", "01 0C", "22 F4 0C", "62 F4 0C 0B BB", "41 0C 0B BB"},
        {"readiness", "01 41", "22 F4 41", "62 F4 41 00 07 E5 04", "41 41 00 07 E5 04"},
        {"wrong DID echoed", "01 0C", "22 F4 0C", "62 F4 0D 0B BB", ""},
        {"infotype DID for a PID", "01 02", "22 F4 02", "62 F8 02 01 41", ""},
        {"data shorter than the PID", "01 0C", "22 F4 0C", "62 F4 0C 0B", ""},
        {"oxygen sensor: A is what is read", "01 14", "22 F4 14", "62 F4 14 80", "41 14 80"},
        {"DID without data", "09 02", "22 F8 02", "62 F8 02", ""},
        {"VIN without count byte", "09 02", "22 F8 02", "62 F8 02 56 46 31", "49 02 56 46 31"},
        {"CVN with count byte", "09 06", "22 F8 06", "62 F8 06 01 12 AB 34 CD", "49 06 01 12 AB 34 CD"},
        {"refusal", "09 0A", "22 F8 0A", "7F 22 31", "7F 09 31"},
        {"refusal of another service", "09 0A", "22 F8 0A", "7F 19 31", ""},
        {"stored: failure types merged", "03", "19 42 33 08 FF",
         "59 42 33 FF FF 04 20 0420 13 08 20 0420 1C 08 20 C100 00 08", "43 02 0420 C100"},
        {"pending, none", "07", "19 42 33 04 FF", "59 42 33 FF FF 04", "47 00"},
        {"format 00 accepted", "07", "19 42 33 04 FF", "59 42 33 FF FF 00 20 0171 00 04", "47 01 0171"},
        {"unknown format", "03", "19 42 33 08 FF", "59 42 33 FF FF 01 20 0171 00 08", ""},
        {"records cut short", "03", "19 42 33 08 FF", "59 42 33 FF FF 04 20 0171 00", ""},
        {"another group", "03", "19 42 33 08 FF", "59 42 34 FF FF 04", ""},
        {"header cut short", "03", "19 42 33 08 FF", "59 42 33 FF", ""},
        {"more codes than a classic count", "03", "19 42 33 08 FF", many.c_str(), many_classic},
        {"permanent, 4-byte records", "0A", "19 55 33", "59 55 33 FF 04 0420 13 08 0420 1C 08", "4A 01 0420"},
        {"permanent, 5-byte records", "0A", "19 55 33", "59 55 33 FF 04 20 0420 13 08", ""},
        {"clear", "04", "14 FF FF 33", "54", "44"},
        {"clear busy", "04", "14 FF FF 33", "7F 14 78", "7F 04 78"},
        {"clear answered by another service", "04", "14 FF FF 33", "59 42", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes classic = hx(c.classic);
        EXPECT_EQ(request_bytes(uds_request_for(classic.data(), classic.size())), hx(c.uds));
        const Bytes a = fr(hx(c.answer));
        const auto got = classic_answer_from_uds(classic.data(), classic.size(), a.data(), a.size(), 0xAA);
        EXPECT_EQ(got ? got->bytes : Bytes{}, c.expected.empty() ? Bytes{} : fr(hx(c.expected)));
    }
    // Never read past the answer: a cut answer with a long announced length.
    const Bytes cut{0x12, 0x62, 0xF4};
    EXPECT_FALSE(classic_answer_from_uds(hx("01 0C").data(), 2, cut.data(), cut.size(), 0).has_value());
}

// Every catalogue PID has a width, never fewer bytes than the catalogue
// reads (it reads only A of the oxygen sensors 14-1B).
TEST(ObdDialect, PidWidthsCoverTheCatalogue)
{
    for (const PidInfo &row : pids) {
        EXPECT_GE(obd_pid_width(row.pid), std::max(row.bits / 8u, 1u)) << "PID " << std::hex << int(row.pid);
    }
}

TEST(ObdDialect, FreezeFrameFromSnapshot)
{
    const std::string good = "59 04 030100 08 00 03 F40C 2198 F40D 34 F442 37C8";
    struct Case {
        const char *what, *list;
        const char *request; // the snapshot request; null: list malformed; "": none stored
        std::string snapshot;
        std::vector<std::pair<uint8_t, std::string>> classic; // service 02 PID -> classic answer ("": none)
    };
    const std::vector<Case> cases = {
        {"record 00 preferred",
         "59 03 017100 01 030100 00",
         "19 04 030100 00",
         good,
         {{0x02, "42 02 00 0301"},
          {0x00, "42 00 00 40180001"},
          {0x20, "42 20 00 00000001"},
          {0x40, "42 40 00 40000000"},
          {0x0C, "42 0C 00 2198"},
          {0x05, ""}}},
        {"none stored", "59 03", "", "", {}},
        {"list cut short", "59 03 030100", nullptr, "", {}},
        {"identifier count past the answer",
         "59 03 030100 00",
         "19 04 030100 00",
         "59 04 030100 08 00 04 F40C 2198 F40D 34 F442 37C8",
         {}},
        {"another code's snapshot", "59 03 030100 00", "19 04 030100 00", "59 04 030200 08 00 00", {}},
        {"unknown identifier ends the record",
         "59 03 030100 00",
         "19 04 030100 00",
         "59 04 030100 08 00 03 F40C 2198 F50D 34 F442 37C8",
         {{0x0C, "42 0C 00 2198"}, {0x0D, ""}, {0x42, ""}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes list = fr(hx(c.list));
        const auto picked = uds_pick_snapshot(list.data(), list.size());
        ASSERT_EQ(picked.has_value(), c.request != nullptr);
        if (!picked || !picked->has_value()) {
            EXPECT_TRUE(!picked || *c.request == '\0');
            continue;
        }
        EXPECT_EQ(request_bytes(uds_snapshot_request(**picked)), hx(c.request));
        const Bytes a = fr(hx(c.snapshot));
        const auto snap = uds_read_snapshot(**picked, a.data(), a.size());
        ASSERT_EQ(snap.has_value(), !c.classic.empty());
        for (const auto &[pid, expected] : c.classic) {
            const auto got = classic_freeze_answer(*snap, pid, 0xAA);
            EXPECT_EQ(got ? got->bytes : Bytes{}, expected.empty() ? Bytes{} : fr(hx(expected))) << int(pid);
        }
    }
    EXPECT_EQ(classic_no_freeze_answer(0xAA).bytes, fr(hx("42 02 00 0000")));
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
    return out;
}

TEST(ObdDialectWithVehicle, UdsVehicleReadsAsClassic)
{
    FakeClock clock;
    g_can_padding = 0xAA;
    const char *groups[] = {"STRDTC", "PNDDTC", "PRMDTC"}, *sensors[] = {"ENGRPM", "SPD", "CNTMDVOL"};
    g_dtc_count = g_live_sensor_count = 3;
    for (int i = 0; i < 3; ++i) {
        snprintf(g_dtc_names[i], CFG_NAME_LEN, "%s", groups[i]);
        snprintf(g_live_sensor_names[i], CFG_NAME_LEN, "%s", sensors[i]);
    }
    vsim::EcuModel engine = vsim::make_ecu11(0);
    engine.pids = {{0x01, hx("81076504")}, {0x41, hx("00076505")}, {0x0C, hx("1C20")}, {0x0D, {0x48}}};
    engine.stored_dtcs = {0x0420, 0x0301};
    engine.pending_dtcs = {0x0420, 0x0171};
    engine.permanent_dtcs = {0x0420};
    engine.failure_types = {{0x0420, {0x13, 0x1C}}};
    engine.freeze_frame = vsim::EcuModel::FreezeFrame{0x0420, {{0x0C, hx("1C20")}, {0x42, hx("3840")}}};
    engine.vin = "5YJSIM27UDS000427";
    engine.calid = "SIMCAL-HEV27-ENG";
    engine.cvn = {0x5A, 0x17, 0xC0, 0xDE};
    engine.ecu_name = "ECM-EngineControl";
    engine.pending[OBD2_SID_CLEAR_DTC] = {1, std::chrono::microseconds(300'000)};
    vsim::EcuModel hybrid = vsim::make_ecu11(1);
    hybrid.pids = {{0x01, hx("00040000")}, {0x0D, {0x48}}};
    hybrid.stored_dtcs = hybrid.pending_dtcs = {0xC100};
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
