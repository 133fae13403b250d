#include "th_obd2_com/pid_probe.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "common/gw_time.h"
#include "th_mqtt/mqtt_msg.h"
#include "th_obd2_com/can_link.h"
#include "th_obd2_com/obd2_protocol.h"
#include "th_obd2_com/obd_exchange.h"

int g_pid_availability[PID_AVAILABILITY_SIZE];

// Same PIDs, same order as the catalogue rows: flag i belongs to row i.
const uint8_t g_probe_pid_list[PID_PROBE_COUNT] = {
    0x04, 0x05, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x22, 0x2F, 0x33, 0x42,
    0x46, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x23, 0x2C, 0x2D, 0x2E, 0x30,
    0x31, 0x3C, 0x3D, 0x3E, 0x3F, 0x44, 0x45, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D,
    0x4E, 0x06, 0x07, 0x08, 0x09, 0x21, 0x32, 0x43, 0x5C, 0x5D, 0x5E, 0x61, 0x62, 0x63,
};

namespace
{

constexpr uint8_t SERVICE_CURRENT_DATA = OBD2_SID_CURRENT_DATA;
constexpr uint8_t SERVICE_CURRENT_DATA_ANSWER = obd2_positive_sid(OBD2_SID_CURRENT_DATA);
// A positive answer for another PID is typically a second ECU answering the
// previous functional request after its first answer was taken. The probe
// then lets every answer still under way arrive (ECUs answer within 50 ms),
// so the drain at the start of the next exchange removes them, and asks
// again; bounded so a misbehaving ECU cannot stall the probe.
constexpr int FOREIGN_ANSWER_RETRIES = 2;
constexpr int64_t FOREIGN_ANSWER_SETTLE_US = 50'000;

// Only a positive answer echoing the PID asked counts: a late answer to the
// previous PID, or another ECU's answer, must not mark this one available.
bool answers_pid(const uint8_t *response, size_t len, uint8_t pid)
{
    return len >= 3 && response[1] == SERVICE_CURRENT_DATA_ANSWER && response[2] == pid;
}

} // namespace

int get_supported_pid_list(int mode)
{
    int status = 1;
    std::fill(std::begin(g_pid_availability), std::end(g_pid_availability), 0);
    std::puts("Checking supported PIDs one by one...");

    for (int i = 0; i < PID_PROBE_COUNT; ++i) {
        const uint8_t pid = g_probe_pid_list[i];
        uint8_t request[8];
        prepare_request(request, 2, SERVICE_CURRENT_DATA, pid);
        uint8_t response[OBD2_RESP_BUF_SIZE];
        bool answered = false;
        for (int attempt = 0; attempt <= FOREIGN_ANSWER_RETRIES; ++attempt) {
            size_t len = 0;
            const Obd2Outcome rc =
                obd_send_request(mode, request, sizeof request, response, &len, OBD2_REQ_PID_PROBE);
            if (rc != Obd2Outcome::Answered || len == 0) {
                break; // time-out, failure or negative answer: not available
            }
            answered = answers_pid(response, std::min(len, sizeof response), pid);
            if (answered || attempt == FOREIGN_ANSWER_RETRIES) {
                break;
            }
            gw_sleep_us(FOREIGN_ANSWER_SETTLE_US);
        }
        if (answered) {
            g_pid_availability[i] = 1;
            std::printf("PID 0x%02X \u2192 AVAILABLE \n", pid);
        } else {
            g_pid_availability[i] = 0;
            std::printf("PID 0x%02X \u2192 NOT AVAILABLE \n", pid);
        }
    }

    std::printf("\nPID Availability:\n[");
    for (int i = 0; i < PID_PROBE_COUNT; ++i) {
        std::printf("%d%s", g_pid_availability[i], i + 1 < PID_PROBE_COUNT ? "," : "");
    }
    std::printf("]\n====================\nreturning l_status : %d\n===================\n", status);

    char packet[128] = {};
    if (create_pkt_without_data(packet, 1, 0, 0, "GOTPID") != 1 || MQTT_Publish_Data(0, packet) != 1) {
        std::puts("OBD2_ERROR : Error while publishing PID STATUS packet");
        status = 0;
    }
    return status;
}
