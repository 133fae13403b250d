// CAN interface bring-up, the two filtered raw sockets, and one OBD
// request/response exchange with ISO 15765-2 segmentation.
#pragma once

#include <cstddef>
#include <cstdint>

struct CanChannel {
    int32_t sock;
    uint32_t request_id;
    uint32_t filter_id;
    uint32_t filter_mask;
};

extern CanChannel can_cfg[2];

constexpr size_t OBD2_RESP_BUF_SIZE = 4096;

// Request kinds: they choose how long the exchange waits for each frame.
constexpr int OBD2_REQ_DTC = 1;
constexpr int OBD2_REQ_LIVE = 2;
constexpr int OBD2_REQ_CLEAR_DTC = 4;
constexpr int OBD2_REQ_VEHICLE_INFO = 7;
constexpr int OBD2_REQ_PID_PROBE = 11;
constexpr int OBD2_REQ_DETECT = 12;
constexpr int OBD2_REQ_READINESS = 13;    // service 01 PID 01 / 41
constexpr int OBD2_REQ_FREEZE_FRAME = 14; // service 02

constexpr long OBD2_LONG_WAIT_US = 10'000'000; // kinds 1, 4, 7
constexpr long OBD2_SHORT_WAIT_US = 100'000;   // every other kind
constexpr long OBD2_SEGMENT_GAP_LIMIT_US = 500'000;

int can_setup(const char *ifname, long long bitrate);
int init_can_socket();
int apply_can_filter(int sock, int kind, int id, int mask);

int send_obd2_request(int mode, const uint8_t *request, size_t request_len, uint8_t *response,
                      size_t *response_len, int kind);
int prepare_request(uint8_t *frame, uint8_t b0, uint8_t b1, uint8_t b2);
int detect_mode(const uint8_t *request, size_t request_len, uint8_t *response, size_t *response_len);

// Longest time an ECU takes to answer; detection waits this long after the
// first answer for the others.
constexpr long OBD2_DETECT_SETTLE_US = 50'000;

struct EcuEntry;
// detect_mode that also lists, in `ecus` (at most `capacity`, `count` set), every
// ECU that answered the request with the identifier it answered from, in
// ascending order: on 11-bit the engine ECU (the lowest) comes first.
int detect_ecus(const uint8_t *request, size_t request_len, uint8_t *response, size_t *response_len,
                EcuEntry *ecus, int capacity, int *count);

// Test-only seams. The product never sets them.
// Runs the `ip link` shell commands of can_setup (default: system()).
using CanShellRunner = int (*)(const char *command);
void can_test_set_shell_runner(CanShellRunner runner);
// Creates the channel sockets in init_can_socket (default: socket(PF_CAN, SOCK_RAW, CAN_RAW)).
using CanSocketFactory = int (*)(int channel);
void can_test_set_socket_factory(CanSocketFactory factory);
