// Test fixture shared by the end-to-end scenarios: one private workspace,
// broker, UI client, simulated vehicle and daemon per test.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "support/broker.h"

namespace e2e
{

// The vehicles shipped with the scenarios.
std::string vehicle_11bit();
std::string vehicle_29bit();

// What the 11-bit test vehicle reports, and what a full identification of it
// writes into the ECU information file.
EcuInfo described_11bit(long br = 500000);
EcuInfo described_29bit(long br = 500000);

// Waits scale with the build: sanitizers make everything several times slower.
milliseconds scaled(milliseconds base);

class E2e : public ::testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;

    // Writes config.json (atomically).
    void write_config(const std::string &text);
    void write_config(const Config &cfg) { write_config(config_text(cfg)); }
    // config.json := the factory copy.
    void use_factory_config();

    // Starts the daemon and waits until it has subscribed to the broker.
    // The vehicle is started after this (start_vehicle), so no status packet
    // is published before the bus is up.
    bool start_gateway();
    bool start_vehicle(const std::string &file);
    // start_gateway + start_vehicle, then waits for the full start-up reports.
    // `from` receives the index of the first packet after the daemon subscribed.
    void bring_up(const std::string &vehicle, size_t *from = nullptr);

    // Expects the four start-up reports in this order from packet `from` on,
    // each exactly once before "SAVSUC"; returns the index of "SAVSUC" (-1 on failure).
    int expect_startup_reports(size_t from, milliseconds timeout);
    // Waits for a file to hold exactly `text`.
    bool wait_file(const std::string &path, const std::string &text, milliseconds timeout);
    // Sends a command and waits for its publication to be acknowledged.
    void command(const std::string &json);

    Workspace ws;
    std::unique_ptr<TestBroker> broker;
    std::unique_ptr<Ui> ui;
    std::unique_ptr<Sim> sim;
    std::unique_ptr<Gateway> gw;
    // Set by tests that end the daemon on purpose.
    bool gateway_must_survive = true;
};

} // namespace e2e
