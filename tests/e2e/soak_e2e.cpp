// The whole daemon in real time over the broker and the simulator, minutes
// of everything (an hour by hand: OBDGW_SOAK_MINUTES=60 build/default/tests/e2e/e2e_scenarios
// --gtest_filter=E2e.S19_*; it enters its namespaces by itself): commands of every
// kind one after the other, each waited for, and between them the vehicle
// switched off and on, the broker restarted, can0 pulled and plugged in again.
// The process's memory and descriptors must stay flat, every command get its
// answer and none twice, and the daemon idle afterwards as before. Its trace
// is counted and dropped as it goes.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <random>

#include "scenario.h"

namespace e2e
{
namespace
{

// Idle target with the vehicle present and the broker up (bench/run.sh), % of one core.
constexpr double kIdleCpuTarget = 0.2;

bool is_dtc(const Packet &p)
{
    return p.payload.rfind(R"({"TYP":1,"CMD":1,"DATA":)", 0) == 0;
}

TEST_F(E2e, S19_SoakOfEverything)
{
    // The test command: a warm-up round and one sampled round of every step (about two minutes).
    const char *env = std::getenv("OBDGW_SOAK_MINUTES");
    const auto run_for = std::chrono::minutes(env != nullptr ? std::atoi(env) : 0);
    bring_up();
    ASSERT_TRUE(wait_ecu_info(described_11bit()));

    std::mt19937 rng(19);
    std::map<std::string, int> sent, answered;
    std::map<std::string, int> refusals; // trace line -> messages that must leave it
    std::set<int> relays_on;
    long trace_bytes = 0;
    std::string faults;
    // Counts the trace and empties it (the daemon appends: it goes on at the start).
    auto drain_trace = [&] {
        const std::string t = gw->trace();
        trace_bytes += static_cast<long>(t.size());
        for (const auto &l : split_lines(t)) {
            for (auto &[line, n] : refusals) {
                n -= l.rfind(line, 0) == 0;
            }
            if (l.find("abandoned") != std::string::npos || l.find("Sanitizer") != std::string::npos ||
                l.find("runtime error:") != std::string::npos) {
                faults += l + "\n";
            }
        }
        EXPECT_EQ(::truncate(gw->log_path().c_str(), 0), 0);
        EXPECT_EQ(::truncate(sim->log_path().c_str(), 0), 0);
    };
    auto expect = [&](const std::string &what, bool ok) {
        ++sent[what];
        answered[what] += ok;
        EXPECT_TRUE(ok) << what;
    };
    auto answer = [&](const std::string &cmd, const std::function<bool(const Packet &)> &pred,
                      milliseconds t) {
        const size_t from = ui->count();
        command(cmd);
        return ui->wait_for(pred, scaled(t), from) >= 0;
    };
    auto heartbeat_again = [&](milliseconds t) {
        return ui->wait_exact(status("ECU", 0), scaled(t), ui->count()) >= 0;
    };

    const std::vector<std::function<void()>> steps = {
        [&] { expect("trouble codes", answer(R"({"TYP":1,"CMD":1})", is_dtc, 15000ms)); },
        [&] {
            const size_t from = ui->count();
            command(R"({"TYP":1,"CMD":2})");
            const bool streamed = wait_nth(is_live, 3, scaled(5000ms), from) >= 0;
            command(R"({"TYP":1,"CMD":3})");
            std::this_thread::sleep_for(1000ms);
            const size_t stopped = ui->count();
            std::this_thread::sleep_for(1500ms);
            const auto after = ui->payloads(stopped);
            expect("live data, stopped", streamed && std::none_of(after.begin(), after.end(), [](auto &p) {
                                             return p.rfind("{\n  \"TYP\": 1,\n  \"CMD\": 2,", 0) == 0;
                                         }));
        },
        [&] { // answered busy once now and then (each costs the 5 s wait for a final answer)
            ASSERT_TRUE(sim->command_ok(rng() % 3 == 0 ? "clear 1" : "clear 0"));
            expect("clear",
                   answer(R"({"TYP":1,"CMD":4})",
                          [](const Packet &p) { return p.payload == status("DTC_CLEARED", 0, 4); }, 30000ms));
        },
        [&] {
            const int i = static_cast<int>(rng() % DO_COUNT);
            const bool on = relays_on.count(i) == 0;
            on ? (void)relays_on.insert(i) : (void)relays_on.erase(i);
            command(do_command("\"DO" + std::to_string(i) + "\":" + (on ? "1" : "0")));
            expect("relay", wait_relays(relays_on, scaled(2000ms)));
        },
        [&] {
            expect("reload",
                   answer(R"({"TYP":1,"CMD":10})",
                          [](const Packet &p) { return p.payload == status("SAVSUC", 0); }, 15000ms));
        },
        [&] {
            const std::string pad(600, 'x');
            const std::pair<std::string, std::string> hostile[] = {
                {R"({"TYP":1,"CMD":)", "ERROR: Invalid JSON format."},
                {R"({"TYP":3})", "MQTT_ERROR : Unknown TYP value: 3"},
                {R"({"TYP":1,"CMD":1,"X":")" + pad + "\"}", "OBD2_ERROR : Command refused: longer than 199"},
                {R"({"TYP":2,"X":")" + pad + R"(","DATA":{"params":{"DO":{"DO0":1}}}})",
                 "DO_ERROR: Packet refused"},
                {R"({"TYP":1,"CMD":1,"X":")" + pad + pad + "\"}",
                 "ERROR: Invalid JSON format."}, // cut at 1023
            };
            const auto &[text, line] = hostile[rng() % std::size(hostile)];
            ++refusals[line];
            command(text);
            ++sent["hostile (no answer)"];
        },
        [&] { // ignition off and on
            ASSERT_TRUE(sim->command_ok("silent on"));
            const bool lost = ui->wait_exact(status("NOECU", 1), scaled(10000ms), ui->count()) >= 0;
            const size_t from = ui->count();
            ASSERT_TRUE(sim->command_ok("silent off"));
            expect("vehicle off and on",
                   lost && ui->wait_exact(status("SAVSUC", 0), scaled(15000ms), from) >= 0);
        },
        [&] { // the broker restarted
            broker->stop();
            std::this_thread::sleep_for(2000ms);
            ASSERT_TRUE(broker->start());
            ASSERT_TRUE(ui->connect());
            expect("broker restarted", heartbeat_again(20000ms));
        },
        [&] { // can0 pulled, plugged in again
            sim->stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(2000 + rng() % 5000));
            const size_t from = ui->count();
            ASSERT_TRUE(sim->start(vehicle_11bit()));
            expect("can0 pulled and back", ui->wait_exact(status("SAVSUC", 0), scaled(30000ms), from) >= 0 &&
                                               heartbeat_again(10000ms));
        },
    };

    // A first round of every step is the baseline's warm-up; then the process
    // is sampled after each step, everything up again and settled.
    struct Sample {
        long rss, fds;
    };
    std::vector<Sample> samples;
    const auto start = Clock::now();
    for (int cycle = 0; (cycle < 2 || Clock::now() - start < run_for) && !HasFatalFailure(); ++cycle) {
        std::vector<size_t> order(steps.size());
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), rng);
        for (size_t i : order) {
            steps[i]();
            std::this_thread::sleep_for(std::chrono::milliseconds(500 + rng() % 1500));
            if (cycle > 0) {
                samples.push_back({gw->rss_kib(), gw->open_fds()});
            }
        }
        drain_trace();
        std::printf("soak: round %d after %lld s: RSS %ld KiB, %ld descriptors\n", cycle,
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count()),
                    gw->rss_kib(), gw->open_fds());
    }
    // Idle afterwards as before the soak.
    const int idle_seconds = run_for >= 30min ? 60 : 20;
    std::this_thread::sleep_for(3000ms);
    const long t0 = gw->cpu_ticks();
    const auto w0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
    const double cpu = 100.0 * static_cast<double>(gw->cpu_ticks() - t0) /
                       static_cast<double>(::sysconf(_SC_CLK_TCK)) /
                       std::chrono::duration<double>(Clock::now() - w0).count();
    drain_trace();
    const double minutes = std::chrono::duration<double>(Clock::now() - start).count() / 60;

    for (const auto &[what, n] : sent) {
        std::printf("soak: %-22s sent %4d, answered %4d\n", what.c_str(), n, answered[what]);
    }
    const auto all = ui->packets();
    const long dtc = std::count_if(all.begin(), all.end(), is_dtc);
    const long cleared = std::count_if(
        all.begin(), all.end(), [](const Packet &p) { return p.payload == status("DTC_CLEARED", 0, 4); });
    std::printf(
        "soak: %.1f minutes, trace %.1f MB (%.1f MB an hour), idle CPU afterwards %.3f %% over %d s\n",
        minutes, double(trace_bytes) / 1e6, double(trace_bytes) / 1e6 * 60 / minutes, cpu, idle_seconds);
    EXPECT_EQ(dtc, sent["trouble codes"]) << "trouble-code packets, one per read";
    EXPECT_EQ(cleared, sent["clear"]) << "DTC_CLEARED, one per clear";
    for (const auto &[line, left] : refusals) {
        EXPECT_EQ(left, 0) << "trace lines missing: " << line;
    }
    EXPECT_EQ(faults, "");
    EXPECT_LT(cpu, kIdleCpuTarget);
    ASSERT_GE(samples.size(), 3u);
    const size_t third = samples.size() / 3;
    long rss_first = 0, rss_later = 0, fds_first = 0, fds_later = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        (i < third ? rss_first : rss_later) = std::max(i < third ? rss_first : rss_later, samples[i].rss);
        (i < third ? fds_first : fds_later) = std::max(i < third ? fds_first : fds_later, samples[i].fds);
    }
    std::printf("soak: RSS at most %ld KiB in the first third, %ld KiB later; descriptors %ld, later %ld\n",
                rss_first, rss_later, fds_first, fds_later);
    EXPECT_LE(rss_later, rss_first + 64);
    EXPECT_LE(fds_later, fds_first);
}

} // namespace
} // namespace e2e
