// Vehicle file loader. Strings holding numbers are hexadecimal ("0x7E8",
// "7E8"); JSON numbers are decimal. Every refusal names the field path.
#include "vehicle_file.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <span>
#include <sstream>

#include "can_text.h"
#include "common/cjson_ptr.h"

namespace obdsim
{

namespace
{

constexpr size_t kMaxEcus = 8;
constexpr size_t kMaxDtcsPerGroup = 255; // the count travels in one byte
constexpr size_t kMaxPidBytes = 32;
constexpr size_t kMaxVinLen = 100;
constexpr size_t kMaxCalidLen = 64;
constexpr size_t kMaxCvnBytes = 64;
constexpr size_t kMaxEcuNameLen = 20;
constexpr double kMaxDelayMs = 60'000;
constexpr int kMaxBusyAnswers = 100;
constexpr size_t kMaxChatter = 64;

// Thrown inside the loader only; parse_vehicle_file turns it into the error text.
struct FieldError {
    std::string text;
};

[[noreturn]] void fail(const std::string &field, const std::string &why)
{
    throw FieldError{field + ": " + why};
}

std::string shown(const cJSON *v)
{
    if (!v) {
        return "nothing";
    }
    char *p = cJSON_PrintUnformatted(v);
    std::string s = p ? p : "?";
    cJSON_free(p);
    if (s.size() > 40) {
        s = s.substr(0, 37) + "...";
    }
    return s;
}

// Duplicate keys would make the file mean two things.
void no_duplicates(const cJSON *obj, const std::string &path)
{
    std::set<std::string> seen;
    for (const cJSON *c = obj->child; c; c = c->next) {
        if (c->string && !seen.insert(c->string).second) {
            fail(path.empty() ? std::string(c->string) : path + "." + c->string, "given twice");
        }
    }
}

void only_keys(const cJSON *obj, const std::string &path, std::initializer_list<const char *> allowed)
{
    for (const cJSON *c = obj->child; c; c = c->next) {
        bool known = std::any_of(allowed.begin(), allowed.end(), [&](const char *k) {
            return c->string && std::string_view(c->string) == k;
        });
        if (!known) {
            std::string key = c->string ? c->string : "?";
            fail(path.empty() ? key : path + "." + key, "unknown field");
        }
    }
    no_duplicates(obj, path);
}

const cJSON *member(const cJSON *obj, const char *key)
{
    return cJSON_GetObjectItemCaseSensitive(obj, key);
}

std::string join(const std::string &path, const char *key)
{
    return path.empty() ? key : path + "." + key;
}

// An unsigned number: a JSON integer, or a hexadecimal string.
uint32_t get_uint(const cJSON *v, const std::string &field, uint32_t max, const char *what)
{
    std::optional<uint32_t> n;
    if (cJSON_IsNumber(v)) {
        double d = v->valuedouble;
        if (d >= 0 && d <= 4294967295.0 && std::floor(d) == d) {
            n = static_cast<uint32_t>(d);
        }
    } else if (cJSON_IsString(v)) {
        n = parse_hex_u32(v->valuestring);
    }
    if (!n || *n > max) {
        char range[64];
        std::snprintf(range, sizeof range, "0..0x%X", max);
        fail(field,
             std::string("expected ") + what + " (" + range + ", a number or a hex string), got " + shown(v));
    }
    return *n;
}

uint8_t get_byte(const cJSON *v, const std::string &field, const char *what = "a byte")
{
    return static_cast<uint8_t>(get_uint(v, field, 0xFF, what));
}

std::string get_string(const cJSON *v, const std::string &field, size_t max_len, bool printable)
{
    if (!cJSON_IsString(v)) {
        fail(field, "expected a string, got " + shown(v));
    }
    std::string s = v->valuestring;
    if (s.empty()) {
        fail(field, "must not be empty (leave the field out instead)");
    }
    if (s.size() > max_len) {
        fail(field, "longer than " + std::to_string(max_len) + " characters");
    }
    if (printable && !std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c < 0x7F; })) {
        fail(field, "only printable ASCII characters are allowed");
    }
    return s;
}

std::chrono::microseconds get_delay(const cJSON *v, const std::string &field)
{
    if (!cJSON_IsNumber(v) || v->valuedouble < 0 || v->valuedouble > kMaxDelayMs) {
        fail(field, "expected milliseconds from 0 to 60000, got " + shown(v));
    }
    return std::chrono::microseconds(static_cast<int64_t>(std::llround(v->valuedouble * 1000.0)));
}

std::vector<uint8_t> get_bytes(const cJSON *v, const std::string &field, size_t min, size_t max)
{
    std::vector<uint8_t> out;
    if (cJSON_IsString(v)) {
        auto b = parse_hex_bytes(v->valuestring);
        if (!b) {
            fail(field, "expected hex bytes such as \"1A F8\", got " + shown(v));
        }
        out = *b;
    } else if (cJSON_IsArray(v)) {
        int i = 0;
        for (const cJSON *e = v->child; e; e = e->next, ++i) {
            out.push_back(get_byte(e, field + "[" + std::to_string(i) + "]"));
        }
    } else {
        fail(field, "expected hex bytes (\"1A F8\") or an array of bytes, got " + shown(v));
    }
    if (out.size() < min || out.size() > max) {
        fail(field, "expected " + std::to_string(min) + " to " + std::to_string(max) + " bytes, got " +
                        std::to_string(out.size()));
    }
    return out;
}

// A code, optionally with the failure type a UDS ECU lists it with
// ("P0420-13"), which goes to `failure_types`.
uint16_t get_dtc(const cJSON *e, const std::string &f,
                 std::map<uint16_t, std::vector<uint8_t>> *failure_types)
{
    if (cJSON_IsString(e)) {
        std::string_view text = e->valuestring;
        std::optional<uint8_t> failure_type;
        if (const size_t dash = text.find('-'); dash != std::string_view::npos) {
            auto ft = parse_hex_bytes(text.substr(dash + 1));
            if (!ft || ft->size() != 1) {
                fail(f, "expected a failure type of one hex byte after the code (\"P0420-13\"), got " +
                            shown(e));
            }
            failure_type = ft->front();
            text = text.substr(0, dash);
        }
        auto c = parse_dtc_text(text);
        if (!c) {
            fail(f,
                 "expected a code such as \"P0301\" (P, C, B or U, then 0-3, then three hex digits), got " +
                     shown(e));
        }
        if (failure_type && failure_types != nullptr) {
            auto &types = (*failure_types)[*c];
            if (std::find(types.begin(), types.end(), *failure_type) == types.end()) {
                types.push_back(*failure_type);
            }
        }
        return *c;
    }
    if (cJSON_IsNumber(e)) {
        return static_cast<uint16_t>(get_uint(e, f, 0xFFFF, "a raw two-byte code"));
    }
    fail(f, "expected a code such as \"P0301\" or a raw number, got " + shown(e));
}

// A code listed with several failure types is one classic code.
std::vector<uint16_t> get_dtcs(const cJSON *v, const std::string &field,
                               std::map<uint16_t, std::vector<uint8_t>> &failure_types)
{
    if (!cJSON_IsArray(v)) {
        fail(field, "expected an array of codes such as [\"P0301\"], got " + shown(v));
    }
    std::vector<uint16_t> out;
    int i = 0;
    for (const cJSON *e = v->child; e; e = e->next, ++i) {
        const bool typed = cJSON_IsString(e) && std::strchr(e->valuestring, '-') != nullptr;
        const uint16_t c = get_dtc(e, field + "[" + std::to_string(i) + "]", &failure_types);
        if (!typed || std::find(out.begin(), out.end(), c) == out.end()) {
            out.push_back(c);
        }
    }
    if (out.size() > kMaxDtcsPerGroup) {
        fail(field, "more than 255 codes");
    }
    return out;
}

// PID -> data bytes: {"0C": "1A F8", "0D": [60]}.
std::map<uint8_t, std::vector<uint8_t>> get_pid_map(const cJSON *p, const std::string &f)
{
    if (!cJSON_IsObject(p)) {
        fail(f, "expected an object such as {\"0C\": \"1A F8\"}, got " + shown(p));
    }
    no_duplicates(p, f);
    std::map<uint8_t, std::vector<uint8_t>> out;
    for (const cJSON *c = p->child; c; c = c->next) {
        std::string ff = f + "." + c->string;
        auto pid = parse_hex_u32(c->string);
        if (!pid || *pid > 0xFF) {
            fail(ff, "a PID key is one hex byte such as \"0C\"");
        }
        out[static_cast<uint8_t>(*pid)] = get_bytes(c, ff, 1, kMaxPidBytes);
    }
    return out;
}

std::span<const Obd2Monitor> monitor_table(bool compression)
{
    if (compression) {
        return OBD2_MONITORS_COMPRESSION;
    }
    return OBD2_MONITORS_SPARK;
}

// The monitors named in "complete" and "incomplete" of `obj` as the
// supported and incomplete bits of PID 01/41 bytes B, C and D.
void get_monitor_bits(const cJSON *obj, const std::string &path, bool compression, uint8_t &b, uint8_t &c,
                      uint8_t &d)
{
    std::set<std::string> named;
    for (const char *list : {"complete", "incomplete"}) {
        const cJSON *l = member(obj, list);
        if (!l) {
            continue;
        }
        std::string f = join(path, list);
        if (!cJSON_IsArray(l)) {
            fail(f, "expected an array of monitors such as [\"CAT\", \"EVAP\"], got " + shown(l));
        }
        int i = 0;
        for (const cJSON *x = l->child; x; x = x->next, ++i) {
            std::string ff = f + "[" + std::to_string(i) + "]";
            std::string key = cJSON_IsString(x) ? x->valuestring : "";
            const auto table = monitor_table(compression);
            const auto m =
                std::find_if(table.begin(), table.end(), [&](const Obd2Monitor &t) { return key == t.key; });
            if (m == table.end()) {
                std::string names;
                for (const Obd2Monitor &t : table) {
                    names += std::string(" ") + t.key;
                }
                fail(ff, std::string("expected a monitor of ") + (compression ? "compression" : "spark") +
                             " ignition:" + names + ", got " + shown(x));
            }
            if (!named.insert(key).second) {
                fail(ff, key + " is named twice");
            }
            const bool incomplete = std::string_view(list) == "incomplete";
            const auto bit = static_cast<uint8_t>(1u << m->bit);
            if (m->continuous) {
                b |= static_cast<uint8_t>(bit |
                                          (incomplete ? bit << OBD2_MON_CONTINUOUS_INCOMPLETE_SHIFT : 0));
            } else {
                c |= bit;
                d |= incomplete ? bit : 0;
            }
        }
    }
}

// "monitors": the data of service 01 PID 01 and, with "this_cycle", PID 41.
void get_monitors(const cJSON *m, const std::string &f, vsim::EcuModel &e)
{
    if (!cJSON_IsObject(m)) {
        fail(f, "expected an object such as {\"mil\": true, \"incomplete\": [\"CAT\"]}, got " + shown(m));
    }
    only_keys(m, f, {"mil", "dtc_count", "ignition", "complete", "incomplete", "this_cycle"});
    if (e.pids.count(OBD2_PID_MONITOR_STATUS) != 0 || e.pids.count(OBD2_PID_MONITOR_CYCLE) != 0) {
        fail(f, "give the monitor status either here or as pids 01 / 41, not both");
    }
    bool mil = false;
    if (const cJSON *x = member(m, "mil")) {
        if (!cJSON_IsBool(x)) {
            fail(join(f, "mil"), "expected true or false, got " + shown(x));
        }
        mil = cJSON_IsTrue(x);
    }
    // By default the count of the stored codes, as the ECU would report it.
    auto count = static_cast<uint32_t>(std::min<size_t>(e.stored_dtcs.size(), OBD2_MON_DTC_COUNT_MASK));
    if (const cJSON *x = member(m, "dtc_count")) {
        count = get_uint(x, join(f, "dtc_count"), OBD2_MON_DTC_COUNT_MASK, "a count of codes");
    }
    bool compression = false;
    if (const cJSON *x = member(m, "ignition")) {
        std::string ign = cJSON_IsString(x) ? x->valuestring : "";
        if (ign != "spark" && ign != "compression") {
            fail(join(f, "ignition"), "expected \"spark\" or \"compression\", got " + shown(x));
        }
        compression = ign == "compression";
    }
    uint8_t b = compression ? OBD2_MON_COMPRESSION : 0;
    uint8_t c = 0;
    uint8_t d = 0;
    get_monitor_bits(m, f, compression, b, c, d);
    e.pids[OBD2_PID_MONITOR_STATUS] = {static_cast<uint8_t>((mil ? OBD2_MON_MIL_ON : 0) | count), b, c, d};
    if (const cJSON *t = member(m, "this_cycle")) {
        std::string ft = join(f, "this_cycle");
        if (!cJSON_IsObject(t)) {
            fail(ft, "expected an object with \"complete\" and \"incomplete\", got " + shown(t));
        }
        only_keys(t, ft, {"complete", "incomplete"});
        b = compression ? OBD2_MON_COMPRESSION : 0;
        c = d = 0;
        get_monitor_bits(t, ft, compression, b, c, d);
        e.pids[OBD2_PID_MONITOR_CYCLE] = {0x00, b, c, d};
    }
}

// "freeze_frame": {"dtc": "P0301", "pids": {...}}; code 0 (or none) means no frame stored.
vsim::EcuModel::FreezeFrame get_freeze_frame(const cJSON *v, const std::string &f,
                                             std::map<uint16_t, std::vector<uint8_t>> *failure_types)
{
    if (!cJSON_IsObject(v)) {
        fail(f, "expected an object such as {\"dtc\": \"P0301\", \"pids\": {\"0C\": \"0B B8\"}}, got " +
                    shown(v));
    }
    only_keys(v, f, {"dtc", "pids"});
    vsim::EcuModel::FreezeFrame ff;
    if (const cJSON *c = member(v, "dtc")) {
        ff.dtc = get_dtc(c, join(f, "dtc"), failure_types);
    }
    if (const cJSON *p = member(v, "pids")) {
        ff.pids = get_pid_map(p, join(f, "pids"));
        if (ff.dtc == 0) {
            fail(join(f, "pids"), "a frame without its code (dtc) is never read; give the code or no pids");
        }
        for (const auto &[pid, data] : ff.pids) {
            if (pid % OBD2_PID_RANGE == 0 || pid == OBD2_PID_FREEZE_DTC) {
                char key[8];
                std::snprintf(key, sizeof key, "%02X", pid);
                fail(join(f, "pids") + "." + key, "is computed (PID 00, 20, ...) or the code itself (02)");
            }
        }
    }
    return ff;
}

vsim::EcuModel get_ecu(const cJSON *v, const std::string &path, size_t index)
{
    if (!cJSON_IsObject(v)) {
        fail(path, "expected an object, got " + shown(v));
    }
    only_keys(v, path,
              {"addressing",
               "response_id",
               "physical_id",
               "vin",
               "calid",
               "cvn",
               "ecu_name",
               "pids",
               "dtcs",
               "monitors",
               "freeze_frame",
               "clear",
               "negative",
               "pending",
               "latency_ms",
               "cf_gap_ms",
               "awaits_flow_control",
               "padding",
               "silent",
               "comment"});

    const cJSON *addr = member(v, "addressing");
    std::string a = cJSON_IsString(addr) ? addr->valuestring : "";
    if (a != "11-bit" && a != "29-bit") {
        fail(join(path, "addressing"), "expected \"11-bit\" or \"29-bit\", got " + shown(addr));
    }
    bool ext = a == "29-bit";
    vsim::EcuModel e = ext ? vsim::make_ecu29(0x10) : vsim::make_ecu11(static_cast<unsigned>(index));

    if (const cJSON *r = member(v, "response_id")) {
        std::string f = join(path, "response_id");
        uint32_t id = get_uint(r, f, ext ? CAN_EFF_MASK : CAN_SFF_MASK,
                               ext ? "a 29-bit identifier" : "an 11-bit identifier");
        if (!ext && (id < 0x7E8 || id > 0x7EF)) {
            fail(f, "an 11-bit OBD ECU answers from 0x7E8 to 0x7EF, got " + shown(r));
        }
        if (ext && (id & 0x1FFFFF00u) != 0x18DAF100u) {
            fail(f, "a 29-bit OBD ECU answers from 0x18DAF1xx (xx = its address), got " + shown(r));
        }
        e.response_id = id;
        e.physical_id = ext ? (0x18DA00F1u | ((id & 0xFF) << 8)) : id - 8;
    }
    if (const cJSON *p = member(v, "physical_id")) {
        e.physical_id = get_uint(p, join(path, "physical_id"), ext ? CAN_EFF_MASK : CAN_SFF_MASK,
                                 ext ? "a 29-bit identifier" : "an 11-bit identifier");
    }
    if (const cJSON *s = member(v, "vin")) {
        e.vin = get_string(s, join(path, "vin"), kMaxVinLen, true);
    }
    if (const cJSON *s = member(v, "calid")) {
        e.calid = get_string(s, join(path, "calid"), kMaxCalidLen, true);
    }
    if (const cJSON *s = member(v, "ecu_name")) {
        e.ecu_name = get_string(s, join(path, "ecu_name"), kMaxEcuNameLen, true);
    }
    if (const cJSON *s = member(v, "cvn")) {
        e.cvn = get_bytes(s, join(path, "cvn"), 1, kMaxCvnBytes);
    }
    if (const cJSON *p = member(v, "pids")) {
        e.pids = get_pid_map(p, join(path, "pids"));
    }
    if (const cJSON *d = member(v, "dtcs")) {
        std::string f = join(path, "dtcs");
        if (!cJSON_IsObject(d)) {
            fail(f, "expected an object with \"stored\", \"pending\", \"permanent\", got " + shown(d));
        }
        only_keys(d, f, {"stored", "pending", "permanent"});
        if (const cJSON *g = member(d, "stored"))
            e.stored_dtcs = get_dtcs(g, f + ".stored", e.failure_types);
        if (const cJSON *g = member(d, "pending"))
            e.pending_dtcs = get_dtcs(g, f + ".pending", e.failure_types);
        if (const cJSON *g = member(d, "permanent"))
            e.permanent_dtcs = get_dtcs(g, f + ".permanent", e.failure_types);
    }
    if (const cJSON *m = member(v, "monitors")) {
        get_monitors(m, join(path, "monitors"), e);
    }
    if (const cJSON *ff = member(v, "freeze_frame")) {
        e.freeze_frame = get_freeze_frame(ff, join(path, "freeze_frame"), &e.failure_types);
    }
    if (const cJSON *c = member(v, "clear")) {
        std::string f = join(path, "clear");
        if (!cJSON_IsObject(c)) {
            fail(f, "expected an object such as {\"busy\": 2, \"nrc\": 0}, got " + shown(c));
        }
        only_keys(c, f, {"busy", "nrc"});
        if (const cJSON *b = member(c, "busy")) {
            e.clear_busy_count =
                static_cast<int>(get_uint(b, f + ".busy", kMaxBusyAnswers, "a count of busy answers"));
        }
        if (const cJSON *n = member(c, "nrc")) {
            e.clear_nrc = get_byte(n, f + ".nrc", "a negative response code");
        }
    }
    if (const cJSON *n = member(v, "negative")) {
        std::string f = join(path, "negative");
        if (!cJSON_IsArray(n)) {
            fail(f, "expected an array of {\"service\", \"param\", \"nrc\"}, got " + shown(n));
        }
        int i = 0;
        for (const cJSON *x = n->child; x; x = x->next, ++i) {
            std::string ff = f + "[" + std::to_string(i) + "]";
            if (!cJSON_IsObject(x)) {
                fail(ff,
                     "expected an object such as {\"service\": \"01\", \"param\": \"0D\", \"nrc\": \"31\"}");
            }
            only_keys(x, ff, {"service", "param", "nrc"});
            const cJSON *svc = member(x, "service");
            const cJSON *nrc = member(x, "nrc");
            if (!svc)
                fail(ff + ".service", "missing");
            if (!nrc)
                fail(ff + ".nrc", "missing");
            uint8_t s = get_byte(svc, ff + ".service", "a service byte");
            uint8_t prm = 0;
            if (const cJSON *pp = member(x, "param")) {
                prm = get_byte(pp, ff + ".param", "a parameter byte");
            }
            uint8_t code = get_byte(nrc, ff + ".nrc", "a negative response code");
            if (code == 0) {
                fail(ff + ".nrc", "0 is not a negative response code");
            }
            e.negative[static_cast<uint16_t>(s << 8 | prm)] = code;
        }
    }
    if (const cJSON *n = member(v, "pending")) {
        std::string f = join(path, "pending");
        if (!cJSON_IsArray(n)) {
            fail(f, "expected an array of {\"service\", \"count\", \"ms\"}, got " + shown(n));
        }
        int i = 0;
        for (const cJSON *x = n->child; x; x = x->next, ++i) {
            std::string ff = f + "[" + std::to_string(i) + "]";
            if (!cJSON_IsObject(x)) {
                fail(ff, "expected an object such as {\"service\": \"07\", \"count\": 1, \"ms\": 30}");
            }
            only_keys(x, ff, {"service", "count", "ms"});
            const cJSON *svc = member(x, "service");
            if (!svc)
                fail(ff + ".service", "missing");
            vsim::EcuModel::Pending rule;
            if (const cJSON *c = member(x, "count")) {
                rule.count =
                    static_cast<int>(get_uint(c, ff + ".count", kMaxBusyAnswers, "a count of answers"));
            }
            if (const cJSON *ms = member(x, "ms")) {
                rule.interval = get_delay(ms, ff + ".ms");
            }
            e.pending[get_byte(svc, ff + ".service", "a service byte")] = rule;
        }
    }
    if (const cJSON *l = member(v, "latency_ms")) {
        e.latency = get_delay(l, join(path, "latency_ms"));
    }
    if (const cJSON *l = member(v, "cf_gap_ms")) {
        e.cf_gap = get_delay(l, join(path, "cf_gap_ms"));
    }
    if (const cJSON *p = member(v, "padding")) {
        e.padding = get_byte(p, join(path, "padding"), "a padding byte");
    }
    if (const cJSON *s = member(v, "silent")) {
        if (!cJSON_IsBool(s)) {
            fail(join(path, "silent"), "expected true or false, got " + shown(s));
        }
        e.silent = cJSON_IsTrue(s);
    }
    if (const cJSON *s = member(v, "awaits_flow_control")) {
        if (!cJSON_IsBool(s)) {
            fail(join(path, "awaits_flow_control"), "expected true or false, got " + shown(s));
        }
        e.awaits_flow_control = cJSON_IsTrue(s);
    }
    if (const cJSON *c = member(v, "comment"); c && !cJSON_IsString(c)) {
        fail(join(path, "comment"), "expected a string");
    }
    return e;
}

// Line and column (1-based) of a byte offset, for JSON syntax errors.
std::pair<int, int> line_col(std::string_view text, size_t off)
{
    int line = 1, col = 1;
    for (size_t i = 0; i < off && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            col = 1;
        } else {
            ++col;
        }
    }
    return {line, col};
}

} // namespace

std::optional<uint32_t> parse_hex_u32(std::string_view t)
{
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        t.remove_prefix(2);
    }
    if (t.empty() || t.size() > 8) {
        return std::nullopt;
    }
    uint32_t v = 0;
    for (char c : t) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
        v = v << 4 |
            static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                                                                              : (std::toupper(c) - 'A' + 10));
    }
    return v;
}

std::optional<std::vector<uint8_t>> parse_hex_bytes(std::string_view t)
{
    std::vector<uint8_t> out;
    size_t i = 0;
    while (i < t.size()) {
        if (t[i] == ' ' || t[i] == ',' || t[i] == ':') {
            ++i;
            continue;
        }
        if (t.substr(i, 2) == "0x" || t.substr(i, 2) == "0X") {
            i += 2;
        }
        if (i + 2 > t.size()) {
            return std::nullopt;
        }
        auto b = parse_hex_u32(t.substr(i, 2));
        if (!b) {
            return std::nullopt;
        }
        out.push_back(static_cast<uint8_t>(*b));
        i += 2;
    }
    if (out.empty()) {
        return std::nullopt;
    }
    return out;
}

std::optional<uint16_t> parse_dtc_text(std::string_view t)
{
    if (t.size() != 5) {
        return std::nullopt;
    }
    static constexpr std::string_view kLetters = "PCBU";
    size_t letter = kLetters.find(static_cast<char>(std::toupper(static_cast<unsigned char>(t[0]))));
    if (letter == std::string_view::npos || t[1] < '0' || t[1] > '3') {
        return std::nullopt;
    }
    auto rest = parse_hex_u32(t.substr(1));
    if (!rest) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(letter << 14 | *rest);
}

std::string dtc_text(uint16_t code)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%c%04X", "PCBU"[code >> 14], code & 0x3FFF);
    return buf;
}

std::optional<VehicleFile> parse_vehicle_file(std::string_view text, std::string &error)
{
    const char *end = nullptr;
    CJsonPtr root(cJSON_ParseWithLengthOpts(text.data(), text.size(), &end, false));
    if (!root) {
        size_t off = end ? static_cast<size_t>(end - text.data()) : 0;
        auto [line, col] = line_col(text, off);
        error = "line " + std::to_string(line) + " column " + std::to_string(col) + ": not valid JSON";
        return std::nullopt;
    }
    try {
        if (!cJSON_IsObject(root.get())) {
            fail("(top level)", "expected an object with \"ecus\"");
        }
        only_keys(root.get(), "", {"name", "obd", "ecus", "chatter", "comment"});
        VehicleFile vf;
        bool uds = false;
        if (const cJSON *o = member(root.get(), "obd")) {
            const std::string d = cJSON_IsString(o) ? o->valuestring : "";
            if (d != "classic" && d != "uds") {
                fail("obd", "expected \"classic\" or \"uds\", got " + shown(o));
            }
            uds = d == "uds";
        }
        if (const cJSON *n = member(root.get(), "name")) {
            vf.name = get_string(n, "name", 80, true);
        }
        const cJSON *ecus = member(root.get(), "ecus");
        if (!ecus) {
            fail("ecus", "missing (a vehicle needs at least one ECU)");
        }
        if (!cJSON_IsArray(ecus) || cJSON_GetArraySize(ecus) == 0) {
            fail("ecus", "expected a non-empty array of ECUs, got " + shown(ecus));
        }
        if (static_cast<size_t>(cJSON_GetArraySize(ecus)) > kMaxEcus) {
            fail("ecus", "at most 8 ECUs");
        }
        size_t i = 0;
        for (const cJSON *e = ecus->child; e; e = e->next, ++i) {
            std::string path = "ecus[" + std::to_string(i) + "]";
            vsim::EcuModel model = get_ecu(e, path, i);
            model.uds = uds;
            for (size_t k = 0; k < vf.model.ecus.size(); ++k) {
                const auto &o = vf.model.ecus[k];
                if (o.addressing == model.addressing && o.response_id == model.response_id) {
                    char id[16];
                    std::snprintf(id, sizeof id, "0x%X", model.response_id);
                    fail(path + ".response_id", std::string(id) + " is already used by ecus[" +
                                                    std::to_string(k) +
                                                    "]; give each ECU its own response_id");
                }
            }
            vf.model.ecus.push_back(std::move(model));
        }
        if (const cJSON *c = member(root.get(), "chatter")) {
            if (!cJSON_IsArray(c)) {
                fail("chatter", "expected an array of frames such as \"7E0#0102\", got " + shown(c));
            }
            int k = 0;
            for (const cJSON *f = c->child; f; f = f->next, ++k) {
                std::string field = "chatter[" + std::to_string(k) + "]";
                auto fr = cJSON_IsString(f) ? parse_frame_text(f->valuestring) : std::nullopt;
                if (!fr) {
                    fail(field, "expected a frame in cansend syntax such as \"7E0#0102\", got " + shown(f));
                }
                vf.chatter.push_back(*fr);
            }
            if (vf.chatter.size() > kMaxChatter) {
                fail("chatter", "at most 64 frames");
            }
        }
        if (const cJSON *c = member(root.get(), "comment"); c && !cJSON_IsString(c)) {
            fail("comment", "expected a string");
        }
        return vf;
    } catch (const FieldError &e) {
        error = e.text;
        return std::nullopt;
    }
}

std::optional<VehicleFile> load_vehicle_file(const std::string &path, std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot open the vehicle file";
        return std::nullopt;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    auto vf = parse_vehicle_file(ss.str(), error);
    if (!vf) {
        error = path + ": " + error;
    }
    return vf;
}

} // namespace obdsim
