// Daemon benchmarks on the end-to-end rig (run by bench/run.sh inside private
// namespaces): idle cost, memory under a long command stream, trouble-code
// read latency and live-data rate. Prints one line per figure, with its
// target and whether it holds where it has one.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "support/broker.h"

using namespace e2e;

namespace
{

struct Options {
    int idle_seconds = 60;
    int commands = 10000;
    int latency_samples = 200;
    int live_seconds_5 = 10;
    int live_seconds_20 = 20;
};

// Pauses that set the live-data floor: each sensor waits for its answer and
// then pauses 100 ms, so a snapshot of N sensors takes at least N x 100 ms.
constexpr double kLivePausePerSensor = 0.1;
constexpr long kIdleWarmupMs = 3000;
// Idle targets, % of one core.
constexpr double kIdleBrokerUpTarget = 0.2;
constexpr double kIdleNoBrokerTarget = 0.1;
constexpr double kIdleNothingTarget = 0.3;
// Trouble-code read against the limit (vehicle time and two bare broker hops).
constexpr double kLatencyMedianTarget = 1.5;
constexpr double kLatencyP99Target = 3.0;
// Live data: first snapshot against its floor, rate against the pauses' limit.
constexpr double kLiveFirstTarget = 1.1;
constexpr double kLiveRateTarget = 0.95;

const char *verdict(bool holds)
{
    return holds ? "holds" : "MISSED";
}

// Ends the run when a step of the rig fails: no figure would mean anything.
void need(bool ok, const std::string &why)
{
    if (!ok) {
        std::fprintf(stderr, "obdgw-e2e-bench: %s\n", why.c_str());
        std::exit(1);
    }
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    double idx = p / 100.0 * static_cast<double>(v.size() - 1);
    size_t lo = static_cast<size_t>(idx);
    size_t hi = std::min(lo + 1, v.size() - 1);
    return v[lo] + (v[hi] - v[lo]) * (idx - static_cast<double>(lo));
}

bool is_dtc(const Packet &p)
{
    return p.payload.rfind("{\"TYP\":1,\"CMD\":1,\"DATA\":", 0) == 0;
}

std::string workspace_dir(Workspace &ws)
{
    std::string error;
    const bool ok = ws.set_up(error);
    need(ok, error);
    return ws.dir();
}

// A running rig: broker and UI client, the daemon (subscribed), then the
// vehicle, once the daemon has identified it. Members stop in reverse order,
// the daemon first.
struct Rig {
    explicit Rig(const Config &c = {})
    {
        config(c);
        need(broker.start() && ui.connect(), "broker or UI client did not start");
        need(gw.start(sim.bus_path()) && gw.wait_subscribed(milliseconds(15000)),
             "the daemon did not subscribe");
        const size_t from = ui.count();
        need(sim.start(e2e_data("vehicles/full_11bit.json")), "the simulator did not start");
        need(ui.wait_exact(status("SAVSUC", 0), milliseconds(15000), from) >= 0, "no identification");
    }

    void config(const Config &c)
    {
        need(write_file(kConfigFile, config_text(c)), "cannot write the configuration");
    }

    Workspace ws;
    std::string dir = workspace_dir(ws);
    TestBroker broker;
    Ui ui{"bench_ui"};
    Sim sim{dir};
    Gateway gw{dir};
};

// One idle figure: the daemon settles, then its CPU use (% of one core) over
// the window, against `target` (none when 0: the figure after identification);
// with `bus`, also the requests it sent on the vehicle bus meanwhile.
void idle_figure(Rig &rig, const Options &o, const char *what, double target, bool bus = false)
{
    std::this_thread::sleep_for(milliseconds(kIdleWarmupMs));
    const size_t mark = bus ? rig.sim.mark() : 0;
    const long hz = ::sysconf(_SC_CLK_TCK);
    const long t0 = rig.gw.cpu_ticks();
    const auto w0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(o.idle_seconds));
    const long t1 = rig.gw.cpu_ticks();
    const double wall = std::chrono::duration<double>(Clock::now() - w0).count();
    const double cpu = 100.0 * static_cast<double>(t1 - t0) / static_cast<double>(hz) / wall;
    std::printf("idle CPU, %-32s%6.3f %% of one core over %d s (", what, cpu, o.idle_seconds);
    if (target > 0) {
        std::printf("target < %.1f %%: %s)", target, verdict(cpu < target));
    } else {
        std::printf("after identification)");
    }
    if (bus) {
        const auto frames = rig.sim.frames(mark);
        const auto requests =
            std::count_if(frames.begin(), frames.end(), [](const Frame &f) { return f.from_gateway; });
        std::printf("; %.1f requests/s on the vehicle bus", static_cast<double>(requests) / o.idle_seconds);
    }
    std::printf("\n");
}

void bench_idle(const Options &o)
{
    Rig rig;
    idle_figure(rig, o, "vehicle present, broker up:", kIdleBrokerUpTarget);
    // The broker goes away after identification: heartbeat plus connection retries.
    rig.ui.disconnect();
    rig.broker.stop();
    idle_figure(rig, o, "vehicle present, broker gone:", 0);
    // Same vehicle, no broker at all from the start.
    rig.gw.stop();
    need(rig.gw.start(rig.sim.bus_path()), "the daemon did not start");
    idle_figure(rig, o, "vehicle present, no broker:", kIdleNoBrokerTarget, true);
    // No broker, no vehicle bus, no GPIO chips: every worker retrying.
    rig.gw.stop();
    rig.sim.stop();
    need(rig.gw.start(rig.ws.path("no-bus.sock"), {"FAKE_GPIOD_MISSING=gpiochip0,gpiochip3,gpiochip4"}),
         "the daemon did not start");
    idle_figure(rig, o, "no broker, no CAN, no GPIO:", kIdleNothingTarget);
}

void bench_memory(const Options &o)
{
    Rig rig;
    Publisher pub("bench_commands");
    need(pub.connect(), "publisher did not connect");
    // OBD commands of every kind the UI sends, each taking over from the
    // previous one; now and then a reload, which reopens the CAN sockets.
    // (Relay commands are left out: the stand-in GPIO library logs every
    // line change in the daemon's memory.)
    const std::vector<std::string> cycle{R"({"TYP":1,"CMD":1})", R"({"TYP":1,"CMD":3})",
                                         R"({"TYP":1,"CMD":2})", R"({"TYP":1,"CMD":7})",
                                         R"({"TYP":1,"CMD":1})", R"({"TYP":1,"CMD":11})"};
    const long fds_before = rig.gw.open_fds();
    long rss_first = 0, rss_last = 0;
    for (int i = 0; i < o.commands; ++i) {
        const std::string &c =
            (i % 500 == 499) ? std::string(R"({"TYP":1,"CMD":10})") : cycle[i % cycle.size()];
        need(pub.publish(kCmdTopic, c), "publish failed");
        std::this_thread::sleep_for(milliseconds(2));
        if (i % 1000 == 999) {
            pub.drain(milliseconds(10000));
            long rss = rig.gw.rss_kib();
            if (i == 999) {
                rss_first = rss;
            }
            rss_last = rss;
        }
    }
    pub.drain(milliseconds(10000));
    // Let the last command finish and the worker settle in its heartbeat.
    pub.publish(kCmdTopic, R"({"TYP":1,"CMD":3})");
    pub.drain(milliseconds(10000));
    std::this_thread::sleep_for(milliseconds(3000));
    const long hwm = rig.gw.hwm_kib();
    const long rss_end = rig.gw.rss_kib();
    const long fds_after = rig.gw.open_fds();
    std::printf(
        "peak RSS after %d commands:              %6.2f MiB (target < 8 MiB); RSS after the first 1000 "
        "%ld KiB, after the last 1000 %ld KiB: growth %+ld KiB; settled %ld KiB; open descriptors %ld -> "
        "%ld\n",
        o.commands, static_cast<double>(hwm) / 1024.0, rss_first, rss_last, rss_last - rss_first, rss_end,
        fds_before, fds_after);
    need(rig.gw.running(), "the daemon died during the command stream");
}

void bench_latency(const Options &o)
{
    Rig rig;
    const double offset = rig.sim.clock_offset();
    std::mt19937 rng(9);
    std::vector<double> total, minus_vehicle, waiting, processing, vehicle_time;
    for (int s = 0; s < o.latency_samples; ++s) {
        // A random phase against the worker's one-second idle pauses.
        std::this_thread::sleep_for(milliseconds(rng() % 1000));
        const size_t mark = rig.sim.mark();
        const size_t from = rig.ui.count();
        const auto sent = Clock::now();
        need(rig.ui.send_nowait(R"({"TYP":1,"CMD":1})"), "publish failed");
        int idx = rig.ui.wait_for(is_dtc, milliseconds(15000), from);
        need(idx >= 0, "no answer to a trouble-code read");
        const Packet p = rig.ui.packets()[static_cast<size_t>(idx)];
        const double t_total = std::chrono::duration<double, std::milli>(p.at - sent).count();
        // The vehicle's own time: from each request to the last frame of its answer.
        double veh = 0, first_request = -1;
        auto frames = rig.sim.frames(mark);
        for (size_t i = 0; i < frames.size(); ++i) {
            const Frame &f = frames[i];
            if (!(f.from_gateway && f.id == 0x7DF && f.data[0] == 0x01)) {
                continue;
            }
            if (first_request < 0) {
                first_request = f.t;
            }
            double end = f.t;
            for (size_t j = i + 1; j < frames.size() && !(frames[j].from_gateway && frames[j].id == 0x7DF);
                 ++j) {
                if (!frames[j].from_gateway) {
                    end = frames[j].t;
                }
            }
            veh += (end - f.t) * 1000.0;
        }
        total.push_back(t_total);
        vehicle_time.push_back(veh);
        minus_vehicle.push_back(t_total - veh);
        if (first_request >= 0) {
            const double sent_s = std::chrono::duration<double>(sent.time_since_epoch()).count();
            const double pickup = (first_request + offset - sent_s) * 1000.0;
            waiting.push_back(pickup);
            processing.push_back(t_total - pickup - veh);
        }
    }
    // The same broker's bare hop: the UI's own publication on the topic it subscribes.
    std::vector<double> hops;
    for (int s = 0; s < o.latency_samples; ++s) {
        const size_t from = rig.ui.count();
        const std::string marker = "hop " + std::to_string(s);
        const auto sent = Clock::now();
        need(rig.ui.send_nowait(marker, kRespTopic), "publish failed");
        int idx =
            rig.ui.wait_for([&](const Packet &p) { return p.payload == marker; }, milliseconds(5000), from);
        need(idx >= 0, "a bare hop was lost");
        hops.push_back(
            std::chrono::duration<double, std::milli>(rig.ui.packets()[static_cast<size_t>(idx)].at - sent)
                .count());
    }
    const double limit = percentile(vehicle_time, 50) + 2 * percentile(hops, 50);
    const double median_ratio = percentile(total, 50) / limit;
    const double p99_ratio = percentile(total, 99) / limit;
    std::printf(
        "trouble-code read latency, %d reads:      median %7.1f ms, p99 %7.1f ms (publish to packet)\n",
        o.latency_samples, percentile(total, 50), percentile(total, 99));
    std::printf(
        "  limit: vehicle %.2f ms + bare hop twice %.2f ms = %.2f ms; median %.2f x the limit (target "
        "<= %.1f: %s), p99 %.2f x (target <= %.1f: %s)\n",
        percentile(vehicle_time, 50), 2 * percentile(hops, 50), limit, median_ratio, kLatencyMedianTarget,
        verdict(median_ratio <= kLatencyMedianTarget), p99_ratio, kLatencyP99Target,
        verdict(p99_ratio <= kLatencyP99Target));
    std::printf("  minus the vehicle's answer time:          median %7.1f ms, p99 %7.1f ms (vehicle: median "
                "%.1f ms)\n",
                percentile(minus_vehicle, 50), percentile(minus_vehicle, 99), percentile(vehicle_time, 50));
    std::printf("  of which waiting for the worker:          median %7.1f ms, p99 %7.1f ms (rest of its idle "
                "pause)\n",
                percentile(waiting, 50), percentile(waiting, 99));
    std::printf("  of which the daemon's own work:           median %7.1f ms, p99 %7.1f ms (first request to "
                "packet)\n",
                percentile(processing, 50), percentile(processing, 99));
}

void bench_live(const Options &o)
{
    Config five;
    five.sensors = {"ENGRPM", "SPD", "COLTMP", "ENGLD", "THRTPS"};
    Rig rig(five);
    auto measure = [&](size_t sensors, int seconds) {
        const size_t from = rig.ui.count();
        const auto sent = Clock::now();
        rig.ui.send(R"({"TYP":1,"CMD":2})");
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        rig.ui.send(R"({"TYP":1,"CMD":3})");
        auto pkts = rig.ui.packets();
        std::vector<Clock::time_point> at;
        for (size_t i = from; i < pkts.size(); ++i) {
            if (is_live(pkts[i])) {
                at.push_back(pkts[i].at);
            }
        }
        need(at.size() >= 3, "too few snapshots");
        // Rate between the first and the last snapshot of the window.
        double span = std::chrono::duration<double>(at.back() - at.front()).count();
        double rate = static_cast<double>(at.size() - 1) / span;
        double floor_rate = 1.0 / (static_cast<double>(sensors) * kLivePausePerSensor);
        const double first = std::chrono::duration<double>(at.front() - sent).count();
        const double first_ratio = first * floor_rate;
        std::printf(
            "live data, %2zu sensors:                    first snapshot %.3f s, %.2f x its floor of %.1f s "
            "(target <= %.1f: %s)\n",
            sensors, first, first_ratio, 1.0 / floor_rate, kLiveFirstTarget,
            verdict(first_ratio <= kLiveFirstTarget));
        std::printf(
            "live data, %2zu sensors:                    %5.3f snapshots/s over %zu snapshots; the pauses "
            "allow at most %.3f/s: ratio %.2f (target >= %.2f: %s)\n",
            sensors, rate, at.size(), floor_rate, rate / floor_rate, kLiveRateTarget,
            verdict(rate / floor_rate >= kLiveRateTarget));
    };
    measure(five.sensors.size(), o.live_seconds_5);

    Config twenty;
    twenty.sensors = {"ENGLD",  "COLTMP", "FULPRS", "INTPRS",  "ENGRPM", "SPD",    "TMADV",
                      "INTTMP", "MSFLRT", "THRTPS", "FULRPRS", "FLLVL",  "THRPSB", "CNTMDVOL",
                      "AMBTMP", "O2S1",   "O2S2",   "STFT1",   "LTFT1",  "OILTEMP"};
    rig.config(twenty);
    size_t from = rig.ui.count();
    std::this_thread::sleep_for(milliseconds(1500)); // let the command 3 take effect
    rig.ui.send(R"({"TYP":1,"CMD":10})");
    need(rig.ui.wait_exact(status("SAVSUC", 0), milliseconds(15000), from) >= 0,
         "no identification after the reload");
    measure(twenty.sensors.size(), o.live_seconds_20);
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") != 0) {
            std::fprintf(stderr, "usage: obdgw-e2e-bench [--quick]\n");
            return 2;
        }
        o = Options{10, 2000, 20, 5, 8};
    }
    // Line-buffered: every figure shows as soon as it is measured.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    bench_idle(o);
    bench_memory(o);
    bench_latency(o);
    bench_live(o);
    return 0;
}
