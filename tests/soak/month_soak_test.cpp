// A month unattended, in minutes: the OBD worker and the relay worker on the
// fake clock against the in-process vehicle, every UI message routed as the
// bus callback routes it, publications through the publish seam. One schedule
// drawn from a seed: ignition off and on, moods of the vehicle (a second ECU,
// "response pending", a busy clear), about one command a minute of every kind,
// configuration files replaced, the factory copy gone, can0 pulled, the broker
// away. Once per period: memory, descriptors and threads; throughout: every
// command's answers, the heartbeat's spacing, rewrites of ecu_info.json, passes
// abandoned. The trace is counted, not kept.
//
//   OBDGW_SOAK_DAYS=30 build/default/tests/soak/month_soak_test   (the month; the test command runs 0.25)
//   OBDGW_SOAK_SEED=N replays the schedule printed with seed N (25 by default).
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cinttypes>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/atomic_file.h"
#include "common/cjson_ptr.h"
#include "common/unique_fd.h"
#include "fake_gpiod_control.h"
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

constexpr int64_t kSec = 1'000'000;
constexpr int64_t kMin = 60 * kSec;
constexpr int64_t kHour = 60 * kMin;
constexpr int64_t kDay = 24 * kHour;

long env_long(const char *name, long fallback)
{
    const char *v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::strtol(v, nullptr, 10) : fallback;
}

std::string clock_text(int64_t us)
{
    char buf[32];
    const int64_t s = us / kSec;
    snprintf(buf, sizeof buf, "d%02" PRId64 " %02" PRId64 ":%02" PRId64 ":%02" PRId64, s / 86400 + 1,
             s / 3600 % 24, s / 60 % 60, s % 60);
    return buf;
}

// ---- the schedule ----------------------------------------------------------------

// A message from the UI and what it asks for.
struct Message {
    Message(std::string t = {}, int c = 0, std::string l = {})
        : text(std::move(t)), cmd(c), line(std::move(l))
    {
    }
    std::string text;
    int cmd;          // TYP 1 commands the worker takes; 0 for the others
    std::string line; // the trace line its refusal leaves
    int relay_on = 0, relay_off = 0;
};

enum class Ev {
    VehicleOff,
    VehicleOn,
    LinkLost,
    LinkBack,
    BrokerAway,
    BrokerBack,
    Config,
    FactoryGone,
    FactoryBack,
    Send
};

// Moods of a vehicle that comes back (bits of VehicleOn's arg).
constexpr int kSecondEcu = 1, kPendingCodes = 2, kBusyClear = 4;

struct Event {
    Event(int64_t t, Ev k, int64_t a = 0, Message m = {}) : at(t), kind(k), arg(a), msg(std::move(m)) {}
    int64_t at;
    Ev kind;
    int64_t arg; // mood; how long can0 or the broker stays away; 1 for an unusable configuration
    Message msg; // the message, or the configuration's text
};

const char *const kSensors[] = {"ENGRPM", "SPD", "COLTMP", "ENGLD", "INTTMP"};

std::string good_config(std::mt19937_64 &rng)
{
    std::string sensors;
    for (const char *s : kSensors) {
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

Message draw_message(std::mt19937_64 &rng)
{
    const std::string pad(240, 'x');
    switch (std::discrete_distribution<int>{20, 15, 10, 5, 3, 4, 20, 4, 6, 5}(rng)) {
    case 0:
        return {R"({"TYP":1,"CMD":1})", 1};
    case 1:
        return {R"({"TYP":1,"CMD":2})", 2};
    case 2:
        return {R"({"TYP":1,"CMD":4})", 4};
    case 3: {
        const int stop = std::array{3, 7, 11}[rng() % 3];
        return {R"({"TYP":1,"CMD":)" + std::to_string(stop) + "}", stop};
    }
    case 4:
        return {R"({"TYP":1,"CMD":10})", 10};
    case 5: { // numbers without an action (0 is left out: it waits for the next command)
        const int n = std::array{5, 99, -7, -1}[rng() % 4];
        return {n == -1 ? R"({"TYP":1})" : R"({"TYP":1,"CMD":)" + std::to_string(n) + "}", n};
    }
    case 6: {
        Message m;
        std::string body;
        for (int i = 0; i < DO_COUNT; ++i) {
            if (rng() % 4 == 0) {
                const bool on = rng() % 2 == 0;
                (on ? m.relay_on : m.relay_off) |= 1 << i;
                body += std::string(body.empty() ? "" : ",") + "\"DO" + std::to_string(i) +
                        "\":" + (on ? "1" : "0");
            }
        }
        m.text = do_command(body);
        return m;
    }
    case 7:
        return {R"({"TYP":2,"DATA":{"params":{"DO":[1]}}})", 0, "DO_ERROR: Failed to parse packet"};
    case 8:
        switch (rng() % 4) {
        case 0:
            return {R"({"TYP":1,"CMD":)", 0, "ERROR: Invalid JSON format."};
        case 1:
            return {R"({"CMD":1})", 0, "ERROR: 'TYP' field missing or not a number."};
        case 2:
            return {R"({"TYP":"1","CMD":1})", 0, "ERROR: 'TYP' field missing or not a number."};
        default:
            return {R"({"TYP":3,"CMD":1})", 0, "MQTT_ERROR : Unknown TYP value: 3"};
        }
    default:
        switch (rng() % 3) {
        case 0:
            return {R"({"TYP":1,"CMD":1,"X":")" + pad + "\"}", 0,
                    "OBD2_ERROR : Command refused: longer than 199 characters."};
        case 1:
            return {R"({"TYP":2,"X":")" + pad + pad + R"(","DATA":{"params":{"DO":{"DO0":1}}}})", 0,
                    "DO_ERROR: Packet refused: longer than 499 characters."};
        default: // beyond 1023 bytes a payload arrives cut, no longer JSON
            return {(R"({"TYP":1,"CMD":1,"X":")" + pad + pad + pad + pad + pad).substr(0, MQTT_INBOUND_MAX),
                    0, "ERROR: Invalid JSON format."};
        }
    }
}

void add(std::vector<Event> &out, int64_t at, Ev kind, int64_t arg = 0, Message msg = {})
{
    out.emplace_back(at, kind, arg, std::move(msg));
}

void add_message(std::vector<Event> &out, int64_t at, const Message &m)
{
    add(out, at, Ev::Send, 0, m);
    if (m.cmd == 2) { // a minute of live data, then a stop
        add(out, at + kMin, Ev::Send, 0, Message{R"({"TYP":1,"CMD":3})", 3});
    }
}

// Everything but the messages is drawn per day of `day` (the short form's
// day is shorter: every kind still happens); messages come about once a minute.
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
                add(ev, starts[i], Ev::VehicleOff);
                add(ev, end, Ev::VehicleOn, mood);
            }
        }
        // can0 pulled for seconds to minutes, the broker away: one at a time.
        for (int i = 0, n = static_cast<int>(uniform(1, 4)); i < n; ++i) {
            add(ev, base + i * (day / n) + uniform(0, day / n / 2), Ev::LinkLost,
                scaled(5 * kSec, 10 * kMin));
        }
        for (int i = 0, n = static_cast<int>(uniform(1, 2)); i < n; ++i) {
            add(ev, base + i * (day / n) + uniform(0, day / n / 2), Ev::BrokerAway,
                scaled(10 * kSec, 5 * kMin));
        }
        // The configuration replaced: a good one; an unusable one, fixed later; the factory copy gone
        // meanwhile.
        for (int i = 0, n = static_cast<int>(uniform(1, 3)); i < n; ++i) {
            const int64_t at = base + uniform(0, day * 3 / 4);
            const int kind = static_cast<int>(rng() % 4);
            if (kind < 2) {
                add(ev, at, Ev::Config, 0, Message{good_config(rng)});
                continue;
            }
            const char *bad[] = {R"({"can_port":{"BR":500000)", "",
                                 R"({"can_port":{"BR":12345,"padding":170}})", R"({"can_port":{}})"};
            if (kind == 3) {
                add(ev, at, Ev::FactoryGone);
            }
            add(ev, at + scaled(kMin, 5 * kMin), Ev::Config, 1,
                Message{kind == 3 ? "not json" : bad[rng() % 4]});
            add_message(ev, at + scaled(6 * kMin, 10 * kMin), reload);
            const int64_t fixed = at + scaled(15 * kMin, 2 * kHour);
            if (kind == 3) {
                add(ev, fixed, Ev::FactoryBack);
            }
            add(ev, fixed, Ev::Config, 0, Message{good_config(rng)});
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

// Puts `e` into the (sorted) schedule after everything due at the same time.
void insert_event(std::vector<Event> &ev, size_t from, Event e)
{
    auto pos = std::upper_bound(ev.begin() + static_cast<long>(from), ev.end(), e,
                                [](const Event &a, const Event &b) { return a.at < b.at; });
    ev.insert(pos, std::move(e));
}

// ---- the trace, counted --------------------------------------------------------------

// stdout and stderr into a pipe read by a thread that hands every line over
// and counts the bytes; lines starting with "SOAK>" are the soak's own marks.
class TraceTap
{
  public:
    explicit TraceTap(std::function<void(const std::string &)> on_line) : on_line_(std::move(on_line))
    {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        fflush(stdout);
        fflush(stderr);
        log_ = fdopen(dup(STDOUT_FILENO), "w");
        setvbuf(log_, nullptr, _IOLBF, 0);
        saved_out_ = dup(STDOUT_FILENO);
        saved_err_ = dup(STDERR_FILENO);
        dup2(p[1], STDOUT_FILENO);
        dup2(p[1], STDERR_FILENO);
        close(p[1]);
        read_ = p[0];
        setvbuf(stdout, nullptr, _IOLBF, 0);
        reader_ = std::thread([this] { run(); });
    }
    ~TraceTap()
    {
        stop();
        fclose(log_);
    }
    void stop()
    {
        if (saved_out_ < 0) {
            return;
        }
        fflush(stdout);
        fflush(stderr);
        dup2(saved_out_, STDOUT_FILENO); // the pipe's last writer goes: the reader sees its end
        dup2(saved_err_, STDERR_FILENO);
        close(saved_out_);
        close(saved_err_);
        saved_out_ = -1;
        reader_.join();
        close(read_);
    }
    FILE *log() const { return log_; }
    struct Count {
        uint64_t bytes = 0, lines = 0;
    };
    // The trace so far, the soak's marks left out, once every line written before the call is handled.
    Count sync()
    {
        const uint64_t n = ++sent_; // the reader takes the lock to count: not held while writing
        printf("SOAK> sync %" PRIu64 "\n", n);
        fflush(stdout);
        std::unique_lock lk(mu_);
        cv_.wait(lk, [&] { return seen_ >= n; });
        return count_;
    }

  private:
    void run()
    {
        char buf[65536];
        std::string pending;
        pending.reserve(2 * sizeof buf); // a read and the part line before it: no growth later
        for (ssize_t n; (n = read(read_, buf, sizeof buf)) != 0;) {
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                break;
            }
            pending.append(buf, static_cast<size_t>(n));
            size_t from = 0;
            for (size_t nl; (nl = pending.find('\n', from)) != std::string::npos; from = nl + 1) {
                const std::string line = pending.substr(from, nl - from);
                if (line.starts_with("SOAK> sync ")) {
                    std::lock_guard lk(mu_);
                    seen_ = std::strtoull(line.c_str() + 11, nullptr, 10);
                    cv_.notify_all();
                    continue;
                }
                if (!line.starts_with("SOAK>")) {
                    std::lock_guard lk(mu_);
                    count_.bytes += line.size() + 1;
                    ++count_.lines;
                }
                on_line_(line);
            }
            pending.erase(0, from);
        }
    }

    std::function<void(const std::string &)> on_line_;
    FILE *log_ = nullptr;
    int saved_out_ = -1, saved_err_ = -1, read_ = -1;
    std::thread reader_;
    std::mutex mu_;
    std::condition_variable cv_;
    uint64_t sent_ = 0, seen_ = 0;
    Count count_;
};

// ---- the answers, the heartbeat and the trace lines that matter -------------------------

// Fed the trace in order. The worker thread writes "[DEBUG] TYP=1, CMD=n"
// when it takes a command and the publish hook marks every publication on the
// same thread, so each answer belongs to the command taken last.
class Ledger
{
  public:
    explicit Ledger(const std::vector<std::string> &counted) : counted_(counted.begin(), counted.end()) {}

    // Main thread: a TYP 1 command handed over.
    void sent(int cmd)
    {
        std::lock_guard lk(mu_);
        queued_.push_back(cmd);
        ++sent_[cmd];
    }
    // Main thread: something the heartbeat's spacing may not be judged across.
    void disturbed(int64_t t)
    {
        std::lock_guard lk(mu_);
        disturbed_ = std::max(disturbed_, t);
    }
    // Main thread: from `t` on the vehicle answers through can0, or not.
    void vehicle_answers(bool yes, int64_t t)
    {
        std::lock_guard lk(mu_);
        answers_since_ = yes ? std::min(answers_since_, t) : INT64_MAX;
    }

    void line(const std::string &l)
    {
        std::lock_guard lk(mu_);
        if (l.starts_with("SOAK> ")) {
            mark(l);
        } else if (l.starts_with("[DEBUG] TYP=1, CMD=")) {
            take(std::atoi(l.c_str() + 19));
        } else if (l == "OBD2_ERROR : ECU MODE DETECTION FAILED. Retrying...") {
            detect_failed_ = true;
        } else if (l.starts_with("Bitrate: ")) {
            ++config_passes_;
        } else if (l == "=== Live Sensors ===") {
            answered_sensors_ = 0;
        } else if (l == "=== DTC Names ===") {
            dtc_groups_ = 0;
        } else if (char name[64]; sscanf(l.c_str(), "Sensor %*d: %63s", name) == 1) {
            answered_sensors_ += std::string(name) != "INTTMP"; // the vehicle answers the others
        } else if (sscanf(l.c_str(), "DTC %*d: %63s", name) == 1) {
            ++dtc_groups_;
        }
        if (l.find("abandoned") != std::string::npos) {
            problem("abandoned pass: " + l);
        }
        if (l.find("commands already pending") != std::string::npos) {
            problem("refused for a full queue: " + l);
        }
        for (const auto &c : counted_) {
            if (l.starts_with(c)) {
                ++lines_[c];
            }
        }
    }

    void finish()
    {
        std::lock_guard lk(mu_);
        close_current(true);
        if (reload_unreported_) {
            problem("the last reload was never followed by a start-up report");
        }
        if (!queued_.empty()) {
            problem(std::to_string(queued_.size()) + " commands handed over and never taken");
        }
    }

    std::mutex mu_;
    std::map<int, int> sent_, taken_;
    std::map<std::string, int> outcomes_; // "1 #dtc", "4 NORES x4", ...
    std::map<std::string, int> published_, lines_;
    std::vector<std::string> problems_;
    int problem_count_ = 0;
    int64_t beat_min_ = INT64_MAX, beat_max_ = 0;
    int beats_judged_ = 0, config_passes_ = 0;

  private:
    void problem(const std::string &what)
    {
        if (++problem_count_ <= 40) {
            problems_.push_back("at " + clock_text(now_) + ": " + what);
        }
    }

    void take(int cmd)
    {
        close_current(false);
        if (queued_.empty() || queued_.front() != cmd) {
            problem("took command " + std::to_string(cmd) + ", expected " +
                    (queued_.empty() ? std::string("none") : std::to_string(queued_.front())));
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
        results_ = Results{};
        taken_at_ = now_;
        // Without a trouble-code group or a sensor the vehicle has, NORES is the answer.
        judged_ = cmd == 4 || (cmd == 1 && dtc_groups_ > 0) || (cmd == 2 && answered_sensors_ > 0);
        last_beat_.clear();
    }

    // The answers a command got, against what the protocol promises: one
    // result (after up to three NORES of failed attempts) or four NORES for 1
    // and 4, at least one packet for live data, COMER alone, nothing for the
    // others; and no NORES alone from a vehicle that answers.
    void close_current(bool at_end)
    {
        if (current_ == INT32_MIN) {
            return;
        }
        const int c = current_;
        current_ = INT32_MIN;
        const Results &r = results_;
        const int all = r.nores + r.comer + r.data + r.other;
        bool ok;
        std::string shape;
        if (c == 1 || c == 4) {
            const std::string done = c == 1 ? "#dtc" : "DTC_CLEARED";
            ok = (r.comer == 1 && all == 1) || (r.nores <= 4 && r.other == 0 && r.comer == 0 &&
                                                (r.data == 0 ? r.nores >= 1 : r.data == 1 && r.last == done));
            shape = r.comer   ? "COMER"
                    : r.data  ? (r.nores ? done + " after NORES" : done)
                    : r.nores ? "NORES"
                              : "nothing";
        } else if (c == 2) {
            ok = (r.comer == 1 && all == 1) || (r.comer == 0 && r.other == 0 && all > 0);
            shape = r.comer ? "COMER" : r.data ? "#live" : r.nores ? "NORES" : "nothing";
        } else {
            ok = all == 0;
            shape = "no answer";
        }
        if (!ok && !(at_end && all == 0)) {
            problem("command " + std::to_string(c) + " answered " + std::to_string(all) + " times, last " +
                    r.last);
        }
        if (shape == "NORES" && judged_ && answers_since_ < taken_at_ - kSettle) {
            problem("command " + std::to_string(c) + " got NORES alone from a vehicle that answers");
        }
        ++outcomes_[std::to_string(c) + " " + shape];
    }

    // "SOAK> <t> <accepted> <cmd> <token>"
    void mark(const std::string &l)
    {
        char token[64] = {};
        long long t = 0;
        int accepted = 0, cmd = 0;
        if (sscanf(l.c_str(), "SOAK> %lld %d %d %63s", &t, &accepted, &cmd, token) != 4) {
            return;
        }
        now_ = t;
        const std::string tok = token;
        ++published_[std::to_string(cmd) + " " + tok];
        const bool detect_noecu = detect_failed_ && tok == "NOECU";
        detect_failed_ = false;
        if (tok == "#bad") {
            problem("malformed packet for command " + std::to_string(cmd));
        }
        if (cmd != 0) {
            if (current_ != cmd) {
                problem("answer " + tok + " to command " + std::to_string(cmd) + " during command " +
                        (current_ == INT32_MIN ? std::string("none") : std::to_string(current_)));
            } else {
                Results &r = results_;
                ++(tok == "NORES"   ? r.nores
                   : tok == "COMER" ? r.comer
                   : tok == (cmd == 1   ? "#dtc"
                             : cmd == 2 ? "#live"
                                        : "DTC_CLEARED")
                       ? r.data
                       : r.other);
                r.last = tok;
            }
        }
        if (tok == "MODEDETECTED" || tok == "NOECU" || tok == "WRNGCFG" || tok == "CANERR") {
            reload_unreported_ = false;
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

    std::set<std::string> counted_;
    // A command taken shortly after the vehicle or can0 came back may be
    // answered before bring-up ends: it is not judged.
    static constexpr int64_t kSettle = 30 * kSec;
    struct Results {
        int nores = 0, comer = 0, data = 0, other = 0;
        std::string last;
    };
    std::deque<int> queued_;
    int current_ = INT32_MIN;
    Results results_;
    int64_t taken_at_ = 0, answers_since_ = INT64_MAX;
    int answered_sensors_ = 0, dtc_groups_ = 0;
    bool judged_ = false;
    bool reload_unreported_ = false, detect_failed_ = false;
    std::string last_beat_;
    int64_t last_beat_at_ = 0, disturbed_ = 0, now_ = 0;
};

// Token of a publication: the status "msg", or the result packet's kind, "#bad" when its shape is wrong.
std::string publication_token(const std::string &text, int &cmd)
{
    CJsonPtr root(cJSON_Parse(text.c_str()));
    const cJSON *c = root ? cJSON_GetObjectItem(root.get(), "CMD") : nullptr;
    const cJSON *data = root ? cJSON_GetObjectItem(root.get(), "DATA") : nullptr;
    cmd = cJSON_IsNumber(c) ? c->valueint : -1000;
    if (!cJSON_IsObject(data)) {
        return "#bad";
    }
    const cJSON *msg = cJSON_GetObjectItem(data, "msg");
    if (cJSON_IsString(msg) && cJSON_GetObjectItem(root.get(), "ERROR") != nullptr) {
        return msg->valuestring;
    }
    if (cmd == 1) {
        for (const char *g : {"STRDTC", "PNDDTC", "PRMDTC"}) {
            if (!cJSON_IsArray(cJSON_GetObjectItem(data, g))) {
                return "#bad";
            }
        }
        return "#dtc";
    }
    if (cmd == 2 && data->child != nullptr) {
        for (const cJSON *v = data->child; v != nullptr; v = v->next) {
            if (!cJSON_IsNumber(v) && !(cJSON_IsString(v) && std::string(v->valuestring) == "--")) {
                return "#bad";
            }
        }
        return "#live";
    }
    return "#bad";
}

// ---- the configuration folder, watched ---------------------------------------------------

// Writes (renames onto a name) in the folder. Drained on the worker's thread,
// which alone writes ecu_info.json: a rename that leaves its bytes as they were is a needless write.
class FolderWatch
{
  public:
    explicit FolderWatch(const std::string &dir) : dir_(dir), fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        inotify_add_watch(fd_.get(), dir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
    }
    void drain()
    {
        std::lock_guard lk(mu_);
        alignas(inotify_event) char buf[8192];
        int ecu_writes = 0;
        for (ssize_t n; (n = read(fd_.get(), buf, sizeof buf)) > 0;) {
            for (char *p = buf; p < buf + n;
                 p += sizeof(inotify_event) + reinterpret_cast<inotify_event *>(p)->len) {
                const auto *e = reinterpret_cast<inotify_event *>(p);
                const std::string name = e->len ? e->name : "";
                if (e->mask & IN_MOVED_TO) {
                    ++renames[name];
                    ecu_writes += name == "ecu_info.json";
                }
                if (e->mask & IN_CLOSE_WRITE) {
                    ++closes;
                }
                if (e->mask & IN_Q_OVERFLOW) {
                    ++overflows;
                }
            }
        }
        if (ecu_writes > 0) {
            std::string now;
            gw_read_file((dir_ + "/ecu_info.json").c_str(), now);
            if (ecu_writes == 1 && now == ecu_info_) {
                ++needless;
            }
            ecu_info_ = now;
        }
    }
    std::mutex mu_;
    std::map<std::string, int> renames;
    int closes = 0, needless = 0, overflows = 0;

  private:
    std::string dir_, ecu_info_;
    UniqueFd fd_;
};

// ---- what is measured per period ---------------------------------------------------------

struct Sample {
    long rss_kib, heap_kib, fds, threads;
};

long status_field(const char *field)
{
    std::string s;
    gw_read_file("/proc/self/status", s);
    const auto p = s.find(field);
    return p == std::string::npos ? -1 : std::strtol(s.c_str() + p + strlen(field), nullptr, 10);
}

Sample sample()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const long heap = static_cast<long>(__sanitizer_get_current_allocated_bytes() / 1024);
#else
    const struct mallinfo2 mi = mallinfo2();
    const long heap = static_cast<long>((mi.uordblks + mi.hblkhd) / 1024);
#endif
    long fds = -3; // ".", ".." and the listing's own
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) {
            ++fds;
        }
        closedir(d);
    }
    return {status_field("VmRSS:"), heap, fds, status_field("Threads:")};
}

vsim::VehicleModel soak_vehicle()
{
    vsim::VehicleModel model = WorkerEnv::sample_vehicle();
    vsim::EcuModel tcm = vsim::make_ecu11(1);
    tcm.pids = {{0x0D, {0x10}}};
    tcm.stored_dtcs = {0x0700};
    tcm.pending_dtcs = {0x0700};
    tcm.silent = true; // answers in the drives that have a second ECU
    model.ecus.push_back(tcm);
    return model;
}

// The soak's hold on the daemon's world: the workers it runs and how it
// disturbs them. All of it is driven from the test's thread on the fake clock.
class Rig
{
  public:
    Rig(FILE *log, Ledger &ledger)
        : log_(log), ledger_(ledger), env(soak_vehicle()), folder(env.dir()),
          gone_(::socket(AF_INET, SOCK_DGRAM, 0))
    {
        fake_gpiod::reset();
        mqtt_change_state(MQTT_CONNECTED);
        static std::atomic<int> *s_runs =
            &shell_runs; // counted, not kept: a month of them would grow the heap
        can_test_set_shell_runner([](const char *) { return ++*s_runs, 0; });
        env.published().set_on_publish([this](const std::string &text) {
            if (pull_.exchange(false)) { // on the worker's thread, between two of its steps
                can_cfg[0].sock = can_cfg[1].sock = gone_.get();
            }
            folder.drain();
            int cmd = 0;
            const std::string token = publication_token(text, cmd);
            printf("SOAK> %" PRId64 " %d %d %s\n", now(), accepted_.load() ? 1 : 0, cmd, token.c_str());
        });
        ledger_.vehicle_answers(true, 0);
        env.start_worker();
        relays_ = gw_clock_thread([] { gpio_state_machine(nullptr); });
    }

    ~Rig() { stop(); }

    void stop()
    {
        if (!relays_.joinable()) {
            return;
        }
        env.stop_worker();
        change_gpio_state(DO_STATE_CLOSE);
        FakeClock::Away away(dynamic_cast<FakeClock &>(gw_clock()));
        relays_.join();
    }

    int64_t now() const { return gw_monotonic_us() - t0_; }
    void sleep_until(int64_t at)
    {
        if (at > now()) {
            gw_sleep_us(at - now());
        }
    }
    void note(const std::string &what)
    {
        fprintf(log_, "soak: %s %s\n", clock_text(now()).c_str(), what.c_str());
    }

    void vehicle(bool on, int mood = 0)
    {
        vsim::Vehicle &car = env.bus().vehicle();
        vehicle_on_ = on;
        ledger_.vehicle_answers(vehicle_on_ && link_up_, now());
        if (!on) {
            note("ignition off");
            car.set_silent(true);
            return;
        }
        note("ignition on" + std::string(mood & kSecondEcu ? ", second ECU" : "") +
             (mood & kPendingCodes ? ", codes answered after \"response pending\"" : "") +
             (mood & kBusyClear ? ", clear busy twice" : ""));
        car.set_silent(0, false);
        car.set_silent(1, (mood & kSecondEcu) == 0);
        for (uint8_t service : {0x03, 0x07, 0x0A}) {
            car.set_pending(0, service, (mood & kPendingCodes) ? 1 : 0, std::chrono::milliseconds(800));
        }
        car.set_clear_behaviour(0, (mood & kBusyClear) ? 2 : 0, 0);
        car.set_dtcs(0, 0x03, {0x0123, 0x0300}); // codes set again while driving
        car.set_dtcs(0, 0x07, {0x0123});
    }
    void link(bool up)
    {
        note(up ? "can0 back" : "can0 pulled");
        links_pulled += !up;
        link_up_ = up;
        ledger_.vehicle_answers(vehicle_on_ && link_up_, now());
        pull_.store(!up);
        env.set_can_available(up);
    }
    void broker(bool up)
    {
        note(up ? "broker back" : "broker away");
        broker_away = !up;
        accepted_.store(up);
        env.published().set_accept(up);
        mqtt_change_state(up ? MQTT_CONNECTED : MQTT_RECONNECT);
    }
    void config(const std::string &text, bool usable)
    {
        note(std::string("config.json replaced, ") + (usable ? "usable" : "unusable"));
        env.write_config(text);
        ++own_writes;
    }
    void factory(bool there)
    {
        note(there ? "factory copy back" : "factory copy gone");
        const std::string path = env.dir() + "/default_config/default_config.json";
        const std::string def = WorkerEnv::default_config();
        there ? (void)gw_write_file_atomic(path.c_str(), def.data(), def.size())
              : (void)std::filesystem::remove(path);
    }
    // As the bus callback thread hands a message over; the UI cannot publish while the broker is away.
    void send(const Message &m)
    {
        if (broker_away) {
            ++unsent;
            return;
        }
        if (m.cmd != 0) {
            ledger_.sent(m.cmd);
        } else if (!m.line.empty()) {
            ++expected_lines[m.line];
        } else {
            relay_on = (relay_on | m.relay_on) & ~m.relay_off;
            relay_sent_at = now();
        }
        handle_incoming_packet(m.text.c_str());
    }
    // Relay lines against what the commands asked for, once the worker has had its half second.
    void check_relays()
    {
        if (relay_sent_at < 0 || now() - relay_sent_at < kSec) {
            return;
        }
        for (int i = 0; i < DO_COUNT; ++i) {
            const int on = fake_gpiod::line_value(kRelay[i].chip, kRelay[i].offset) == 0;
            relay_mismatches += on != ((relay_on >> i) & 1);
        }
        relay_sent_at = -1;
    }

  private:
    FILE *log_;
    Ledger &ledger_;
    const int64_t t0_ = gw_monotonic_us();
    std::atomic<bool> pull_{false}, accepted_{true};
    bool vehicle_on_ = true, link_up_ = true;

  public:
    WorkerEnv env;
    FolderWatch folder;
    std::atomic<int> shell_runs{0};
    std::map<std::string, int> expected_lines;
    int relay_on = 0, relay_mismatches = 0, own_writes = 0, links_pulled = 0, unsent = 0;
    int64_t relay_sent_at = -1;
    bool broker_away = false;

  private:
    UniqueFd gone_; // sends without an address fail, as on a pulled can0
    std::thread relays_;
};

} // namespace

TEST(Soak, MonthUnattended)
{
    // The test command's form: a quarter of a day, its events drawn as for a whole one.
    const char *days_env = std::getenv("OBDGW_SOAK_DAYS");
    const double days = days_env != nullptr ? std::strtod(days_env, nullptr) : 0.25;
    const uint64_t seed = static_cast<uint64_t>(env_long("OBDGW_SOAK_SEED", 25));
    const int64_t total = static_cast<int64_t>(days * double(kDay));
    const int periods = std::max(static_cast<int>(days + 0.5), 12);
    const int64_t period = total / periods;
    auto schedule = draw_schedule(seed, total, std::min(total, kDay));
    schedule.reserve(schedule.size() + static_cast<size_t>(days * 64) +
                     64); // events put in later move nothing

    Ledger ledger({"ERROR: Invalid JSON format.", "ERROR: 'TYP' field missing or not a number.",
                   "MQTT_ERROR : Unknown TYP value: 3",
                   "OBD2_ERROR : Command refused: longer than 199 characters.",
                   "DO_ERROR: Packet refused: longer than 499 characters.",
                   "DO_ERROR: Failed to parse packet", "OBD2_ERROR : CAN interface lost"});
    TraceTap tap([&](const std::string &l) { ledger.line(l); });
    FILE *log = tap.log();
    fprintf(log,
            "soak: %g days in periods of %" PRId64 " min, seed %" PRIu64
            ", %zu events (replay: OBDGW_SOAK_DAYS=%g OBDGW_SOAK_SEED=%" PRIu64 ")\n",
            days, period / kMin, seed, schedule.size(), days, seed);
    const auto real_start = std::chrono::steady_clock::now();
    Rig rig(log, ledger);

    std::vector<Sample> samples;
    std::vector<uint64_t> trace;
    uint64_t trace_mark = tap.sync().bytes;
    size_t next = 0;
    for (int64_t tick = kMin, check = period; check <= total;) {
        const int64_t at = std::min({next < schedule.size() ? schedule[next].at : INT64_MAX, tick, check});
        rig.sleep_until(at);
        if (at == tick) {
            // The soak's own memory stays bounded: what the recorder and the bus keep goes every minute.
            rig.env.published().clear();
            rig.env.bus().clear_received();
            fake_gpiod::clear_logs();
            rig.check_relays();
            tick += kMin;
        } else if (at == check) {
            const uint64_t bytes = tap.sync().bytes;
            trace.push_back(bytes - trace_mark);
            trace_mark = bytes;
            samples.push_back(sample());
            const Sample &s = samples.back();
            std::lock_guard lk(rig.folder.mu_);
            fprintf(log,
                    "soak: %s RSS %ld KiB, heap %ld KiB, %ld descriptors, %ld threads; trace %.1f MB; "
                    "renames onto ecu_info.json %d, config.json %d (%d by the soak), config.json.bad %d\n",
                    clock_text(rig.now()).c_str(), s.rss_kib, s.heap_kib, s.fds, s.threads,
                    double(trace.back()) / 1e6, rig.folder.renames["ecu_info.json"],
                    rig.folder.renames["config.json"], rig.own_writes, rig.folder.renames["config.json.bad"]);
            check += period;
        } else {
            const Event e = schedule[next++];
            ledger.disturbed(e.at);
            switch (e.kind) {
            case Ev::VehicleOff:
            case Ev::VehicleOn:
                rig.vehicle(e.kind == Ev::VehicleOn, static_cast<int>(e.arg));
                break;
            case Ev::LinkLost:
                rig.link(false);
                insert_event(schedule, next, Event{e.at + e.arg, Ev::LinkBack});
                break;
            case Ev::LinkBack:
                rig.link(true);
                break;
            case Ev::BrokerAway:
                // Between commands only, so that no answer is lost to it.
                if (get_obd2_thrd_state() != OBD2_STATE_IDLE || obd2_command_pending()) {
                    insert_event(schedule, next, Event{e.at + 10 * kSec, e.kind, e.arg});
                    break;
                }
                rig.broker(false);
                insert_event(schedule, next, Event{e.at + e.arg, Ev::BrokerBack});
                break;
            case Ev::BrokerBack:
                rig.broker(true);
                break;
            case Ev::Config:
                rig.config(e.msg.text, e.arg == 0);
                break;
            case Ev::FactoryGone:
            case Ev::FactoryBack:
                rig.factory(e.kind == Ev::FactoryBack);
                break;
            case Ev::Send:
                rig.send(e.msg);
                break;
            }
        }
    }
    const double month_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - real_start).count();

    // What the journal must hold: an hour of each steady state after the month.
    const int64_t hour = days >= 7 ? kHour : 5 * kMin;
    std::vector<std::pair<std::string, TraceTap::Count>> per_day;
    auto steady = [&](const std::string &what, const std::function<void()> &begin,
                      const std::function<void()> &end) {
        begin();
        rig.sleep_until(rig.now() + kMin);
        const TraceTap::Count from = tap.sync();
        rig.sleep_until(rig.now() + hour);
        const TraceTap::Count to = tap.sync();
        const uint64_t scale = kDay / hour;
        per_day.emplace_back(
            what, TraceTap::Count{(to.bytes - from.bytes) * scale, (to.lines - from.lines) * scale});
        end();
        rig.sleep_until(rig.now() + kMin);
    };
    if (rig.broker_away) {
        rig.broker(true);
    }
    rig.link(true);
    rig.factory(true);
    rig.config(WorkerEnv::default_config(), true);
    rig.vehicle(true);
    rig.send(Message{R"({"TYP":1,"CMD":10})", 10});
    rig.sleep_until(rig.now() + 5 * kMin);
    steady(
        "idle, vehicle present", [] {}, [] {});
    steady(
        "live data streaming (3 sensors)",
        [&] {
            rig.send(Message{R"({"TYP":1,"CMD":2})", 2});
        },
        [&] {
            rig.send(Message{R"({"TYP":1,"CMD":3})", 3});
        });
    steady(
        "idle, vehicle absent", [&] { rig.vehicle(false); }, [&] { rig.vehicle(true); });
    steady(
        "can0 missing", [&] { rig.link(false); }, [&] { rig.link(true); });
    rig.sleep_until(rig.now() + 5 * kMin);
    rig.check_relays();
    rig.stop();
    (void)tap.sync();
    ledger.finish();
    const double real_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - real_start).count();
    tap.stop();

    // ---- figures
    printf("soak: %g simulated days took %.0f s of real time (%.0f s with the steady hours)\n", days,
           month_seconds, real_seconds);
    {
        std::lock_guard lk(ledger.mu_);
        for (const auto &[cmd, n] : ledger.sent_) {
            printf("soak: command %3d sent %5d, taken %5d\n", cmd, n, ledger.taken_[cmd]);
        }
        for (const auto &[shape, n] : ledger.outcomes_) {
            printf("soak: outcome %-28s %5d\n", shape.c_str(), n);
        }
        for (const auto &[tok, n] : ledger.published_) {
            printf("soak: published %-26s %7d\n", tok.c_str(), n);
        }
        printf("soak: heartbeat spacing %.3f s to %.3f s over %d pairs; %d configuration passes; %d ip link "
               "commands\n",
               double(ledger.beat_min_) / 1e6, double(ledger.beat_max_) / 1e6, ledger.beats_judged_,
               ledger.config_passes_, rig.shell_runs.load());
    }
    for (const auto &[what, c] : per_day) {
        printf("soak: trace per day, %-32s %8.1f MB, %9" PRIu64 " lines (%.1f a second)\n", what.c_str(),
               double(c.bytes) / 1e6, c.lines, double(c.lines) / 86400);
    }
    const auto [tmin, tmax] = std::minmax_element(trace.begin(), trace.end());
    printf("soak: trace per period of the schedule: %.1f MB to %.1f MB\n", double(*tmin) / 1e6,
           double(*tmax) / 1e6);
    {
        std::lock_guard lk(rig.folder.mu_);
        std::string renames;
        for (const auto &[name, n] : rig.folder.renames) {
            renames += " " + name + " " + std::to_string(n);
        }
        printf(
            "soak: configuration folder: %d files written and closed, renames:%s; %d of them by the soak\n",
            rig.folder.closes, renames.c_str(), rig.own_writes);
    }

    // ---- verdicts
    std::lock_guard lk(ledger.mu_);
    EXPECT_EQ(ledger.problem_count_, 0) << ::testing::PrintToString(ledger.problems_);
    EXPECT_GT(ledger.beats_judged_, 0);
    for (const auto &[line, n] : rig.expected_lines) {
        EXPECT_EQ(ledger.lines_[line], n) << line;
    }
    EXPECT_GE(ledger.lines_["OBD2_ERROR : CAN interface lost"], rig.links_pulled)
        << "every pulled can0 noticed";
    EXPECT_EQ(rig.relay_mismatches, 0) << "relay lines not as commanded";
    EXPECT_EQ(rig.folder.needless, 0) << "ecu_info.json rewritten with the bytes it held";
    EXPECT_EQ(rig.folder.overflows, 0);
    // Flat: nothing the later periods hold beyond what the first third held.
    const size_t third = samples.size() / 3;
    auto flat = [&](const char *what, long Sample::*field, long slack, bool judged = true) {
        long first = 0, later = 0;
        for (size_t i = 0; i < samples.size(); ++i) {
            (i < third ? first : later) = std::max(i < third ? first : later, samples[i].*field);
        }
        printf("soak: %-12s first third at most %ld, the rest at most %ld\n", what, first, later);
        EXPECT_TRUE(!judged || later <= first + slack)
            << what << ": " << later << " > " << first << " + " << slack;
    };
    // RSS keeps what the allocator and the stacks once touched: judged once the
    // first third holds a whole day of the schedule, and never under a sanitizer.
    flat("RSS KiB", &Sample::rss_kib, 64, !kSanitized && days >= 3);
    flat("heap KiB", &Sample::heap_kib, 64);
    flat("descriptors", &Sample::fds, 0);
    flat("threads", &Sample::threads, 0);
}
