// Test fixture shared by the end-to-end scenarios: one private workspace,
// broker, UI client, simulated vehicle and daemon per test.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "harness.h"
#include "support/broker.h"
#include "support/relay_wiring.h"
#include "support/test_clock.h"

namespace e2e
{

using namespace std::chrono_literals;

// The vehicles shipped with the scenarios.
std::string vehicle_11bit();
std::string vehicle_29bit();

// What the 11-bit test vehicle reports, and what a full identification of it
// writes into the ECU information file.
EcuInfo described_11bit(long br = 500000);
EcuInfo described_29bit(long br = 500000);

// Waits scale with the build: sanitizers make everything several times slower.
milliseconds scaled(milliseconds base);

// A single-frame request as sent: `head`, padded to eight bytes.
std::vector<uint8_t> request(std::initializer_list<uint8_t> head, uint8_t pad = 0xAA);
// The ip commands of bringing can0 up at `br`, as the stand-in logs them.
std::string ip_log(long br);

class E2e : public ::testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;

    // Writes config.json (atomically).
    void write_config(const std::string &text) { ASSERT_TRUE(write_file(kConfigFile, text)); }
    void write_config(const Config &cfg) { write_config(config_text(cfg)); }
    // config.json := the factory copy.
    void use_factory_config() { write_config(read_file(kFactoryFile)); }

    // Starts the daemon and waits until it has subscribed to the broker.
    bool start_gateway() { return gw->start(sim->bus_path()) && gw->wait_subscribed(scaled(15000ms)); }
    // Starts the vehicle and expects the start-up reports from the next
    // packet on; returns the index of "SAVSUC" (-1 on failure).
    int vehicle_up(const std::string &file);
    // Writes config.json (the factory copy by default), then start_gateway and
    // vehicle_up: no status packet is published before the bus is up.
    void bring_up(const std::optional<Config> &cfg = std::nullopt,
                  const std::string &vehicle = vehicle_11bit());

    // Expects the four start-up reports in this order from packet `from` on,
    // each exactly once before "SAVSUC"; returns the index of "SAVSUC" (-1 on failure).
    int expect_startup_reports(size_t from, milliseconds timeout);
    // Waits until the ECU information file holds exactly what `info` describes.
    bool wait_ecu_info(const EcuInfo &info, milliseconds timeout = 3000ms)
    {
        return wait_until([&] { return read_file(kEcuInfoFile) == ecu_info_text(info); }, timeout);
    }
    // Waits until the relay lines show exactly the relays in `on` switched on.
    bool wait_relays(const std::set<int> &on, milliseconds timeout)
    {
        return wait_until([&] { return gw->gpio_levels() == relay_levels(on); }, timeout);
    }
    // Sends a command and waits for its publication to be acknowledged.
    void command(const std::string &json) { ASSERT_TRUE(ui->send(json)) << "publish failed: " << json; }
    // Sends a command and waits for exactly `answer` after it: its index, -1 when it did not come.
    int ask(const std::string &json, const std::string &answer, milliseconds timeout);
    // Index of the n-th packet from `from` on that satisfies `pred`, each
    // waited for up to `timeout`; -1 when one did not come.
    int wait_nth(const std::function<bool(const Packet &)> &pred, int n, milliseconds timeout,
                 size_t from = 0);
    int wait_nth(const std::string &payload, int n, milliseconds timeout, size_t from = 0)
    {
        return wait_nth([&](const Packet &p) { return p.payload == payload; }, n, timeout, from);
    }
    // Expects every gap between consecutive packets that satisfy `pred`, among
    // those from index `from` up to `to`, longer than `lo` ms and shorter than `hi` (scaled).
    void expect_gaps(const std::function<bool(const Packet &)> &pred, size_t from, double lo, milliseconds hi,
                     size_t to = SIZE_MAX);
    void expect_gaps(const std::string &payload, size_t from, double lo, milliseconds hi)
    {
        expect_gaps([&](const Packet &p) { return p.payload == payload; }, from, lo, hi);
    }
    // Data of the frames the gateway sent to `id` after simulator trace line `mark`.
    std::vector<std::vector<uint8_t>> sent_to(uint32_t id, size_t mark = 0);

    // Declared in the order they are torn down in reverse.
    Workspace ws;
    std::unique_ptr<TestBroker> broker;
    std::unique_ptr<Ui> ui;
    std::unique_ptr<Sim> sim;
    std::unique_ptr<Gateway> gw;
};

} // namespace e2e
