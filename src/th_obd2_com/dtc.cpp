#include "th_obd2_com/dtc.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unordered_set>

#include "common/cjson_ptr.h"
#include "common/gw_time.h"
#include "th_mqtt/mqtt_msg.h"
#include "th_obd2_com/can_link.h"
#include "th_obd2_com/obd2_config.h"
#include "th_obd2_com/ecu_list.h"
#include "th_obd2_com/obd2_protocol.h"

static_assert(DTC_PACKET_MAX_LEN <= MQTT_MAX_PUBLISH_LEN,
              "a trouble-code packet must always fit the publish buffer");

uint8_t g_arr_stored_dtc_cmd[8];
uint8_t g_arr_pending_dtc_cmd[8];
uint8_t g_arr_permanent_dtc_cmd[8];
uint8_t g_arr_clear_dtc_cmd[8];
char final_json[DTC_JSON_BUF_SIZE];

namespace
{

constexpr size_t DTC_REQUEST_LEN = 8;
constexpr uint8_t SID_CLEAR_DTC = OBD2_SID_CLEAR_DTC;
constexpr uint8_t SID_CLEAR_DTC_OK = obd2_positive_sid(OBD2_SID_CLEAR_DTC);
constexpr uint8_t SID_NEGATIVE = OBD2_NEGATIVE_RESPONSE;
constexpr uint8_t NRC_BUSY = OBD2_NRC_BUSY;

struct DtcGroup {
    const char *name;  // configuration name and packet key
    uint8_t service;   // request service
    uint8_t *frame;    // request frame
    const char *trace; // answer-byte trace format
};

constexpr int DTC_GROUP_COUNT = 3;
// Order matters: requests go out, and the packet lists the groups, in this order.
const std::array<DtcGroup, DTC_GROUP_COUNT> k_groups{{
    {"STRDTC", 0x03, g_arr_stored_dtc_cmd, "stored dtc response : %d\n"},
    {"PNDDTC", 0x07, g_arr_pending_dtc_cmd, "pending dtc response : %d\n"},
    {"PRMDTC", 0x0A, g_arr_permanent_dtc_cmd, "permanent dtc response : %d\n"},
}};
constexpr int GROUP_STORED = 0;
constexpr int GROUP_PENDING = 1;

char array_buffer[DTC_ARRAY_BUF_SIZE];

bool is_dtc_answer_service(uint8_t sid)
{
    return sid == 0x43 || sid == 0x47 || sid == 0x4A;
}

uint8_t padding_byte()
{
    return static_cast<uint8_t>(g_can_padding & 0xFF);
}

// Copies at most 63 characters and the NUL; the source row may lack a NUL.
void copy_name(char *dst, const char *src)
{
    size_t n = strnlen(src, CFG_NAME_LEN - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

// Cost of one code in the compact packet text: the quoted string, plus the
// comma before it unless it is the first element of its array.
size_t element_cost(const cJSON *array, const cJSON *item)
{
    size_t len = (item->valuestring != nullptr ? strlen(item->valuestring) : 0) + 2;
    return item == array->child ? len : len + 1;
}

// Drops codes from the end of the packet (permanent, then pending, then stored)
// until the printed text fits; returns the printed text, or null when printing fails.
CJsonText print_within_limit(cJSON *packet, const std::array<cJSON *, DTC_GROUP_COUNT> &arrays)
{
    std::array<int, DTC_GROUP_COUNT> dropped{};
    CJsonText text(cJSON_PrintUnformatted(packet));
    while (text && strlen(text.get()) > DTC_PACKET_MAX_LEN) {
        size_t excess = strlen(text.get()) - DTC_PACKET_MAX_LEN;
        bool removed = false;
        for (int g = DTC_GROUP_COUNT - 1; g >= 0 && excess > 0; --g) {
            cJSON *arr = arrays[g];
            while (excess > 0 && arr->child != nullptr) {
                cJSON *last = arr->child->prev;
                size_t cost = element_cost(arr, last);
                cJSON_Delete(cJSON_DetachItemViaPointer(arr, last));
                excess = excess > cost ? excess - cost : 0;
                ++dropped[g];
                removed = true;
            }
        }
        if (!removed) {
            break; // nothing left to drop; the envelope alone always fits
        }
        text.reset(cJSON_PrintUnformatted(packet));
    }
    for (int g = 0; g < DTC_GROUP_COUNT; ++g) {
        if (dropped[g] > 0) {
            printf("OBD2 WARN: DTC packet limit of %zu bytes reached, %d %s codes left out\n",
                   DTC_PACKET_MAX_LEN, dropped[g], k_groups[g].name);
        }
    }
    return text;
}

} // namespace

void get_dtc_info(int *count, char (*names)[64])
{
    int n = g_dtc_count;
    if (n < 0) {
        n = 0;
    }
    if (n > CFG_MAX_DTC_GROUPS) {
        n = CFG_MAX_DTC_GROUPS;
    }
    *count = n;
    for (int i = 0; i < n; ++i) {
        copy_name(names[i], g_dtc_names[i]);
    }
}

const char *decode_dtc_array(const uint8_t *answer, size_t length)
{
    if (answer == nullptr || length <= 3) {
        return "[]";
    }
    if (!is_dtc_answer_service(answer[1])) {
        return "[]";
    }
    const unsigned n = answer[2];
    if (n == 0) {
        return "[]";
    }

    char seen[DTC_DEDUP_MEMORY][8];
    int seen_count = 0;
    size_t used = 0;
    array_buffer[used++] = '[';

    size_t p = 3;
    uint8_t j = 0;
    while (j < n && p + 1 < length) {
        const uint8_t a = answer[p];
        const uint8_t b = answer[p + 1];
        p += 2;
        ++j;
        if (a == 0 && b == 0) {
            continue;
        }
        char letter;
        switch (a >> 6) {
        case 0:
            letter = 'P';
            break;
        case 3:
            letter = 'U';
            break;
        default:
            continue; // chassis and body codes are not reported
        }
        if (letter == 'P' && ((a >> 4) & 0x3) == 3) {
            continue; // P3xxx: manufacturer codes are not reported
        }
        char code[8];
        snprintf(code, sizeof code, "%c%04X", letter, ((a & 0x3F) << 8) | b);

        bool repeat = false;
        for (int k = 0; k < seen_count; ++k) {
            if (strcmp(seen[k], code) == 0) {
                repeat = true;
                break;
            }
        }
        if (repeat) {
            continue;
        }
        if (seen_count < DTC_DEDUP_MEMORY) {
            memcpy(seen[seen_count++], code, sizeof code);
        }

        const char *sep = used == 1 ? "" : ", ";
        // Whole codes only, keeping room for the closing bracket and the NUL.
        size_t need = strlen(sep) + strlen(code) + 2;
        if (used + need + 2 > sizeof array_buffer) {
            break;
        }
        used += static_cast<size_t>(
            snprintf(array_buffer + used, sizeof array_buffer - used, "%s\"%s\"", sep, code));
    }
    array_buffer[used++] = ']';
    array_buffer[used] = '\0';
    return array_buffer;
}

void keep_only_pending_in_stored(cJSON *stored, cJSON *pending)
{
    if (stored == nullptr || pending == nullptr) {
        return;
    }
    std::unordered_set<std::string_view> pending_codes;
    for (const cJSON *p = pending->child; p != nullptr; p = p->next) {
        if (cJSON_IsString(p) && p->valuestring != nullptr) {
            pending_codes.insert(p->valuestring);
        }
    }
    // Last to first; the head's prev points at the tail.
    cJSON *item = stored->child != nullptr ? stored->child->prev : nullptr;
    while (item != nullptr) {
        cJSON *prev = item == stored->child ? nullptr : item->prev;
        if (!cJSON_IsString(item) || item->valuestring == nullptr) {
            cJSON_Delete(cJSON_DetachItemViaPointer(stored, item));
        } else if (pending_codes.find(item->valuestring) == pending_codes.end()) {
            printf("Removing STORED DTC %s (not present in PENDING)\n", item->valuestring);
            cJSON_Delete(cJSON_DetachItemViaPointer(stored, item));
        }
        item = prev;
    }
}

char *handle_dtc_command()
{
    char names[CFG_MAX_DTC_GROUPS][64];
    int count = 0;
    get_dtc_info(&count, names);

    std::array<bool, DTC_GROUP_COUNT> enabled{};
    for (int i = 0; i < count; ++i) {
        for (int g = 0; g < DTC_GROUP_COUNT; ++g) {
            if (strcmp(names[i], k_groups[g].name) == 0) {
                enabled[g] = true;
            }
        }
    }

    CJsonPtr packet(cJSON_CreateObject());
    CJsonPtr data(cJSON_CreateObject());
    std::array<CJsonPtr, DTC_GROUP_COUNT> arrays;
    bool built = packet && data && cJSON_AddNumberToObject(packet.get(), "TYP", 1) != nullptr &&
                 cJSON_AddNumberToObject(packet.get(), "CMD", 1) != nullptr;
    for (auto &a : arrays) {
        a.reset(cJSON_CreateArray());
        built = built && a;
    }
    final_json[0] = '\0';
    if (!built) {
        puts("OBD2_ERROR : Error while creating DTC packet.");
        return final_json;
    }

    for (const DtcGroup &g : k_groups) {
        prepare_request(g.frame, 1, g.service, padding_byte());
    }

    std::array<std::array<uint8_t, OBD2_RESP_BUF_SIZE>, DTC_GROUP_COUNT> answers;
    std::array<size_t, DTC_GROUP_COUNT> lengths{};
    int ecus = g_ecu_count;
    if (ecus > OBD2_MAX_ECUS) {
        ecus = OBD2_MAX_ECUS;
    }
    for (int e = 0; e < ecus; ++e) {
        const int mode = g_ecu_list[e].mode;
        for (auto &a : answers) {
            a.fill(0);
        }
        lengths.fill(0);
        for (int g = 0; g < DTC_GROUP_COUNT; ++g) {
            if (!enabled[g]) {
                continue;
            }
            uint8_t *answer = answers[g].data();
            if (send_obd2_request(mode, k_groups[g].frame, DTC_REQUEST_LEN, answer, &lengths[g],
                                  OBD2_REQ_DTC) != 0) {
                continue;
            }
            const size_t len = lengths[g] < OBD2_RESP_BUF_SIZE ? lengths[g] : OBD2_RESP_BUF_SIZE;
            for (size_t i = 0; i < len; ++i) {
                printf(k_groups[g].trace, answer[i]);
            }
            CJsonPtr decoded(cJSON_Parse(decode_dtc_array(answer, len)));
            if (!cJSON_IsArray(decoded.get())) {
                continue;
            }
            for (const cJSON *code = decoded->child; code != nullptr; code = code->next) {
                cJSON_AddItemToArray(arrays[g].get(), cJSON_Duplicate(code, 1));
            }
        }
    }

    keep_only_pending_in_stored(arrays[GROUP_STORED].get(), arrays[GROUP_PENDING].get());

    std::array<cJSON *, DTC_GROUP_COUNT> raw{};
    for (int g = 0; g < DTC_GROUP_COUNT; ++g) {
        raw[g] = arrays[g].get();
        cJSON_AddItemToObject(data.get(), k_groups[g].name, arrays[g].release());
    }
    cJSON_AddItemToObject(packet.get(), "DATA", data.release());

    CJsonText text = print_within_limit(packet.get(), raw);
    if (!text) {
        puts("OBD2_ERROR : Error while creating DTC packet.");
        return final_json;
    }
    const size_t len = strlen(text.get());
    memcpy(final_json, text.get(), len + 1); // fits: print_within_limit kept it within the buffer
    printf("final json: %s\n", final_json);
    return final_json;
}

int handle_clear_dtc_command(int mode)
{
    int busy_retries = 0;
    int unusable = 0;
    std::array<uint8_t, OBD2_RESP_BUF_SIZE> answer;

    for (;;) {
        prepare_request(g_arr_clear_dtc_cmd, 1, SID_CLEAR_DTC, padding_byte());
        // A send that fails leaves the buffer unwritten: never judge an earlier answer again.
        size_t len = 0;
        answer.fill(0);
        const int rc = send_obd2_request(mode, g_arr_clear_dtc_cmd, DTC_REQUEST_LEN, answer.data(), &len,
                                         OBD2_REQ_CLEAR_DTC);
        if (rc == -1 || len > answer.size()) {
            len = 0; // a broken exchange may count bytes it never delivered
        }

        puts("RESPONSE FOR CLEAR DTC : ");
        for (size_t i = 0; i < len; ++i) {
            printf("[%02x] ", answer[i]);
        }
        printf("\n\n");

        if (len < 3) {
            if (++unusable >= DTC_CLEAR_MAX_UNUSABLE) {
                puts("OBD2: No usable response to Clear DTC request.");
                return 0;
            }
            continue;
        }
        unusable = 0;

        if (answer[1] == SID_CLEAR_DTC_OK) {
            puts("OBD2: DTCs cleared successfully.");
            return 1;
        }
        if (answer[1] != SID_NEGATIVE) {
            puts("OBD2: Unexpected response to Clear DTC request.");
            return 0;
        }
        const uint8_t nrc = len > 3 ? answer[3] : 0;
        if (nrc != NRC_BUSY) {
            printf("OBD2: Negative Response. NRC=0x%02X\n", nrc);
            return 0;
        }
        puts("OBD2: ECU busy clearing DTCs (NRC=0x78). Retrying...");
        if (++busy_retries > DTC_CLEAR_BUSY_RETRY_LIMIT) {
            puts("OBD2: Retry limit reached. Clear DTC failed.");
            return 0;
        }
        gw_sleep_us(DTC_CLEAR_BUSY_PAUSE_US);
    }
}
