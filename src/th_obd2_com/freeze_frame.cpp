#include "th_obd2_com/freeze_frame.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "common/cjson_ptr.h"
#include "th_mqtt/mqtt_msg.h"
#include "th_obd2_com/can_link.h"
#include "th_obd2_com/ecu_list.h"
#include "th_obd2_com/obd2_protocol.h"
#include "th_obd2_com/obd2_reassembly.h"
#include "th_obd2_com/obd_exchange.h"
#include "th_obd2_com/pid_catalogue.h"

namespace
{

constexpr uint8_t SID_FREEZE_FRAME_OK = obd2_positive_sid(OBD2_SID_FREEZE_FRAME);
constexpr size_t HEADER_LEN = 3; // 42 PID FRAME
constexpr size_t DTC_LEN = 2;
constexpr size_t MASK_LEN = 4;
constexpr size_t VALUE_TEXT_LEN = 32;
constexpr size_t STATUS_PACKET_BUF_SIZE = 128;

std::string g_packet;

// The data of a frame-0 answer for `pid` holding at least `data_len` bytes
// (the bytes after 42 PID FRAME); null when the answer is not one.
const uint8_t *frame_data(uint8_t pid, const uint8_t *answer, size_t len, size_t data_len)
{
    const size_t n = obd2_answer_payload_len(answer, len);
    const uint8_t *p = answer + 1;
    if (n < HEADER_LEN + data_len || p[0] != SID_FREEZE_FRAME_OK || p[1] != pid ||
        p[2] != OBD2_FREEZE_FRAME_0) {
        return nullptr;
    }
    return p + HEADER_LEN;
}

const PidInfo *catalogue_row(uint8_t pid)
{
    const auto row =
        std::find_if(std::begin(pids), std::end(pids), [pid](const PidInfo &r) { return r.pid == pid; });
    return row != std::end(pids) ? row : nullptr;
}

uint8_t highest_catalogue_pid()
{
    return std::max_element(std::begin(pids), std::end(pids),
                            [](const PidInfo &a, const PidInfo &b) { return a.pid < b.pid; })
        ->pid;
}

// One service 02 request for `pid` of frame 0 to the engine ECU. A response
// pending that never ended is no answer.
Obd2Outcome ask_frame(uint8_t pid, std::array<uint8_t, OBD2_RESP_BUF_SIZE> &answer, size_t &len)
{
    uint8_t request[8];
    prepare_request(request, 3, OBD2_SID_FREEZE_FRAME, pid);
    request[3] = OBD2_FREEZE_FRAME_0;
    len = 0;
    const Obd2Outcome rc = obd_send_request(g_ecu_list[0].mode, request, sizeof request, answer.data(), &len,
                                            OBD2_REQ_FREEZE_FRAME);
    len = std::min(len, answer.size());
    return rc == Obd2Outcome::Busy ? Obd2Outcome::None : rc;
}

const char *status_packet(const char *msg)
{
    char pkt[STATUS_PACKET_BUF_SIZE];
    if (create_pkt_without_data(pkt, 1, 14, 0, msg) == 0) {
        return nullptr;
    }
    g_packet = pkt;
    return g_packet.c_str();
}

} // namespace

std::optional<uint16_t> decode_freeze_dtc(const uint8_t *answer, size_t len)
{
    const uint8_t *d = frame_data(OBD2_PID_FREEZE_DTC, answer, len, DTC_LEN);
    if (d == nullptr) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(d[0] << 8 | d[1]);
}

std::optional<bool> decode_freeze_support(uint8_t base, const uint8_t *answer, size_t len,
                                          std::bitset<256> &supported)
{
    const uint8_t *d = frame_data(base, answer, len, MASK_LEN);
    if (d == nullptr) {
        return std::nullopt;
    }
    for (unsigned n = 1; n <= 32 && base + n <= 0xFF; ++n) {
        if (d[(n - 1) / 8] & (0x80 >> ((n - 1) % 8))) {
            supported.set(base + n);
        }
    }
    return (d[3] & 0x01) != 0;
}

std::optional<float> decode_freeze_value(uint8_t pid, const uint8_t *answer, size_t len)
{
    const PidInfo *row = catalogue_row(pid);
    if (row == nullptr || frame_data(pid, answer, len, row->bits / 8) == nullptr) {
        return std::nullopt;
    }
    // From the service byte on, A and B sit where a service 01 answer has
    // them from its length byte on: the live scaling reads them as they are.
    const float value = calculate_physical_value(pid, answer + 1, obd2_answer_payload_len(answer, len));
    if (!std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::string freeze_dtc_text(uint16_t code)
{
    char text[8];
    snprintf(text, sizeof text, "%c%04X", "PCBU"[code >> 14], code & 0x3FFF);
    return text;
}

std::string freeze_frame_packet(uint16_t code, const std::vector<FreezeValue> &values)
{
    CJsonPtr root(cJSON_CreateObject());
    cJSON *data = nullptr;
    cJSON *val = nullptr;
    bool ok = root && cJSON_AddNumberToObject(root.get(), "TYP", 1) &&
              cJSON_AddNumberToObject(root.get(), "CMD", 14) &&
              (data = cJSON_AddObjectToObject(root.get(), "DATA")) != nullptr &&
              cJSON_AddStringToObject(data, "DTC", freeze_dtc_text(code).c_str()) &&
              (val = cJSON_AddObjectToObject(data, "VAL")) != nullptr;
    for (const FreezeValue &v : values) {
        if (!ok) {
            break;
        }
        if (v.value) {
            char text[VALUE_TEXT_LEN];
            snprintf(text, sizeof text, "%.2f", static_cast<double>(*v.value));
            ok = cJSON_AddRawToObject(val, v.key, text) != nullptr;
        } else {
            ok = cJSON_AddStringToObject(val, v.key, "--") != nullptr;
        }
    }
    CJsonText text(ok ? cJSON_PrintUnformatted(root.get()) : nullptr);
    return text ? text.get() : "";
}

const char *handle_freeze_frame_command()
{
    // The engine ECU keeps the frame that matters; only its answers are taken.
    EcuScope scope(g_ecu_list[0]);
    std::array<uint8_t, OBD2_RESP_BUF_SIZE> answer;
    size_t len = 0;

    const Obd2Outcome rc = ask_frame(OBD2_PID_FREEZE_DTC, answer, len);
    if (rc == Obd2Outcome::Refused) {
        puts("OBD2: The engine ECU refuses freeze frames.");
        return status_packet("NOTSUP");
    }
    const std::optional<uint16_t> code =
        rc == Obd2Outcome::Answered ? decode_freeze_dtc(answer.data(), len) : std::nullopt;
    if (!code) {
        puts("OBD2_ERROR : No answer to the freeze frame request.");
        return nullptr;
    }
    if (*code == 0) {
        puts("OBD2: No freeze frame stored.");
        return status_packet("NOFRAME");
    }

    // Which PIDs the frame holds, by the ECU's own bitmasks; ranges past the catalogue are not asked.
    std::bitset<256> supported;
    const unsigned highest = highest_catalogue_pid();
    for (unsigned base = 0; base < highest; base += OBD2_PID_RANGE) {
        const Obd2Outcome mask_rc = ask_frame(static_cast<uint8_t>(base), answer, len);
        if (mask_rc == Obd2Outcome::Refused) {
            break; // nothing (more) in the frame
        }
        const std::optional<bool> more =
            mask_rc == Obd2Outcome::Answered
                ? decode_freeze_support(static_cast<uint8_t>(base), answer.data(), len, supported)
                : std::nullopt;
        if (!more) {
            puts("OBD2_ERROR : No answer to the freeze frame PID request.");
            return nullptr;
        }
        if (!*more) {
            break;
        }
    }

    std::vector<FreezeValue> values;
    for (size_t i = 0; i < PID_CATALOGUE_SIZE; ++i) {
        const uint8_t pid = pids[i].pid;
        if (!supported.test(pid)) {
            continue;
        }
        FreezeValue v{short_keys[i], std::nullopt};
        if (ask_frame(pid, answer, len) == Obd2Outcome::Answered) {
            v.value = decode_freeze_value(pid, answer.data(), len);
        }
        values.push_back(v);
    }
    g_packet = freeze_frame_packet(*code, values);
    if (g_packet.empty()) {
        puts("OBD2_ERROR : Error while creating freeze frame packet.");
        return nullptr;
    }
    printf("freeze frame packet : %s\n", g_packet.c_str());
    return g_packet.c_str();
}
