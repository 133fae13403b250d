#include "th_obd2_com/live_data.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/gw_time.h"
#include "th_obd2_com/can_link.h"
#include "th_obd2_com/obd2_config.h"
#include "th_obd2_com/obd2_protocol.h"
#include "th_obd2_com/obd_exchange.h"
#include "th_obd2_com/pid_catalogue.h"

SupportedPid supported_pids[LIVE_MAX_PIDS];
int g_supported_pid_count;
char json_output[LIVE_JSON_BUF_SIZE];

namespace
{

constexpr size_t LIVE_REQUEST_LEN = 8;
constexpr size_t LIVE_LINE_BUF_SIZE = 128;
constexpr uint8_t SID_CURRENT_DATA = OBD2_SID_CURRENT_DATA;
constexpr uint8_t SID_CURRENT_DATA_OK = obd2_positive_sid(OBD2_SID_CURRENT_DATA);

constexpr const char *LIVE_HEADER = "{\n  \"TYP\": 1,\n  \"CMD\": 2,\n  \"DATA\": {\n";
constexpr const char *LIVE_CLOSING = "  }\n}";

int clamp_count(int n, int max)
{
    if (n < 0) {
        return 0;
    }
    return n > max ? max : n;
}

// Appends `text` whole or not at all, so the buffer always holds a NUL-terminated text.
bool append(size_t &used, const char *text)
{
    const size_t len = strlen(text);
    if (used + len >= sizeof json_output) {
        return false;
    }
    memcpy(json_output + used, text, len + 1);
    used += len;
    return true;
}

} // namespace

void get_live_info(int *count, char (*names)[64])
{
    const int n = clamp_count(g_live_sensor_count, CFG_MAX_LIVE_SENSORS);
    *count = n;
    for (int i = 0; i < n; ++i) {
        // At most 63 characters; the configured row may lack its NUL.
        const size_t len = strnlen(g_live_sensor_names[i], CFG_NAME_LEN - 1);
        memcpy(names[i], g_live_sensor_names[i], len);
        names[i][len] = '\0';
    }
}

int get_pid_list()
{
    char names[CFG_MAX_LIVE_SENSORS][64];
    int count = 0;
    get_live_info(&count, names);

    for (SupportedPid &entry : supported_pids) {
        free(entry.short_key);
        entry.short_key = nullptr;
        entry.pid = 0;
    }
    g_supported_pid_count = 0;

    for (int i = 0; i < count && g_supported_pid_count < LIVE_MAX_PIDS; ++i) {
        const int pid = get_pid_from_name(names[i]);
        if (pid == 0) {
            continue;
        }
        char *key = strdup(names[i]);
        if (key == nullptr) {
            perror("OBD2_ERROR : Failed to copy sensor key");
            continue;
        }
        supported_pids[g_supported_pid_count].pid = static_cast<uint8_t>(pid);
        supported_pids[g_supported_pid_count].short_key = key;
        ++g_supported_pid_count;
    }

    printf("Supported PIDs (%d):\n", g_supported_pid_count);
    for (int i = 0; i < g_supported_pid_count; ++i) {
        printf("PID: 0x%02X, Name: %s\n", supported_pids[i].pid, supported_pids[i].short_key);
    }
    return 1;
}

char *handle_live_mode(int mode)
{
    std::array<float, LIVE_MAX_PIDS> values{};
    std::array<bool, LIVE_MAX_PIDS> answered{};
    int answered_count = 0;
    memset(json_output, 0, sizeof json_output);
    printf("pid count : %d\n", g_supported_pid_count);

    const int count = clamp_count(g_supported_pid_count, LIVE_MAX_PIDS);
    std::array<uint8_t, OBD2_RESP_BUF_SIZE> answer{};
    for (int i = 0; i < count; ++i) {
        const uint8_t pid = supported_pids[i].pid;
        uint8_t frame[LIVE_REQUEST_LEN];
        prepare_request(frame, 2, SID_CURRENT_DATA, pid);

        size_t len = 0;
        const Obd2Outcome rc =
            obd_send_request(mode, frame, LIVE_REQUEST_LEN, answer.data(), &len, OBD2_REQ_LIVE);
        if (rc == Obd2Outcome::Answered && len >= 3 && len <= answer.size()) {
            // A late answer to an earlier request must not show up as this sensor's value.
            if (answer[1] != SID_CURRENT_DATA_OK || answer[2] != pid) {
                printf("OBD2 WARN: answer %02X %02X does not match PID %X, ignored\n", answer[1], answer[2],
                       pid);
            } else {
                printf("response of live request (PID %X):\n", pid);
                for (size_t k = 0; k < len; ++k) {
                    printf(" [ %X ] ", answer[k]);
                }
                printf("\n\n");
                const float value = calculate_physical_value(pid, answer.data(), len);
                // Only finite values are JSON numbers.
                if (std::isfinite(value)) {
                    values[i] = value;
                    answered[i] = true;
                    ++answered_count;
                }
            }
        }
        gw_sleep_us(LIVE_SENSOR_PAUSE_US);
    }

    if (answered_count == 0) {
        memset(json_output, 0, sizeof json_output);
        return nullptr;
    }

    size_t used = 0;
    bool fits = append(used, LIVE_HEADER);
    for (int i = 0; i < count && fits; ++i) {
        const char *sep = i + 1 < count ? "," : "";
        char line[LIVE_LINE_BUF_SIZE];
        if (answered[i]) {
            snprintf(line, sizeof line, "    \"%s\": %.2f%s\n", supported_pids[i].short_key,
                     static_cast<double>(values[i]), sep);
        } else {
            snprintf(line, sizeof line, "    \"%s\": \"--\"%s\n", supported_pids[i].short_key, sep);
        }
        fits = append(used, line);
    }
    fits = fits && append(used, LIVE_CLOSING);
    if (!fits) {
        // Cannot happen with catalogue keys and clamped values; never hand out a cut text.
        puts("OBD2_ERROR : Live packet does not fit its buffer.");
        memset(json_output, 0, sizeof json_output);
        return nullptr;
    }
    printf("printing packet before sending (live packet) : %s\n", json_output);
    return json_output;
}
