// Start-up, restart, absence and return of the vehicle, 29-bit addressing.
#include <algorithm>
#include <thread>
#include <tuple>

#include "scenario.h"

namespace e2e
{
namespace
{

// Service-01 PIDs the gateway asked for (PID 00 excluded: detection and heartbeat).
std::vector<uint8_t> probed_pids(const std::vector<Frame> &frames)
{
    std::vector<uint8_t> out;
    for (const auto &f : frames) {
        if (f.from_gateway && f.data.size() == 8 && f.data[0] == 0x02 && f.data[1] == 0x01 &&
            f.data[2] != 0x00) {
            out.push_back(f.data[2]);
        }
    }
    return out;
}

TEST_F(E2e, S01_StartupWithVehicle)
{
    use_factory_config();
    ASSERT_TRUE(start_gateway());
    // No vehicle bus yet: the daemon has reset the file (before reading the
    // configuration, so "BR" is 0) and keeps retrying its CAN sockets.
    ASSERT_TRUE(gw->wait_trace("OBD2_ERROR : INIT CAN SOCKET FAILED -> RETRYING[0]", scaled(5000ms)));
    EXPECT_EQ(read_file(kEcuInfoFile), ecu_info_text(reset_ecu_info(0)));

    const size_t from = ui->count();
    const int savsuc = vehicle_up(vehicle_11bit());
    ASSERT_GE(savsuc, 0);
    // Nothing but the four reports so far.
    EXPECT_EQ(ui->payloads(from).size(), 4u);

    // Heartbeat: "ECU" about every four seconds.
    const std::string ecu = status("ECU", 0);
    int first = ui->wait_exact(ecu, 8000ms, static_cast<size_t>(savsuc));
    ASSERT_GE(first, 0);
    int second = ui->wait_exact(ecu, 8000ms, static_cast<size_t>(first) + 1);
    ASSERT_GE(second, 0);
    auto pkts = ui->packets();
    EXPECT_NEAR(ms_between(pkts[static_cast<size_t>(savsuc)], pkts[static_cast<size_t>(first)]), 4100, 900);
    EXPECT_NEAR(ms_between(pkts[static_cast<size_t>(first)], pkts[static_cast<size_t>(second)]), 4100, 900);
    for (size_t i = from; i < pkts.size(); ++i) {
        EXPECT_EQ(std::tie(pkts[i].topic, pkts[i].qos, pkts[i].retained), std::tuple(kRespTopic, 1, 0));
    }

    // The file describes the vehicle: texts, protocol, bit rate, probed flags.
    EXPECT_EQ(read_file(kEcuInfoFile), ecu_info_text(described_11bit()));
    // Every catalogue PID probed once, in catalogue order, padded with the configured byte.
    auto frames = sim->frames();
    EXPECT_EQ(probed_pids(frames), catalogue_pids());
    for (const auto &f : frames) {
        if (f.from_gateway && f.data.size() == 8 && f.data[0] == 0x02) {
            EXPECT_TRUE(std::all_of(f.data.begin() + 3, f.data.end(), [](uint8_t b) { return b == 0xAA; }));
        }
    }
    // The interface was brought up at the configured bit rate.
    EXPECT_EQ(read_file(gw->ip_log_path()), ip_log(500000));
    EXPECT_EQ(gw->count_in_trace("OBD2_INFO : Detected ECU with 11-bit mode."), 1);
}

TEST_F(E2e, S02_RestartRunsFullScanAgain)
{
    bring_up();
    ASSERT_TRUE(wait_ecu_info(described_11bit()));

    // Restart the daemon with the same vehicle: the file is reset at start,
    // so the saved identity is gone and a full scan runs again.
    gw->stop();
    sim->stop();
    ASSERT_TRUE(start_gateway());
    ASSERT_TRUE(gw->wait_trace("OBD2_ERROR : INIT CAN SOCKET FAILED -> RETRYING[0]", scaled(5000ms)));
    EXPECT_EQ(read_file(kEcuInfoFile), ecu_info_text(reset_ecu_info(0)));

    ASSERT_GE(vehicle_up(vehicle_11bit()), 0);
    EXPECT_EQ(probed_pids(sim->frames()), catalogue_pids());
    EXPECT_EQ(gw->count_in_trace("OBD2_INFO : ECU info mismatch or new vehicle. Proceeding with full scan."),
              1);
    EXPECT_EQ(gw->count_in_trace("OBD2_INFO : ECU info matches saved file."), 0);
    EXPECT_TRUE(wait_ecu_info(described_11bit()));
}

TEST_F(E2e, S18_CanInterfaceGoneAndBackIsBroughtUpAgain)
{
    bring_up();
    ASSERT_TRUE(wait_ecu_info(described_11bit()));
    // The adapter is pulled: can0 goes away under the daemon's sockets.
    const int retries = gw->count_in_trace("OBD2_ERROR : INIT CAN SOCKET FAILED -> RETRYING");
    sim->stop();
    ASSERT_TRUE(gw->wait_trace("OBD2_ERROR : CAN interface lost", scaled(20000ms)));
    // New sockets are tried once the bring-up has run again.
    ASSERT_TRUE(
        gw->wait_trace("OBD2_ERROR : INIT CAN SOCKET FAILED -> RETRYING", scaled(5000ms), retries + 1));
    EXPECT_EQ(read_file(gw->ip_log_path()), ip_log(500000) + ip_log(500000)) << "not brought up again";
    // Plugged in again: the daemon finds the vehicle on its own.
    ASSERT_GE(vehicle_up(vehicle_11bit()), 0);
}

TEST_F(E2e, S03_NoVehicleThenVehicleAppears)
{
    use_factory_config();
    ASSERT_TRUE(sim->start(vehicle_11bit()));
    ASSERT_TRUE(sim->command_ok("silent on"));
    ASSERT_TRUE(start_gateway());

    // "NOECU" about once a second (1 s pause plus two 100 ms detection waits).
    const std::string noecu = status("NOECU", 1);
    ASSERT_GE(wait_nth(noecu, 4, scaled(4000ms)), 0) << "fewer than four NOECU";
    expect_gaps(noecu, 0, 900, 2000ms);
    // Every failed detection resets the file, with the configured bit rate.
    EXPECT_EQ(read_file(kEcuInfoFile), ecu_info_text(reset_ecu_info(500000)));

    // Commands before any vehicle was detected: one "COMER" each, no retry,
    // and the search for the vehicle goes on.
    const size_t before = ui->count();
    ASSERT_GE(ask(R"({"TYP":1,"CMD":1})", status("COMER", 1, 1), scaled(4000ms)), 0);
    ASSERT_GE(ask(R"({"TYP":1,"CMD":2})", status("COMER", 1, 2), scaled(4000ms)), 0);
    ASSERT_GE(ui->wait_exact(noecu, scaled(4000ms), ui->count()), 0);
    EXPECT_EQ(ui->indexes_of(status("COMER", 1, 1), before).size(), 1u);
    EXPECT_EQ(ui->indexes_of(status("COMER", 1, 2), before).size(), 1u);
    for (const auto &p : ui->payloads(before)) {
        EXPECT_EQ(p.find("\"DATA\":{\"STRDTC\""), std::string::npos) << "trouble codes without a vehicle";
    }

    // The vehicle appears: detection and a full identification.
    const size_t from = ui->count();
    ASSERT_TRUE(sim->command_ok("silent off"));
    const int savsuc = expect_startup_reports(from, scaled(6000ms));
    ASSERT_GE(savsuc, 0);
    EXPECT_TRUE(wait_ecu_info(described_11bit()));
    // No more "NOECU" once the vehicle answered.
    int modedetected = ui->wait_exact(status("MODEDETECTED", 0), 0ms, from);
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(ui->indexes_of(noecu, static_cast<size_t>(modedetected)).empty());
}

TEST_F(E2e, S04_VehicleLostAndBack)
{
    bring_up();
    ASSERT_TRUE(wait_ecu_info(described_11bit()));

    // The vehicle goes silent: the next heartbeat probe reports "NOECU" and
    // resets the file (texts kept, protocol unknown, reset availability).
    ASSERT_TRUE(sim->command_ok("silent on"));
    const size_t lost_from = ui->count();
    ASSERT_GE(ui->wait_exact(status("NOECU", 1), scaled(7000ms), lost_from), 0);
    EXPECT_TRUE(wait_ecu_info(reset_ecu_info(500000, described_11bit()), 2000ms));

    // It answers again: "ECU", "GOTECU", then re-detection and identification
    // with the probe skipped, since the vehicle matches the saved texts.
    const size_t mark = sim->mark();
    const size_t back_from = ui->count();
    ASSERT_TRUE(sim->command_ok("silent off"));
    int ecu = ui->wait_exact(status("ECU", 0), scaled(7000ms), back_from);
    ASSERT_GE(ecu, 0);
    int gotecu = ui->wait_exact(status("GOTECU", 0), 3000ms, static_cast<size_t>(ecu));
    ASSERT_EQ(gotecu, ecu + 1) << "GOTECU must follow ECU directly";
    ASSERT_GE(expect_startup_reports(static_cast<size_t>(gotecu) + 1, scaled(6000ms)), 0);
    EXPECT_TRUE(probed_pids(sim->frames(mark)).empty())
        << "service 01 probe requests although the vehicle matched";
    EXPECT_EQ(
        gw->count_in_trace("OBD2_INFO : ECU info matches saved file. Skipping PID scan and JSON update."), 1);
    // The file describes the vehicle again, as after the first identification.
    EXPECT_TRUE(wait_ecu_info(described_11bit()));
}

TEST_F(E2e, S05_Vehicle29Bit)
{
    bring_up(std::nullopt, vehicle_29bit());
    EXPECT_EQ(gw->count_in_trace("OBD2_INFO : Detected ECU with 29-bit mode."), 1);

    const size_t mark = sim->mark();
    ASSERT_GE(ask(R"({"TYP":1,"CMD":1})", dtc_packet({"P2002", "P0087"}, {"P2002", "U0073", "P0087"}, {}),
                  scaled(5000ms)),
              0);
    EXPECT_TRUE(wait_ecu_info(described_29bit()));

    // Detection tried 11-bit first; everything after it ran on 29-bit ids.
    auto all = sim->frames();
    ASSERT_FALSE(all.empty());
    const auto detect = sent_to(0x7DF);
    EXPECT_FALSE(detect.empty());
    EXPECT_EQ(detect, std::vector<std::vector<uint8_t>>(detect.size(), request({0x02, 0x01, 0x00})));
    EXPECT_EQ(probed_pids(all), catalogue_pids());

    // The trouble-code read: three requests to the functional 29-bit id, flow
    // control to the ECU's physical id for the segmented stored-code answer.
    for (const auto &f : sim->frames(mark)) {
        // 0x7DF: a heartbeat probe tries 11-bit first.
        EXPECT_TRUE(!f.from_gateway || f.id == 0x7DF || f.extended) << std::hex << f.id;
    }
    auto requests = sent_to(0x18DB33F1, mark);
    std::erase_if(requests, [](const auto &r) { return r[0] != 0x01; });
    EXPECT_EQ(requests, (std::vector<std::vector<uint8_t>>{request({0x01, 0x03}), request({0x01, 0x07}),
                                                           request({0x01, 0x0A})}));
    const auto flow_controls = sent_to(0x18DA10F1, mark);
    EXPECT_FALSE(flow_controls.empty());
    EXPECT_EQ(flow_controls,
              std::vector<std::vector<uint8_t>>(flow_controls.size(), request({0x30, 0x00, 0x00})));
}

// The only arguments answer at once: no thread, relay, can0 or file is touched
// (a started gateway never exits by itself and complains on stderr here).
TEST(E2eArguments, HelpAndVersionAnswerAndExit)
{
    for (const std::string arg : {"--help", "--version"}) {
        SCOPED_TRACE(arg);
        ChildProcess gw({OBDGW_E2E_GATEWAY, arg});
        EXPECT_EQ(gw.wait(5000), 0);
        const auto out = gw.lines();
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out[0].rfind(arg == "--help" ? "Usage: obd-gateway" : "obd-gateway ", 0), 0u) << out[0];
        EXPECT_EQ(gw.err(), "");
    }
}

} // namespace
} // namespace e2e
