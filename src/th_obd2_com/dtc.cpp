#include "th_obd2_com/dtc.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/cjson_ptr.h"
#include "common/gw_time.h"
#include "th_mqtt/mqtt_msg.h"
#include "th_obd2_com/can_link.h"
#include "th_obd2_com/obd2_config.h"
#include "th_obd2_com/ecu_list.h"
#include "th_obd2_com/obd2_protocol.h"
#include "th_obd2_com/obd_exchange.h"

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

bool holds_code(const cJSON *array, const cJSON *code)
{
    if (!cJSON_IsString(code)) {
        return false;
    }
    for (const cJSON *c = array->child; c != nullptr; c = c->next) {
        if (cJSON_IsString(c) && strcmp(c->valuestring, code->valuestring) == 0) {
            return true;
        }
    }
    return false;
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
    // Without the packet there is no result: never a packet that reads as "no codes".
    if (!built) {
        puts("OBD2_ERROR : Error while creating DTC packet.");
        return nullptr;
    }

    for (const DtcGroup &g : k_groups) {
        prepare_request(g.frame, 1, g.service, padding_byte());
    }

    // One request per group reaches every recorded ECU at once; their answers
    // are collected together, so a silent ECU costs the short time any ECU
    // has to answer after the first, not a wait of its own.
    std::vector<Obd2EcuAnswer> answers;
    bool asked = false;
    bool answered = false;
    for (int g = 0; g < DTC_GROUP_COUNT && ecu_list_size() > 0; ++g) {
        if (!enabled[g]) {
            continue;
        }
        asked = true;
        obd_ask_recorded_ecus(k_groups[g].frame, DTC_REQUEST_LEN, OBD2_REQ_DTC, answers);
        for (size_t e = 0; e < answers.size(); ++e) {
            const Obd2EcuAnswer &a = answers[e];
            // A refusal is still an answer: the vehicle is there. An ECU that
            // stayed busy gave none.
            answered = answered || a.outcome == Obd2Outcome::Answered || a.outcome == Obd2Outcome::Refused;
            if (a.outcome != Obd2Outcome::Answered) {
                continue;
            }
            for (size_t i = 0; i < a.len; ++i) {
                printf(k_groups[g].trace, a.data[i]);
            }
            CJsonPtr decoded(cJSON_Parse(decode_dtc_array(a.data.data(), a.len)));
            if (!cJSON_IsArray(decoded.get())) {
                if (decoded == nullptr) {
                    // "[]" always parses: only memory can be missing.
                    puts("OBD2_ERROR : Error while creating DTC packet.");
                    return nullptr;
                }
                continue;
            }
            for (const cJSON *code = decoded->child; code != nullptr; code = code->next) {
                // The engine's codes go in as decoded; another ECU adds only codes not listed yet.
                if (e > 0 && holds_code(arrays[g].get(), code)) {
                    continue;
                }
                cJSON *copy = cJSON_Duplicate(code, 1);
                if (copy == nullptr || !cJSON_AddItemToArray(arrays[g].get(), copy)) {
                    cJSON_Delete(copy);
                    puts("OBD2_ERROR : Error while creating DTC packet.");
                    return nullptr;
                }
            }
        }
    }
    if (asked && !answered) {
        puts("OBD2_ERROR : No ECU answered the DTC request.");
        return nullptr;
    }

    keep_only_pending_in_stored(arrays[GROUP_STORED].get(), arrays[GROUP_PENDING].get());

    std::array<cJSON *, DTC_GROUP_COUNT> raw{};
    for (int g = 0; g < DTC_GROUP_COUNT; ++g) {
        raw[g] = arrays[g].get();
        if (!cJSON_AddItemToObject(data.get(), k_groups[g].name, arrays[g].get())) {
            puts("OBD2_ERROR : Error while creating DTC packet.");
            return nullptr;
        }
        arrays[g].release();
    }
    if (!cJSON_AddItemToObject(packet.get(), "DATA", data.get())) {
        puts("OBD2_ERROR : Error while creating DTC packet.");
        return nullptr;
    }
    data.release();

    CJsonText text = print_within_limit(packet.get(), raw);
    if (!text) {
        puts("OBD2_ERROR : Error while creating DTC packet.");
        return nullptr;
    }
    const size_t len = strlen(text.get());
    memcpy(final_json, text.get(), len + 1); // fits: print_within_limit kept it within the buffer
    printf("final json: %s\n", final_json);
    return final_json;
}

namespace
{

enum class ClearAnswer { Confirmed, Busy, Unusable, Failed };

ClearAnswer judge_clear_answer(const Obd2EcuAnswer &a)
{
    // A failed exchange delivers nothing: never judge bytes it did not deliver.
    const size_t len = a.outcome == Obd2Outcome::None ? 0 : a.len;
    puts("RESPONSE FOR CLEAR DTC : ");
    for (size_t i = 0; i < len; ++i) {
        printf("[%02x] ", a.data[i]);
    }
    printf("\n\n");
    if (len < 3) {
        return ClearAnswer::Unusable;
    }
    if (a.data[1] == SID_CLEAR_DTC_OK) {
        puts("OBD2: DTCs cleared successfully.");
        return ClearAnswer::Confirmed;
    }
    if (a.data[1] != SID_NEGATIVE) {
        puts("OBD2: Unexpected response to Clear DTC request.");
        return ClearAnswer::Failed;
    }
    const uint8_t nrc = len > 3 ? a.data[3] : 0;
    if (nrc != NRC_BUSY) {
        printf("OBD2: Negative Response. NRC=0x%02X\n", nrc);
        return ClearAnswer::Failed;
    }
    return ClearAnswer::Busy;
}

} // namespace

int clear_dtc_of_ecus(int mode, const uint32_t *ids, int count)
{
    if (count <= 0) {
        return 0;
    }
    int busy_retries = 0;
    int unusable = 0;
    std::vector<Obd2EcuAnswer> answers(static_cast<size_t>(count));
    std::vector<bool> confirmed(static_cast<size_t>(count), false);
    for (int attempt = 0;; ++attempt) {
        prepare_request(g_arr_clear_dtc_cmd, 1, SID_CLEAR_DTC, padding_byte());
        // A resend takes a confirmation that came after the previous wait
        // ended: a final answer is never thrown away.
        obd_collect_answers(mode, g_arr_clear_dtc_cmd, DTC_REQUEST_LEN, OBD2_REQ_CLEAR_DTC, ids, count,
                            answers.data(), attempt > 0);
        bool busy = false;
        bool waiting = false;
        for (size_t i = 0; i < answers.size(); ++i) {
            if (confirmed[i]) {
                continue;
            }
            switch (judge_clear_answer(answers[i])) {
            case ClearAnswer::Confirmed:
                confirmed[i] = true;
                break;
            case ClearAnswer::Failed:
                return 0;
            case ClearAnswer::Busy:
                busy = true;
                break;
            case ClearAnswer::Unusable:
                waiting = true;
                break;
            }
        }
        if (!busy && !waiting) {
            return 1;
        }
        if (busy) {
            unusable = 0;
            puts("OBD2: ECU busy clearing DTCs (NRC=0x78). Retrying...");
            if (++busy_retries > DTC_CLEAR_BUSY_RETRY_LIMIT) {
                puts("OBD2: Retry limit reached. Clear DTC failed.");
                return 0;
            }
            gw_sleep_us(DTC_CLEAR_BUSY_PAUSE_US);
        } else if (++unusable >= DTC_CLEAR_MAX_UNUSABLE) {
            puts("OBD2: No usable response to Clear DTC request.");
            return 0;
        }
    }
}

int handle_clear_dtc_command(int mode)
{
    const uint32_t id = ecu_scope_response_id();
    return clear_dtc_of_ecus(mode, &id, 1);
}

int clear_dtc_of_recorded_ecus()
{
    if (ecu_list_size() == 0) {
        return 0;
    }
    for (int mode = 1; mode <= 2; ++mode) {
        const std::vector<uint32_t> ids = recorded_ecus_on(mode);
        if (!ids.empty() && clear_dtc_of_ecus(mode, ids.data(), static_cast<int>(ids.size())) == 0) {
            return 0;
        }
    }
    return 1;
}
