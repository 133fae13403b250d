#include "scenario.h"

namespace e2e
{

namespace
{

constexpr size_t kTraceTailLines = 120;
constexpr size_t kSimTailLines = 40;

std::string tail(const std::string &text, size_t n)
{
    auto lines = split_lines(text);
    std::string out;
    for (size_t i = lines.size() > n ? lines.size() - n : 0; i < lines.size(); ++i) {
        out += "    " + lines[i] + "\n";
    }
    return out;
}

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

std::string vehicle_11bit()
{
    return e2e_data("vehicles/full_11bit.json");
}
std::string vehicle_29bit()
{
    return e2e_data("vehicles/full_29bit.json");
}

// The CVN's count-of-items byte is rendered too.
EcuInfo described_11bit(long br)
{
    return {"VF1E2E00000001234", "E2E-CAL-11BIT-01",    "0112AB34CD",
            "ECM-E2E-Engine",    "ISO15765-4 (11-bit)", br,
            test_vehicle_flags()};
}

EcuInfo described_29bit(long br)
{
    return {"WDBE2E29BIT000777", "E2E-CAL-29BIT-02",    "01CAFEF00D",
            "ECM-E2E-Diesel",    "ISO15765-4 (29-bit)", br,
            test_vehicle_flags()};
}

milliseconds scaled(milliseconds base)
{
    static const bool slow = !sanitizer_runtime().empty();
    return slow ? base * 3 : base;
}

std::vector<uint8_t> request(std::initializer_list<uint8_t> head, uint8_t pad)
{
    std::vector<uint8_t> r(head);
    r.resize(8, pad);
    return r;
}

std::string ip_log(long br)
{
    return "sudo ip link set can0 down\nsudo ip link set can0 up type can bitrate " + std::to_string(br) +
           "\nsudo ip link set can0 up\n";
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

// The members' destructors stop the daemon, the simulator, the client and the broker, in this order.
void E2e::TearDown()
{
    if (gw && gw->pid() > 0) {
        EXPECT_TRUE(gw->running()) << "the daemon ended: " << gw->end_reason();
        EXPECT_EQ(gw->sanitizer_report(), "") << "sanitizer reports in the daemon's trace";
    }
    if (HasFailure()) {
        std::string msg = "workspace " + ws.dir() + "\n  daemon trace (tail):\n" +
                          tail(read_file(gw ? gw->log_path() : ""), kTraceTailLines) +
                          "  simulator (tail):\n" +
                          tail(read_file(sim ? sim->log_path() : ""), kSimTailLines) + "  packets:\n";
        for (const auto &p : ui ? ui->payloads() : std::vector<std::string>{}) {
            msg += "    " + p.substr(0, 200) + "\n";
        }
        std::printf("%s", msg.c_str());
    }
}

int E2e::vehicle_up(const std::string &file)
{
    const size_t from = ui->count();
    if (!sim->start(file)) {
        ADD_FAILURE() << "the simulator did not start";
        return -1;
    }
    return expect_startup_reports(from, scaled(10000ms));
}

void E2e::bring_up(const std::optional<Config> &cfg, const std::string &vehicle)
{
    write_config(cfg ? config_text(*cfg) : read_file(kFactoryFile));
    ASSERT_TRUE(start_gateway()) << "the daemon did not subscribe";
    ASSERT_GE(vehicle_up(vehicle), 0);
}

int E2e::expect_startup_reports(size_t from, milliseconds timeout)
{
    const std::vector<std::string> expected{status("MODEDETECTED", 0), status("GOTINFO", 0),
                                            status("GOTPID", 0), status("SAVSUC", 0)};
    size_t at = from;
    for (const auto &e : expected) {
        const int idx = ui->wait_exact(e, timeout, at);
        if (idx < 0) {
            ADD_FAILURE() << "missing " << e;
            return -1;
        }
        const Packet p = ui->packets()[static_cast<size_t>(idx)];
        EXPECT_EQ(std::make_pair(p.qos, p.retained), std::make_pair(1, 0)) << e;
        at = static_cast<size_t>(idx) + 1;
    }
    // Each report exactly once, none of them out of order.
    const auto got = ui->payloads(from);
    for (const auto &e : expected) {
        EXPECT_EQ(std::count(got.begin(), got.begin() + static_cast<long>(at - from), e), 1) << e;
    }
    return static_cast<int>(at) - 1;
}

int E2e::ask(const std::string &json, const std::string &answer, milliseconds timeout)
{
    const size_t from = ui->count();
    command(json);
    return ui->wait_exact(answer, timeout, from);
}

int E2e::wait_nth(const std::function<bool(const Packet &)> &pred, int n, milliseconds timeout, size_t from)
{
    int idx = static_cast<int>(from) - 1;
    for (int i = 0; i < n && (i == 0 || idx >= 0); ++i) {
        idx = ui->wait_for(pred, timeout, static_cast<size_t>(idx + 1));
    }
    return idx;
}

void E2e::expect_gaps(const std::function<bool(const Packet &)> &pred, size_t from, double lo,
                      milliseconds hi, size_t to)
{
    const auto pkts = ui->packets();
    const Packet *prev = nullptr;
    for (size_t i = from; i < std::min(to, pkts.size()); ++i) {
        if (pred(pkts[i])) {
            if (prev) {
                EXPECT_GT(ms_between(*prev, pkts[i]), lo);
                EXPECT_LT(ms_between(*prev, pkts[i]), scaled(hi).count());
            }
            prev = &pkts[i];
        }
    }
}

std::vector<std::vector<uint8_t>> E2e::sent_to(uint32_t id, size_t mark)
{
    std::vector<std::vector<uint8_t>> out;
    for (const auto &f : sim->frames(mark)) {
        if (f.from_gateway && f.id == id) {
            out.push_back(f.data);
        }
    }
    return out;
}

} // namespace e2e
