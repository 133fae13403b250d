// A month unattended, in minutes: the OBD worker and the relay worker on the
// fake clock against the in-process vehicle, every UI message routed as the
// bus callback routes it, publications through the publish seam. One schedule
// drawn from a seed: ignition off and on (a second ECU, "response pending", a
// busy clear), about one message a minute of every kind, configuration files
// replaced, the factory copy gone, can0 pulled, the broker away. Throughout:
// every command's answers, the relay lines, the heartbeat's spacing, rewrites
// of ecu_info.json, passes abandoned; once per period: memory, descriptors and
// threads. The trace is counted and dropped as it goes.
//
//   OBDGW_SOAK_DAYS=30 build/default/tests/soak/month_soak_test   (the month; the test command runs 0.25)
//   OBDGW_SOAK_SEED=N replays the schedule printed with seed N (25 by default).
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/atomic_file.h"
#include "common/cjson_ptr.h"
#include "common/unique_fd.h"
#include "fake_gpiod_control.h"
#include "support/capture.h"
#include "support/child_process.h"
#include "support/relay_wiring.h"
#include "support/worker_env.h"
#include "th_gpio/gpio_worker.h"
#include "th_mqtt/mqtt_link.h"
#include "th_mqtt/mqtt_msg.h"
#include "th_obd2_com/can_link.h"
#include "th_obd2_com/obd2_state.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' allocator counts the heap in use (GCC ships no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

namespace
{

constexpr int64_t kSec = 1'000'000, kMin = 60 * kSec, kHour = 60 * kMin, kDay = 24 * kHour;

std::string clock_text(int64_t us)
{
    char buf[32];
    const int64_t s = us / kSec;
    snprintf(buf, sizeof buf, "d%02" PRId64 " %02" PRId64 ":%02" PRId64 ":%02" PRId64, s / 86400 + 1,
             s / 3600 % 24, s / 60 % 60, s % 60);
    return buf;
}

// ---- the schedule ----------------------------------------------------------------

struct Message {
    std::string text;
    int cmd = 0;           // TYP 1 commands the worker takes; 0 for the others
    std::string line = {}; // the trace line its refusal leaves
    int relays_on = 0, relays_off = 0;
};

enum class Ev { Vehicle, Link, Broker, Config, Factory, Send };

// Moods of a vehicle that comes back (bits of a Vehicle event's arg).
constexpr int kSecondEcu = 1, kPendingCodes = 2, kBusyClear = 4;

struct Event {
    int64_t at;
    Ev kind;
    int64_t arg = 0; // mood, -1 off; how long can0 or the broker stays away (0: back); 1: config
                     // unusable, factory copy back
    Message msg = {};
};

std::string good_config(std::mt19937_64 &rng)
{
    std::string sensors;
    for (const char *s : {"ENGRPM", "SPD", "COLTMP", "ENGLD", "INTTMP"}) {
        if (rng() % 3 != 0) {
            sensors += std::string(sensors.empty() ? "" : ",") + R"({"name":")" + s + R"(","show":1})";
        }
    }
    const char *groups[] = {R"("STRDTC":1,"PNDDTC":1,"PRMDTC":1)", R"("PNDDTC":1,"PRMDTC":1)",
                            R"("STRDTC":1)"};
    return std::string(R"({"can_port":{"BR":)") + (rng() % 4 == 0 ? "250000" : "500000") +
           R"(,"padding":170},"live_page":{"sensors":[)" + sensors + R"(]},"show_dtc":{)" +
           groups[rng() % 3] + "}}";
}

// Every kind of message the UI sends, weighted by how often it comes; the relay
// command (no text) is drawn anew each time.
Message draw_message(std::mt19937_64 &rng)
{
    const std::string pad(240, 'x'), json = "ERROR: Invalid JSON format.",
                                     typ = "ERROR: 'TYP' field missing or not a number.";
    static const std::vector<std::pair<int, Message>> kinds = {
        {20, {R"({"TYP":1,"CMD":1})", 1}},
        {15, {R"({"TYP":1,"CMD":2})", 2}},
        {10, {R"({"TYP":1,"CMD":4})", 4}},
        {3, {R"({"TYP":1,"CMD":3})", 3}},
        {1, {R"({"TYP":1,"CMD":7})", 7}},
        {1, {R"({"TYP":1,"CMD":11})", 11}},
        {3, {R"({"TYP":1,"CMD":10})", 10}},
        // Numbers without an action (0 is left out: it waits for the next command).
        {1, {R"({"TYP":1,"CMD":5})", 5}},
        {1, {R"({"TYP":1,"CMD":99})", 99}},
        {1, {R"({"TYP":1,"CMD":-7})", -7}},
        {1, {R"({"TYP":1})", -1}},
        {20, {}},
        {4, {R"({"TYP":2,"DATA":{"params":{"DO":[1]}}})", 0, "DO_ERROR: Failed to parse packet"}},
        {2, {R"({"TYP":1,"CMD":)", 0, json}},
        {1, {R"({"CMD":1})", 0, typ}},
        {1, {R"({"TYP":"1","CMD":1})", 0, typ}},
        {2, {R"({"TYP":3,"CMD":1})", 0, "MQTT_ERROR : Unknown TYP value: 3"}},
        {2,
         {R"({"TYP":1,"CMD":1,"X":")" + pad + "\"}", 0,
          "OBD2_ERROR : Command refused: longer than 199 characters."}},
        {2,
         {R"({"TYP":2,"X":")" + pad + pad + R"(","DATA":{"params":{"DO":{"DO0":1}}}})", 0,
          "DO_ERROR: Packet refused: longer than 499 characters."}},
        // Beyond 1023 bytes a payload arrives cut, no longer JSON.
        {1,
         {(R"({"TYP":1,"CMD":1,"X":")" + pad + pad + pad + pad + pad).substr(0, MQTT_INBOUND_MAX), 0, json}},
    };
    std::vector<int> weights;
    for (const auto &k : kinds) {
        weights.push_back(k.first);
    }
    Message m =
        kinds[static_cast<size_t>(std::discrete_distribution<int>(weights.begin(), weights.end())(rng))]
            .second;
    std::string body;
    for (int i = 0; m.text.empty() && i < DO_COUNT; ++i) {
        if (rng() % 4 == 0) {
            const bool on = rng() % 2 == 0;
            (on ? m.relays_on : m.relays_off) |= 1 << i;
            body +=
                std::string(body.empty() ? "" : ",") + "\"DO" + std::to_string(i) + "\":" + (on ? "1" : "0");
        }
    }
    if (m.text.empty()) {
        m.text = do_command(body);
    }
    return m;
}

void add_message(std::vector<Event> &out, int64_t at, Message m)
{
    if (m.cmd == 2) { // a minute of live data, then a stop
        out.push_back({at + kMin, Ev::Send, 0, {R"({"TYP":1,"CMD":3})", 3}});
    }
    out.push_back({at, Ev::Send, 0, std::move(m)});
}

// Everything but the messages is drawn per `day` (the short form's day is
// shorter: every kind still happens); messages come about once a minute.
std::vector<Event> draw_schedule(uint64_t seed, int64_t total, int64_t day)
{
    std::mt19937_64 rng(seed);
    auto uniform = [&](int64_t lo, int64_t hi) {
        return std::uniform_int_distribution<int64_t>(lo, hi)(rng);
    };
    auto scaled = [&](int64_t lo, int64_t hi) { // log-uniform, shrunk with the day
        const double f =
            std::exp(std::uniform_real_distribution<double>(std::log(double(lo)), std::log(double(hi)))(rng));
        return std::max<int64_t>(kSec, static_cast<int64_t>(f * double(day) / double(kDay)));
    };
    const Message reload{R"({"TYP":1,"CMD":10})", 10};
    std::vector<Event> ev;
    for (int64_t base = 0; base < total; base += day) {
        // Ignition off a few times a day, for minutes to hours.
        std::vector<int64_t> starts(static_cast<size_t>(uniform(2, 5)));
        for (auto &s : starts) {
            s = base + uniform(day / 100, day - day / 100);
        }
        std::sort(starts.begin(), starts.end());
        for (size_t i = 0; i < starts.size(); ++i) {
            const int64_t limit = i + 1 < starts.size() ? starts[i + 1] - kMin : base + day;
            const int64_t end = std::min(starts[i] + scaled(3 * kMin, 3 * kHour), limit);
            if (end > starts[i] + kSec) {
                const int mood = (rng() % 4 == 0 ? kSecondEcu : 0) | (rng() % 6 == 0 ? kPendingCodes : 0) |
                                 (rng() % 6 == 0 ? kBusyClear : 0);
                ev.push_back({starts[i], Ev::Vehicle, -1});
                ev.push_back({end, Ev::Vehicle, mood});
            }
        }
        // can0 pulled for seconds to minutes, the broker away.
        for (int i = 0, n = static_cast<int>(uniform(1, 4)); i < n; ++i) {
            ev.push_back(
                {base + i * (day / n) + uniform(0, day / n / 2), Ev::Link, scaled(5 * kSec, 10 * kMin)});
        }
        for (int i = 0, n = static_cast<int>(uniform(1, 2)); i < n; ++i) {
            ev.push_back(
                {base + i * (day / n) + uniform(0, day / n / 2), Ev::Broker, scaled(10 * kSec, 5 * kMin)});
        }
        // The configuration replaced: a good one; an unusable one, fixed later, the factory copy
        // gone meanwhile now and then.
        for (int i = 0, n = static_cast<int>(uniform(1, 3)); i < n; ++i) {
            const int64_t at = base + uniform(0, day * 3 / 4);
            const int kind = static_cast<int>(rng() % 4);
            if (kind < 2) {
                ev.push_back({at, Ev::Config, 0, {good_config(rng)}});
                continue;
            }
            const char *bad[] = {R"({"can_port":{"BR":500000)", "",
                                 R"({"can_port":{"BR":12345,"padding":170}})", R"({"can_port":{}})"};
            if (kind == 3) {
                ev.push_back({at, Ev::Factory, 0});
            }
            ev.push_back(
                {at + scaled(kMin, 5 * kMin), Ev::Config, 1, {kind == 3 ? "not json" : bad[rng() % 4]}});
            add_message(ev, at + scaled(6 * kMin, 10 * kMin), reload);
            const int64_t fixed = at + scaled(15 * kMin, 2 * kHour);
            if (kind == 3) {
                ev.push_back({fixed, Ev::Factory, 1});
            }
            ev.push_back({fixed, Ev::Config, 0, {good_config(rng)}});
            add_message(ev, fixed + kMin, reload);
        }
        // The UI double-tapping: several messages at once.
        const int64_t burst = base + uniform(0, day - kMin);
        for (int i = 0, n = static_cast<int>(uniform(3, 8)); i < n; ++i) {
            add_message(ev, burst + i * 10'000, draw_message(rng));
        }
    }
    std::exponential_distribution<double> gap(1.0 / double(kMin));
    for (int64_t t = static_cast<int64_t>(gap(rng)); t < total; t += static_cast<int64_t>(gap(rng))) {
        add_message(ev, t, draw_message(rng));
    }
    std::stable_sort(ev.begin(), ev.end(), [](const Event &a, const Event &b) { return a.at < b.at; });
    return ev;
}

// ---- the answers, the heartbeat and the trace lines that matter -------------------------

// Fed the trace in order. The worker writes "[DEBUG] TYP=1, CMD=n" when it
// takes a command and the publish hook marks every publication on the same
// thread ("SOAK> <t> <cmd> <token>"), so each answer belongs to the command
// taken last.
class Ledger
{
  public:
    void sent(int cmd)
    {
        queued_.push_back(cmd);
        ++sent_[cmd];
    }
    // Something the heartbeat's spacing may not be judged across.
    void disturbed(int64_t t) { disturbed_ = std::max(disturbed_, t); }
    // From `t` on the vehicle answers through can0, or not.
    void vehicle_answers(bool yes, int64_t t)
    {
        answers_since_ = yes ? std::min(answers_since_, t) : INT64_MAX;
    }

    // Returns the bytes it counts as the daemon's trace (the soak's marks left out).
    size_t line(const std::string &l)
    {
        char name[64];
        if (l.starts_with("SOAK> ")) {
            mark(l);
            return 0;
        }
        if (l.starts_with("[DEBUG] TYP=1, CMD=")) {
            take(std::atoi(l.c_str() + 19));
        } else if (l.starts_with("OBD2_ERROR : INIT CAN SOCKET FAILED")) {
            reload_unreported_ = false; // no report until can0 is back
        } else if (l == "OBD2_ERROR : ECU MODE DETECTION FAILED. Retrying...") {
            detect_failed_ = true;
        } else if (l.starts_with("Bitrate: ")) {
            ++config_passes_;
            config_unusable_ = false;
        } else if (l == "=== Live Sensors ===" || l == "=== DTC Names ===") {
            (l[4] == 'L' ? answered_sensors_ : dtc_groups_) = 0;
        } else if (sscanf(l.c_str(), "Sensor %*d: %63s", name) == 1) {
            answered_sensors_ += std::string(name) != "INTTMP"; // the vehicle answers the others
        } else if (sscanf(l.c_str(), "DTC %*d: %63s", name) == 1) {
            ++dtc_groups_;
        }
        if (l.find("abandoned") != std::string::npos ||
            l.find("commands already pending") != std::string::npos) {
            problem(l);
        }
        for (const std::string &c : kCounted) {
            lines_[c] += l.starts_with(c);
        }
        return l.size() + 1;
    }

    void finish()
    {
        close_current(true);
        if (reload_unreported_) {
            problem("the last reload was never followed by a start-up report");
        }
        if (!queued_.empty()) {
            problem(std::to_string(queued_.size()) + " commands handed over and never taken");
        }
    }

    std::map<int, int> sent_, taken_;
    std::map<std::string, int> outcomes_, lines_;
    std::vector<std::string> problems_;
    int64_t beat_min_ = INT64_MAX, beat_max_ = 0;
    int beats_judged_ = 0, config_passes_ = 0;

  private:
    void problem(const std::string &what)
    {
        if (problems_.size() < 40) {
            problems_.push_back("at " + clock_text(now_) + ": " + what);
        }
    }

    void take(int cmd)
    {
        close_current(false);
        if (queued_.empty() || queued_.front() != cmd) {
            problem("took command " + std::to_string(cmd) + " out of turn");
        }
        if (!queued_.empty()) {
            queued_.pop_front();
        }
        if (cmd == 10 && reload_unreported_) {
            problem("a reload got no start-up report before the next one");
        }
        reload_unreported_ = reload_unreported_ || cmd == 10;
        ++taken_[cmd];
        current_ = cmd;
        answers_.clear();
        taken_at_ = now_;
        // Without a trouble-code group or a sensor the vehicle has, NORES is the answer.
        // Nor while the configuration is unusable: can0 is not brought up again then.
        judged_ = !config_unusable_ &&
                  (cmd == 4 || (cmd == 1 && dtc_groups_ > 0) || (cmd == 2 && answered_sensors_ > 0));
        last_beat_.clear();
    }

    // The answers a command got, against what the protocol promises: COMER
    // alone; for 1 and 4 the result after up to four NORES of failed attempts,
    // or four NORES; for live data packets and NORES; nothing for the others.
    // And no NORES alone from a vehicle that answers.
    void close_current(bool at_end)
    {
        if (current_ == INT32_MIN) {
            return;
        }
        const int c = std::exchange(current_, INT32_MIN);
        static const std::map<int, std::regex> promised = {
            // Four attempts: at most three NORES before the result.
            {1, std::regex("COMER|(NORES ){0,3}<1,1>|NORES( NORES){0,3}")},
            {2, std::regex("COMER|(NORES|<1,2>)( (NORES|<1,2>))*")},
            {4, std::regex("COMER|(NORES ){0,3}DTC_CLEARED|NORES( NORES){0,3}")},
        };
        const auto p = promised.find(c);
        const std::string said = answers_.empty() ? "" : answers_.substr(1);
        if (!(p == promised.end() ? said.empty() : std::regex_match(said, p->second)) &&
            !(at_end && said.empty())) {
            problem("command " + std::to_string(c) + " answered \"" + said.substr(0, 200) + "\"");
        }
        const bool nores_alone = !said.empty() && said.find_first_not_of("NORES ") == std::string::npos;
        if (nores_alone && judged_ && answers_since_ < taken_at_ - kSettle) {
            problem("command " + std::to_string(c) + " got NORES alone from a vehicle that answers");
        }
        // By kind: the distinct answers in order ("1 NORES <1,1>").
        std::istringstream in(said);
        std::string key = std::to_string(c), prev;
        for (std::string tok; in >> tok; prev = tok) {
            key += tok == prev ? "" : " " + tok;
        }
        ++outcomes_[key == std::to_string(c) ? key + " (none)" : key];
    }

    void mark(const std::string &l)
    {
        char token[64] = {};
        long long t = 0;
        int cmd = 0;
        if (sscanf(l.c_str(), "SOAK> %lld %d %63s", &t, &cmd, token) != 3) {
            return;
        }
        now_ = t;
        const std::string tok = token;
        const bool detect_noecu = std::exchange(detect_failed_, false) && tok == "NOECU";
        if (cmd != 0 && current_ != cmd) {
            problem("answer " + tok + " to command " + std::to_string(cmd) + " during another");
        } else if (cmd != 0 && !(tok == "<1,2>" && answers_.ends_with(" <1,2>"))) { // a stream: its first
            answers_ += " " + tok;
        }
        if (tok == "MODEDETECTED" || tok == "NOECU" || tok == "WRNGCFG" || tok == "CANERR") {
            reload_unreported_ = false;
            config_unusable_ = config_unusable_ || tok == "WRNGCFG" || tok == "CANERR";
        }
        // Heartbeats in a row, nothing between them: four pauses and the probe's wait apart (a
        // lost vehicle is sought on both addressings, 100 ms each).
        const bool beat = cmd == 0 && (tok == "ECU" || (tok == "NOECU" && !detect_noecu));
        if (beat && last_beat_ == tok && disturbed_ < last_beat_at_) {
            const int64_t gap = t - last_beat_at_;
            beat_min_ = std::min(beat_min_, gap);
            beat_max_ = std::max(beat_max_, gap);
            ++beats_judged_;
            if (gap < 4 * kSec || gap > 4 * kSec + 2 * OBD2_SHORT_WAIT_US + 20'000) {
                problem("heartbeat " + tok + " " + std::to_string(gap) + " us after the previous one");
            }
        }
        last_beat_ = beat ? tok : "";
        last_beat_at_ = t;
    }

    // Lines counted: the refusals of hostile messages, the lost interface.
    inline static const std::string kCounted[] = {"ERROR: Invalid JSON format.",
                                                  "ERROR: 'TYP' field missing or not a number.",
                                                  "MQTT_ERROR : Unknown TYP value: 3",
                                                  "OBD2_ERROR : Command refused: longer than 199 characters.",
                                                  "DO_ERROR: Packet refused: longer than 499 characters.",
                                                  "DO_ERROR: Failed to parse packet",
                                                  "OBD2_ERROR : CAN interface lost"};
    // A command taken shortly after the vehicle or can0 came back may be
    // answered before bring-up ends: it is not judged.
    static constexpr int64_t kSettle = 30 * kSec;
    std::deque<int> queued_;
    int current_ = INT32_MIN;
    std::string answers_; // " NORES <1,1>"
    int64_t taken_at_ = 0, answers_since_ = INT64_MAX;
    int answered_sensors_ = 0, dtc_groups_ = 0;
    bool judged_ = false, reload_unreported_ = false, detect_failed_ = false, config_unusable_ = false;
    std::string last_beat_;
    int64_t last_beat_at_ = 0, disturbed_ = 0, now_ = 0;
};

// ---- the configuration folder, watched ---------------------------------------------------

// Writes and renames in the folder. Drained on the worker's thread, which
// alone writes ecu_info.json: a rename that leaves its bytes as they were is a
// needless write.
class FolderWatch
{
  public:
    explicit FolderWatch(const std::string &dir) : dir_(dir), fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        inotify_add_watch(fd_.get(), dir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
    }
    void drain()
    {
        std::lock_guard lk(mu);
        alignas(inotify_event) char buf[8192];
        int ecu_writes = 0;
        for (ssize_t n; (n = read(fd_.get(), buf, sizeof buf)) > 0;) {
            for (char *p = buf; p < buf + n;
                 p += sizeof(inotify_event) + reinterpret_cast<inotify_event *>(p)->len) {
                const auto *e = reinterpret_cast<inotify_event *>(p);
                const std::string name = e->len ? e->name : "";
                if (e->mask & IN_MOVED_TO) {
                    ++renames[name];
                }
                ecu_writes += name == "ecu_info.json" && (e->mask & IN_MOVED_TO);
                closes += (e->mask & IN_CLOSE_WRITE) != 0;
                overflows += (e->mask & IN_Q_OVERFLOW) != 0;
            }
        }
        if (ecu_writes > 0) {
            std::string now;
            gw_read_file((dir_ + "/ecu_info.json").c_str(), now);
            needless += ecu_writes == 1 && now == ecu_info_;
            ecu_info_ = now;
        }
    }
    std::mutex mu;
    std::map<std::string, int> renames;
    int closes = 0, needless = 0, overflows = 0;

  private:
    std::string dir_, ecu_info_;
    UniqueFd fd_;
};

// ---- the rig -----------------------------------------------------------------------------

struct Sample {
    // RSS in anonymous pages (heap, stacks) and in pages of files (the program and its
    // libraries, paged in as rarer paths run for the first time).
    long anon_kib, file_kib, heap_kib, fds, threads;
};

Sample sample()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const long heap = static_cast<long>(__sanitizer_get_current_allocated_bytes() / 1024);
#else
    const struct mallinfo2 mi = mallinfo2();
    const long heap = static_cast<long>((mi.uordblks + mi.hblkhd) / 1024);
#endif
    return {proc_status_kib(getpid(), "RssAnon:"), proc_status_kib(getpid(), "RssFile:"), heap,
            open_fds(getpid()), proc_status_kib(getpid(), "Threads:")};
}

vsim::VehicleModel soak_vehicle()
{
    vsim::VehicleModel model = WorkerEnv::sample_vehicle();
    vsim::EcuModel tcm = vsim::make_ecu11(1);
    tcm.pids = {{0x0D, {0x10}}};
    tcm.stored_dtcs = tcm.pending_dtcs = {0x0700};
    tcm.silent = true; // answers in the drives that have a second ECU
    model.ecus.push_back(tcm);
    return model;
}

} // namespace

TEST(Soak, MonthUnattended)
{
    const char *days_env = std::getenv("OBDGW_SOAK_DAYS");
    const char *seed_env = std::getenv("OBDGW_SOAK_SEED");
    const double days = days_env != nullptr ? std::strtod(days_env, nullptr) : 0.25;
    const uint64_t seed = seed_env != nullptr ? std::strtoull(seed_env, nullptr, 10) : 25;
    const int64_t total = static_cast<int64_t>(days * double(kDay));
    const int64_t period = total / std::max(static_cast<int>(days + 0.5), 12);
    const auto schedule = draw_schedule(seed, total, std::min(total, kDay));
    // Events put off (can0 or the broker back, the broker's leave deferred) wait in a heap of
    // their own: growing the schedule would grow the soak's memory, which the month judges.
    std::vector<Event> deferred;
    deferred.reserve(64);
    auto sooner = [](const Event &a, const Event &b) { return a.at > b.at; };

    // The notes go to the output as it was; the daemon's trace is captured, counted and dropped.
    FILE *log = fdopen(dup(STDOUT_FILENO), "w");
    setvbuf(log, nullptr, _IOLBF, 0);
    fprintf(log,
            "soak: %g days in periods of %" PRId64 " min, seed %" PRIu64
            ", %zu events (replay: OBDGW_SOAK_DAYS=%g OBDGW_SOAK_SEED=%" PRIu64 ")\n",
            days, period / kMin, seed, schedule.size(), days, seed);
    Ledger ledger;
    TraceCapture trace;
    uint64_t trace_bytes = 0, trace_lines = 0;
    auto drain = [&] {
        trace.take_lines([&](const std::string &l) {
            const size_t n = ledger.line(l);
            trace_bytes += n;
            trace_lines += n > 0;
        });
    };
    const auto real_start = std::chrono::steady_clock::now();

    // The daemon's world: the two workers, and how the soak disturbs them from its thread.
    WorkerEnv env(soak_vehicle());
    FolderWatch folder(env.dir());
    const int64_t t0 = gw_monotonic_us();
    auto now = [&] { return gw_monotonic_us() - t0; };
    auto sleep_until = [&](int64_t at) { gw_sleep_us(std::max<int64_t>(0, at - now())); };
    auto note = [&](const std::string &what) {
        fprintf(log, "soak: %s %s\n", clock_text(now()).c_str(), what.c_str());
    };
    std::atomic<bool> pull{false};
    const UniqueFd gone(
        ::socket(AF_INET, SOCK_DGRAM, 0)); // sends without an address fail, as on a pulled can0
    static std::atomic<int> shell_runs{0}; // counted, not kept: a month of them would grow the heap
    fake_gpiod::reset();
    mqtt_change_state(MQTT_CONNECTED);
    can_test_set_shell_runner([](const char *) { return ++shell_runs, 0; });
    env.published().set_on_publish([&](const std::string &text) {
        if (pull.exchange(false)) { // on the worker's thread, between two of its steps
            can_cfg[0].sock = can_cfg[1].sock = gone.get();
        }
        folder.drain();
        CJsonPtr root(cJSON_Parse(text.c_str()));
        const cJSON *cmd = cJSON_GetObjectItem(root.get(), "CMD");
        printf("SOAK> %" PRId64 " %d %s\n", now(), cJSON_IsNumber(cmd) ? cmd->valueint : -1000,
               packet_token(text).c_str());
    });
    ledger.vehicle_answers(true, 0);
    env.start_worker();
    std::thread relays = gw_clock_thread([] { gpio_state_machine(nullptr); });

    bool vehicle_on = true, link_up = true, broker_away = false;
    int relay_on = 0, relay_mismatches = 0, own_writes = 0, links_pulled = 0;
    int64_t relay_sent_at = -1;
    std::map<std::string, int> expected_lines;
    auto vehicle = [&](int mood) { // -1: off
        vsim::Vehicle &car = env.bus().vehicle();
        vehicle_on = mood >= 0;
        ledger.vehicle_answers(vehicle_on && link_up, now());
        note(!vehicle_on ? "ignition off"
                         : "ignition on" + std::string(mood & kSecondEcu ? ", second ECU" : "") +
                               (mood & kPendingCodes ? ", codes after \"response pending\"" : "") +
                               (mood & kBusyClear ? ", clear busy twice" : ""));
        car.set_silent(0, !vehicle_on);
        car.set_silent(1, !vehicle_on || (mood & kSecondEcu) == 0);
        for (uint8_t service : {0x03, 0x07, 0x0A}) {
            car.set_pending(0, service, vehicle_on && (mood & kPendingCodes) ? 1 : 0,
                            std::chrono::milliseconds(800));
        }
        car.set_clear_behaviour(0, vehicle_on && (mood & kBusyClear) ? 2 : 0, 0);
        car.set_dtcs(0, 0x03, {0x0123, 0x0300}); // codes set again while driving
        car.set_dtcs(0, 0x07, {0x0123});
    };
    auto link = [&](bool up) {
        note(up ? "can0 back" : "can0 pulled");
        links_pulled += !up;
        link_up = up;
        ledger.vehicle_answers(vehicle_on && link_up, now());
        pull.store(!up);
        env.set_can_available(up);
    };
    auto broker = [&](bool up) {
        note(up ? "broker back" : "broker away");
        broker_away = !up;
        env.published().set_accept(up);
        mqtt_change_state(up ? MQTT_CONNECTED : MQTT_RECONNECT);
    };
    auto config = [&](const std::string &text, bool usable) {
        note(std::string("config.json replaced, ") + (usable ? "usable" : "unusable"));
        env.write_config(text);
        ++own_writes;
    };
    auto factory = [&](bool there) {
        note(there ? "factory copy back" : "factory copy gone");
        const std::string path = env.dir() + "/default_config/default_config.json",
                          def = WorkerEnv::default_config();
        there ? (void)gw_write_file_atomic(path.c_str(), def.data(), def.size())
              : (void)std::filesystem::remove(path);
    };
    // As the bus callback thread hands a message over; the UI cannot publish while the broker is away.
    auto send = [&](const Message &m) {
        if (broker_away) {
            return;
        }
        if (m.cmd != 0) {
            ledger.sent(m.cmd);
        } else if (!m.line.empty()) {
            ++expected_lines[m.line];
        } else {
            relay_on = (relay_on | m.relays_on) & ~m.relays_off;
            relay_sent_at = now();
        }
        handle_incoming_packet(m.text.c_str());
    };
    // Relay lines against what the commands asked for, once the worker has had its half second.
    auto check_relays = [&] {
        for (int i = 0; relay_sent_at >= 0 && now() - relay_sent_at >= kSec && i < DO_COUNT; ++i) {
            relay_mismatches +=
                (fake_gpiod::line_value(kRelay[i].chip, kRelay[i].offset) == 0) != ((relay_on >> i) & 1);
        }
        relay_sent_at = relay_sent_at >= 0 && now() - relay_sent_at >= kSec ? -1 : relay_sent_at;
    };

    std::vector<Sample> samples;
    std::vector<double> sample_days;
    std::vector<uint64_t> per_period;
    uint64_t period_mark = 0;
    size_t next = 0;
    for (int64_t tick = kMin, check = period; check <= total;) {
        const int64_t at = std::min({next < schedule.size() ? schedule[next].at : INT64_MAX,
                                     deferred.empty() ? INT64_MAX : deferred.front().at, tick, check});
        sleep_until(at);
        drain();
        if (at == tick) {
            // The soak's own memory stays bounded: what the recorder and the bus keep goes every minute.
            env.published().clear();
            env.bus().clear_received();
            fake_gpiod::clear_logs();
            check_relays();
            tick += kMin;
        } else if (at == check) {
            per_period.push_back(trace_bytes - std::exchange(period_mark, trace_bytes));
            samples.push_back(sample());
            sample_days.push_back(double(now()) / double(kDay));
            const Sample &s = samples.back();
            std::lock_guard lk(folder.mu);
            fprintf(log,
                    "soak: %s RSS %ld KiB anonymous + %ld KiB of files, heap %ld KiB, %ld descriptors, %ld "
                    "threads; "
                    "trace %.1f MB; "
                    "renames onto ecu_info.json %d, config.json %d (%d by the soak), config.json.bad %d\n",
                    clock_text(now()).c_str(), s.anon_kib, s.file_kib, s.heap_kib, s.fds, s.threads,
                    double(per_period.back()) / 1e6, folder.renames["ecu_info.json"],
                    folder.renames["config.json"], own_writes, folder.renames["config.json.bad"]);
            check += period;
        } else {
            const bool planned = next < schedule.size() && schedule[next].at == at; // before the deferred
            const Event e = planned ? schedule[next++] : deferred.front();
            if (!planned) {
                std::pop_heap(deferred.begin(), deferred.end(), sooner);
                deferred.pop_back();
            }
            auto later = [&](Event l) {
                deferred.push_back(std::move(l));
                std::push_heap(deferred.begin(), deferred.end(), sooner);
            };
            ledger.disturbed(e.at);
            if (e.kind == Ev::Vehicle) {
                vehicle(static_cast<int>(e.arg));
            } else if (e.kind == Ev::Link) {
                link(e.arg == 0);
                e.arg != 0 ? later({e.at + e.arg, Ev::Link}) : void();
            } else if (e.kind == Ev::Broker && e.arg != 0 &&
                       (get_obd2_thrd_state() != OBD2_STATE_IDLE || obd2_command_pending())) {
                later({e.at + 10 * kSec, e.kind,
                       e.arg}); // away between commands only, so that no answer is lost to it
            } else if (e.kind == Ev::Broker) {
                broker(e.arg == 0);
                e.arg != 0 ? later({e.at + e.arg, Ev::Broker}) : void();
            } else if (e.kind == Ev::Config) {
                config(e.msg.text, e.arg == 0);
            } else if (e.kind == Ev::Factory) {
                factory(e.arg == 1);
            } else {
                send(e.msg);
            }
        }
    }
    const double month_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - real_start).count();

    // What the journal must hold: an hour of each steady state after the month, everything back first.
    const int64_t hour = days >= 7 ? kHour : 5 * kMin;
    std::vector<std::pair<std::string, std::array<uint64_t, 2>>> per_day;
    auto steady = [&](const std::string &what, const std::function<void()> &begin,
                      const std::function<void()> &end) {
        begin();
        sleep_until(now() + kMin);
        drain();
        const uint64_t bytes = trace_bytes, lines = trace_lines;
        sleep_until(now() + hour);
        drain();
        per_day.push_back(
            {what, {(trace_bytes - bytes) * (kDay / hour), (trace_lines - lines) * (kDay / hour)}});
        end();
        sleep_until(now() + kMin);
    };
    if (broker_away) {
        broker(true);
    }
    link(true);
    factory(true);
    config(WorkerEnv::default_config(), true);
    vehicle(0);
    send({R"({"TYP":1,"CMD":10})", 10});
    sleep_until(now() + 5 * kMin);
    steady(
        "idle, vehicle present", [] {}, [] {});
    steady(
        "live data streaming (3 sensors)",
        [&] {
            send({R"({"TYP":1,"CMD":2})", 2});
        },
        [&] {
            send({R"({"TYP":1,"CMD":3})", 3});
        });
    steady(
        "idle, vehicle absent", [&] { vehicle(-1); }, [&] { vehicle(0); });
    steady(
        "can0 missing", [&] { link(false); }, [&] { link(true); });
    sleep_until(now() + 5 * kMin);
    check_relays();
    env.stop_worker();
    change_gpio_state(DO_STATE_CLOSE);
    {
        FakeClock::Away away(dynamic_cast<FakeClock &>(gw_clock()));
        relays.join();
    }
    drain();
    trace.stop();
    ledger.finish();
    const double real_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - real_start).count();
    fclose(log);

    // ---- figures
    printf("soak: %g simulated days took %.0f s of real time (%.0f s with the steady hours)\n", days,
           month_seconds, real_seconds);
    for (const auto &[cmd, n] : ledger.sent_) {
        printf("soak: command %3d sent %5d, taken %5d\n", cmd, n, ledger.taken_[cmd]);
    }
    for (const auto &[shape, n] : ledger.outcomes_) {
        printf("soak: answered %-28s %5d\n", shape.c_str(), n);
    }
    printf("soak: heartbeat spacing %.3f s to %.3f s over %d pairs; %d configuration passes; %d ip link "
           "commands\n",
           double(ledger.beat_min_) / 1e6, double(ledger.beat_max_) / 1e6, ledger.beats_judged_,
           ledger.config_passes_, shell_runs.load());
    for (const auto &[what, c] : per_day) {
        printf("soak: trace per day, %-32s %8.1f MB, %9" PRIu64 " lines (%.1f a second)\n", what.c_str(),
               double(c[0]) / 1e6, c[1], double(c[1]) / 86400);
    }
    const auto [tmin, tmax] = std::minmax_element(per_period.begin(), per_period.end());
    printf("soak: trace per period of the schedule: %.1f MB to %.1f MB\n", double(*tmin) / 1e6,
           double(*tmax) / 1e6);
    std::string renames;
    for (const auto &[name, n] : folder.renames) {
        renames += " " + name + " " + std::to_string(n);
    }
    printf("soak: configuration folder: %d files written and closed, renames:%s; %d of them by the soak\n",
           folder.closes, renames.c_str(), own_writes);

    // ---- verdicts
    EXPECT_EQ(ledger.problems_, std::vector<std::string>{});
    EXPECT_GT(ledger.beats_judged_, 0);
    for (const auto &[line, n] : expected_lines) {
        EXPECT_EQ(ledger.lines_[line], n) << line;
    }
    EXPECT_GE(ledger.lines_["OBD2_ERROR : CAN interface lost"], links_pulled) << "every pulled can0 noticed";
    EXPECT_EQ(relay_mismatches, 0) << "relay lines not as commanded";
    EXPECT_EQ(folder.needless, 0) << "ecu_info.json rewritten with the bytes it held";
    EXPECT_EQ(folder.overflows, 0);
    // Flat: nothing the later periods hold beyond what the first third held.
    const size_t third = samples.size() / 3;
    auto flat = [&](const char *what, long Sample::*field, long slack, bool judged = true) {
        long first = 0, later = 0;
        for (size_t i = 0; i < samples.size(); ++i) {
            (i < third ? first : later) = std::max(i < third ? first : later, samples[i].*field);
        }
        printf("soak: %-12s first third at most %ld, the rest at most %ld%s\n", what, first, later,
               judged ? "" : " (not judged)");
        EXPECT_TRUE(!judged || later <= first + slack)
            << what << ": " << later << " > " << first << " + " << slack;
    };
    // RSS keeps what the allocator and the stacks once touched: judged once the
    // first third holds a whole day of the schedule, and never under a sanitizer.
    // Pages of the program's own files are shown, not judged: they are not memory
    // it allocates, and code run for the first time on day 20 adds some.
    flat("RSS KiB", &Sample::anon_kib, 64, !kSanitized && days >= 3);
    flat("file RSS KiB", &Sample::file_kib, 0, false);
    // A slow leak stays under any slack on the maxima: from day 10 on, once the
    // allocator has seen the schedule's busiest moments, RSS (anonymous and of
    // files) grows by less than 2 KiB a day, least squares over the samples.
    // A step of a few pages (a malloc arena's last growth) stays under that.
    auto slope = [&](const char *what, long Sample::*field) {
        double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
        for (size_t i = 0; i < samples.size(); ++i) {
            if (sample_days[i] >= 10) {
                const double x = sample_days[i], y = double(samples[i].*field);
                n += 1, sx += x, sy += y, sxx += x * x, sxy += x * y;
            }
        }
        if (kSanitized || n < 5) {
            printf("soak: %s not judged (%s)\n", what,
                   kSanitized ? "under a sanitizer" : "the slope needs 15 days or more");
            return;
        }
        const double kib_a_day = (n * sxy - sx * sy) / (n * sxx - sx * sx);
        printf("soak: %s from day 10 grows %.2f KiB a day over %.0f samples\n", what, kib_a_day, n);
        EXPECT_LT(kib_a_day, 2.0) << what << " grows from day 10 on";
    };
    slope("RSS", &Sample::anon_kib);
    slope("file RSS", &Sample::file_kib);
    flat("heap KiB", &Sample::heap_kib, 64);
    flat("descriptors", &Sample::fds, 0);
    flat("threads", &Sample::threads, 0);
}
