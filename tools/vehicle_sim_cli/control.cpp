#include "control.h"

#include <linux/can/error.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "can_text.h"
#include "vehicle_file.h"

namespace obdsim
{

namespace
{

constexpr int kMaxRandomFrames = 10000;
constexpr std::chrono::microseconds kRandomSpacing{500};
constexpr long kMaxDelayMs = 60'000;

struct Args {
    std::vector<std::string> words;
    std::optional<size_t> ecu;
    bool bad_ecu = false;
};

Args split(const std::string &line)
{
    Args a;
    std::istringstream in(line);
    std::string w;
    while (in >> w) {
        if (w.rfind("ecu=", 0) == 0) {
            char *end = nullptr;
            long n = std::strtol(w.c_str() + 4, &end, 10);
            if (end == w.c_str() + 4 || *end || n < 0) {
                a.bad_ecu = true;
            } else {
                a.ecu = static_cast<size_t>(n);
            }
            continue;
        }
        a.words.push_back(w);
    }
    return a;
}

std::optional<long> number(const std::string &s, long lo, long hi)
{
    char *end = nullptr;
    long v = std::strtol(s.c_str(), &end, 10);
    if (s.empty() || *end || v < lo || v > hi) {
        return std::nullopt;
    }
    return v;
}

std::optional<uint8_t> hex_byte(const std::string &s)
{
    auto v = parse_hex_u32(s);
    if (!v || *v > 0xFF) {
        return std::nullopt;
    }
    return static_cast<uint8_t>(*v);
}

Reply fail(const std::string &why)
{
    Reply r;
    r.ok = false;
    r.error = why;
    return r;
}

std::string codes_text(const std::vector<uint16_t> &codes)
{
    std::string s = "[";
    for (size_t i = 0; i < codes.size(); ++i) {
        s += (i ? " " : "") + dtc_text(codes[i]);
    }
    return s + "]";
}

// PID 01 / 41 data as the status shows it: "spark, complete MISF FUEL, incomplete CAT".
std::string monitors_text(const std::vector<uint8_t> &d)
{
    if (d.size() < 4) {
        return "(not 4 bytes)";
    }
    const bool compression = (d[1] & OBD2_MON_COMPRESSION) != 0;
    std::string complete;
    std::string incomplete;
    auto add = [&](const auto &table) {
        for (const Obd2Monitor &m : table) {
            const uint8_t supported = m.continuous ? d[1] : d[2];
            const uint8_t pending = m.continuous ? d[1] >> OBD2_MON_CONTINUOUS_INCOMPLETE_SHIFT : d[3];
            if (supported >> m.bit & 1) {
                ((pending >> m.bit & 1) ? incomplete : complete) += std::string(" ") + m.key;
            }
        }
    };
    if (compression) {
        add(OBD2_MONITORS_COMPRESSION);
    } else {
        add(OBD2_MONITORS_SPARK);
    }
    return std::string(compression ? "compression" : "spark") + ", complete" +
           (complete.empty() ? " -" : complete) + ", incomplete" + (incomplete.empty() ? " -" : incomplete);
}

std::string pid_bytes_text(const std::map<uint8_t, std::vector<uint8_t>> &pids)
{
    std::string s;
    char b[8];
    for (const auto &[pid, data] : pids) {
        std::snprintf(b, sizeof b, " %02X=", pid);
        s += b;
        for (uint8_t d : data) {
            std::snprintf(b, sizeof b, "%02X", d);
            s += b;
        }
    }
    return s;
}

uint64_t next_random(uint64_t &s)
{
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
}

// Frames a broken or hostile node could put on the bus, many of them with the
// identifiers the gateway listens to and shapes that look like ISO-TP.
can_frame random_frame(uint64_t &s)
{
    can_frame f{};
    uint64_t r = next_random(s);
    f.can_dlc = static_cast<uint8_t>(r % 9);
    for (auto &b : f.data) {
        b = static_cast<uint8_t>(next_random(s));
    }
    switch ((r >> 8) % 7) {
    case 0:
        f.can_id = 0x7E8 + ((r >> 16) & 7);
        break;
    case 1:
        f.can_id = 0x18DAF110 | CAN_EFF_FLAG;
        break;
    case 2:
        f.can_id = (r >> 16) & CAN_SFF_MASK;
        break;
    case 3:
        f.can_id = ((r >> 16) & CAN_EFF_MASK) | CAN_EFF_FLAG;
        break;
    case 4:
        f.can_id = CAN_ERR_FLAG | ((r >> 16) & CAN_ERR_MASK & 0x1FF);
        f.can_dlc = CAN_ERR_DLC;
        break;
    case 5: // a first frame announcing a long answer that never comes
        f.can_id = 0x7E8;
        f.can_dlc = 8;
        f.data[0] = static_cast<uint8_t>(0x10 | ((r >> 20) & 0x0F));
        break;
    default: // a consecutive frame with a random sequence number
        f.can_id = 0x7E8;
        f.can_dlc = 8;
        f.data[0] = static_cast<uint8_t>(0x20 | ((r >> 20) & 0x0F));
        break;
    }
    return f;
}

} // namespace

std::string Reply::text() const
{
    std::string s;
    for (const auto &l : lines) {
        s += l + "\n";
    }
    s += ok ? "ok\n" : "error: " + error + "\n";
    return s;
}

std::string Control::help()
{
    return "commands (ecu=N selects one ECU where it makes sense; bytes and ids are hex):\n"
           "  status                          what the vehicle answers now\n"
           "  silent [on|off] [ecu=N]         stop answering (default on) / answer again\n"
           "  back                            every ECU answers again\n"
           "  latency MS [ecu=N]              answer every request MS ms late (sets the order of ECUs)\n"
           "  late MS                         the next answer only comes MS ms late\n"
           "  wrongseq                        the next consecutive frame has a wrong sequence number\n"
           "  pid PID BYTES.. [ecu=N]         set a PID's raw data, e.g. 'pid 0C 1A F8'; 'pid 0C -' removes "
           "it\n"
           "  dtc stored|pending|permanent [CODE..] [ecu=N]   replace a trouble-code list, e.g. 'dtc pending "
           "P0301'\n"
           "  negative SID PARAM NRC [ecu=N]  answer that request negatively (NRC 00 removes), e.g. "
           "'negative 01 0D 31'\n"
           "  clear BUSY [NRC] [ecu=N]        clear: BUSY answers 7F 04 78 first, then NRC (00 = positive)\n"
           "  pending SERVICE COUNT MS [ecu=N]  COUNT 'response pending' (7F SERVICE 78), MS ms apart, "
           "before\n"
           "                                  each answer to SERVICE; COUNT 0 removes it\n"
           "  inject FRAME..                  put frames on the bus (cansend syntax: 7E8#0641, 18DAF110#.., "
           "20000001#)\n"
           "  inject-raw HEX                  send raw bytes as one record to every bus socket (--bus only)\n"
           "  random N [SEED]                 put N random hostile frames on the bus, 0.5 ms apart\n"
           "  noise FRAME MS | noise off      repeat a frame every MS ms (a babbling node)\n"
           "  chatter FRAME.. | chatter off   frames sent just before every answer\n"
           "  quit                            stop the simulator\n";
}

Reply Control::execute(const std::string &line)
{
    Args a = split(line);
    if (a.words.empty()) {
        return fail("empty command (try 'help')");
    }
    if (a.bad_ecu) {
        return fail("ecu=N needs a number");
    }
    vsim::VehicleModel model = engine_.vehicle().model();
    if (a.ecu && *a.ecu >= model.ecus.size()) {
        return fail("no ECU " + std::to_string(*a.ecu) + " (the vehicle has " +
                    std::to_string(model.ecus.size()) + ")");
    }
    size_t ecu = a.ecu.value_or(0);
    const std::string &cmd = a.words[0];
    const auto &w = a.words;
    vsim::Vehicle &v = engine_.vehicle();
    Reply ok;

    if (cmd == "help") {
        std::istringstream in(help());
        for (std::string l; std::getline(in, l);) {
            ok.lines.push_back(l);
        }
        return ok;
    }
    if (cmd == "status") {
        for (size_t i = 0; i < model.ecus.size(); ++i) {
            const auto &e = model.ecus[i];
            char b[160];
            std::snprintf(b, sizeof b, "ecu %zu: %s answers %X, flow control on %X, %s, latency %lld ms", i,
                          e.addressing == vsim::Addressing::Bit29 ? "29-bit" : "11-bit", e.response_id,
                          e.physical_id, e.silent ? "SILENT" : "answering",
                          static_cast<long long>(e.latency.count() / 1000));
            ok.lines.push_back(std::string(b) +
                               (e.awaits_flow_control ? "" : ", sends without flow control") +
                               (e.uds ? ", OBD on UDS" : ""));
            ok.lines.push_back("  VIN " + (e.vin.empty() ? "-" : e.vin) + ", CALID " +
                               (e.calid.empty() ? "-" : e.calid) + ", ECU name " +
                               (e.ecu_name.empty() ? "-" : e.ecu_name));
            ok.lines.push_back("  PIDs" + pid_bytes_text(e.pids));
            ok.lines.push_back("  stored " + codes_text(e.stored_dtcs) + ", pending " +
                               codes_text(e.pending_dtcs) + ", permanent " + codes_text(e.permanent_dtcs));
            for (const auto &[code, types] : e.failure_types) {
                std::string t = "  failure types of " + dtc_text(code) + ":";
                for (uint8_t ft : types) {
                    std::snprintf(b, sizeof b, " %02X", ft);
                    t += b;
                }
                ok.lines.push_back(t);
            }
            for (const auto &[service, rule] : e.pending) {
                std::snprintf(b, sizeof b,
                              "  service %02X: %d response pending, %lld ms apart, before the answer",
                              service, rule.count, static_cast<long long>(rule.interval.count() / 1000));
                ok.lines.push_back(b);
            }
            if (auto m = e.pids.find(OBD2_PID_MONITOR_STATUS); m != e.pids.end() && !m->second.empty()) {
                const uint8_t a = m->second[0];
                std::snprintf(b, sizeof b, "  monitors since clear: MIL %s, confirmed codes %d, ",
                              (a & OBD2_MON_MIL_ON) ? "on" : "off", a & OBD2_MON_DTC_COUNT_MASK);
                ok.lines.push_back(b + monitors_text(m->second));
            }
            if (auto m = e.pids.find(OBD2_PID_MONITOR_CYCLE); m != e.pids.end()) {
                ok.lines.push_back("  monitors this drive cycle: " + monitors_text(m->second));
            }
            if (!e.freeze_frame) {
                ok.lines.push_back("  freeze frame: refused (service 02 not supported)");
            } else if (e.freeze_frame->dtc == 0) {
                ok.lines.push_back("  freeze frame: none stored");
            } else {
                ok.lines.push_back("  freeze frame: " + dtc_text(e.freeze_frame->dtc) +
                                   pid_bytes_text(e.freeze_frame->pids));
            }
        }
        if (engine_.transport()) {
            ok.lines.push_back("serving " + engine_.transport()->describe());
        }
        return ok;
    }
    if (cmd == "silent") {
        bool on = true;
        if (w.size() > 2 || (w.size() == 2 && w[1] != "on" && w[1] != "off")) {
            return fail("usage: silent [on|off] [ecu=N]");
        }
        if (w.size() == 2) {
            on = w[1] == "on";
        }
        if (a.ecu) {
            v.set_silent(ecu, on);
        } else {
            v.set_silent(on);
        }
        engine_.tracer().event(on ? "vehicle goes silent" : "vehicle answers again");
        return ok;
    }
    if (cmd == "back" || cmd == "resume") {
        v.set_silent(false);
        engine_.tracer().event("vehicle answers again");
        return ok;
    }
    if (cmd == "latency" || cmd == "late") {
        auto ms = w.size() == 2 ? number(w[1], 0, kMaxDelayMs) : std::nullopt;
        if (!ms) {
            return fail("usage: " + cmd + " MS (0 to 60000)");
        }
        if (cmd == "latency" && a.ecu) {
            v.set_latency(*a.ecu, std::chrono::milliseconds(*ms));
        } else if (cmd == "latency") {
            v.set_latency(std::chrono::milliseconds(*ms));
        } else {
            v.inject_late_answer(std::chrono::milliseconds(*ms));
        }
        return ok;
    }
    if (cmd == "wrongseq") {
        v.inject_wrong_sequence();
        return ok;
    }
    if (cmd == "pid") {
        auto pid = w.size() >= 3 ? hex_byte(w[1]) : std::nullopt;
        if (!pid) {
            return fail("usage: pid PID BYTES.. | pid PID -");
        }
        if (w.size() == 3 && w[2] == "-") {
            v.set_pid(ecu, *pid, {});
            return ok;
        }
        std::string hex;
        for (size_t i = 2; i < w.size(); ++i) {
            hex += w[i] + " ";
        }
        auto bytes = parse_hex_bytes(hex);
        if (!bytes || bytes->size() > 32) {
            return fail("PID data must be 1 to 32 hex bytes");
        }
        v.set_pid(ecu, *pid, *bytes);
        return ok;
    }
    if (cmd == "dtc") {
        if (w.size() < 2) {
            return fail("usage: dtc stored|pending|permanent [CODE..]");
        }
        uint8_t service = w[1] == "stored" ? 0x03 : w[1] == "pending" ? 0x07 : w[1] == "permanent" ? 0x0A : 0;
        if (!service) {
            return fail("the group is stored, pending or permanent");
        }
        std::vector<uint16_t> codes;
        for (size_t i = 2; i < w.size(); ++i) {
            auto c = parse_dtc_text(w[i]);
            if (!c) {
                return fail("bad code " + w[i] + " (expected e.g. P0301)");
            }
            codes.push_back(*c);
        }
        if (codes.size() > 255) {
            return fail("at most 255 codes");
        }
        v.set_dtcs(ecu, service, codes);
        return ok;
    }
    if (cmd == "negative") {
        auto sid = w.size() == 4 ? hex_byte(w[1]) : std::nullopt;
        auto prm = w.size() == 4 ? hex_byte(w[2]) : std::nullopt;
        auto nrc = w.size() == 4 ? hex_byte(w[3]) : std::nullopt;
        if (!sid || !prm || !nrc) {
            return fail("usage: negative SID PARAM NRC (hex bytes)");
        }
        v.set_negative(ecu, static_cast<uint16_t>(*sid << 8 | *prm), *nrc);
        return ok;
    }
    if (cmd == "clear") {
        auto busy = w.size() >= 2 && w.size() <= 3 ? number(w[1], 0, 100) : std::nullopt;
        auto nrc = w.size() == 3 ? hex_byte(w[2]) : std::optional<uint8_t>(0);
        if (!busy || !nrc) {
            return fail("usage: clear BUSY [NRC]");
        }
        v.set_clear_behaviour(ecu, static_cast<int>(*busy), *nrc);
        return ok;
    }
    if (cmd == "pending") {
        auto service = w.size() == 4 ? hex_byte(w[1]) : std::nullopt;
        auto count = w.size() == 4 ? number(w[2], 0, 100) : std::nullopt;
        auto ms = w.size() == 4 ? number(w[3], 0, 60000) : std::nullopt;
        if (!service || !count || !ms) {
            return fail("usage: pending SERVICE COUNT MS");
        }
        v.set_pending(ecu, *service, static_cast<int>(*count), std::chrono::milliseconds(*ms));
        return ok;
    }
    if (cmd == "inject" || cmd == "chatter") {
        if (cmd == "chatter" && w.size() == 2 && w[1] == "off") {
            v.set_chatter({});
            return ok;
        }
        if (w.size() < 2) {
            return fail("usage: " + cmd + " FRAME..");
        }
        std::vector<vsim::TimedFrame> frames;
        std::vector<can_frame> plain;
        for (size_t i = 1; i < w.size(); ++i) {
            auto f = parse_frame_text(w[i]);
            if (!f) {
                return fail("bad frame " + w[i] + " (cansend syntax, e.g. 7E8#064100BE3FA81300)");
            }
            frames.push_back(vsim::TimedFrame{std::chrono::microseconds(0), *f});
            plain.push_back(*f);
        }
        if (cmd == "chatter") {
            v.set_chatter(plain);
        } else {
            engine_.schedule(frames, "[injected]");
        }
        return ok;
    }
    if (cmd == "inject-raw") {
        std::string hex;
        for (size_t i = 1; i < w.size(); ++i) {
            hex += w[i];
        }
        auto bytes = parse_hex_bytes(hex);
        if (!bytes) {
            return fail("usage: inject-raw HEXBYTES");
        }
        if (!engine_.transport() || !engine_.transport()->transmit_raw(*bytes)) {
            return fail("raw records need the UNIX-socket bus (--bus)");
        }
        return ok;
    }
    if (cmd == "random") {
        auto n = w.size() >= 2 && w.size() <= 3 ? number(w[1], 1, kMaxRandomFrames) : std::nullopt;
        if (!n) {
            return fail("usage: random N [SEED] (N up to 10000)");
        }
        if (w.size() == 3) {
            auto seed = number(w[2], 0, 0x7FFFFFFF);
            if (!seed) {
                return fail("SEED is a number");
            }
            random_state_ = static_cast<uint64_t>(*seed) * 0x9E3779B97F4A7C15ull + 1;
        }
        std::vector<vsim::TimedFrame> frames;
        for (long i = 0; i < *n; ++i) {
            frames.push_back(vsim::TimedFrame{kRandomSpacing * i, random_frame(random_state_)});
        }
        engine_.schedule(frames, "[random]");
        return ok;
    }
    if (cmd == "noise") {
        if (w.size() == 2 && w[1] == "off") {
            engine_.stop_noise();
            return ok;
        }
        auto f = w.size() == 3 ? parse_frame_text(w[1]) : std::nullopt;
        auto ms = w.size() == 3 ? number(w[2], 1, kMaxDelayMs) : std::nullopt;
        if (!f || !ms) {
            return fail("usage: noise FRAME MS | noise off");
        }
        engine_.start_noise(*f, std::chrono::milliseconds(*ms));
        return ok;
    }
    if (cmd == "quit" || cmd == "exit") {
        quit_ = true;
        return ok;
    }
    return fail("unknown command '" + cmd + "' (try 'help')");
}

} // namespace obdsim
