#include "cli/cli.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <utility>

#include "common/cjson_ptr.h"
#include "th_gpio/gpio_lines.h"
#include "th_mqtt/topics.h"
#include "th_obd2_com/obd2_protocol.h"
#include "th_obd2_com/obd2_worker.h"
#include "th_obd2_com/pid_catalogue.h"

namespace cli
{
namespace
{

// A failing vehicle command is tried this often, each failure answered "NORES".
constexpr int kAttempts = OBD2_CMD_MAX_RETRIES + 1;

struct VerbName {
    const char *name;
    Verb verb;
    int cmd; // vehicle command published, 0 for none
};
constexpr VerbName kVerbs[] = {
    {"status", Verb::Status, 0},        {"dtc", Verb::Dtc, 1},        {"clear", Verb::Clear, 4},
    {"readiness", Verb::Readiness, 13}, {"freeze", Verb::Freeze, 14}, {"live", Verb::Live, 2},
    {"relay", Verb::Relay, 0},          {"reload", Verb::Reload, 10}, {"watch", Verb::Watch, 0},
};
constexpr int kStopCmd = 3;

int verb_cmd(Verb v)
{
    for (const auto &n : kVerbs) {
        if (n.verb == v) {
            return n.cmd;
        }
    }
    return 0;
}

constexpr std::pair<const char *, const char *> kTokens[] = {
    {"WRNGCFG", "config.json cannot be used"},
    {"CANERR", "can0 could not be brought up"},
    {"NOECU", "no vehicle answers"},
    {"MODEDETECTED", "vehicle found, addressing mode detected"},
    {"GOTINFO", "vehicle identification read"},
    {"GOTPID", "supported sensors known"},
    {"SAVSUC", "start-up complete, ecu_info.json up to date"},
    {"ECU", "heartbeat: vehicle present"},
    {"GOTECU", "heartbeat: vehicle answers again"},
    {"COMER", "no vehicle detected for this command"},
    {"NORES", "the vehicle gave no usable answer"},
    {"DTC_CLEARED", "trouble codes cleared"},
    {"NOTSUP", "the vehicle does not support this"},
    {"NOFRAME", "no freeze frame stored"},
};

bool parse_number(const std::string &s, double lo, double hi, double &out)
{
    if (s.empty()) {
        return false;
    }
    char *end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v) || v < lo || v > hi) {
        return false;
    }
    out = v;
    return true;
}

bool whole(double v)
{
    return v == std::floor(v);
}

std::string lower(std::string s)
{
    for (char &c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

std::string seconds(double s)
{
    char b[32];
    std::snprintf(b, sizeof b, "%g s", s);
    return b;
}

std::string pad(const std::string &s, size_t width)
{
    return s.size() >= width ? s + " " : s + std::string(width - s.size(), ' ');
}

const cJSON *member(const cJSON *obj, const char *key)
{
    return cJSON_IsObject(obj) ? cJSON_GetObjectItemCaseSensitive(obj, key) : nullptr;
}

// Only an object's members are named: anyone may publish on the topic, and an
// array where an object belongs must not get its nameless items read as members.
const cJSON *members(const cJSON *obj)
{
    return cJSON_IsObject(obj) ? obj : nullptr;
}

std::string text_of(const cJSON *item, const char *fallback = "?")
{
    return cJSON_IsString(item) && item->valuestring != nullptr ? item->valuestring : fallback;
}

// A value as the gateway prints it: two decimals, or its text ("--").
std::string value_text(const cJSON *v)
{
    if (cJSON_IsNumber(v)) {
        char b[48];
        std::snprintf(b, sizeof b, "%.2f", v->valuedouble);
        return b;
    }
    return text_of(v);
}

struct Sensor {
    const char *name;
    const char *unit;
};
// Names and units come from the gateway's catalogue; a key it does not know is shown bare.
Sensor sensor(const char *key)
{
    for (size_t i = 0; i < num_pids; ++i) {
        if (std::strcmp(short_keys[i], key) == 0) {
            return {pids[i].name, pids[i].unit};
        }
    }
    return {"", ""};
}

// One row per member of `values`: key, catalogue name, value, unit.
std::vector<std::string> value_rows(const cJSON *values)
{
    std::vector<std::string> rows;
    const cJSON *v = nullptr;
    cJSON_ArrayForEach(v, members(values))
    {
        const Sensor s = sensor(v->string);
        const bool number = cJSON_IsNumber(v);
        char b[160];
        std::snprintf(b, sizeof b, "%-8s %-26s %12s %s", v->string, s.name, value_text(v).c_str(),
                      number ? s.unit : "");
        std::string row = b;
        row.erase(row.find_last_not_of(' ') + 1);
        rows.push_back(row);
    }
    return rows;
}

std::string codes(const cJSON *group)
{
    if (!cJSON_IsArray(group)) {
        return "?";
    }
    std::string s;
    const cJSON *c = nullptr;
    cJSON_ArrayForEach(c, group)
    {
        s += (s.empty() ? "" : " ") + text_of(c);
    }
    return s.empty() ? "none" : s;
}

const char *monitor_name(const char *key)
{
    for (const auto table : {std::span<const Obd2Monitor>(OBD2_MONITORS_SPARK),
                             std::span<const Obd2Monitor>(OBD2_MONITORS_COMPRESSION)}) {
        for (const Obd2Monitor &m : table) {
            if (std::strcmp(m.key, key) == 0) {
                return m.name;
            }
        }
    }
    return "";
}

std::string monitor_state(const cJSON *v)
{
    const std::string s = text_of(v, "");
    if (s == "UNSUPPORTED") {
        return "not supported";
    }
    return s.empty() ? "-" : lower(s);
}

std::vector<std::string> readiness_text(const cJSON *data)
{
    const cJSON *mil = member(data, "MIL");
    const cJSON *count = member(data, "DTCCNT");
    const cJSON *mon = member(data, "MON");
    const cJSON *cyc = member(data, "CYC");
    std::vector<std::string> out{
        "check-engine light  " + std::string(cJSON_IsNumber(mil) ? (mil->valueint ? "on" : "off") : "?"),
        "confirmed codes     " + (cJSON_IsNumber(count) ? std::to_string(count->valueint) : std::string("?")),
        "ignition            " + lower(text_of(member(data, "IGN"))),
        cyc ? pad("monitor", 34) + pad("since clear", 15) + "this cycle" : pad("monitor", 34) + "since clear",
    };
    const cJSON *m = nullptr;
    cJSON_ArrayForEach(m, members(mon))
    {
        std::string row = pad(m->string, 7) + pad(monitor_name(m->string), 27) + pad(monitor_state(m), 15);
        if (cyc) {
            row += monitor_state(member(cyc, m->string));
        }
        row.erase(row.find_last_not_of(' ') + 1);
        out.push_back(row);
    }
    return out;
}

std::vector<std::string> ecu_info_text(const std::optional<std::string> &file)
{
    if (!file) {
        return {"ecu_info.json: not readable (no vehicle identified yet?)"};
    }
    CJsonPtr root(cJSON_ParseWithLength(file->data(), file->size()));
    const cJSON *ecu = member(root.get(), "ECU_INFO");
    if (!ecu) {
        return {"ecu_info.json: not the gateway's record"};
    }
    const cJSON *br = member(ecu, "BR");
    std::vector<std::string> out{
        "VIN          " + text_of(member(ecu, "VID")),
        "calibration  " + text_of(member(ecu, "CID")),
        "CVN          " + text_of(member(ecu, "CVN")),
        "ECU name     " + text_of(member(ecu, "ECUNM")),
        "protocol     " + text_of(member(ecu, "PROTO")),
        "bit rate     " + (cJSON_IsNumber(br) ? std::to_string(static_cast<long>(br->valuedouble)) + " bit/s"
                                              : std::string("?")),
    };
    std::string keys;
    int n = 0;
    const cJSON *flag = nullptr;
    cJSON_ArrayForEach(flag, members(member(root.get(), "LIVE_PIDS")))
    {
        if (cJSON_IsNumber(flag) && flag->valueint == 1) {
            keys += std::string(" ") + flag->string;
            ++n;
        }
    }
    out.push_back("sensors      " + std::to_string(n) + (n == 1 ? " answers:" : " answer:") + keys);
    return out;
}

// What a packet says, for `watch`.
std::string describe(const cJSON *root)
{
    if (!cJSON_IsObject(root)) {
        return "(not JSON)";
    }
    const cJSON *data = member(root, "DATA");
    const cJSON *msg = member(data, "msg");
    const cJSON *cmd = member(root, "CMD");
    if (cJSON_IsString(msg)) {
        const cJSON *error = member(root, "ERROR");
        const std::string e = explain(msg->valuestring);
        return (e.empty() ? std::string("unknown status") : e) +
               (cJSON_IsNumber(error) && error->valueint != 0 ? " (error)" : "");
    }
    const int c = cJSON_IsNumber(cmd) ? cmd->valueint : -1;
    auto size = [](const cJSON *a) { return std::to_string(cJSON_GetArraySize(a)); };
    switch (c) {
    case 1:
        return "trouble codes: " + size(member(data, "STRDTC")) + " stored, " + size(member(data, "PNDDTC")) +
               " pending, " + size(member(data, "PRMDTC")) + " permanent";
    case 2:
        return "live data: " + size(data) + " values";
    case 13: {
        const cJSON *mil = member(data, "MIL");
        return std::string("readiness: check-engine light ") +
               (cJSON_IsNumber(mil) && mil->valueint ? "on" : "off");
    }
    case 14:
        return "freeze frame stored by " + text_of(member(data, "DTC")) + ", " + size(member(data, "VAL")) +
               " values";
    default:
        return "";
    }
}

} // namespace

std::string usage()
{
    return "Usage: obd-gateway-cli [OPTIONS] COMMAND [ARGS]\n"
           "Asks obd-gateway through the local MQTT broker and prints its answer.\n"
           "\n"
           "Commands:\n"
           "  status            the next heartbeat (vehicle present or not) and the vehicle in "
           "ecu_info.json\n"
           "  dtc               trouble codes: stored, pending, permanent\n"
           "  clear             clear the trouble codes of every ECU (asks first, unless --yes)\n"
           "  readiness         check-engine light, confirmed codes and each monitor\n"
           "  freeze            the freeze frame: the code that stored it and the values\n"
           "  live              live data as a table that refreshes, until --count or Ctrl-C\n"
           "  relay DOn on|off  switch relay DOn (DO0..DO11); relay all on|off: all twelve\n"
           "  reload            re-read config.json; shows the start-up reports as they come\n"
           "  watch             every packet the gateway publishes, one line each\n"
           "\n"
           "Options:\n"
           "  --json            print the packets as they came, one per line\n"
           "  --timeout S       seconds to wait for an answer (default 40); watch: how long to watch\n"
           "  --count N         live, watch: stop after N packets\n"
           "  --yes             clear: do not ask for confirmation\n"
           "  --host HOST       broker address (default " OBDGW_BROKER_HOST ")\n"
           "  --port PORT       broker port (default 1883)\n"
           "  -h, --help        this text\n"
           "  --version         the version\n"
           "\n"
           "Exit status: 0 answered; 1 the gateway answered with an error (NORES, COMER, NOTSUP),\n"
           "no answer within the time-out, or interrupted before an answer; 2 usage error;\n"
           "3 broker not reachable.\n";
}

Parsed parse_args(const std::vector<std::string> &args)
{
    Parsed p;
    Options &o = p.opt;
    o.host = OBDGW_BROKER_HOST;
    o.port = OBDGW_BROKER_PORT;
    std::vector<std::string> words;
    bool count_given = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string a = args[i];
        std::string value;
        bool inline_value = false;
        if (a.rfind("--", 0) == 0 && a.find('=') != std::string::npos) {
            value = a.substr(a.find('=') + 1);
            a.erase(a.find('='));
            inline_value = true;
        }
        auto take = [&](std::string &out) {
            if (inline_value) {
                out = value;
                return true;
            }
            if (i + 1 >= args.size()) {
                p.error = a + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        double v = 0;
        if (a == "-h" || a == "--help") {
            p.help = true;
        } else if (a == "--version") {
            p.version = true;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--yes" || a == "-y") {
            o.yes = true;
        } else if (a == "--timeout") {
            if (!take(value)) {
                return p;
            }
            if (!parse_number(value, 0.001, 86400, v)) {
                p.error = "--timeout takes seconds, more than 0 and at most 86400: " + value;
                return p;
            }
            o.timeout_s = v;
            o.timeout_given = true;
        } else if (a == "--count") {
            if (!take(value)) {
                return p;
            }
            if (!parse_number(value, 1, 1e9, v) || !whole(v)) {
                p.error = "--count takes a whole number from 1: " + value;
                return p;
            }
            o.count = static_cast<long>(v);
            count_given = true;
        } else if (a == "--host") {
            if (!take(o.host)) {
                return p;
            }
            if (o.host.empty()) {
                p.error = "--host needs an address";
                return p;
            }
        } else if (a == "--port") {
            if (!take(value)) {
                return p;
            }
            if (!parse_number(value, 1, 65535, v) || !whole(v)) {
                p.error = "--port takes a number from 1 to 65535: " + value;
                return p;
            }
            o.port = static_cast<int>(v);
        } else if (a.size() > 1 && a[0] == '-') {
            p.error = "unknown option " + a;
            return p;
        } else {
            words.push_back(a);
        }
    }
    if (p.help || p.version) {
        return p;
    }
    if (words.empty()) {
        p.error = "no command given";
        return p;
    }
    const VerbName *verb = nullptr;
    for (const auto &n : kVerbs) {
        if (words[0] == n.name) {
            verb = &n;
        }
    }
    if (verb == nullptr) {
        p.error = "unknown command " + words[0];
        return p;
    }
    o.verb = verb->verb;
    const size_t want = o.verb == Verb::Relay ? 3 : 1;
    if (words.size() != want) {
        p.error = o.verb == Verb::Relay ? "relay takes a relay (DO0..DO11 or all) and on or off"
                                        : words[0] + " takes no arguments";
        return p;
    }
    if (count_given && o.verb != Verb::Live && o.verb != Verb::Watch) {
        p.error = "--count is for live and watch";
        return p;
    }
    if (o.verb == Verb::Relay) {
        const std::string which = lower(words[1]);
        const std::string state = lower(words[2]);
        if (which == "all") {
            o.relay = -1;
        } else if (which.size() >= 3 && which.size() <= 4 && which.rfind("do", 0) == 0 &&
                   std::isdigit(static_cast<unsigned char>(which[2])) &&
                   (which.size() == 3 || std::isdigit(static_cast<unsigned char>(which[3]))) &&
                   !(which.size() == 4 && which[2] == '0') && std::stoi(which.substr(2)) < DO_COUNT) {
            o.relay = std::stoi(which.substr(2));
        } else {
            p.error = "no relay " + words[1] + " (DO0..DO11 or all)";
            return p;
        }
        if (state != "on" && state != "off") {
            p.error = "a relay is switched on or off, not " + words[2];
            return p;
        }
        o.relay_on = state == "on";
    }
    return p;
}

std::string command_payload(const Options &o)
{
    if (o.verb == Verb::Relay) {
        std::string dos;
        for (int i = 0; i < DO_COUNT; ++i) {
            if (o.relay < 0 || o.relay == i) {
                dos +=
                    (dos.empty() ? "\"DO" : ",\"DO") + std::to_string(i) + "\":" + (o.relay_on ? "1" : "0");
            }
        }
        return R"({"TYP":2,"DATA":{"params":{"DO":{)" + dos + "}}}}";
    }
    const int cmd = verb_cmd(o.verb);
    return cmd == 0 ? std::string() : R"({"TYP":1,"CMD":)" + std::to_string(cmd) + "}";
}

std::string stop_payload()
{
    return R"({"TYP":1,"CMD":)" + std::to_string(kStopCmd) + "}";
}

bool confirmed(std::string_view answer)
{
    std::string a(answer);
    a.erase(0, a.find_first_not_of(" \t"));
    a.erase(a.find_last_not_of(" \t\r\n") + 1);
    a = lower(a);
    return a == "y" || a == "yes";
}

std::string one_line(std::string_view json)
{
    std::string out;
    out.reserve(json.size());
    bool in_string = false;
    bool escaped = false;
    for (const char c : json) {
        if (in_string) {
            out += c;
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
            out += c;
        } else if (c != ' ' && c != '\n' && c != '\r' && c != '\t') {
            out += c;
        }
    }
    return out;
}

std::string explain(std::string_view token)
{
    for (const auto &[t, text] : kTokens) {
        if (token == t) {
            return text;
        }
    }
    return "";
}

Session::Session(const Options &o, std::function<std::optional<std::string>()> ecu_info)
    : o_(o), ecu_info_(std::move(ecu_info))
{
}

Step Session::packet(std::string_view payload)
{
    Step s;
    const std::string compact = one_line(payload);
    CJsonPtr root(cJSON_ParseWithLength(payload.data(), payload.size()));
    if (o_.verb == Verb::Watch) {
        std::string line = root ? compact : std::string(payload);
        std::replace(line.begin(), line.end(), '\n', ' ');
        s.out.push_back(o_.json ? line : line + "   " + describe(root.get()));
        s.done = o_.count > 0 && ++shown_ >= o_.count;
        return s;
    }
    const cJSON *typ = member(root.get(), "TYP");
    const cJSON *cmd = member(root.get(), "CMD");
    if (!cJSON_IsNumber(typ) || typ->valueint != 1 || !cJSON_IsNumber(cmd)) {
        return s;
    }
    const cJSON *msg = member(member(root.get(), "DATA"), "msg");
    const std::string token = text_of(msg, "");
    switch (o_.verb) {
    case Verb::Status:
        // Not SAVSUC: ecu_info.json is written after it; the heartbeat follows.
        if (cmd->valueint == 0 && (token == "ECU" || token == "GOTECU")) {
            return vehicle_state(compact, token, true);
        }
        if (cmd->valueint == 0 && (token == "NOECU" || token == "WRNGCFG" || token == "CANERR")) {
            return vehicle_state(compact, token, false);
        }
        if (cmd->valueint == 2 && token.empty()) { // someone's live data: the vehicle answers
            return vehicle_state(compact, "", true);
        }
        return s;
    case Verb::Reload:
        if (cmd->valueint != 0 || token.empty() || token == "ECU" || token == "GOTECU") {
            return s;
        }
        s.heard = true;
        s.out.push_back(o_.json ? compact : pad(token, 14) + explain(token));
        if (token == "SAVSUC") {
            s.done = true;
        } else if (token == "NOECU" || token == "WRNGCFG" || token == "CANERR") {
            s.done = true;
            s.exit = kExitFailed;
            s.err = token + ": " + explain(token);
        }
        return s;
    default:
        return cmd->valueint == verb_cmd(o_.verb) ? answer(cmd->valueint, compact, root.get()) : s;
    }
}

Step Session::vehicle_state(const std::string &compact, const std::string &msg, bool present)
{
    Step s;
    s.done = true;
    if (o_.json) {
        s.out.push_back(compact);
    } else {
        s.out.push_back(
            present ? (msg.empty() ? "vehicle      present (live data streaming)" : "vehicle      present")
                    : "vehicle      " + msg + ": " + explain(msg));
        const auto info = ecu_info_text(ecu_info_ ? ecu_info_() : std::nullopt);
        s.out.insert(s.out.end(), info.begin(), info.end());
    }
    if (!present) {
        s.exit = kExitFailed;
        s.err = msg + ": " + explain(msg);
    }
    return s;
}

Step Session::answer(int cmd, const std::string &compact, const cJSON *root)
{
    const cJSON *data = member(root, "DATA");
    const std::string token = text_of(member(data, "msg"), "");
    Step s;
    s.heard = true;
    if (o_.json) {
        s.out.push_back(compact);
    }
    if (!token.empty()) {
        if (token == "NORES" && ++failed_attempts_ < kAttempts) {
            return s; // the gateway tries again
        }
        s.done = true;
        if ((token == "DTC_CLEARED" && cmd == 4) || (token == "NOFRAME" && cmd == 14)) {
            if (!o_.json) {
                s.out.push_back(token == "NOFRAME"
                                    ? "no freeze frame stored"
                                    : "cleared: the trouble codes of every ECU (the freeze frame "
                                      "and the monitors start over)");
            }
            return s;
        }
        s.exit = kExitFailed;
        const std::string e = explain(token);
        s.err = token + ": " + (e.empty() ? "error answer" : e) +
                (token == "NORES" ? " (" + std::to_string(kAttempts) + " attempts)" : "");
        return s;
    }
    failed_attempts_ = 0;
    s.done = true;
    if (cmd == 2) {
        ++shown_;
        s.done = o_.count > 0 && shown_ >= o_.count;
        if (o_.json) {
            return s;
        }
        if (o_.tty) {
            s.redraw = true;
            s.out.push_back("live data, snapshot " + std::to_string(shown_) + " (Ctrl-C stops)");
            const auto rows = value_rows(data);
            s.out.insert(s.out.end(), rows.begin(), rows.end());
        } else {
            std::string line = "#" + std::to_string(shown_);
            const cJSON *v = nullptr;
            cJSON_ArrayForEach(v, members(data))
            {
                const char *unit = cJSON_IsNumber(v) ? sensor(v->string).unit : "";
                line += std::string("  ") + v->string + " " + value_text(v) + (*unit ? " " : "") + unit;
            }
            s.out.push_back(line);
        }
        return s;
    }
    if (o_.json) {
        return s;
    }
    if (cmd == 1) {
        s.out = {"stored     " + codes(member(data, "STRDTC")), "pending    " + codes(member(data, "PNDDTC")),
                 "permanent  " + codes(member(data, "PRMDTC"))};
    } else if (cmd == 13) {
        s.out = readiness_text(data);
    } else if (cmd == 14) {
        s.out = {"freeze frame stored by " + text_of(member(data, "DTC"))};
        const auto rows = value_rows(member(data, "VAL"));
        s.out.insert(s.out.end(), rows.begin(), rows.end());
    }
    return s;
}

Step Session::timed_out() const
{
    Step s;
    s.done = true;
    if (o_.verb == Verb::Watch) {
        return s;
    }
    s.exit = kExitFailed;
    const std::string within = " within " + seconds(o_.timeout_s);
    if (o_.verb == Verb::Status) {
        s.err = "no heartbeat" + within + " (is obd-gateway running?)";
    } else if (o_.verb == Verb::Live && shown_ > 0) {
        s.err = "live data stopped: no snapshot" + within;
    } else if (failed_attempts_ > 0) {
        s.err = "NORES: " + explain("NORES") + " (no further answer" + within + ")";
    } else {
        s.err = "no answer" + within + " (is obd-gateway running?)";
    }
    return s;
}

Step Session::interrupted() const
{
    Step s;
    s.done = true;
    if (o_.verb == Verb::Watch || (o_.verb == Verb::Live && shown_ > 0)) {
        return s;
    }
    s.exit = kExitFailed;
    s.err = "interrupted before an answer";
    return s;
}

} // namespace cli
