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

CanChannel can_cfg[2] = {
    {-1, 0x7DF, 0x7E8, 0x7F8},
    {-1, 0x18DB33F1, 0x18DAF110, 0x1FFFFFFF},
};

namespace
{

constexpr const char *CAN_IFNAME = "can0";
constexpr size_t CAN_SETUP_CMD_LEN = 128;
constexpr uint32_t CAN_ERROR_MASK = CAN_ERR_TX_TIMEOUT;

// Mode-1 acceptance: 0x7E8..0x7EF; mode 2: ECU 0x10 to tester 0xF1 only.
constexpr uint32_t RESP_MASK_11 = 0x7F8;
constexpr uint32_t RESP_BASE_11 = 0x7E8;
constexpr uint32_t RESP_ID_29 = 0x18DAF110;
constexpr uint32_t FLOW_CONTROL_ID_11 = 0x7E0;
constexpr uint32_t FLOW_CONTROL_ID_29 = 0x18DA10F1;

// Frames already queued when a request goes out are stale; this bounds the
// drain so a babbling bus cannot keep the worker in it.
constexpr int MAX_STALE_FRAMES = 4096;

constexpr uint8_t PCI_FIRST = 0x1;
constexpr uint8_t PCI_CONSECUTIVE = 0x2;
constexpr uint8_t NEGATIVE_RESPONSE = 0x7F;

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

bool accepted(int mode, canid_t id)
{
    const uint32_t bound = ecu_scope_response_id();
    if (mode == 1) {
        const uint32_t sid = id & CAN_SFF_MASK;
        return (sid & RESP_MASK_11) == RESP_BASE_11 && (bound == 0 || sid == bound);
    }
    if (mode == 2) {
        const uint32_t eid = id & CAN_EFF_MASK;
        return eid == RESP_ID_29 && (bound == 0 || eid == bound);
    }
    return false;
}

// Reads and drops whatever is queued on the socket without waiting.
void drain_stale_frames(int sock)
{
    can_frame f{};
    for (int i = 0; i < MAX_STALE_FRAMES; ++i) {
        if (::recv(sock, &f, sizeof f, MSG_DONTWAIT) < 0) {
            return;
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

int send_obd2_request(int mode, const uint8_t *request, size_t request_len, uint8_t *response,
                      size_t *response_len, int kind)
{
    const CanChannel &chan = can_cfg[mode == 1 ? 0 : 1];
    const int sock = chan.sock;
    const long wait_us = (kind == OBD2_REQ_DTC || kind == OBD2_REQ_CLEAR_DTC || kind == OBD2_REQ_VEHICLE_INFO)
                             ? OBD2_LONG_WAIT_US
                             : OBD2_SHORT_WAIT_US;
    size_t expected_total = 0;
    uint32_t seq_counter = 1;
    bool got_first_frame = false;
    uint8_t reassembly[OBD2_RESP_BUF_SIZE];

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

    drain_stale_frames(sock);
    if (::write(sock, &req, sizeof req) < 0) {
        perror("CAN write failed");
        return -1;
    }

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
        timespec ts{static_cast<time_t>(left_us / 1000000), static_cast<long>(left_us % 1000000) * 1000};
        int rc = ::ppoll(&pfd, 1, &ts, nullptr);
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
        if (n != static_cast<ssize_t>(sizeof rx) || (rx.can_id & CAN_ERR_FLAG) ||
            !accepted(mode, rx.can_id)) {
            continue;
        }
        // A data length code above 8 (CAN FD style or hostile) still carries only 8 bytes.
        const size_t dlc = std::min<size_t>(rx.can_dlc, CAN_MAX_DLEN);

        if (rx.data[1] == NEGATIVE_RESPONSE) {
            std::memcpy(response, rx.data, dlc);
            *response_len = dlc;
            printf("OBD2 Negative Response: SID=0x%02X, NRC=0x%02X\n", rx.data[2], rx.data[3]);
            return -2;
        }

        const uint8_t type = rx.data[0] >> 4;
        if (type == PCI_FIRST) {
            got_first_frame = true;
            expected_total = (static_cast<size_t>(rx.data[0] & 0x0F) << 8 | rx.data[1]) + 1;
            printf(" >>>>>>> Total Len: %d <<<<<<<<\n", static_cast<int>(expected_total));
            const size_t copy = dlc > 0 ? dlc - 1 : 0;
            std::memcpy(reassembly, rx.data + 1, copy);
            *response_len = copy;

            can_frame fc{};
            fc.can_id = mode == 1 ? FLOW_CONTROL_ID_11 : (FLOW_CONTROL_ID_29 | CAN_EFF_FLAG);
            fc.can_dlc = 8;
            fc.data[0] = 0x30; // continue to send
            fc.data[1] = 0x00; // no further flow control
            fc.data[2] = 0x00; // no separation time
            std::fill(fc.data + 3, fc.data + 8, padding_byte());
            if (::write(sock, &fc, sizeof fc) < 0) {
                return -1;
            }
            deadline_us = gw_monotonic_us() + wait_us;
            continue;
        }

        if (type == PCI_CONSECUTIVE && got_first_frame) {
            const uint8_t got = rx.data[0] & 0x0F;
            const uint8_t want = static_cast<uint8_t>(seq_counter % 16);
            if (got != want) {
                printf("OBD2 unexpected sequence: got 0x%02X, expected 0x%02X\n", got, want);
                return -1;
            }
            size_t copy = dlc > 0 ? dlc - 1 : 0;
            // A first frame may announce fewer bytes than it carries; never go past
            // the announced total (at most the buffer size).
            const size_t room = expected_total > *response_len ? expected_total - *response_len : 0;
            copy = std::min(copy, room);
            std::memcpy(reassembly + *response_len, rx.data + 1, copy);
            *response_len += copy;
            ++seq_counter;
            printf("---------: response len : %d copy len : %d | expected seq : %d | Total len : %d\n",
                   static_cast<int>(*response_len), static_cast<int>(copy), static_cast<int>(seq_counter),
                   static_cast<int>(expected_total));
            if (*response_len < expected_total) {
                deadline_us = gw_monotonic_us() + wait_us;
                continue;
            }
            std::memcpy(response, reassembly, expected_total);
            *response_len = expected_total;
            return 0;
        }

        if (!got_first_frame) {
            // A single frame, or anything else before a first frame.
            std::memcpy(response, rx.data, dlc);
            *response_len = dlc;
            return 0;
        }
        if (gw_monotonic_us() - start_us >= OBD2_SEGMENT_GAP_LIMIT_US) {
            return -1;
        }
    }
}

int prepare_request(uint8_t *frame, uint8_t b0, uint8_t b1, uint8_t b2)
{
    frame[0] = b0;
    frame[1] = b1;
    frame[2] = b2;
    std::fill(frame + 3, frame + 8, padding_byte());
    return 1;
}

int detect_mode(const uint8_t *request, size_t request_len, uint8_t *response, size_t *response_len)
{
    int rc = send_obd2_request(1, request, request_len, response, response_len, OBD2_REQ_DETECT);
    if (rc == 0) {
        return 1;
    }
    if (rc == -2) {
        return -2;
    }
    rc = send_obd2_request(2, request, request_len, response, response_len, OBD2_REQ_DETECT);
    if (rc == 0) {
        return 2;
    }
    if (rc == -2) {
        return -2;
    }
    return 0;
}
