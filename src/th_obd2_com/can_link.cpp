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
#include <vector>

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
// Transmission timeouts (skipped by the exchange), and bus-off, which tells
// that the controller stopped and the interface must be brought up again.
constexpr uint32_t CAN_ERROR_MASK = CAN_ERR_TX_TIMEOUT | CAN_ERR_BUSOFF;

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

long wait_of(int kind)
{
    return (kind == OBD2_REQ_DTC || kind == OBD2_REQ_CLEAR_DTC || kind == OBD2_REQ_VEHICLE_INFO)
               ? OBD2_LONG_WAIT_US
               : OBD2_SHORT_WAIT_US;
}

// Exchanges in a row that failed on the interface itself; see can_link_failures().
int g_link_failures = 0;

// One ECU's answer while a request runs.
struct AnswerWait {
    int64_t deadline_us = 0; // from the request, the last new bytes, or its last "response pending"
    size_t high_water = 0;   // bytes of a segmented answer ever collected: only new ones are progress
    int pendings = 0;
    bool heard = false; // it began its answer or said "response pending"
    bool final = false;
    Obd2Outcome outcome = Obd2Outcome::None;
};

// One request and the answers it gets. Each receiver is bound to its ECU (or,
// alone, to the first ECU that answers) and frames go to the receiver of their
// identifier. An open run also admits every further ECU that answers, up to
// its capacity: detection, which cannot know beforehand who is there.
class RequestRun
{
  public:
    RequestRun(int mode, const uint8_t *request, size_t request_len, int kind, size_t capacity, bool open)
        : mode_(mode), chan_(can_cfg[mode == 1 ? 0 : 1]), request_(request), request_len_(request_len),
          wait_us_(wait_of(kind)), capacity_(capacity), open_(open)
    {
        rx_.reserve(capacity);
        w_.reserve(capacity);
    }

    void add(uint32_t bound_response_id, bool release_leftovers)
    {
        if (rx_.size() < capacity_) {
            rx_.emplace_back(mode_, request_, request_len_, bound_response_id, release_leftovers);
            w_.emplace_back();
        }
    }

    // Sends the request (after dropping what is queued); false when it was not sent.
    // `take_queued_final`: a final answer to the same request already queued
    // (it came after the previous exchange had ended) is taken, not dropped.
    bool send(bool take_queued_final)
    {
        start_us_ = gw_monotonic_us();
        drain(take_queued_final);
        if (!rx_.empty() && remaining() == 0) {
            return true; // every answer was already there
        }
        printf("REQUEST ");
        for (size_t i = 0; i < request_len_; ++i) {
            printf("[ %2x ] ", request_[i]);
        }
        printf("\n");

        can_frame req{};
        req.can_id = chan_.request_id | (mode_ == 2 ? CAN_EFF_FLAG : 0);
        req.can_dlc = static_cast<uint8_t>(request_len_);
        std::memcpy(req.data, request_, request_len_);
        if (::write(chan_.sock, &req, sizeof req) < 0) {
            perror("CAN write failed");
            io_failed_ = true;
            finish_link();
            return false;
        }
        start_us_ = gw_monotonic_us();
        return true;
    }

    // Collects until every receiver has its final answer or its wait ended
    // and, in an open run, until no further ECU may still begin to answer.
    void collect()
    {
        // No sequence of frames extends an exchange past this.
        const int64_t limit_us = start_us_ + obd2_exchange_limit_us(wait_us_);
        for (AnswerWait &w : w_) {
            if (w.deadline_us == 0) {
                w.deadline_us = start_us_ + wait_us_;
            }
        }
        for (;;) {
            int64_t next_us = limit_us;
            const int64_t now_us = gw_monotonic_us();
            for (size_t i = 0; i < rx_.size(); ++i) {
                if (w_[i].final) {
                    continue;
                }
                const int64_t due = std::min(deadline_of(i), limit_us);
                if (due <= now_us) {
                    time_out(i);
                } else {
                    next_us = std::min(next_us, due);
                }
            }
            const int64_t newcomers_us = std::min(newcomers_until(), limit_us);
            if (newcomers_us > now_us) {
                next_us = std::min(next_us, newcomers_us);
            } else if (remaining() == 0) {
                break;
            }
            pollfd pfd{chan_.sock, POLLIN, 0};
            const int rc = gw_poll(&pfd, 1, std::max<int64_t>(next_us - gw_monotonic_us(), 0));
            if (rc < 0) {
                perror("OBD2 ERROR: select() failed");
                fail_all();
                break;
            }
            if (rc == 0) {
                continue; // the wait of someone ended: decided at the top
            }
            can_frame rx{};
            const ssize_t got = ::read(chan_.sock, &rx, sizeof rx);
            puts("response : ");
            for (uint8_t b : rx.data) {
                printf("[ %02x ] ", b);
            }
            printf("\n");
            puts("");
            if (got <= 0) {
                // A CAN socket never reads 0 bytes; a stand-in bus that went away does.
                if (got == 0) {
                    errno = ENODEV;
                }
                perror("CAN read failed");
                fail_all();
                break;
            }
            if (got != static_cast<ssize_t>(sizeof rx)) {
                continue;
            }
            if (rx.can_id & CAN_ERR_FLAG) {
                bus_off_ = bus_off_ || (rx.can_id & CAN_ERR_BUSOFF) != 0;
                continue;
            }
            if (!take(rx)) {
                break; // a flow control could not be sent
            }
        }
        finish_link();
    }

    size_t size() const { return rx_.size(); }
    Obd2Outcome outcome(size_t i) const { return w_[i].outcome; }
    const Obd2Reassembly &rx(size_t i) const { return rx_[i]; }

  private:
    size_t remaining() const
    {
        return static_cast<size_t>(
            std::count_if(w_.begin(), w_.end(), [](const AnswerWait &w) { return !w.final; }));
    }

    // With several ECUs, those not heard from get the time any ECU may take
    // to answer once the first final answer is in.
    bool several() const { return open_ || rx_.size() > 1; }

    int64_t deadline_of(size_t i) const
    {
        if (several() && first_final_us_ >= 0 && !w_[i].heard) {
            return std::min(w_[i].deadline_us, first_final_us_ + OBD2_DETECT_SETTLE_US);
        }
        return w_[i].deadline_us;
    }

    // Until when an open run with room left waits for ECUs not heard yet: the
    // request's wait, and once a final answer is in, the time any ECU may take
    // after it.
    int64_t newcomers_until() const
    {
        if (!open_ || rx_.size() >= capacity_) {
            return 0;
        }
        return first_final_us_ >= 0 ? first_final_us_ + OBD2_DETECT_SETTLE_US : start_us_ + wait_us_;
    }

    void finish(size_t i, Obd2Outcome outcome)
    {
        w_[i].final = true;
        w_[i].outcome = outcome;
        if (outcome != Obd2Outcome::None && first_final_us_ < 0) {
            first_final_us_ = gw_monotonic_us();
        }
    }

    void fail_all()
    {
        io_failed_ = true;
        for (size_t i = 0; i < rx_.size(); ++i) {
            if (!w_[i].final) {
                finish(i, Obd2Outcome::None);
            }
        }
    }

    void time_out(size_t i)
    {
        if (w_[i].pendings > 0) {
            printf("OBD2 WARN: no final answer from 0x%X after response pending\n",
                   static_cast<unsigned>(rx_[i].response_id()));
            if (rx_[i].collecting()) {
                // A segmented answer began after the pending and broke off: no answer.
                finish(i, Obd2Outcome::None);
                return;
            }
            // The pending frame is the last word of that ECU: callers see the 0x78.
            const uint8_t *a = rx_[i].answer();
            printf("OBD2 Negative Response: SID=0x%02X, NRC=0x%02X\n", a[2], a[3]);
            finish(i, Obd2Outcome::Busy);
            return;
        }
        if (several() && first_final_us_ >= 0) {
            printf("OBD2 WARN: no answer from ECU 0x%X\n", static_cast<unsigned>(rx_[i].response_id()));
        } else {
            puts("Timeout: No CAN frame received");
        }
        finish(i, Obd2Outcome::None);
    }

    // The receiver a frame belongs to; an open run admits an ECU not heard
    // yet when the frame begins its answer. rx_.size() when none.
    size_t receiver_of(const can_frame &rx)
    {
        if (rx_.size() == 1 && !open_) {
            return 0;
        }
        const uint32_t id = Obd2Reassembly::answering_id(mode_, rx);
        for (size_t i = 0; id != 0 && i < rx_.size(); ++i) {
            if (rx_[i].response_id() == id) {
                return i;
            }
        }
        if (id == 0 || !open_ || rx_.size() >= capacity_) {
            return rx_.size();
        }
        Obd2Reassembly fresh(mode_, request_, request_len_, id);
        can_frame probe = rx;
        if (fresh.step(probe) == Obd2RxStep::Skip) {
            return rx_.size(); // not an answer to this request
        }
        add(id, false);
        w_.back().deadline_us = start_us_ + wait_us_;
        return rx_.size() - 1;
    }

    void write_best_effort(const can_frame &fc)
    {
        if (::write(chan_.sock, &fc, sizeof fc) < 0) {
            perror("CAN write failed");
        }
    }

    // One frame of the bus; false when the exchange must end.
    bool take(const can_frame &f)
    {
        const size_t i = receiver_of(f);
        if (i == rx_.size()) {
            // Another ECU's segmented answer: release it so it does not hold its next answers.
            can_frame fc{};
            if (Obd2Reassembly::releases(mode_, 0, f, &fc)) {
                write_best_effort(fc);
            }
            return true;
        }
        if (w_[i].final) {
            return true;
        }
        Obd2Reassembly &r = rx_[i];
        AnswerWait &w = w_[i];
        const Obd2RxStep step = r.step(f);
        if (r.advanced() || (step == Obd2RxStep::Complete && r.collecting())) {
            printf("---------: response len : %d copy len : %d | expected seq : %d | Total len : %d\n",
                   static_cast<int>(r.collected_len()), static_cast<int>(r.last_copy()),
                   static_cast<int>(r.sequence_counter()), static_cast<int>(r.expected_total()));
        }
        const int64_t now_us = gw_monotonic_us();
        switch (step) {
        case Obd2RxStep::Skip:
            if (r.releases_other_ecu()) {
                write_best_effort(r.released_flow_control()); // the answer asked for does not depend on it
            }
            if (r.advanced()) {
                progress(w, r, now_us);
            } else if (r.stray_from_ecu() && now_us - start_us_ >= OBD2_SEGMENT_GAP_LIMIT_US) {
                finish(i, Obd2Outcome::None);
            }
            return true;
        case Obd2RxStep::SendFlowControl: {
            printf(" >>>>>>> Total Len: %d <<<<<<<<\n", static_cast<int>(r.expected_total()));
            const can_frame &fc = r.flow_control();
            if (::write(chan_.sock, &fc, sizeof fc) < 0) {
                fail_all();
                return false;
            }
            w.heard = true;
            progress(w, r, now_us);
            return true;
        }
        case Obd2RxStep::Pending:
            w.heard = true;
            printf("OBD2 INFO: response pending (NRC=0x78) from 0x%X, waiting for its final answer\n",
                   static_cast<unsigned>(r.response_id()));
            if (++w.pendings > OBD2_MAX_RESPONSE_PENDING) {
                printf("OBD2 Negative Response: SID=0x%02X, NRC=0x%02X\n", f.data[2], f.data[3]);
                finish(i, Obd2Outcome::Busy);
            } else {
                w.deadline_us = now_us + OBD2_RESPONSE_PENDING_WAIT_US;
            }
            return true;
        case Obd2RxStep::Failed:
            printf("OBD2 unexpected sequence: got 0x%02X, expected 0x%02X\n", r.received_sequence(),
                   static_cast<unsigned>(r.sequence_counter() % 16));
            finish(i, Obd2Outcome::None);
            return true;
        case Obd2RxStep::Refused:
            printf("OBD2 Negative Response: SID=0x%02X, NRC=0x%02X\n", f.data[2], f.data[3]);
            finish(i, Obd2Outcome::Refused);
            return true;
        case Obd2RxStep::Complete:
            finish(i, Obd2Outcome::Answered);
            return true;
        }
        return true;
    }

    // Only bytes never collected before re-arm the wait: a first frame sent
    // again, or consecutive frames that carry nothing, keep no exchange alive.
    void progress(AnswerWait &w, const Obd2Reassembly &r, int64_t now_us)
    {
        if (r.collected_len() > w.high_water) {
            w.high_water = r.collected_len();
            w.deadline_us = now_us + wait_us_;
        }
    }

    // Frames queued before the request are stale. With several ECUs, one may
    // have begun a segmented answer after the exchange that asked had taken
    // another ECU's answer and ended: that ECU waits for flow control and
    // answers nothing meanwhile, so it gets it now (best effort).
    void drain(bool take_queued_final)
    {
        const bool several_ecus = g_ecu_count > 1;
        can_frame f{};
        can_frame fc{};
        for (int k = 0; k < MAX_STALE_FRAMES; ++k) {
            if (::recv(chan_.sock, &f, sizeof f, MSG_DONTWAIT) < 0) {
                break;
            }
            if (take_queued_final && (f.can_id & CAN_ERR_FLAG) == 0 &&
                (f.data[0] >> 4) == ISOTP_SINGLE_FRAME) {
                const size_t i = open_ ? rx_.size() : receiver_of(f);
                if (i < rx_.size() && !w_[i].final) {
                    const Obd2RxStep step = rx_[i].step(f);
                    if (step == Obd2RxStep::Complete || step == Obd2RxStep::Refused) {
                        puts("OBD2 INFO: final answer to the same request taken from the queue");
                        finish(i,
                               step == Obd2RxStep::Complete ? Obd2Outcome::Answered : Obd2Outcome::Refused);
                    } else if (step == Obd2RxStep::Pending) {
                        w_[i].heard = true;
                        ++w_[i].pendings;
                        w_[i].deadline_us = start_us_ + OBD2_RESPONSE_PENDING_WAIT_US;
                    }
                    continue;
                }
            }
            // No answering ECU has identifier 0: every ECU's first frame counts.
            if (several_ecus && Obd2Reassembly::releases(mode_, 0, f, &fc)) {
                write_best_effort(fc);
            }
        }
    }

    // Socket failures, or a controller gone bus-off with nobody answering,
    // count against the interface; any answer clears the count.
    void finish_link()
    {
        const bool answered = std::any_of(w_.begin(), w_.end(),
                                          [](const AnswerWait &w) { return w.outcome != Obd2Outcome::None; });
        if (io_failed_ || (bus_off_ && !answered)) {
            ++g_link_failures;
        } else if (answered) {
            g_link_failures = 0;
        }
    }

    int mode_;
    const CanChannel &chan_;
    const uint8_t *request_;
    size_t request_len_;
    long wait_us_;
    size_t capacity_;
    bool open_;
    std::vector<Obd2Reassembly> rx_;
    std::vector<AnswerWait> w_;
    int64_t start_us_ = 0;
    int64_t first_final_us_ = -1;
    bool io_failed_ = false;
    bool bus_off_ = false;
};

bool valid_request_len(size_t request_len)
{
    if (request_len < 2 || request_len > 8) {
        printf("Invalid OBD2 request length: %zu bytes\n", request_len);
        return false;
    }
    return true;
}

// Leaves receiver i's answer as send_obd2_request does: what a segmented
// answer had delivered when it broke off, or nothing, for no answer.
size_t copy_answer(const RequestRun &run, size_t i, uint8_t *out, size_t capacity)
{
    const Obd2Reassembly &r = run.rx(i);
    const size_t len =
        run.outcome(i) == Obd2Outcome::None ? (r.collecting() ? r.collected_len() : 0) : r.answer_len();
    const size_t n = std::min(len, capacity);
    std::memcpy(out, r.answer(), n);
    return n;
}

} // namespace

Obd2Outcome send_obd2_request(int mode, const uint8_t *request, size_t request_len, uint8_t *response,
                              size_t *response_len, int kind)
{
    if (!valid_request_len(request_len)) {
        return Obd2Outcome::None;
    }
    // One receiver: the scoped ECU, or the first that answers. With several
    // ECUs, a first frame left from an earlier request of the ECU asked is
    // released as well (see RequestRun::drain).
    RequestRun run(mode, request, request_len, kind, 1, false);
    run.add(ecu_scope_response_id(), g_ecu_count > 1);
    if (!run.send(false)) {
        return Obd2Outcome::None;
    }
    *response_len = 0;
    run.collect();
    *response_len = copy_answer(run, 0, response, OBD2_RESP_BUF_SIZE);
    return run.outcome(0);
}

int collect_obd2_answers(int mode, const uint8_t *request, size_t request_len, int kind, const uint32_t *ids,
                         int count, Obd2EcuAnswer *answers, bool take_queued_final)
{
    if (count <= 0 || !valid_request_len(request_len)) {
        return -1;
    }
    const size_t n = static_cast<size_t>(count);
    RequestRun run(mode, request, request_len, kind, n, false);
    for (size_t i = 0; i < n; ++i) {
        run.add(ids[i], g_ecu_count > 1);
        answers[i].response_id = ids[i];
        answers[i].outcome = Obd2Outcome::None;
        answers[i].len = 0;
    }
    if (!run.send(take_queued_final)) {
        return -1;
    }
    run.collect();
    int answered = 0;
    for (size_t i = 0; i < n; ++i) {
        answers[i].outcome = run.outcome(i);
        if (answers[i].outcome == Obd2Outcome::None) {
            continue;
        }
        answers[i].response_id = run.rx(i).response_id();
        answers[i].len = copy_answer(run, i, answers[i].data.data(), answers[i].data.size());
        answered += answers[i].outcome != Obd2Outcome::Busy;
    }
    return answered;
}

int ask_recorded_ecus(const uint8_t *request, size_t request_len, int kind,
                      std::vector<Obd2EcuAnswer> &answers, bool take_queued_final)
{
    const int n = ecu_list_size();
    answers.assign(static_cast<size_t>(n), Obd2EcuAnswer{});
    int answered = 0;
    // One request per addressing mode, for the recorded ECUs of that mode.
    for (int mode = 1; mode <= 2; ++mode) {
        std::vector<int> index;
        const std::vector<uint32_t> ids = recorded_ecus_on(mode, &index);
        if (ids.empty()) {
            continue;
        }
        std::vector<Obd2EcuAnswer> got(ids.size());
        const int rc = collect_obd2_answers(mode, request, request_len, kind, ids.data(),
                                            static_cast<int>(ids.size()), got.data(), take_queued_final);
        answered += std::max(rc, 0);
        for (size_t k = 0; k < ids.size(); ++k) {
            answers[static_cast<size_t>(index[k])] = got[k];
        }
    }
    return answered;
}

int can_link_failures()
{
    return g_link_failures;
}

void can_link_reset_failures()
{
    g_link_failures = 0;
}

int prepare_request(uint8_t *frame, uint8_t b0, uint8_t b1, uint8_t b2)
{
    frame[0] = b0;
    frame[1] = b1;
    frame[2] = b2;
    std::fill(frame + 3, frame + 8, padding_byte());
    return 1;
}

int detect_ecus(const uint8_t *request, size_t request_len, uint8_t *response, size_t *response_len,
                EcuEntry *ecus, int capacity, int *count)
{
    if (count != nullptr) {
        *count = 0;
    }
    if (!valid_request_len(request_len)) {
        return 0;
    }
    const bool listing = ecus != nullptr && count != nullptr && capacity > 0;
    const uint32_t scope = ecu_scope_response_id();
    for (int mode = 1; mode <= 2; ++mode) {
        // Every ECU that answers is recorded when a list is asked for; 29-bit
        // answers come from one ECU only (the channel takes 0x18DAF110 alone),
        // and a scoped probe takes its ECU alone.
        const size_t room = listing && mode == 1 && scope == 0
                                ? std::min<size_t>(static_cast<size_t>(capacity), OBD2_RESPONSE_IDS_11)
                                : 1;
        RequestRun run(mode, request, request_len, OBD2_REQ_DETECT, room, room > 1);
        if (room == 1) {
            run.add(scope, g_ecu_count > 1);
        }
        if (!run.send(false)) {
            continue;
        }
        run.collect();
        // The ECUs that answered (a refusal or "response pending" shows an ECU
        // is there), engine first.
        std::vector<size_t> heard;
        for (size_t i = 0; i < run.size(); ++i) {
            if (run.outcome(i) != Obd2Outcome::None) {
                heard.push_back(i);
            }
        }
        if (heard.empty()) {
            continue;
        }
        std::sort(heard.begin(), heard.end(),
                  [&run](size_t a, size_t b) { return run.rx(a).response_id() < run.rx(b).response_id(); });
        const auto positive = std::find_if(
            heard.begin(), heard.end(), [&run](size_t i) { return run.outcome(i) == Obd2Outcome::Answered; });
        const size_t shown = positive != heard.end() ? *positive : heard.front();
        *response_len = copy_answer(run, shown, response, OBD2_RESP_BUF_SIZE);
        if (listing) {
            for (size_t i : heard) {
                if (*count < capacity) {
                    ecus[(*count)++] = EcuEntry{run.rx(i).response_id(), mode};
                }
            }
        }
        // A refusal on 11-bit still shows a vehicle there: 29-bit is not tried.
        return positive != heard.end() ? mode : -2;
    }
    return 0;
}

int detect_mode(const uint8_t *request, size_t request_len, uint8_t *response, size_t *response_len)
{
    return detect_ecus(request, request_len, response, response_len, nullptr, 0, nullptr);
}
