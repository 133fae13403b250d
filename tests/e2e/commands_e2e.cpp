// OBD commands from the UI: trouble codes, live data, clearing, reload.
#include <algorithm>
#include <cstdio>
#include <thread>

#include "scenario.h"

namespace e2e
{
namespace
{

TEST_F(E2e, S06_TroubleCodes)
{
    bring_up();

    // Stored, pending and permanent codes; the stored and pending answers are
    // segmented. Chassis/body codes, P3xxx and a repeat are dropped; stored
    // keeps only what is also pending.
    const size_t mark = sim->mark();
    const int idx =
        ask(R"({"TYP":1,"CMD":1})",
            dtc_packet({"P0301", "P0171"}, {"P0301", "P0171", "P0128", "U3456"}, {"P0420"}), scaled(5000ms));
    ASSERT_GE(idx, 0);
    EXPECT_EQ(ui->packets()[static_cast<size_t>(idx)].qos, 1);
    EXPECT_EQ(sent_to(0x7DF, mark),
              (std::vector<std::vector<uint8_t>>{request({0x01, 0x03}), request({0x01, 0x07}),
                                                 request({0x01, 0x0A})}));
    // Flow control for each segmented answer.
    EXPECT_EQ(sent_to(0x7E0, mark), std::vector<std::vector<uint8_t>>(2, request({0x30, 0x00, 0x00})));

    // A long pending answer: 100 codes, 29 consecutive frames, sequence numbers wrap twice.
    std::vector<std::string> pending;
    std::string set_pending = "dtc pending";
    for (int i = 0; i < 100; ++i) {
        char code[8];
        std::snprintf(code, sizeof code, "P%04X", 0x0100 + i);
        pending.push_back(code);
        set_pending += std::string(" ") + code;
    }
    ASSERT_TRUE(sim->command_ok(set_pending));
    ASSERT_TRUE(sim->command_ok("dtc stored P0301 P0105"));
    EXPECT_GE(ask(R"({"TYP":1,"CMD":1})", dtc_packet({"P0105"}, pending, {"P0420"}), scaled(5000ms)), 0);

    // No pending codes: the stored group is always empty then.
    ASSERT_TRUE(sim->command_ok("dtc pending"));
    const size_t from = ui->count();
    EXPECT_GE(ask(R"({"TYP":1,"CMD":1})", dtc_packet({}, {}, {"P0420"}), scaled(5000ms)), 0);

    // Each read went back to idle: the heartbeat carries on.
    EXPECT_GE(ui->wait_exact(status("ECU", 0), 7000ms, from), 0);
}

TEST_F(E2e, S07_LiveDataStreamsUntilStopped)
{
    // FOO is not a catalogue key: it never reaches the packet. SPD twice: two lines.
    bring_up(Config{.sensors = {"ENGRPM", "SPD", "INTTMP", "FOO", "INJTIM", "EVPPRS", "DDTORQ", "SPD"}});
    ASSERT_TRUE(sim->command_ok("pid 0F -")); // intake temperature stops answering

    // Raw values of the vehicle file, scaled and clamped: 0C35 -> 781.25 rpm,
    // 3C -> 60 km/h, 6800 -> 18510 deg clamped to 302.4, 0000 -> -32767.75 Pa,
    // FF -> 130 % clamped to 125.
    std::vector<std::pair<std::string, std::string>> values{
        {"ENGRPM", "781.25"},    {"SPD", "60.00"},     {"INTTMP", "\"--\""}, {"INJTIM", "302.40"},
        {"EVPPRS", "-32767.75"}, {"DDTORQ", "125.00"}, {"SPD", "60.00"}};
    const std::string first = live_packet(values);
    const size_t mark = sim->mark();
    const size_t from = ui->count();
    command(R"({"TYP":1,"CMD":2})");
    int third = wait_nth(is_live, 3, scaled(5000ms), from);
    ASSERT_GE(third, 0) << "fewer than three snapshots";
    for (const auto &p : ui->packets()) {
        if (is_live(p)) {
            EXPECT_EQ(std::pair(p.payload, p.qos), std::pair(first, 1));
        }
    }
    // One request per sensor in configuration order, unknown keys skipped.
    auto reqs = sent_to(0x7DF, mark);
    const std::vector<uint8_t> order{0x0C, 0x0D, 0x0F, 0x5D, 0x32, 0x61, 0x0D};
    ASSERT_GE(reqs.size(), order.size());
    for (size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(reqs[i], request({0x02, 0x01, order[i]})) << "request " << i;
    }

    // New raw values show up in the stream: 1AF8 -> 1726 rpm, 3C -> 20 deg.
    ASSERT_TRUE(sim->command_ok("pid 0C 1A F8"));
    ASSERT_TRUE(sim->command_ok("pid 0F 3C"));
    values[0].second = "1726.00";
    values[2].second = "20.00";
    ASSERT_GE(ui->wait_exact(live_packet(values), scaled(6000ms), from), 0);

    // Command 3 stops the stream (a snapshot under way may still arrive) and the worker idles.
    const size_t stop_from = ui->count();
    command(R"({"TYP":1,"CMD":3})");
    std::this_thread::sleep_for(scaled(3000ms));
    const auto pkts = ui->packets();
    EXPECT_LE(std::count_if(pkts.begin() + static_cast<long>(stop_from), pkts.end(), is_live), 1)
        << "snapshots kept coming after command 3";
    EXPECT_GE(ui->wait_exact(status("ECU", 0), 6000ms, stop_from), 0);

    // Snapshots followed one another back to back while streaming.
    expect_gaps(is_live, from, 0, 2500ms, stop_from);
}

TEST_F(E2e, S08_ClearTroubleCodes)
{
    bring_up();
    auto count_clears = [&](size_t mark) {
        const auto reqs = sent_to(0x7DF, mark);
        return std::count(reqs.begin(), reqs.end(), request({0x01, 0x04}));
    };

    // "Response pending", and the ECU confirms 3 s later: "DTC_CLEARED" about
    // 4 s after that, from the one request.
    ASSERT_TRUE(sim->command_ok("clear 0 00"));
    ASSERT_TRUE(sim->command_ok("pending 04 1 3000"));
    size_t mark = sim->mark();
    size_t from = ui->count();
    auto sent = Clock::now();
    command(R"({"TYP":1,"CMD":4})");
    int done = ui->wait_exact(status("DTC_CLEARED", 0, 4), scaled(12000ms), from);
    ASSERT_GE(done, 0);
    double took =
        std::chrono::duration<double, std::milli>(ui->packets()[static_cast<size_t>(done)].at - sent).count();
    EXPECT_GT(took, 7000);
    EXPECT_LT(took, scaled(9000ms).count());
    EXPECT_EQ(count_clears(mark), 1);
    EXPECT_TRUE(ui->indexes_of(status("NORES", 1, 4), from).empty());
    ASSERT_TRUE(sim->command_ok("pending 04 0 0"));

    // Refused clear: four "NORES" one attempt each, about a second apart, then idle.
    ASSERT_TRUE(sim->command_ok("clear 0 22"));
    mark = sim->mark();
    from = ui->count();
    command(R"({"TYP":1,"CMD":4})");
    const std::string nores = status("NORES", 1, 4);
    const int fourth = wait_nth(nores, 4, scaled(4000ms), from);
    ASSERT_GE(fourth, 0);
    expect_gaps(nores, from, 900, 2500ms);
    ASSERT_GE(ui->wait_exact(status("ECU", 0), 7000ms, static_cast<size_t>(fourth)), 0)
        << "the worker did not go back to its heartbeat";
    EXPECT_EQ(ui->indexes_of(nores, from).size(), 4u);
    EXPECT_TRUE(ui->indexes_of(status("DTC_CLEARED", 0, 4), from).empty());
    EXPECT_EQ(count_clears(mark), 4);
    EXPECT_EQ(gw->count_in_trace("OBD2_ERROR : NO COMMUNICATION WITH ECU."), 1);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(gw->count_in_trace("OBD2_ERROR : Error while handling received command--- Retrying [" +
                                     std::to_string(i) + "]"),
                  1);
    }
}

// Engine at 0x7E8 and a transmission at 0x7E9 that answers every functional
// request too, a little later, differently, with a segmented answer of its own.
std::string vehicle_two_ecus()
{
    return e2e_data("vehicles/two_ecus_11bit.json");
}

TEST_F(E2e, S16_TwoEcusEngineIdentifiesAndStreamsEveryEcuReportsCodesAndClears)
{
    bring_up(Config{.sensors = {"ENGRPM", "SPD"}}, vehicle_two_ecus());
    // Exactly what the engine ECU alone gives.
    EXPECT_TRUE(wait_ecu_info(described_11bit()));
    // From here on the transmission answers first.
    ASSERT_TRUE(sim->command_ok("latency 3 ecu=0"));
    ASSERT_TRUE(sim->command_ok("latency 0 ecu=1"));

    // The engine's codes, then the transmission's not listed yet; stored keeps only pending ones.
    const size_t mark = sim->mark();
    EXPECT_GE(
        ask(R"({"TYP":1,"CMD":1})",
            dtc_packet({"P0301", "P0171", "P0700"},
                       {"P0301", "P0171", "P0128", "U3456", "P0700", "P0715", "P0730"}, {"P0420", "P0700"}),
            scaled(8000ms)),
        0);
    EXPECT_FALSE(sent_to(0x7E1, mark).empty()) << "the transmission's segmented answer got no flow control";

    // One live packet per snapshot, the engine's values.
    size_t from = ui->count();
    command(R"({"TYP":1,"CMD":2})");
    ASSERT_GE(wait_nth(is_live, 2, scaled(5000ms), from), 0);
    command(R"({"TYP":1,"CMD":3})");
    for (const auto &p : ui->packets()) {
        if (is_live(p)) {
            EXPECT_EQ(p.payload, live_packet({{"ENGRPM", "781.25"}, {"SPD", "60.00"}}));
        }
    }

    // One clear command, one request, one outcome, once both ECUs confirmed
    // (the engine after two "response pending").
    ASSERT_TRUE(sim->command_ok("clear 0 00 ecu=0"));
    ASSERT_TRUE(sim->command_ok("pending 04 2 300 ecu=0"));
    std::this_thread::sleep_for(800ms);
    const size_t clear_mark = sim->mark();
    from = ui->count();
    const int done = ask(R"({"TYP":1,"CMD":4})", status("DTC_CLEARED", 0, 4), scaled(9000ms));
    ASSERT_GE(done, 0);
    ASSERT_GE(ui->wait_exact(status("ECU", 0), 7000ms, static_cast<size_t>(done)), 0);
    EXPECT_EQ(ui->indexes_of(status("DTC_CLEARED", 0, 4), from).size(), 1u);
    EXPECT_TRUE(ui->indexes_of(status("NORES", 1, 4), from).empty());
    const auto clears = sent_to(0x7DF, clear_mark);
    EXPECT_EQ(std::count(clears.begin(), clears.end(), request({0x01, 0x04})), 1);

    // Identified again with the transmission answering first: still the engine's description.
    from = ui->count();
    command(R"({"TYP":1,"CMD":10})");
    ASSERT_GE(expect_startup_reports(from, scaled(10000ms)), 0);
    EXPECT_EQ(gw->count_in_trace("OBD2_INFO : ECU info matches saved file."), 1);
    EXPECT_TRUE(wait_ecu_info(described_11bit()));
}

TEST_F(E2e, S17_TroubleCodeReadWithTheVehicleGoneIsNoResponse)
{
    bring_up(Config{.dtc_groups = {"PNDDTC"}}, vehicle_two_ecus());
    ASSERT_TRUE(sim->command_ok("silent on"));
    // Gone a moment ago: the read waits once for anybody to answer (both ECUs at once).
    size_t from = ui->count();
    auto sent = Clock::now();
    int nores = ask(R"({"TYP":1,"CMD":1})", status("NORES", 1, 1), scaled(15000ms));
    ASSERT_GE(nores, 0);
    EXPECT_LT(std::chrono::duration<double>(ui->packets()[static_cast<size_t>(nores)].at - sent).count(),
              11.5);
    EXPECT_TRUE(gw->wait_trace("OBD2_ERROR : Error while handling received command--- Retrying [0]", 2000ms));
    for (const auto &p : ui->payloads(from)) {
        EXPECT_EQ(p.find("\"DATA\":{\"STRDTC\""), std::string::npos) << "trouble codes without a vehicle";
    }
    // Reported absent: a read finds that out with one short request, and a
    // stop sent a second later is taken at once.
    ASSERT_GE(ui->wait_exact(status("NOECU", 1), scaled(15000ms), from), 0);
    from = ui->count();
    sent = Clock::now();
    nores = ask(R"({"TYP":1,"CMD":1})", status("NORES", 1, 1), scaled(2000ms));
    ASSERT_GE(nores, 0);
    EXPECT_LT(std::chrono::duration<double>(ui->packets()[static_cast<size_t>(nores)].at - sent).count(),
              1.0);
    std::this_thread::sleep_for(1000ms);
    command(R"({"TYP":1,"CMD":3})");
    EXPECT_TRUE(gw->wait_trace("[DEBUG] TYP=1, CMD=3", 1000ms));
}

// Readiness packet of the test vehicles: monitor states in table order.
std::string readiness_packet(int mil, int codes, const std::string &mon, const std::string &cyc)
{
    const auto states = [](const std::string &letters, const char *off) {
        // One letter per spark monitor: C complete, I incomplete, - `off`.
        static const char *keys[] = {"MISF", "FUEL", "CCM", "CAT",  "HCAT", "EVAP",
                                     "SAIR", "ACRF", "O2S", "O2SH", "EGR"};
        std::string o;
        for (size_t i = 0; i < letters.size(); ++i) {
            o += std::string(i ? "," : "") + "\"" + keys[i] + "\":\"" +
                 (letters[i] == 'C'   ? "COMPLETE"
                  : letters[i] == 'I' ? "INCOMPLETE"
                                      : off) +
                 "\"";
        }
        return "{" + o + "}";
    };
    return R"({"TYP":1,"CMD":13,"DATA":{"MIL":)" + std::to_string(mil) + R"(,"DTCCNT":)" +
           std::to_string(codes) + R"(,"IGN":"SPARK","MON":)" + states(mon, "UNSUPPORTED") +
           (cyc.empty() ? "" : R"(,"CYC":)" + states(cyc, "DISABLED")) + "}}";
}

TEST_F(E2e, S20_ReadinessMergedOverEveryEcu)
{
    bring_up(Config{}, vehicle_two_ecus());
    // The transmission's comprehensive-component monitor is incomplete where
    // the engine's is complete: incomplete. MIL from the engine, codes summed.
    const size_t mark = sim->mark();
    EXPECT_GE(
        ask(R"({"TYP":1,"CMD":13})", readiness_packet(1, 8, "CCIC-II-CCC", "CCII-------"), scaled(5000ms)),
        0);
    auto reqs = sent_to(0x7DF, mark);
    std::erase(reqs, request({0x02, 0x01, 0x00}));
    const auto monitors = request({0x02, 0x01, 0x01});
    const auto cycle = request({0x02, 0x01, 0x41});
    // One functional request each, answered by both ECUs.
    EXPECT_EQ(reqs, (std::vector<std::vector<uint8_t>>{monitors, cycle}));

    // A refusal by the transmission is an answer: the engine's status alone.
    ASSERT_TRUE(sim->command_ok("negative 01 01 22 ecu=1"));
    ASSERT_TRUE(sim->command_ok("negative 01 41 22 ecu=1"));
    EXPECT_GE(
        ask(R"({"TYP":1,"CMD":13})", readiness_packet(1, 6, "CCCC-II-CCC", "CCCI-------"), scaled(5000ms)),
        0);
    // Refused by both: not supported, no retry.
    ASSERT_TRUE(sim->command_ok("negative 01 01 22 ecu=0"));
    EXPECT_GE(ask(R"({"TYP":1,"CMD":13})", status("NOTSUP", 0, 13), scaled(5000ms)), 0);
}

TEST_F(E2e, S21_FreezeFrameOfTheEngine)
{
    bring_up();
    // Values in catalogue order, scaled as live data; PID 03 is not in the catalogue.
    const size_t mark = sim->mark();
    EXPECT_GE(
        ask(R"({"TYP":1,"CMD":14})",
            R"({"TYP":1,"CMD":14,"DATA":{"DTC":"P0301","VAL":{"ENGLD":41.96,"COLTMP":88.00,"ENGRPM":2150.00,)"
            R"("SPD":52.00,"FLLVL":65.10,"CNTMDVOL":14.28,"OILTEMP":70.00,"REFTORQ":400.00}}})",
            scaled(5000ms)),
        0);
    std::vector<std::vector<uint8_t>> expected;
    for (uint8_t pid : {0x02, 0x00, 0x20, 0x40, 0x60, 0x04, 0x05, 0x0C, 0x0D, 0x2F, 0x42, 0x5C, 0x63}) {
        expected.push_back(request({0x03, 0x02, pid, 0x00}));
    }
    auto reqs = sent_to(0x7DF, mark);
    std::erase(reqs, request({0x02, 0x01, 0x00}));
    EXPECT_EQ(reqs, expected);

    // Cleared (at once): no frame stored, and the monitors since the clear start over.
    ASSERT_TRUE(sim->command_ok("clear 0 00"));
    EXPECT_GE(ask(R"({"TYP":1,"CMD":4})", status("DTC_CLEARED", 0, 4), scaled(9000ms)), 0);
    EXPECT_GE(ask(R"({"TYP":1,"CMD":14})", status("NOFRAME", 0, 14), scaled(5000ms)), 0);
    EXPECT_GE(
        ask(R"({"TYP":1,"CMD":13})", readiness_packet(0, 0, "IIII-II-III", "CCCI-------"), scaled(5000ms)),
        0);
}

// One vehicle file read as a classic vehicle, then as one speaking OBD on UDS
// (the same file with "obd": "uds"): the same packets for commands 1, 2, 13,
// 14 and 4, byte for byte, and the same ECU information file but PROTO.
TEST_F(E2e, S23_UdsVehicleReadsAsItsClassicTwin)
{
    std::string text = read_file(vehicle_11bit());
    text.insert(text.find('{') + 1, R"("obd": "uds",)");
    const std::string uds_file = ws.path("uds_11bit.json");
    ASSERT_TRUE(write_file(uds_file, text));
    write_config(Config{.sensors = {"ENGRPM", "SPD", "CNTMDVOL", "COLTMP"}});
    std::vector<std::string> seen[2];
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run == 0 ? "classic" : "UDS");
        gw->stop();
        sim->stop();
        std::remove(kEcuInfoFile);
        ASSERT_TRUE(start_gateway());
        ASSERT_GE(vehicle_up(run == 0 ? vehicle_11bit() : uds_file), 0);
        ASSERT_TRUE(wait_until([] { return read_file(kEcuInfoFile).find("ISO15765") != std::string::npos; },
                               scaled(3000ms)));
        seen[run].push_back(read_file(kEcuInfoFile));
        for (int cmd : {1, 2, 13, 14, 4}) {
            const std::string head = "{\"TYP\":1,\"CMD\":" + std::to_string(cmd) + ",";
            const size_t at = ui->count();
            command("{\"TYP\":1,\"CMD\":" + std::to_string(cmd) + "}");
            const int idx = wait_nth(
                [&](const Packet &p) { return cmd == 2 ? is_live(p) : p.payload.rfind(head, 0) == 0; }, 1,
                scaled(cmd == 4 ? 30000ms : 10000ms), at); // the clear is answered busy twice
            seen[run].push_back(idx < 0 ? "(none)" : ui->packets()[static_cast<size_t>(idx)].payload);
            if (cmd == 2) {
                command(R"({"TYP":1,"CMD":3})");
            }
        }
        // The UDS vehicle got nothing classic but the detection that found no answer.
        for (const auto &r : sent_to(0x7DF)) {
            EXPECT_TRUE(run == 0 || r == request({0x02, 0x01, 0x00}) || r[1] >= 0x10) << int(r[1]);
        }
    }
    const size_t proto = seen[1][0].find(" J1979-2\"");
    ASSERT_NE(proto, std::string::npos) << seen[1][0];
    seen[1][0].erase(proto, 8);
    EXPECT_EQ(seen[1], seen[0]);
    EXPECT_EQ(seen[0].back(), status("DTC_CLEARED", 0, 4));
}

TEST_F(E2e, S09_ReloadAfterConfigurationChange)
{
    bring_up(Config{.sensors = {"ENGRPM", "SPD"}});
    ASSERT_TRUE(wait_ecu_info(described_11bit()));

    write_config(Config{
        .br = 250000, .padding = 0x55, .sensors = {"COLTMP", "DDTORQ", "OILTEMP"}, .dtc_groups = {"PNDDTC"}});

    // Command 10: configuration read again, interface brought up at the new
    // bit rate, detection and identification reported again.
    size_t mark = sim->mark();
    size_t from = ui->count();
    command(R"({"TYP":1,"CMD":10})");
    ASSERT_GE(expect_startup_reports(from, scaled(8000ms)), 0);
    EXPECT_EQ(read_file(gw->ip_log_path()), ip_log(500000) + ip_log(250000));
    EXPECT_EQ(gw->count_in_trace("Bitrate: 250000"), 1);
    EXPECT_EQ(gw->count_in_trace("Padding: 85"), 1);
    auto reqs = sent_to(0x7DF, mark);
    ASSERT_FALSE(reqs.empty());
    EXPECT_EQ(reqs.front(), request({0x02, 0x01, 0x00}, 0x55));
    for (const auto &r : reqs) {
        EXPECT_EQ(r[7], 0x55) << "request padded with the old byte";
    }
    // Same vehicle: the probe is skipped, the file records the new bit rate.
    EXPECT_EQ(gw->count_in_trace("OBD2_INFO : ECU info matches saved file."), 1);
    EXPECT_TRUE(wait_ecu_info(described_11bit(250000)));

    // The new sensors are used: coolant 5F -> 55, torque FF -> 125 (clamped), oil 6E -> 70.
    EXPECT_GE(ask(R"({"TYP":1,"CMD":2})",
                  live_packet({{"COLTMP", "55.00"}, {"DDTORQ", "125.00"}, {"OILTEMP", "70.00"}}),
                  scaled(5000ms)),
              0);
    command(R"({"TYP":1,"CMD":3})");

    // And the new trouble-code groups: pending only.
    std::this_thread::sleep_for(800ms);
    mark = sim->mark();
    EXPECT_GE(
        ask(R"({"TYP":1,"CMD":1})", dtc_packet({}, {"P0301", "P0171", "P0128", "U3456"}, {}), scaled(5000ms)),
        0);
    auto dtc_reqs = sent_to(0x7DF, mark);
    std::erase_if(dtc_reqs, [](const auto &r) { return r[0] != 0x01; });
    EXPECT_EQ(dtc_reqs, (std::vector<std::vector<uint8_t>>{request({0x01, 0x07}, 0x55)}));
}

// obd-gateway-cli against the real daemon: an answer in words, live data that
// leaves the gateway idle, a relay, and the exit statuses of an error answer
// and of a broker that is not there.
TEST_F(E2e, S22_CommandLineClient)
{
    bring_up(Config{.sensors = {"ENGRPM", "SPD"}});
    struct Run {
        int rc;
        std::vector<std::string> out;
        std::string err;
    };
    auto cli = [](std::vector<std::string> args, milliseconds timeout) {
        args.insert(args.begin(), OBDGW_E2E_CLI);
        ChildProcess p(args);
        const int rc = p.wait(static_cast<int>(timeout.count()));
        return Run{rc, p.lines(), p.err()};
    };

    // A loaded sanitizer build may miss one heartbeat probe (NOECU, then GOTECU): asked again then.
    Run r = cli({"status"}, scaled(10000ms));
    for (int again = 0; again < 2 && r.rc == 1; ++again) {
        r = cli({"status"}, scaled(10000ms));
    }
    EXPECT_EQ(r.rc, 0) << r.err;
    ASSERT_GE(r.out.size(), 2u);
    EXPECT_EQ(r.out[1], "VIN          VF1E2E00000001234");

    r = cli({"dtc"}, scaled(10000ms));
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, (std::vector<std::string>{"stored     P0301 P0171", "pending    P0301 P0171 P0128 U3456",
                                               "permanent  P0420"}));

    // Two snapshots, then command 3: at most the snapshot under way follows, then the heartbeat.
    r = cli({"live", "--count", "2"}, scaled(10000ms));
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, (std::vector<std::string>{"#1  ENGRPM 781.25 rpm  SPD 60.00 km/h",
                                               "#2  ENGRPM 781.25 rpm  SPD 60.00 km/h"}));
    const size_t stopped = ui->count();
    EXPECT_TRUE(gw->wait_trace("[DEBUG] TYP=1, CMD=3", 2000ms)) << "live data was not stopped";
    EXPECT_GE(ui->wait_exact(status("ECU", 0), 7000ms, stopped), 0) << "no heartbeat after live data";
    const auto pkts = ui->packets();
    EXPECT_LE(std::count_if(pkts.begin() + static_cast<long>(stopped), pkts.end(), is_live), 1);

    // Ctrl-C: the stop all the same.
    ChildProcess live({OBDGW_E2E_CLI, "live"});
    std::string line;
    ASSERT_TRUE(live.read_line(line, static_cast<int>(scaled(5000ms).count()))) << "no snapshot";
    live.signal(SIGINT);
    EXPECT_EQ(live.wait(5000), 0) << live.err();
    EXPECT_TRUE(gw->wait_trace("[DEBUG] TYP=1, CMD=3", 2000ms, 2)) << "live data was not stopped by Ctrl-C";

    r = cli({"relay", "DO3", "on"}, 5000ms);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_TRUE(wait_relays({3}, scaled(2000ms)));
    EXPECT_EQ(cli({"relay", "all", "off"}, 5000ms).rc, 0);
    EXPECT_TRUE(wait_relays({}, scaled(2000ms)));

    // The vehicle gone: reported absent, and a read fails after the gateway's attempts.
    ASSERT_TRUE(sim->command_ok("silent on"));
    ASSERT_GE(ui->wait_exact(status("NOECU", 1), scaled(20000ms), ui->count()), 0);
    r = cli({"status"}, scaled(15000ms));
    EXPECT_EQ(std::tuple(r.rc, r.out.empty() ? "" : r.out[0]),
              std::tuple(1, "vehicle      NOECU: no vehicle answers"));
    r = cli({"dtc"}, scaled(15000ms));
    EXPECT_EQ(std::tuple(r.rc, r.out.size(), r.err),
              std::tuple(1, size_t{0},
                         std::string("obd-gateway-cli: NORES: the vehicle gave no usable answer "
                                     "(4 attempts)\n")));
    EXPECT_EQ(cli({"dtc", "--port", "1884"}, 10000ms).rc, 3);
}

} // namespace
} // namespace e2e
