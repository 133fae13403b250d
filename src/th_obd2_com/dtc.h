// Trouble-code reading (services 03, 07, 0A) and clearing (service 04).
#pragma once

#include <cjson/cJSON.h>

#include <cstddef>
#include <cstdint>

// The packet buffer holds the longest text the bus can publish plus its NUL,
// so a packet is never cut: codes that would not fit are left out whole.
constexpr size_t DTC_JSON_BUF_SIZE = 4000;
constexpr size_t DTC_PACKET_MAX_LEN = DTC_JSON_BUF_SIZE - 1;
// Text of one decoded answer: 255 codes of 9 characters and the brackets fit.
constexpr size_t DTC_ARRAY_BUF_SIZE = 3072;
// Distinct codes one decoded answer remembers for removing repeats.
constexpr int DTC_DEDUP_MEMORY = 20;

constexpr int DTC_CLEAR_BUSY_RETRY_LIMIT = 5;
constexpr long DTC_CLEAR_BUSY_PAUSE_US = 300'000;
// Unusable answers in a row (fewer than 3 bytes) before clearing gives up.
constexpr int DTC_CLEAR_MAX_UNUSABLE = 3;

extern uint8_t g_arr_stored_dtc_cmd[8];
extern uint8_t g_arr_pending_dtc_cmd[8];
extern uint8_t g_arr_permanent_dtc_cmd[8];
extern uint8_t g_arr_clear_dtc_cmd[8];
extern char final_json[DTC_JSON_BUF_SIZE];

void get_dtc_info(int *count, char (*names)[64]);
const char *decode_dtc_array(const uint8_t *answer, size_t length);
void keep_only_pending_in_stored(cJSON *stored, cJSON *pending);
// Reads the enabled groups from every recorded ECU and returns the packet in
// final_json: per group the engine's codes, then each other ECU's new ones.
// Null when groups were asked but no ECU answered any of them.
char *handle_dtc_command();
// Clears the trouble codes of the ECU in scope (or the first that answers).
int handle_clear_dtc_command(int mode);
// One clear request at a time reaches every ECU in `ids` (all answering on
// `mode`); 1 once each has confirmed. The rules for busy and unusable
// answers are those of one ECU, counted per request.
int clear_dtc_of_ecus(int mode, const uint32_t *ids, int count);
// clear_dtc_of_ecus for every recorded ECU; 0 when none is recorded.
int clear_dtc_of_recorded_ecus();
