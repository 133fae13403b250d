#include "scenario.h"

#include <fstream>
#include <thread>

namespace e2e
{

namespace
{

constexpr milliseconds kSubscribeTimeout{15000};
constexpr size_t kTraceTailLines = 120;
constexpr size_t kSimTailLines = 40;

bool sanitized_build()
{
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        if (line.find("libasan.so") != std::string::npos || line.find("libtsan.so") != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::string tail(const std::string &text, size_t n)
{
    auto lines = split_lines(text);
    std::string out;
    for (size_t i = lines.size() > n ? lines.size() - n : 0; i < lines.size(); ++i) {
        out += "    " + lines[i] + "\n";
    }
    return out;
}

} // namespace

std::string vehicle_11bit()
{
    return e2e_data("vehicles/full_11bit.json");
}
std::string vehicle_29bit()
{
    return e2e_data("vehicles/full_29bit.json");
}

namespace
{
// Catalogue PIDs the test vehicles do not answer: O2S7, O2S8, THRPSE, THRPSF.
std::vector<int> test_vehicle_flags()
{
    std::vector<int> flags;
    for (uint8_t pid : catalogue_pids()) {
        flags.push_back(pid == 0x1A || pid == 0x1B || pid == 0x4A || pid == 0x4B ? 0 : 1);
    }
    return flags;
}
} // namespace

EcuInfo described_11bit(long br)
{
    EcuInfo e;
    e.vid = "VF1E2E00000001234";
    e.cid = "E2E-CAL-11BIT-01";
    e.cvn = "0112AB34CD"; // the count-of-items byte is rendered too
    e.ecunm = "ECM-E2E-Engine";
    e.proto = "ISO15765-4 (11-bit)";
    e.br = br;
    e.flags = test_vehicle_flags();
    return e;
}

EcuInfo described_29bit(long br)
{
    EcuInfo e;
    e.vid = "WDBE2E29BIT000777";
    e.cid = "E2E-CAL-29BIT-02";
    e.cvn = "01CAFEF00D";
    e.ecunm = "ECM-E2E-Diesel";
    e.proto = "ISO15765-4 (29-bit)";
    e.br = br;
    e.flags = test_vehicle_flags();
    return e;
}

milliseconds scaled(milliseconds base)
{
    static const bool slow = sanitized_build();
    return slow ? base * 3 : base;
}

void E2e::SetUp()
{
    std::string error;
    ASSERT_TRUE(ws.set_up(error)) << error;
    broker = std::make_unique<TestBroker>();
    ASSERT_TRUE(broker->start()) << "mosquitto did not start on 127.0.0.1:1883";
    ui = std::make_unique<Ui>();
    ASSERT_TRUE(ui->connect()) << "the UI client could not connect";
    sim = std::make_unique<Sim>(ws.dir());
    gw = std::make_unique<Gateway>(ws.dir());
}

void E2e::TearDown()
{
    if (gw && gw->pid() > 0) {
        if (gateway_must_survive) {
            EXPECT_TRUE(gw->running()) << "the daemon ended: " << gw->end_reason();
        }
        EXPECT_EQ(gw->sanitizer_report(), "") << "sanitizer reports in the daemon's trace";
    }
    if (HasFailure()) {
        std::string msg = "workspace " + ws.dir() + "\n  daemon trace (tail):\n" +
                          tail(read_file(gw ? gw->log_path() : ""), kTraceTailLines) +
                          "  simulator (tail):\n" +
                          tail(read_file(sim ? sim->log_path() : ""), kSimTailLines) + "  packets:\n";
        if (ui) {
            for (const auto &p : ui->payloads()) {
                msg += "    " + p.substr(0, 200) + "\n";
            }
        }
        std::printf("%s", msg.c_str());
    }
    if (gw) {
        gw->stop();
    }
    if (sim) {
        sim->stop();
    }
    if (ui) {
        ui->disconnect();
    }
    if (broker) {
        broker->stop();
    }
    ws.tear_down();
}

void E2e::write_config(const std::string &text)
{
    ASSERT_TRUE(e2e::write_file(kConfigFile, text));
}

void E2e::use_factory_config()
{
    write_config(read_file(kFactoryFile));
}

bool E2e::start_gateway()
{
    return gw->start(sim->bus_path()) && gw->wait_subscribed(scaled(kSubscribeTimeout));
}

bool E2e::start_vehicle(const std::string &file)
{
    return sim->start(file);
}

void E2e::bring_up(const std::string &vehicle, size_t *from)
{
    ASSERT_TRUE(start_gateway()) << "the daemon did not subscribe";
    size_t first = ui->count();
    if (from) {
        *from = first;
    }
    ASSERT_TRUE(start_vehicle(vehicle)) << "the simulator did not start";
    ASSERT_GE(expect_startup_reports(first, scaled(milliseconds(10000))), 0);
}

int E2e::expect_startup_reports(size_t from, milliseconds timeout)
{
    const std::vector<std::string> expected{status("MODEDETECTED", 0), status("GOTINFO", 0),
                                            status("GOTPID", 0), status("SAVSUC", 0)};
    int at = static_cast<int>(from);
    for (const auto &e : expected) {
        int idx = ui->wait_exact(e, timeout, static_cast<size_t>(at));
        EXPECT_GE(idx, 0) << "missing " << e;
        if (idx < 0) {
            return -1;
        }
        const auto pkts = ui->packets();
        EXPECT_EQ(pkts[static_cast<size_t>(idx)].qos, 1) << e;
        EXPECT_EQ(pkts[static_cast<size_t>(idx)].retained, 0) << e;
        at = idx + 1;
    }
    // Each report exactly once, none of them out of order.
    const auto got = ui->payloads(from);
    for (const auto &e : expected) {
        EXPECT_EQ(std::count(got.begin(), got.begin() + (at - static_cast<int>(from)), e), 1) << e;
    }
    return at - 1;
}

bool E2e::wait_file(const std::string &path, const std::string &text, milliseconds timeout)
{
    auto until = Clock::now() + timeout;
    while (Clock::now() < until) {
        if (read_file(path) == text) {
            return true;
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
    return read_file(path) == text;
}

void E2e::command(const std::string &json)
{
    ASSERT_TRUE(ui->send(json)) << "publish failed: " << json;
}

} // namespace e2e
