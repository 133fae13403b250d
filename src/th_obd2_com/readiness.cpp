#include "th_obd2_com/readiness.h"

#include <algorithm>
#include <cstdio>
#include <span>

#include "common/cjson_ptr.h"
#include "th_mqtt/mqtt_msg.h"
#include "th_obd2_com/can_link.h"
#include "th_obd2_com/obd2_protocol.h"
#include "th_obd2_com/obd2_reassembly.h"
#include "th_obd2_com/obd_exchange.h"

namespace
{

constexpr uint8_t CONTINUOUS_MASK = 0x07;
constexpr size_t STATUS_PAYLOAD_LEN = 6; // 41 PID A B C D
constexpr size_t STATUS_PACKET_BUF_SIZE = 128;

std::string g_packet;

// `off`: what a clear support bit means in this PID.
const char *state_text(MonitorState state, const char *off)
{
    switch (state) {
    case MonitorState::Complete:
        return "COMPLETE";
    case MonitorState::Incomplete:
        return "INCOMPLETE";
    case MonitorState::NotSupported:
        break;
    }
    return off;
}

// The monitors as key -> state, in table order.
bool add_monitors(cJSON *data, const char *key, const std::vector<MonitorEntry> &monitors, const char *off)
{
    cJSON *obj = cJSON_AddObjectToObject(data, key);
    bool ok = obj != nullptr;
    for (const MonitorEntry &m : monitors) {
        ok = ok && cJSON_AddStringToObject(obj, m.key, state_text(m.state, off));
    }
    return ok;
}

// One functional request; answers[i] belongs to g_ecu_list[i].
std::vector<MonitorReply> ask_monitor_status(uint8_t pid)
{
    uint8_t request[8];
    prepare_request(request, 2, OBD2_SID_CURRENT_DATA, pid);
    std::vector<Obd2EcuAnswer> answers;
    obd_ask_recorded_ecus(request, sizeof request, OBD2_REQ_READINESS, answers);
    std::vector<MonitorReply> replies;
    for (const Obd2EcuAnswer &a : answers) {
        replies.push_back(read_monitor_reply(pid, a.outcome, a.data.data(), std::min(a.len, a.data.size())));
    }
    return replies;
}

} // namespace

MonitorReply read_monitor_reply(uint8_t pid, Obd2Outcome outcome, const uint8_t *answer, size_t len)
{
    MonitorReply reply;
    if (outcome != Obd2Outcome::Answered) {
        reply.answered = outcome == Obd2Outcome::Refused;
        return reply;
    }
    reply.answered = true;
    const uint8_t *p = answer + 1;
    if (obd2_answer_payload_len(answer, len) >= STATUS_PAYLOAD_LEN &&
        p[0] == obd2_positive_sid(OBD2_SID_CURRENT_DATA) && p[1] == pid) {
        reply.status = MonitorStatus{(p[2] & OBD2_MON_MIL_ON) != 0,
                                     static_cast<unsigned>(p[2] & OBD2_MON_DTC_COUNT_MASK), p[3], p[4], p[5]};
    }
    return reply;
}

std::optional<MonitorStatus> merge_monitor_status(const std::vector<MonitorReply> &replies)
{
    std::optional<MonitorStatus> merged;
    for (const MonitorReply &r : replies) {
        if (!r.status) {
            continue;
        }
        const MonitorStatus &s = *r.status;
        if (!merged) {
            merged = MonitorStatus{};
            merged->b = s.b & OBD2_MON_COMPRESSION;
        }
        merged->mil = merged->mil || s.mil;
        merged->dtc_count += s.dtc_count;
        // An unsupported monitor's incomplete bit means nothing.
        const uint8_t continuous = s.b & CONTINUOUS_MASK;
        const uint8_t incomplete = (s.b >> OBD2_MON_CONTINUOUS_INCOMPLETE_SHIFT) & continuous;
        merged->b |= static_cast<uint8_t>(continuous | incomplete << OBD2_MON_CONTINUOUS_INCOMPLETE_SHIFT);
        merged->c |= s.c;
        merged->d |= s.d & s.c;
    }
    return merged;
}

bool is_compression_ignition(const MonitorStatus &s)
{
    return (s.b & OBD2_MON_COMPRESSION) != 0;
}

std::vector<MonitorEntry> monitor_states(const MonitorStatus &s, std::optional<bool> compression)
{
    const std::span<const Obd2Monitor> table = compression.value_or(is_compression_ignition(s))
                                                   ? std::span<const Obd2Monitor>(OBD2_MONITORS_COMPRESSION)
                                                   : std::span<const Obd2Monitor>(OBD2_MONITORS_SPARK);
    std::vector<MonitorEntry> out;
    for (const Obd2Monitor &m : table) {
        const uint8_t supported = m.continuous ? s.b : s.c;
        const uint8_t incomplete = m.continuous ? s.b >> OBD2_MON_CONTINUOUS_INCOMPLETE_SHIFT : s.d;
        MonitorState state = MonitorState::NotSupported;
        if (supported >> m.bit & 1) {
            state = (incomplete >> m.bit & 1) ? MonitorState::Incomplete : MonitorState::Complete;
        }
        out.push_back(MonitorEntry{m.key, state});
    }
    return out;
}

std::string readiness_packet(const MonitorStatus &since_clear, const std::optional<MonitorStatus> &cycle)
{
    CJsonPtr root(cJSON_CreateObject());
    cJSON *data = nullptr;
    bool ok =
        root && cJSON_AddNumberToObject(root.get(), "TYP", 1) &&
        cJSON_AddNumberToObject(root.get(), "CMD", 13) &&
        (data = cJSON_AddObjectToObject(root.get(), "DATA")) != nullptr &&
        cJSON_AddNumberToObject(data, "MIL", since_clear.mil ? 1 : 0) &&
        cJSON_AddNumberToObject(data, "DTCCNT", since_clear.dtc_count) &&
        cJSON_AddStringToObject(data, "IGN", is_compression_ignition(since_clear) ? "COMPRESSION" : "SPARK");
    const bool compression = is_compression_ignition(since_clear);
    ok = ok && add_monitors(data, "MON", monitor_states(since_clear, compression), "UNSUPPORTED");
    if (cycle) {
        // PID 41's bits say whether a monitor runs this drive cycle, not whether it exists.
        ok = ok && add_monitors(data, "CYC", monitor_states(*cycle, compression), "DISABLED");
    }
    CJsonText text(ok ? cJSON_PrintUnformatted(root.get()) : nullptr);
    return text ? text.get() : "";
}

const char *handle_readiness_command()
{
    const std::vector<MonitorReply> since_clear = ask_monitor_status(OBD2_PID_MONITOR_STATUS);
    if (std::none_of(since_clear.begin(), since_clear.end(),
                     [](const MonitorReply &r) { return r.answered; })) {
        puts("OBD2_ERROR : No ECU answered the readiness request.");
        return nullptr;
    }
    const std::optional<MonitorStatus> merged = merge_monitor_status(since_clear);
    if (!merged) {
        // Every ECU refused: the vehicle is there but tells nothing.
        char pkt[STATUS_PACKET_BUF_SIZE];
        if (create_pkt_without_data(pkt, 1, 13, 0, "NOTSUP") == 0) {
            return nullptr;
        }
        g_packet = pkt;
        return g_packet.c_str();
    }
    g_packet = readiness_packet(*merged, merge_monitor_status(ask_monitor_status(OBD2_PID_MONITOR_CYCLE)));
    if (g_packet.empty()) {
        puts("OBD2_ERROR : Error while creating readiness packet.");
        return nullptr;
    }
    printf("readiness packet : %s\n", g_packet.c_str());
    return g_packet.c_str();
}
