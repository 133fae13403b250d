// Configuration file faults, relay commands, broker restart.
#include <unistd.h>

#include <filesystem>
#include <random>
#include <thread>

#include "scenario.h"

namespace e2e
{
namespace
{

TEST_F(E2e, S10a_CorruptConfigurationRestored)
{
    const std::string corrupt = "{\"can_port\": {\"BR\": 5000";
    write_config(corrupt);
    ASSERT_TRUE(start_gateway());
    ASSERT_TRUE(gw->wait_trace("Default config restored successfully.", scaled(5000ms)));
    EXPECT_EQ(read_file(kConfigFile), read_file(kFactoryFile)) << "factory copy not restored byte for byte";
    EXPECT_EQ(read_file(std::string(kConfigFile) + ".bad"), corrupt) << "user's file lost";
    EXPECT_GE(gw->count_in_trace("Error: JSON parse failed"), 1);
    EXPECT_GE(gw->count_in_trace("OBD2_ERROR : Error while parsing json."), 1);

    // Start-up continues with the restored file.
    ASSERT_GE(vehicle_up(vehicle_11bit()), 0);
    EXPECT_EQ(read_file(gw->ip_log_path()), ip_log(500000));
}

TEST_F(E2e, S10b_MissingConfigurationAndFactoryCopy)
{
    ::unlink(kFactoryFile);
    ASSERT_TRUE(start_gateway());
    // Unusable over and over: "WRNGCFG" about once a second, nothing written.
    const std::string wrng = status("WRNGCFG", 1);
    ASSERT_GE(wait_nth(wrng, 2, scaled(4000ms)), 0);
    expect_gaps(wrng, 0, 800, 2500ms);
    EXPECT_GE(gw->count_in_trace("File open failed"), 1);
    EXPECT_GE(gw->count_in_trace("OBD2_ERROR : Failed to restore default config file!"), 1);
    EXPECT_FALSE(std::filesystem::exists(kConfigFile))
        << "a configuration file was created without a factory copy";
    EXPECT_FALSE(std::filesystem::exists(gw->ip_log_path()))
        << "interface brought up without a configuration";

    // The factory copy comes back: it is restored and start-up continues.
    ASSERT_TRUE(write_file(kFactoryFile, read_file(repo_file("config/default_config.json"))));
    ASSERT_TRUE(gw->wait_trace("Default config restored successfully.", scaled(4000ms)));
    EXPECT_EQ(read_file(kConfigFile), read_file(kFactoryFile));
    const int savsuc = vehicle_up(vehicle_11bit());
    ASSERT_GE(savsuc, 0);
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(ui->indexes_of(wrng, static_cast<size_t>(savsuc)).empty());
}

TEST_F(E2e, S10c_ConfigurationWithoutBitRate)
{
    const std::string no_bitrate =
        R"({"live_page":{"sensors":[{"name":"SPD","show":1}]},"show_dtc":{"PNDDTC":1}})";
    write_config(no_bitrate);
    ASSERT_TRUE(start_gateway());
    const std::string wrng = status("WRNGCFG", 1);
    ASSERT_GE(wait_nth(wrng, 2, scaled(4000ms)), 0);
    EXPECT_GE(gw->count_in_trace("OBD2_ERROR : Incorrect bitrate"), 2);
    // Valid JSON is not replaced by the factory copy.
    EXPECT_EQ(read_file(kConfigFile), no_bitrate);
    EXPECT_EQ(gw->count_in_trace("Default config restored successfully."), 0);
    EXPECT_FALSE(std::filesystem::exists(gw->ip_log_path()));

    // A bit rate in mixed-case keys is accepted and start-up continues.
    write_config(R"({"Can_Port":{"br":125000,"PADDING":170},"show_dtc":{"PNDDTC":1}})");
    ASSERT_TRUE(gw->wait_trace("Bitrate: 125000", scaled(4000ms)));
    ASSERT_GE(vehicle_up(vehicle_11bit()), 0);
    EXPECT_EQ(read_file(gw->ip_log_path()), ip_log(125000));
}

TEST_F(E2e, S11_RelayCommands)
{
    ASSERT_TRUE(start_gateway());
    ASSERT_TRUE(gw->wait_trace("DO_INFO: GPIO initialized, all 12 relays set HIGH.", scaled(5000ms)));
    ASSERT_TRUE(wait_relays({}, 1000ms)) << "all twelve lines must start high";
    auto lines = gw->gpio_lines();
    for (int i = 0; i < DO_COUNT; ++i) {
        EXPECT_EQ(lines[relay_line_name(i)].second, "do_ctrl_chip" + std::to_string(kRelay[i].chip)) << i;
    }

    // Each step: a command, or a command the relay worker or the routing
    // refuses, then the full set of line levels it must leave.
    struct Step {
        std::string text;
        std::set<int> on;
    };
    const std::vector<Step> steps{
        {do_command(R"("DO0":1,"DO5":1)"), {0, 5}},
        {do_command(R"("DO0":0)"), {5}},
        {R"({"TYP":2,"CMD":99,"DATA":{"params":{"DO":{"DO8":1}}}})", {5, 8}}, // DO8 and DO11 share offset 13
        {R"({"typ":2,"data":{"PARAMS":{"do":{"do11":2,"DO3":-1}}}})", {3, 5, 8, 11}},
        {R"({"TYP":2.7,"DATA":{"params":{"DO":{"DO3":0.5,"DO8":-0.5,"DO2":"1","DO4":true,"DO6":null,"DO12":1}}}})",
         {5, 11}},
        {R"({"TYP":2,"DATA":{"params":{}}})", {5, 11}},
        {R"({"TYP":"2","DATA":{"params":{"DO":{"DO1":1}}}})", {5, 11}},
        {R"({"TYP":2,"DATA":{"params":{"DO":{}}}})", {5, 11}},
        {do_command(
             R"("DO0":1,"DO1":1,"DO2":1,"DO3":1,"DO4":1,"DO5":1,"DO6":1,"DO7":1,"DO8":1,"DO9":1,"DO10":1,"DO11":1)"),
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
        {do_command(
             R"("DO0":0,"DO1":0,"DO2":0,"DO3":0,"DO4":0,"DO5":0,"DO6":0,"DO7":0,"DO8":0,"DO9":0,"DO10":0,"DO11":0)"),
         {}},
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        command(steps[i].text);
        // A command that changes nothing is confirmed by the next one taking effect.
        if (i + 1 < steps.size() && steps[i].on == steps[i + 1].on) {
            continue;
        }
        EXPECT_TRUE(wait_relays(steps[i].on, scaled(2000ms))) << "after " << steps[i].text;
    }
    // The trace reaches the file when the daemon flushes it: wait for it.
    for (const char *refusal : {"DO_ERROR: DO object missing", "ERROR: 'TYP' field missing or not a number.",
                                "DO_ERROR: Failed to parse packet"}) {
        EXPECT_TRUE(gw->wait_trace(refusal, 2000ms));
        EXPECT_EQ(gw->count_in_trace(refusal), 1);
    }
    const int handed_before = gw->count_in_trace("DO_INFO : PACKET : ");

    // A burst: thirty commands back to back are all taken, in order.
    std::mt19937 rng(20240611);
    std::set<int> on;
    std::vector<std::string> burst;
    for (int k = 0; k < 30; ++k) {
        std::string dos;
        for (int j = 0; j < 3; ++j) {
            int r = static_cast<int>(rng() % 12);
            int v = static_cast<int>(rng() % 2);
            if (v) {
                on.insert(r);
            } else {
                on.erase(r);
            }
            dos += (j ? "," : "") + std::string("\"DO") + std::to_string(r) + "\":" + std::to_string(v);
        }
        burst.push_back(do_command(dos));
    }
    for (const auto &c : burst) {
        ASSERT_TRUE(ui->send_nowait(c));
    }
    ASSERT_TRUE(ui->wait_all_delivered(5000ms));
    EXPECT_TRUE(wait_relays(on, scaled(4000ms)));
    EXPECT_TRUE(
        gw->wait_trace("DO_INFO : PACKET : ", 2000ms, handed_before + static_cast<int>(burst.size())));
    EXPECT_EQ(gw->count_in_trace("Packet refused"), 0);
    // The daemon's own record of the hand-overs, in the order sent.
    std::vector<std::string> handed;
    for (const auto &l : split_lines(gw->trace())) {
        if (l.rfind("DO_INFO : PACKET : ", 0) == 0) {
            handed.push_back(l.substr(19));
        }
    }
    ASSERT_GE(handed.size(), burst.size());
    EXPECT_EQ(std::vector<std::string>(handed.end() - static_cast<long>(burst.size()), handed.end()), burst);
}

TEST_F(E2e, S12_BrokerRestartedMidRun)
{
    bring_up();

    ASSERT_TRUE(ui->connected());
    broker->stop();
    ASSERT_TRUE(gw->wait_trace("Client-1 -> Callback: connection lost", scaled(8000ms)));
    // Let a few connection attempts fail before the broker is back.
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(broker->start());
    ASSERT_TRUE(ui->connect());
    ASSERT_TRUE(gw->wait_subscribed(scaled(20000ms), 2)) << "no resubscription after the restart";
    EXPECT_GE(gw->count_in_trace("INTR_MQTT_INFO : Retrying to connect - [1]"), 1);

    // The daemon answers commands and reports its heartbeat again.
    const size_t from = ui->count();
    EXPECT_GE(ask(R"({"TYP":1,"CMD":1})",
                  dtc_packet({"P0301", "P0171"}, {"P0301", "P0171", "P0128", "U3456"}, {"P0420"}),
                  scaled(5000ms)),
              0);
    EXPECT_GE(ui->wait_exact(status("ECU", 0), scaled(7000ms), from), 0);
    // Relay commands are taken over the new connection too.
    command(do_command(R"("DO7":1)"));
    EXPECT_TRUE(wait_relays({7}, scaled(2000ms)));
}

// With no broker "GOTINFO" cannot be published and identification is repeated:
// about once a second, not as fast as the vehicle answers (a daemon started
// before its broker must not flood the vehicle bus or spin a core).
TEST_F(E2e, S15_IdentificationWithoutBrokerDoesNotSpin)
{
    use_factory_config();
    ui->disconnect();
    broker->stop();
    ASSERT_TRUE(sim->start(vehicle_11bit()));
    const size_t mark = sim->mark();
    ASSERT_TRUE(gw->start(sim->bus_path()));
    std::this_thread::sleep_for(5000ms);
    const auto reqs = sent_to(0x7DF, mark);
    const auto info_requests =
        std::count_if(reqs.begin(), reqs.end(), [](const auto &r) { return r[1] == 0x09; });
    // One identification (four requests) a second would be 20.
    EXPECT_LE(info_requests, 40) << "vehicle-information requests in 5 s without a broker";

    // Once the broker is there, identification completes.
    ASSERT_TRUE(broker->start());
    ASSERT_TRUE(ui->connect());
    EXPECT_GE(ui->wait_exact(status("SAVSUC", 0), scaled(20000ms)), 0);
}

} // namespace
} // namespace e2e
