// Stand-in for libgpiod v2 on machines without GPIO chips. Implements the part
// of <gpiod.h> the relay code uses, with the library's own signatures, and
// checks the contract the way libgpiod and the kernel would: live handles only,
// offsets on the chip and free, output direction before driving, no double
// release. Everything is guarded by one mutex: the relay worker and the test
// thread use it at the same time.
#include <gpiod.h>

#include "fake_gpiod_control.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

struct gpiod_chip {
    int number = -1;
};

struct gpiod_line_settings {
    gpiod_line_direction direction = GPIOD_LINE_DIRECTION_AS_IS;
    gpiod_line_value output = GPIOD_LINE_VALUE_INACTIVE;
};

struct gpiod_line_config {
    // Offsets in the order they were first added, as libgpiod requests them.
    std::vector<std::pair<unsigned int, gpiod_line_settings>> lines;
    std::vector<gpiod_line_value> output_values;
};

struct gpiod_request_config {
    std::string consumer;
};

struct gpiod_line_request {
    int chip = -1;
    std::vector<unsigned int> offsets;
};

namespace
{

constexpr unsigned int kLinesPerChip = 32;
constexpr size_t kLinesMax = 64;        // libgpiod's limit per request
constexpr size_t kConsumerMax = 31;     // kernel label size less the NUL
constexpr size_t kGraveyardSize = 1024; // freed objects kept so addresses are not reused soon
constexpr size_t kLogMax = 200000;      // bounds the logs of a long preloaded run
constexpr std::array<int, 3> kChipNumbers{0, 3, 4};

enum class Kind { Chip, Settings, LineConfig, RequestConfig, Request };

const char *kind_name(Kind k)
{
    switch (k) {
    case Kind::Chip:
        return "chip";
    case Kind::Settings:
        return "line settings";
    case Kind::LineConfig:
        return "line config";
    case Kind::RequestConfig:
        return "request config";
    case Kind::Request:
        return "line request";
    }
    return "?";
}

struct Line {
    int value = 0;
    gpiod_line_direction direction = GPIOD_LINE_DIRECTION_INPUT;
    std::string consumer;
    bool held_here = false;  // by a live request of this process
    bool held_other = false; // by another consumer (set from the control API)
};

struct Chip {
    int number = 0;
    bool missing = false;
    std::array<Line, kLinesPerChip> lines{};
};

// Handles are registered under a scrambled key, so the registry does not keep
// an object reachable: a handle the code forgets shows up as a leak under
// LeakSanitizer or valgrind, not only in live_objects().
constexpr uintptr_t kHideMask = static_cast<uintptr_t>(0xa5a55a5aa5a55a5aULL);
uintptr_t hide(const void *p)
{
    return reinterpret_cast<uintptr_t>(p) ^ kHideMask;
}

struct State {
    std::mutex mu;
    std::array<Chip, 3> chips{};
    std::unordered_map<uintptr_t, Kind> live;
    std::deque<std::shared_ptr<void>> graveyard;
    std::vector<std::string> misuse;
    std::vector<fake_gpiod::SetValuesCall> set_calls;
    std::vector<std::string> events;
    int fail_countdown = -1;

    // From outside the process.
    std::set<int> env_missing;
    std::set<std::pair<int, unsigned int>> env_busy;
    std::set<int> file_missing;
    std::set<std::pair<int, unsigned int>> file_busy;
    std::string state_file;
    std::string control_file;

    State()
    {
        for (size_t i = 0; i < chips.size(); ++i) {
            chips[i].number = kChipNumbers[i];
        }
        if (const char *s = getenv("FAKE_GPIOD_STATE_FILE")) {
            state_file = s;
        }
        if (const char *s = getenv("FAKE_GPIOD_CONTROL_FILE")) {
            control_file = s;
        }
        if (const char *s = getenv("FAKE_GPIOD_MISSING")) {
            parse_missing_list(s, env_missing);
        }
        if (const char *s = getenv("FAKE_GPIOD_BUSY")) {
            parse_busy_list(s, env_busy);
        }
    }

    static int chip_number_of(const std::string &name)
    {
        for (int n : kChipNumbers) {
            if (name == "gpiochip" + std::to_string(n) || name == "/dev/gpiochip" + std::to_string(n)) {
                return n;
            }
        }
        return -1;
    }

    static std::vector<std::string> tokens(const std::string &text)
    {
        std::string t = text;
        std::replace(t.begin(), t.end(), ',', ' ');
        std::istringstream in(t);
        std::vector<std::string> out;
        for (std::string w; in >> w;) {
            out.push_back(w);
        }
        return out;
    }

    static void parse_missing_list(const std::string &text, std::set<int> &out)
    {
        for (const auto &w : tokens(text)) {
            int n = chip_number_of(w);
            if (n >= 0) {
                out.insert(n);
            }
        }
    }

    static void add_busy(const std::string &w, std::set<std::pair<int, unsigned int>> &out)
    {
        size_t colon = w.find(':');
        if (colon == std::string::npos) {
            return;
        }
        int n = chip_number_of(w.substr(0, colon));
        char *end = nullptr;
        unsigned long off = strtoul(w.c_str() + colon + 1, &end, 10);
        if (n >= 0 && end != w.c_str() + colon + 1 && *end == '\0' && off < kLinesPerChip) {
            out.insert({n, static_cast<unsigned int>(off)});
        }
    }

    static void parse_busy_list(const std::string &text, std::set<std::pair<int, unsigned int>> &out)
    {
        for (const auto &w : tokens(text)) {
            add_busy(w, out);
        }
    }

    void reread_control_file()
    {
        if (control_file.empty()) {
            return;
        }
        file_missing.clear();
        file_busy.clear();
        std::ifstream in(control_file);
        for (std::string line; std::getline(in, line);) {
            auto words = tokens(line);
            if (words.size() < 2) {
                continue;
            }
            for (size_t i = 1; i < words.size(); ++i) {
                if (words[0] == "missing") {
                    parse_missing_list(words[i], file_missing);
                } else if (words[0] == "busy") {
                    add_busy(words[i], file_busy);
                }
            }
        }
    }

    Chip *chip(int number)
    {
        for (auto &c : chips) {
            if (c.number == number) {
                return &c;
            }
        }
        return nullptr;
    }

    bool chip_missing(const Chip &c) const
    {
        return c.missing || env_missing.count(c.number) || file_missing.count(c.number);
    }

    bool line_busy(const Chip &c, unsigned int off) const
    {
        const Line &l = c.lines[off];
        return l.held_here || l.held_other || env_busy.count({c.number, off}) ||
               file_busy.count({c.number, off});
    }

    void note_misuse(std::string what)
    {
        if (misuse.size() < kLogMax) {
            misuse.push_back(std::move(what));
        }
    }

    void note_event(const std::string &what, int chip_number)
    {
        if (events.size() >= kLogMax) {
            events.erase(events.begin(), events.begin() + static_cast<long>(kLogMax / 2));
        }
        events.push_back(what + " gpiochip" + std::to_string(chip_number));
    }

    // An allocating call that the test asked to fail.
    bool inject_failure()
    {
        if (fail_countdown < 0) {
            return false;
        }
        if (fail_countdown-- == 0) {
            errno = ENOMEM;
            return true;
        }
        return false;
    }

    template <class T> T *adopt(T *p, Kind k)
    {
        live[hide(p)] = k;
        return p;
    }

    // True when `p` is a live object of kind `k`; records the misuse otherwise.
    bool check(const void *p, Kind k, const char *fn)
    {
        if (p == nullptr) {
            note_misuse(std::string(fn) + ": null " + kind_name(k));
            errno = EINVAL;
            return false;
        }
        auto it = live.find(hide(p));
        if (it == live.end() || it->second != k) {
            note_misuse(std::string(fn) + ": " + kind_name(k) +
                        " not live (freed, released or never created)");
            errno = EINVAL;
            return false;
        }
        return true;
    }

    // Ends an object's life; it stays allocated for a while so a stale pointer
    // is caught by check() instead of matching a new object at the same address.
    template <class T> void retire(T *p)
    {
        live.erase(hide(p));
        graveyard.emplace_back(std::shared_ptr<T>(p));
        while (graveyard.size() > kGraveyardSize) {
            graveyard.pop_front();
        }
    }

    void write_state_file()
    {
        if (state_file.empty()) {
            return;
        }
        std::string text;
        for (const auto &c : chips) {
            for (unsigned int off = 0; off < kLinesPerChip; ++off) {
                const Line &l = c.lines[off];
                if (!l.held_here && l.direction != GPIOD_LINE_DIRECTION_OUTPUT) {
                    continue;
                }
                const char *dir = l.direction == GPIOD_LINE_DIRECTION_OUTPUT  ? "output"
                                  : l.direction == GPIOD_LINE_DIRECTION_INPUT ? "input"
                                                                              : "as-is";
                text += "gpiochip" + std::to_string(c.number) + " " + std::to_string(off) + " " + dir + " " +
                        std::to_string(l.value) + " " + (l.consumer.empty() ? "-" : l.consumer) + "\n";
            }
        }
        // Readers see the old or the new file, never a partial one.
        std::string tmp = state_file + ".tmp";
        int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            return;
        }
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = write(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            done += static_cast<size_t>(n);
        }
        close(fd);
        if (done == text.size()) {
            rename(tmp.c_str(), state_file.c_str());
        } else {
            unlink(tmp.c_str());
        }
    }
};

// Never destroyed: a worker thread may still call in while the process exits.
State &state()
{
    static State *s = new State;
    return *s;
}

// The fake's state, under its lock for the length of one call.
class Locked
{
  public:
    Locked() : st_(state()), lock_(st_.mu) {}
    State *operator->() { return &st_; }
    State &operator*() { return st_; }

  private:
    State &st_;
    std::lock_guard<std::mutex> lock_;
};

} // namespace

extern "C" {

gpiod_chip *gpiod_chip_open(const char *path)
{
    Locked st;
    if (path == nullptr) {
        st->note_misuse("gpiod_chip_open: null path");
        errno = EINVAL;
        return nullptr;
    }
    st->reread_control_file();
    int n = State::chip_number_of(path);
    Chip *c = n >= 0 ? st->chip(n) : nullptr;
    if (c == nullptr || st->chip_missing(*c)) {
        errno = ENOENT;
        return nullptr;
    }
    if (st->inject_failure()) {
        return nullptr;
    }
    auto *chip = st->adopt(new gpiod_chip{n}, Kind::Chip);
    st->note_event("open", n);
    return chip;
}

void gpiod_chip_close(gpiod_chip *chip)
{
    if (chip == nullptr) {
        return;
    }
    Locked st;
    if (!st->check(chip, Kind::Chip, "gpiod_chip_close")) {
        return;
    }
    st->note_event("close", chip->number);
    st->retire(chip);
}

gpiod_line_settings *gpiod_line_settings_new(void)
{
    Locked st;
    if (st->inject_failure()) {
        return nullptr;
    }
    return st->adopt(new gpiod_line_settings, Kind::Settings);
}

void gpiod_line_settings_free(gpiod_line_settings *settings)
{
    if (settings == nullptr) {
        return;
    }
    Locked st;
    if (st->check(settings, Kind::Settings, "gpiod_line_settings_free")) {
        st->retire(settings);
    }
}

int gpiod_line_settings_set_direction(gpiod_line_settings *settings, gpiod_line_direction direction)
{
    Locked st;
    if (!st->check(settings, Kind::Settings, "gpiod_line_settings_set_direction")) {
        return -1;
    }
    switch (direction) {
    case GPIOD_LINE_DIRECTION_AS_IS:
    case GPIOD_LINE_DIRECTION_INPUT:
    case GPIOD_LINE_DIRECTION_OUTPUT:
        settings->direction = direction;
        return 0;
    }
    settings->direction = GPIOD_LINE_DIRECTION_AS_IS;
    errno = EINVAL;
    return -1;
}

gpiod_line_config *gpiod_line_config_new(void)
{
    Locked st;
    if (st->inject_failure()) {
        return nullptr;
    }
    return st->adopt(new gpiod_line_config, Kind::LineConfig);
}

void gpiod_line_config_free(gpiod_line_config *config)
{
    if (config == nullptr) {
        return;
    }
    Locked st;
    if (st->check(config, Kind::LineConfig, "gpiod_line_config_free")) {
        st->retire(config);
    }
}

int gpiod_line_config_add_line_settings(gpiod_line_config *config, const unsigned int *offsets,
                                        size_t num_offsets, gpiod_line_settings *settings)
{
    Locked st;
    if (!st->check(config, Kind::LineConfig, "gpiod_line_config_add_line_settings")) {
        return -1;
    }
    if (offsets == nullptr || num_offsets == 0) {
        errno = EINVAL;
        return -1;
    }
    // libgpiod takes a null settings object as the defaults.
    gpiod_line_settings copy{};
    if (settings != nullptr) {
        if (!st->check(settings, Kind::Settings, "gpiod_line_config_add_line_settings")) {
            return -1;
        }
        copy = *settings;
    }
    for (size_t i = 0; i < num_offsets; ++i) {
        auto it = std::find_if(config->lines.begin(), config->lines.end(),
                               [&](const auto &l) { return l.first == offsets[i]; });
        if (it != config->lines.end()) {
            // libgpiod lets the last settings win; for a caller it means a table lists an offset twice.
            st->note_misuse("gpiod_line_config_add_line_settings: offset " + std::to_string(offsets[i]) +
                            " added twice");
            it->second = copy;
            continue;
        }
        if (config->lines.size() >= kLinesMax) {
            errno = E2BIG;
            return -1;
        }
        config->lines.emplace_back(offsets[i], copy);
    }
    return 0;
}

int gpiod_line_config_set_output_values(gpiod_line_config *config, const gpiod_line_value *values,
                                        size_t num_values)
{
    Locked st;
    if (!st->check(config, Kind::LineConfig, "gpiod_line_config_set_output_values")) {
        return -1;
    }
    if (num_values > kLinesMax) {
        errno = EINVAL;
        return -1;
    }
    if (values == nullptr && num_values > 0) {
        st->note_misuse("gpiod_line_config_set_output_values: null values");
        errno = EINVAL;
        return -1;
    }
    config->output_values.assign(values, values + num_values);
    return 0;
}

gpiod_request_config *gpiod_request_config_new(void)
{
    Locked st;
    if (st->inject_failure()) {
        return nullptr;
    }
    return st->adopt(new gpiod_request_config, Kind::RequestConfig);
}

void gpiod_request_config_free(gpiod_request_config *config)
{
    if (config == nullptr) {
        return;
    }
    Locked st;
    if (st->check(config, Kind::RequestConfig, "gpiod_request_config_free")) {
        st->retire(config);
    }
}

void gpiod_request_config_set_consumer(gpiod_request_config *config, const char *consumer)
{
    Locked st;
    if (!st->check(config, Kind::RequestConfig, "gpiod_request_config_set_consumer")) {
        return;
    }
    // The kernel keeps a fixed-size label; libgpiod cuts longer ones.
    config->consumer = consumer == nullptr ? std::string() : std::string(consumer).substr(0, kConsumerMax);
}

gpiod_line_request *gpiod_chip_request_lines(gpiod_chip *chip, gpiod_request_config *req_cfg,
                                             gpiod_line_config *line_cfg)
{
    Locked st;
    if (!st->check(chip, Kind::Chip, "gpiod_chip_request_lines") ||
        !st->check(line_cfg, Kind::LineConfig, "gpiod_chip_request_lines")) {
        return nullptr;
    }
    if (req_cfg != nullptr && !st->check(req_cfg, Kind::RequestConfig, "gpiod_chip_request_lines")) {
        return nullptr;
    }
    st->reread_control_file();
    if (line_cfg->lines.empty()) {
        errno = EINVAL;
        return nullptr;
    }
    Chip &c = *st->chip(chip->number);
    for (const auto &[off, settings] : line_cfg->lines) {
        if (off >= kLinesPerChip) {
            errno = EINVAL;
            return nullptr;
        }
    }
    for (const auto &[off, settings] : line_cfg->lines) {
        if (st->line_busy(c, off)) {
            errno = EBUSY;
            return nullptr;
        }
    }
    if (st->inject_failure()) {
        return nullptr;
    }
    auto *req = new gpiod_line_request;
    req->chip = c.number;
    const std::string consumer = req_cfg != nullptr && !req_cfg->consumer.empty() ? req_cfg->consumer : "?";
    for (size_t i = 0; i < line_cfg->lines.size(); ++i) {
        const auto &[off, settings] = line_cfg->lines[i];
        Line &l = c.lines[off];
        if (settings.direction == GPIOD_LINE_DIRECTION_OUTPUT) {
            gpiod_line_value v =
                i < line_cfg->output_values.size() ? line_cfg->output_values[i] : settings.output;
            l.direction = GPIOD_LINE_DIRECTION_OUTPUT;
            l.value = v == GPIOD_LINE_VALUE_ACTIVE ? 1 : 0;
        } else if (settings.direction == GPIOD_LINE_DIRECTION_INPUT) {
            l.direction = GPIOD_LINE_DIRECTION_INPUT;
        }
        l.held_here = true;
        l.consumer = consumer;
        req->offsets.push_back(off);
    }
    st->adopt(req, Kind::Request);
    st->note_event("request", c.number);
    st->write_state_file();
    return req;
}

void gpiod_line_request_release(gpiod_line_request *request)
{
    if (request == nullptr) {
        return;
    }
    Locked st;
    if (!st->check(request, Kind::Request, "gpiod_line_request_release")) {
        return;
    }
    Chip &c = *st->chip(request->chip);
    for (unsigned int off : request->offsets) {
        // The line keeps its direction and level; only the ownership ends.
        c.lines[off].held_here = false;
        c.lines[off].consumer.clear();
    }
    st->note_event("release", c.number);
    st->retire(request);
    st->write_state_file();
}

int gpiod_line_request_set_values(gpiod_line_request *request, const gpiod_line_value *values)
{
    Locked st;
    if (!st->check(request, Kind::Request, "gpiod_line_request_set_values")) {
        return -1;
    }
    if (values == nullptr) {
        st->note_misuse("gpiod_line_request_set_values: null values");
        errno = EINVAL;
        return -1;
    }
    Chip &c = *st->chip(request->chip);
    for (size_t i = 0; i < request->offsets.size(); ++i) {
        if (c.lines[request->offsets[i]].direction != GPIOD_LINE_DIRECTION_OUTPUT) {
            st->note_misuse("gpiod_line_request_set_values: line " + std::to_string(request->offsets[i]) +
                            " is not an output");
            errno = EPERM;
            return -1;
        }
        if (values[i] != GPIOD_LINE_VALUE_ACTIVE && values[i] != GPIOD_LINE_VALUE_INACTIVE) {
            st->note_misuse("gpiod_line_request_set_values: bad value");
            errno = EINVAL;
            return -1;
        }
    }
    fake_gpiod::SetValuesCall call;
    call.chip = c.number;
    for (size_t i = 0; i < request->offsets.size(); ++i) {
        int v = values[i] == GPIOD_LINE_VALUE_ACTIVE ? 1 : 0;
        c.lines[request->offsets[i]].value = v;
        call.offsets.push_back(request->offsets[i]);
        call.values.push_back(v);
    }
    if (st->set_calls.size() >= kLogMax) {
        st->set_calls.erase(st->set_calls.begin(), st->set_calls.begin() + static_cast<long>(kLogMax / 2));
    }
    st->set_calls.push_back(std::move(call));
    st->write_state_file();
    return 0;
}

} // extern "C"

namespace fake_gpiod
{

void reset()
{
    Locked st;
    for (auto &c : st->chips) {
        int n = c.number;
        c = Chip{};
        c.number = n;
    }
    // Forget live objects without freeing them: the code may still hold them,
    // and any later use must be reported, not crash.
    st->live.clear();
    st->misuse.clear();
    st->set_calls.clear();
    st->events.clear();
    st->fail_countdown = -1;
    st->write_state_file();
}

void set_chip_missing(int chip, bool missing)
{
    Locked st;
    if (Chip *c = st->chip(chip)) {
        c->missing = missing;
    }
}

void set_line_used(int chip, unsigned int offset, const char *consumer)
{
    Locked st;
    Chip *c = st->chip(chip);
    if (c == nullptr || offset >= kLinesPerChip) {
        return;
    }
    Line &l = c->lines[offset];
    l.held_other = consumer != nullptr;
    l.consumer = consumer != nullptr ? consumer : "";
}

int line_value(int chip, unsigned int offset)
{
    Locked st;
    Chip *c = st->chip(chip);
    return c != nullptr && offset < kLinesPerChip ? c->lines[offset].value : -1;
}

gpiod_line_direction line_direction(int chip, unsigned int offset)
{
    Locked st;
    Chip *c = st->chip(chip);
    return c != nullptr && offset < kLinesPerChip ? c->lines[offset].direction : GPIOD_LINE_DIRECTION_AS_IS;
}

std::string line_consumer(int chip, unsigned int offset)
{
    Locked st;
    Chip *c = st->chip(chip);
    return c != nullptr && offset < kLinesPerChip ? c->lines[offset].consumer : std::string();
}

int live_objects()
{
    Locked st;
    return static_cast<int>(st->live.size());
}

std::vector<std::string> misuse()
{
    Locked st;
    return st->misuse;
}

std::vector<SetValuesCall> set_values_calls()
{
    Locked st;
    return st->set_calls;
}

std::vector<std::string> events()
{
    Locked st;
    return st->events;
}

void clear_logs()
{
    Locked st;
    std::vector<SetValuesCall>().swap(st->set_calls);
    std::vector<std::string>().swap(st->events);
}

void fail_allocation_after(int n)
{
    Locked st;
    st->fail_countdown = n < 0 ? -1 : n;
}

} // namespace fake_gpiod
