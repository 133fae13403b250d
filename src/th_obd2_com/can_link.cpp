// CAN interface bring-up, the two filtered raw sockets, and one OBD
// request/response exchange with ISO 15765-2 segmentation.
#include "th_obd2_com/can_link.h"

#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/gw_time.h"
#include "th_obd2_com/ecu_list.h"
#include "th_obd2_com/obd2_config.h"
#include "th_obd2_com/obd2_protocol.h"
#include "th_obd2_com/obd2_reassembly.h"

CanChannel can_cfg[2] = {
    {-1, OBD2_FUNCTIONAL_ID_11, OBD2_RESPONSE_BASE_11, OBD2_RESPONSE_MASK_11},
    {-1, OBD2_FUNCTIONAL_ID_29, OBD2_RESPONSE_ID_29, OBD2_RESPONSE_MASK_29},
};

namespace
{

constexpr const char *CAN_IFNAME = "can0";
constexpr size_t CAN_SETUP_CMD_LEN = 128;
constexpr uint32_t CAN_ERROR_MASK = CAN_ERR_TX_TIMEOUT;

// Frames already queued when a request goes out are stale; this bounds the
// drain so a babbling bus cannot keep the worker in it.
constexpr int MAX_STALE_FRAMES = 4096;

int run_system(const char *command)
{
    return std::system(command);
}

CanShellRunner g_shell_runner = run_system;

int open_can_socket(int)
{
    return ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
}

CanSocketFactory g_socket_factory = open_can_socket;

// Descriptors this module opened; an earlier, partly failed init_can_socket
// may have left them open, and they are closed before new ones are made.
int g_owned_socks[2] = {-1, -1};

void close_channel(int ch)
{
    ::close(can_cfg[ch].sock);
    if (g_owned_socks[ch] == can_cfg[ch].sock) {
        g_owned_socks[ch] = -1;
    }
    // A closed number may be reused by any later open; never write frames to it.
    can_cfg[ch].sock = -1;
}

void setup_channel(int ch, int &result)
{
    int sock = can_cfg[ch].sock;
    if (sock < 0) {
        perror("CAN socket creation failed");
        result = 0;
        return;
    }
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, CAN_IFNAME, IFNAMSIZ - 1);
    if (::ioctl(sock, SIOCGIFINDEX, &ifr) < 0) {
        perror("CAN interface index failed");
        close_channel(ch);
        result = 0;
        return;
    }
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifr.ifr_ifindex;
    if (::bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        perror("CAN socket bind failed");
        close_channel(ch);
        result = 0;
        return;
    }
    can_filter filter{};
    filter.can_id = can_cfg[ch].filter_id;
    filter.can_mask = can_cfg[ch].filter_mask;
    if (::setsockopt(sock, SOL_CAN_RAW, CAN_RAW_FILTER, &filter, sizeof filter) < 0) {
        perror("CAN filter setup failed");
        close_channel(ch);
        result = 0;
        return;
    }
    can_err_mask_t err_mask = CAN_ERROR_MASK;
    if (::setsockopt(sock, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &err_mask, sizeof err_mask) < 0) {
        // The socket stays usable for data; the next attempt replaces it.
        perror("CAN error filter setup failed");
        result = 0;
    }
}

// Reads and drops whatever is queued on the socket without waiting. With
// several ECUs, one may have begun a segmented answer after the exchange that
// asked had taken another ECU's answer and ended: that ECU waits for flow
// control and answers nothing meanwhile, so it gets it now (best effort).
void drain_stale_frames(int sock, int mode)
{
    const bool several_ecus = g_ecu_count > 1;
    can_frame f{};
    can_frame fc{};
    for (int i = 0; i < MAX_STALE_FRAMES; ++i) {
        if (::recv(sock, &f, sizeof f, MSG_DONTWAIT) < 0) {
            return;
        }
        // No answering ECU has identifier 0: every ECU's first frame counts.
        if (several_ecus && Obd2Reassembly::releases(mode, 0, f, &fc) && ::write(sock, &fc, sizeof fc) < 0) {
            perror("CAN write failed");
        }
    }
}

uint8_t padding_byte()
{
    return static_cast<uint8_t>(g_can_padding & 0xFF);
}

} // namespace

void can_test_set_shell_runner(CanShellRunner runner)
{
    g_shell_runner = runner ? runner : run_system;
}

void can_test_set_socket_factory(CanSocketFactory factory)
{
    g_socket_factory = factory ? factory : open_can_socket;
}

int can_setup(const char *ifname, long long bitrate)
{
    // The exit status of the commands is not examined: an interface already
    // configured by the system, a virtual CAN interface without a bit rate or
    // missing rights all make some of them fail, and a truly unusable
    // interface shows as a failing init_can_socket, which the worker retries.
    char cmd[CAN_SETUP_CMD_LEN];
    snprintf(cmd, sizeof cmd, "sudo ip link set %s down", ifname);
    g_shell_runner(cmd);
    snprintf(cmd, sizeof cmd, "sudo ip link set %s up type can bitrate %lld", ifname, bitrate);
    g_shell_runner(cmd);
    snprintf(cmd, sizeof cmd, "sudo ip link set %s up", ifname);
    g_shell_runner(cmd);
    return 1;
}

int init_can_socket()
{
    int result = 1;
    for (int ch = 0; ch < 2; ++ch) {
        if (g_owned_socks[ch] >= 0) {
            ::close(g_owned_socks[ch]);
            g_owned_socks[ch] = -1;
        }
    }
    for (int ch = 0; ch < 2; ++ch) {
        can_cfg[ch].sock = g_socket_factory(ch);
        g_owned_socks[ch] = can_cfg[ch].sock;
    }
    for (int ch = 0; ch < 2; ++ch) {
        setup_channel(ch, result);
    }
    return result;
}

int apply_can_filter(int sock, int kind, int id, int mask)
{
    int rc;
    switch (kind) {
    case 1: {
        can_filter filter{};
        filter.can_id = static_cast<canid_t>(id);
        filter.can_mask = static_cast<canid_t>(mask);
        rc = ::setsockopt(sock, SOL_CAN_RAW, CAN_RAW_FILTER, &filter, sizeof filter);
        break;
    }
    case 2: {
        can_err_mask_t err_mask = 1;
        rc = ::setsockopt(sock, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &err_mask, sizeof err_mask);
        break;
    }
    case 3: {
        int off = 0;
        rc = ::setsockopt(sock, SOL_CAN_RAW, CAN_RAW_LOOPBACK, &off, sizeof off);
        break;
    }
    case 4: {
        int on = 1;
        rc = ::setsockopt(sock, SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, &on, sizeof on);
        break;
    }
    default:
        fprintf(stderr, "Unknown filter type: %d\n", kind);
        errno = EINVAL;
        return -1;
    }
    if (rc < 0) {
        perror("setsockopt");
        return -1;
    }
    return 0;
}

namespace
{

// One exchange; `answered_id` (when given) receives the identifier of the ECU
// that answered or refused.
int run_exchange(int mode, const uint8_t *request, size_t request_len, uint8_t *response,
                 size_t *response_len, int kind, uint32_t *answered_id)
{
    const CanChannel &chan = can_cfg[mode == 1 ? 0 : 1];
    const int sock = chan.sock;
    const long wait_us = (kind == OBD2_REQ_DTC || kind == OBD2_REQ_CLEAR_DTC || kind == OBD2_REQ_VEHICLE_INFO)
                             ? OBD2_LONG_WAIT_US
                             : OBD2_SHORT_WAIT_US;

    if (request_len < 2 || request_len > 8) {
        printf("Invalid OBD2 request length: %zu bytes\n", request_len);
        return -1;
    }

    printf("REQUEST ");
    for (size_t i = 0; i < request_len; ++i) {
        printf("[ %2x ] ", request[i]);
    }
    printf("\n");

    can_frame req{};
    req.can_id = chan.request_id | (mode == 2 ? CAN_EFF_FLAG : 0);
    req.can_dlc = static_cast<uint8_t>(request_len);
    std::memcpy(req.data, request, request_len);

    drain_stale_frames(sock, mode);
    if (::write(sock, &req, sizeof req) < 0) {
        perror("CAN write failed");
        return -1;
    }

    // With several ECUs, a first frame left from an earlier request of the ECU
    // asked is released as well (see drain_stale_frames).
    Obd2Reassembly rx_state(mode, request, request_len, ecu_scope_response_id(), g_ecu_count > 1);
    *response_len = 0;
    const int64_t start_us = gw_monotonic_us();
    // The wait runs from the request or from the last useful frame; frames
    // that are skipped do not extend it.
    int64_t deadline_us = start_us + wait_us;

    for (;;) {
        // poll rather than select: a descriptor number above FD_SETSIZE must
        // not write past an fd_set.
        pollfd pfd{sock, POLLIN, 0};
        int64_t left_us = std::max<int64_t>(deadline_us - gw_monotonic_us(), 0);
        int rc = gw_poll(&pfd, 1, left_us);
        if (rc < 0) {
            perror("OBD2 ERROR: select() failed");
            return -1;
        }
        if (rc == 0) {
            puts("Timeout: No CAN frame received");
            return -1;
        }

        can_frame rx{};
        ssize_t n = ::read(sock, &rx, sizeof rx);
        puts("response : ");
        for (uint8_t b : rx.data) {
            printf("[ %02x ] ", b);
        }
        printf("\n");
        puts("");
        if (n < 0) {
            perror("CAN read failed");
            return -1;
        }
        if (n != static_cast<ssize_t>(sizeof rx) || (rx.can_id & CAN_ERR_FLAG)) {
            continue;
        }

        const Obd2RxStep step = rx_state.step(rx);
        if (rx_state.advanced() || (step == Obd2RxStep::Complete && rx_state.collecting())) {
            *response_len = rx_state.collected_len();
            printf("---------: response len : %d copy len : %d | expected seq : %d | Total len : %d\n",
                   static_cast<int>(rx_state.collected_len()), static_cast<int>(rx_state.last_copy()),
                   static_cast<int>(rx_state.sequence_counter()),
                   static_cast<int>(rx_state.expected_total()));
        }
        switch (step) {
        case Obd2RxStep::Skip:
            if (rx_state.releases_other_ecu()) {
                // Best effort: the answer asked for does not depend on it.
                const can_frame &fc = rx_state.released_flow_control();
                if (::write(sock, &fc, sizeof fc) < 0) {
                    perror("CAN write failed");
                }
            }
            if (rx_state.advanced()) {
                deadline_us = gw_monotonic_us() + wait_us;
            } else if (rx_state.stray_from_ecu() &&
                       gw_monotonic_us() - start_us >= OBD2_SEGMENT_GAP_LIMIT_US) {
                return -1;
            }
            continue;
        case Obd2RxStep::SendFlowControl: {
            *response_len = rx_state.collected_len();
            printf(" >>>>>>> Total Len: %d <<<<<<<<\n", static_cast<int>(rx_state.expected_total()));
            const can_frame &fc = rx_state.flow_control();
            if (::write(sock, &fc, sizeof fc) < 0) {
                return -1;
            }
            deadline_us = gw_monotonic_us() + wait_us;
            continue;
        }
        case Obd2RxStep::Failed:
            printf("OBD2 unexpected sequence: got 0x%02X, expected 0x%02X\n", rx_state.received_sequence(),
                   static_cast<unsigned>(rx_state.sequence_counter() % 16));
            return -1;
        case Obd2RxStep::Complete:
        case Obd2RxStep::Refused:
            break;
        }
        std::memcpy(response, rx_state.answer(), rx_state.answer_len());
        *response_len = rx_state.answer_len();
        if (answered_id != nullptr) {
            *answered_id = rx_state.response_id();
        }
        if (step == Obd2RxStep::Refused) {
            printf("OBD2 Negative Response: SID=0x%02X, NRC=0x%02X\n", rx.data[2], rx.data[3]);
            return -2;
        }
        return 0;
    }
}

} // namespace

int send_obd2_request(int mode, const uint8_t *request, size_t request_len, uint8_t *response,
                      size_t *response_len, int kind)
{
    return run_exchange(mode, request, request_len, response, response_len, kind, nullptr);
}

int prepare_request(uint8_t *frame, uint8_t b0, uint8_t b1, uint8_t b2)
{
    frame[0] = b0;
    frame[1] = b1;
    frame[2] = b2;
    std::fill(frame + 3, frame + 8, padding_byte());
    return 1;
}

namespace
{

// The other ECUs' answers to the detection request, each within the longest
// answer time OBD allows after the first answer.
void collect_other_answers(int mode, const uint8_t *request, size_t request_len, EcuEntry *ecus, int capacity,
                           int *count)
{
    const int sock = can_cfg[mode == 1 ? 0 : 1].sock;
    const int64_t deadline_us = gw_monotonic_us() + OBD2_DETECT_SETTLE_US;
    while (*count < capacity) {
        pollfd pfd{sock, POLLIN, 0};
        const int64_t left_us = deadline_us - gw_monotonic_us();
        if (left_us <= 0) {
            return;
        }
        can_frame rx{};
        if (gw_poll(&pfd, 1, left_us) <= 0 || ::read(sock, &rx, sizeof rx) < 0) {
            return;
        }
        Obd2Reassembly one(mode, request, request_len, 0);
        if (one.step(rx) == Obd2RxStep::Skip) {
            continue;
        }
        const uint32_t id = one.response_id();
        if (std::none_of(ecus, ecus + *count, [id](const EcuEntry &e) { return e.response_id == id; })) {
            ecus[(*count)++] = EcuEntry{id, mode};
        }
    }
}

} // namespace

int detect_ecus(const uint8_t *request, size_t request_len, uint8_t *response, size_t *response_len,
                EcuEntry *ecus, int capacity, int *count)
{
    if (count != nullptr) {
        *count = 0;
    }
    for (int mode = 1; mode <= 2; ++mode) {
        uint32_t id = 0;
        const int rc = run_exchange(mode, request, request_len, response, response_len, OBD2_REQ_DETECT, &id);
        if (rc != 0 && rc != -2) {
            continue;
        }
        if (ecus != nullptr && count != nullptr && capacity > 0) {
            ecus[0] = EcuEntry{id, mode};
            *count = 1;
            // 29-bit answers are taken from one ECU only: nobody else to wait for.
            if (mode == 1) {
                collect_other_answers(mode, request, request_len, ecus, capacity, count);
            }
            std::sort(ecus, ecus + *count,
                      [](const EcuEntry &a, const EcuEntry &b) { return a.response_id < b.response_id; });
        }
        // A refusal on 11-bit still shows a vehicle there: 29-bit is not tried.
        return rc == 0 ? mode : -2;
    }
    return 0;
}

int detect_mode(const uint8_t *request, size_t request_len, uint8_t *response, size_t *response_len)
{
    return detect_ecus(request, request_len, response, response_len, nullptr, 0, nullptr);
}
