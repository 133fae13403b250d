// CAN interface bring-up, the two filtered raw sockets, and one OBD
// request/response exchange with ISO 15765-2 segmentation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

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

// "Response pending" (negative answer with NRC 0x78 to the service asked): the
// ECU's final answer is still to come. The exchange listens for it this long
// after each one (P2*CAN), and takes at most this many from one ECU.
constexpr long OBD2_RESPONSE_PENDING_WAIT_US = 5'000'000;
constexpr int OBD2_MAX_RESPONSE_PENDING = 6;
// Time a segmented answer may add to its exchange: 4095 bytes take well under
// a second even at 125 kbit/s.
constexpr long OBD2_TRANSFER_LIMIT_US = 5'000'000;
// No exchange lasts longer than this after its request, whatever frames come:
// the wait wait_us restarts only for bytes not received before, and each
// "response pending" extends it by at most its own wait, a bounded number of times.
constexpr long obd2_exchange_limit_us(long wait_us)
{
    return wait_us + OBD2_TRANSFER_LIMIT_US + OBD2_MAX_RESPONSE_PENDING * OBD2_RESPONSE_PENDING_WAIT_US;
}

int can_setup(const char *ifname, long long bitrate);
int init_can_socket();
int apply_can_filter(int sock, int kind, int id, int mask);

// How one ECU's part of an exchange ended. A refusal and a busy ECU are
// kinds of their own, so an answer that never came can never read as either.
enum class Obd2Outcome {
    Answered, // the final, positive answer
    Refused,  // a negative answer (7F, the service, a code other than "response pending")
    Busy,     // "response pending" was its last word: the answer holds that frame
    None,     // no answer, or one that broke off (the answer holds what had come)
};

Obd2Outcome send_obd2_request(int mode, const uint8_t *request, size_t request_len, uint8_t *response,
                              size_t *response_len, int kind);
int prepare_request(uint8_t *frame, uint8_t b0, uint8_t b1, uint8_t b2);

// One ECU's answer to a request sent to several.
struct Obd2EcuAnswer {
    uint32_t response_id = 0;
    Obd2Outcome outcome = Obd2Outcome::None;
    size_t len = 0; // of data, laid out as send_obd2_request leaves an answer
    std::array<uint8_t, OBD2_RESP_BUF_SIZE> data;
};

// Sends `request` once, functionally, on `mode` and collects the answers of
// the ECUs answering from `ids` (one id of 0: the first ECU that answers).
// It ends once each has given its final answer; after the first final
// answer, an ECU that has not begun its own gets OBD2_DETECT_SETTLE_US more
// (one that said "response pending" gets its pending wait). With
// `take_queued_final`, a final answer to the same request that arrived after
// the previous exchange had ended is taken rather than dropped. Returns how
// many ECUs answered (a refusal counts, a busy ECU does not), -1 when the
// request could not be sent.
int collect_obd2_answers(int mode, const uint8_t *request, size_t request_len, int kind, const uint32_t *ids,
                         int count, Obd2EcuAnswer *answers, bool take_queued_final = false);
// collect_obd2_answers for every recorded ECU (one request per addressing mode
// in use); answers[i] belongs to g_ecu_list[i].
int ask_recorded_ecus(const uint8_t *request, size_t request_len, int kind,
                      std::vector<Obd2EcuAnswer> &answers, bool take_queued_final = false);

// Exchanges in a row that failed on the interface itself (a socket call
// failing: interface down or gone; or the controller reporting bus-off while
// nobody answered). Any answer sets it back to 0; a silent vehicle leaves it.
int can_link_failures();
void can_link_reset_failures();
// The worker brings the interface up again after this many.
constexpr int OBD2_LINK_FAILURE_LIMIT = 3;
int detect_mode(const uint8_t *request, size_t request_len, uint8_t *response, size_t *response_len);

// Longest time an ECU takes to answer; detection waits this long after the
// first answer for the others.
constexpr long OBD2_DETECT_SETTLE_US = 50'000;

struct EcuEntry;
// detect_mode that also lists, in `ecus` (at most `capacity`, `count` set), every
// ECU that answered the request (a refusal or "response pending" included)
// with the identifier it answered from, in ascending order: on 11-bit the
// engine ECU (the lowest) comes first. Every ECU's answer is collected by the
// same exchange, each waited for as any exchange waits for its ECUs.
int detect_ecus(const uint8_t *request, size_t request_len, uint8_t *response, size_t *response_len,
                EcuEntry *ecus, int capacity, int *count);

// Test-only seams. The product never sets them.
// Runs the `ip link` shell commands of can_setup (default: system()).
using CanShellRunner = int (*)(const char *command);
void can_test_set_shell_runner(CanShellRunner runner);
// Creates the channel sockets in init_can_socket (default: socket(PF_CAN, SOCK_RAW, CAN_RAW)).
using CanSocketFactory = int (*)(int channel);
void can_test_set_socket_factory(CanSocketFactory factory);
