#include "th_obd2_com/vehicle_info.h"

#include <algorithm>
#include <cjson/cJSON.h>
#include <cstdio>
#include <cstring>

#include "common/cjson_ptr.h"
#include "th_obd2_com/can_link.h"
#include "th_obd2_com/ecu_list.h"
#include "th_obd2_com/obd2_protocol.h"
#include "th_obd2_com/obd_exchange.h"

VehicleInfoRecord g_vehicle_info[VEHICLE_INFO_MAX];
int g_vehicle_info_count = 0;
char g_can_protocol[50];

namespace
{

constexpr uint8_t SERVICE_VEHICLE_INFO = OBD2_SID_VEHICLE_INFO;
constexpr uint8_t SERVICE_VEHICLE_INFO_ANSWER = obd2_positive_sid(OBD2_SID_VEHICLE_INFO);
constexpr uint8_t NEGATIVE_ANSWER = OBD2_NEGATIVE_RESPONSE;

constexpr uint8_t INFOTYPE_VIN = OBD2_INFOTYPE_VIN;
constexpr uint8_t INFOTYPE_CALID = OBD2_INFOTYPE_CALID;
constexpr uint8_t INFOTYPE_CVN = OBD2_INFOTYPE_CVN;
constexpr uint8_t INFOTYPE_ECU_NAME = OBD2_INFOTYPE_ECU_NAME;
constexpr uint8_t INFOTYPES_ASKED[] = {INFOTYPE_VIN, INFOTYPE_CALID, INFOTYPE_CVN, INFOTYPE_ECU_NAME};

constexpr size_t TEXT_MAX = sizeof(VehicleInfoRecord::text) - 1;
// The hex rendering stops once it has passed this many characters (63 bytes).
constexpr size_t CVN_HEX_LIMIT = 125;
constexpr size_t TRACE_BYTES = 32;

// Padding and the count-of-data-items byte: control characters and 0xFF.
bool is_filler(uint8_t b)
{
    return b <= 0x1F || b == 0xFF;
}

void render_cvn(const uint8_t *data, size_t len, char *text)
{
    char hex[TEXT_MAX + 3] = {};
    size_t used = 0;
    for (size_t i = 0; i < len && used <= CVN_HEX_LIMIT; ++i) {
        std::snprintf(hex + used, sizeof hex - used, "%02X", data[i]);
        used += 2;
    }
    std::memcpy(text, hex, std::min(used, TEXT_MAX));
    text[std::min(used, TEXT_MAX)] = '\0';
}

// Returns false when nothing but filler bytes came.
bool render_text(const uint8_t *data, size_t len, char *text)
{
    size_t start = 0;
    while (start < len && is_filler(data[start])) {
        ++start;
    }
    if (start == len) {
        return false;
    }
    size_t n = std::min(len - start, TEXT_MAX);
    std::memcpy(text, data + start, n);
    text[n] = '\0';
    while (n > 0 && is_filler(static_cast<uint8_t>(text[n - 1]))) {
        text[--n] = '\0';
    }
    // Bytes above ASCII would reach the UI as invalid UTF-8, and a strict
    // JSON reader rejects the whole file or packet.
    std::replace_if(
        text, text + n, [](char c) { return static_cast<uint8_t>(c) >= 0x7F; }, '?');
    return true;
}

// The engine ECU's dialect is named after the addressing mode.
const char *protocol_text(int mode)
{
    const bool uds =
        ecu_list_size() > 0 && recorded_dialect(mode, g_ecu_list[0].response_id) == ObdDialect::Uds;
    switch (mode) {
    case 1:
        return uds ? "ISO15765-4 (11-bit) J1979-2" : "ISO15765-4 (11-bit)";
    case 2:
        return uds ? "ISO15765-4 (29-bit) J1979-2" : "ISO15765-4 (29-bit)";
    default:
        return "UNKNOWN";
    }
}

} // namespace

int get_vehicle_info(int mode)
{
    g_vehicle_info_count = 0;
    for (uint8_t info_type : INFOTYPES_ASKED) {
        if (g_vehicle_info_count >= VEHICLE_INFO_MAX) {
            break;
        }
        uint8_t request[8];
        prepare_request(request, 2, SERVICE_VEHICLE_INFO, info_type);
        uint8_t response[OBD2_RESP_BUF_SIZE];
        size_t len = 0;
        if (obd_send_request(mode, request, sizeof request, response, &len, OBD2_REQ_VEHICLE_INFO) !=
            Obd2Outcome::Answered) {
            std::printf("OBD2 WARN: Failed to request InfoType %02X\n", info_type);
            continue;
        }
        len = std::min(len, sizeof response);

        std::printf("RESPONSE [INFO] : ");
        for (size_t i = 0; i < std::min(len, TRACE_BYTES); ++i) {
            std::printf("[ %02x ] ", response[i]);
        }
        std::puts("\n");

        if (len == 0) {
            std::printf("OBD2 WARN: Empty response for InfoType %02X\n", info_type);
            continue;
        }
        if (len < 2) {
            std::printf("OBD2 WARN: Unsupported frame type for InfoType %02X\n", info_type);
            continue;
        }
        // Byte 0 is a length byte; the payload starts at byte 1 for single
        // and segmented answers alike.
        if (response[1] == NEGATIVE_ANSWER) {
            std::printf("OBD2 Negative Response: SID=0x%02X, NRC=0x%02X\n", len >= 3 ? response[2] : 0,
                        len >= 4 ? response[3] : 0);
            continue;
        }
        if (len < 3 || response[1] != SERVICE_VEHICLE_INFO_ANSWER || response[2] != info_type) {
            std::printf("OBD2 WARN: Invalid response for InfoType %02X\n", info_type);
            continue;
        }
        if (len == 3) {
            std::printf("OBD2 WARN: No payload for InfoType %02X\n", info_type);
            continue;
        }
        const uint8_t *data = response + 3;
        const size_t data_len = len - 3;

        VehicleInfoRecord &rec = g_vehicle_info[g_vehicle_info_count];
        std::memset(rec.text, 0, sizeof rec.text);
        if (info_type == INFOTYPE_CVN) {
            // The count byte is rendered too: 49 06 01 12 AB 34 CD -> 0112AB34CD.
            render_cvn(data, data_len, rec.text);
        } else if (!render_text(data, data_len, rec.text)) {
            std::printf("OBD2 WARN: Payload contains only padding for InfoType %02X\n", info_type);
            continue;
        }
        rec.info_type = info_type;
        std::printf("InfoType %02X -> %s\n", info_type, rec.text);
        ++g_vehicle_info_count;
    }
    return g_vehicle_info_count > 0 ? 1 : 0;
}

char *build_vehicle_info_json(int mode, int bitrate)
{
    char vid[TEXT_MAX + 1] = {};
    char cid[TEXT_MAX + 1] = {};
    char cvn[TEXT_MAX + 1] = {};
    char ecunm[TEXT_MAX + 1] = {};
    const int count = std::clamp(g_vehicle_info_count, 0, VEHICLE_INFO_MAX);
    for (int i = 0; i < count; ++i) {
        const VehicleInfoRecord &rec = g_vehicle_info[i];
        char *dst = nullptr;
        switch (rec.info_type) {
        case INFOTYPE_VIN:
            dst = vid;
            break;
        case INFOTYPE_CALID:
            dst = cid;
            break;
        case INFOTYPE_CVN:
            dst = cvn;
            break;
        case INFOTYPE_ECU_NAME:
            dst = ecunm;
            break;
        default:
            continue;
        }
        const size_t n = strnlen(rec.text, TEXT_MAX);
        std::memcpy(dst, rec.text, n);
        dst[n] = '\0';
    }
    for (char *t : {vid, cid, cvn, ecunm}) {
        if (t[0] == '\0') {
            std::strcpy(t, "N/A");
        }
    }

    CJsonPtr root(cJSON_CreateObject());
    if (!root) {
        return nullptr;
    }
    cJSON *data = cJSON_CreateObject();
    if (data == nullptr) {
        return nullptr;
    }
    cJSON_AddNumberToObject(root.get(), "TYP", 1);
    cJSON_AddNumberToObject(root.get(), "CMD", 7);
    cJSON_AddItemToObject(root.get(), "DATA", data); // the root owns it from here
    cJSON_AddStringToObject(data, "CVN", cvn);
    cJSON_AddStringToObject(data, "VID", vid);
    cJSON_AddStringToObject(data, "CID", cid);
    cJSON_AddStringToObject(data, "ECUNM", ecunm);
    const char *proto = protocol_text(mode);
    cJSON_AddStringToObject(data, "PROTO", proto);
    std::snprintf(g_can_protocol, sizeof g_can_protocol, "%s", proto);
    cJSON_AddNumberToObject(data, "BR", bitrate);
    return cJSON_PrintUnformatted(root.get());
}
