// Vehicle simulator: an OBD-II vehicle model (one or more ECUs) that speaks
// classic CAN frames. The same model serves in-process tests (over
// socketpairs standing in for the gateway's CAN sockets), the UNIX-socket bus
// of the SocketCAN preload library, and real SocketCAN interfaces.
#pragma once

#include <linux/can.h>
#include <linux/can/error.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "th_obd2_com/obd2_protocol.h"

namespace vsim
{

enum class Addressing { Bit11, Bit29 };

// Functional (broadcast) request identifiers of the two addressing modes.
constexpr uint32_t kFunctionalId11 = OBD2_FUNCTIONAL_ID_11;
constexpr uint32_t kFunctionalId29 = OBD2_FUNCTIONAL_ID_29;
// Receive filters the gateway installs on its two channels (id, mask), and the
// error classes it lets through (transmission timeout).
constexpr uint32_t kGatewayFilterId11 = OBD2_RESPONSE_BASE_11;
constexpr uint32_t kGatewayFilterMask11 = OBD2_RESPONSE_MASK_11;
constexpr uint32_t kGatewayFilterId29 = OBD2_RESPONSE_ID_29;
constexpr uint32_t kGatewayFilterMask29 = OBD2_RESPONSE_MASK_29;
constexpr uint32_t kGatewayErrMask = CAN_ERR_TX_TIMEOUT;
// How long an ECU waits for flow control after a first frame (ISO 15765-2 N_Bs).
constexpr std::chrono::microseconds kFlowControlTimeout{1'000'000};

// One ECU. Defaults describe an 11-bit engine ECU at 0x7E8 that answers nothing
// but PID 00 (computed from `pids`).
struct EcuModel {
    Addressing addressing = Addressing::Bit11;
    // Identifier the ECU answers from (11-bit 0x7E8..0x7EF, or 29-bit 0x18DAF1xx,
    // without the extended flag) and the physical identifier it takes flow
    // control on (0x7E0.. / 0x18DAxxF1).
    uint32_t response_id = 0x7E8;
    uint32_t physical_id = 0x7E0;

    // Service 01: PID -> data bytes (A, B, ...). PID 00 (and 20, 40, ...) is
    // answered with the bitmask of the PIDs present unless listed explicitly.
    std::map<uint8_t, std::vector<uint8_t>> pids;

    // Service 02, frame 0: the code that stored it (0: none stored, then only
    // PID 02 is answered) and its PIDs -> data bytes as in `pids`; PID 00, 20,
    // ... are computed. Without a freeze frame the service is refused (NRC 11).
    struct FreezeFrame {
        uint16_t dtc = 0;
        std::map<uint8_t, std::vector<uint8_t>> pids;
    };
    std::optional<FreezeFrame> freeze_frame;

    // Service 03 / 07 / 0A: raw two-byte codes (0x0123 -> P0123, 0xC100 -> U0100).
    std::vector<uint16_t> stored_dtcs;
    std::vector<uint16_t> pending_dtcs;
    std::vector<uint16_t> permanent_dtcs;

    // Service 09. Empty means "not supported" (negative answer 0x12).
    std::string vin;
    std::string calid;
    std::vector<uint8_t> cvn; // raw CVN bytes (4 per calibration)
    std::string ecu_name;

    // Service 04: number of busy answers (NRC 0x78) before the positive one;
    // clear_nrc != 0 answers that NRC instead (after the busy answers).
    int clear_busy_count = 0;
    uint8_t clear_nrc = 0;

    // Negative answers on demand: key (service << 8 | first parameter byte,
    // parameter 0 for services without one) -> NRC.
    std::map<uint16_t, uint8_t> negative;

    // "Response pending" before the final answer, per service: `count`
    // answers 7F <service> 78, `interval` apart, then the answer itself
    // (`interval` after the last one). A busy clear (above) is another thing:
    // it answers 78 and nothing more until asked again.
    struct Pending {
        int count = 1;
        std::chrono::microseconds interval{0};
    };
    std::map<uint8_t, Pending> pending;

    // OBD on UDS: the same data answered only to the UDS requests (22 F4xx /
    // F8xx, 19 42 / 55 / 03 / 04, 14); classic requests get no answer.
    bool uds = false;
    // Failure types a code is listed with over UDS (one record each); a code
    // without any is listed with failure type 00.
    std::map<uint16_t, std::vector<uint8_t>> failure_types;

    uint8_t padding = 0xAA;
    std::chrono::microseconds latency{0}; // before each answer (first frame or single frame)
    std::chrono::microseconds cf_gap{0};  // between consecutive frames (on top of STmin)
    // false: the consecutive frames follow the first frame at once, cf_gap
    // apart, without flow control, so the segmented answers of two ECUs
    // interleave on the bus.
    bool awaits_flow_control = true;
    bool silent = false;
};

// An 11-bit ECU answering from 0x7E8 + index (flow control on 0x7E0 + index),
// or a 29-bit ECU with the given address (answers 0x18DAF1xx, flow control on
// 0x18DAxxF1).
EcuModel make_ecu11(unsigned index = 0);
EcuModel make_ecu29(uint8_t address = 0x10);

struct VehicleModel {
    std::vector<EcuModel> ecus;
};

// A frame the simulator wants to send, after `delay` from the moment the frame
// that caused it was handled.
struct TimedFrame {
    std::chrono::microseconds delay{0};
    can_frame frame{};
};

// The vehicle model: pure logic, thread-safe, no I/O. Frames in, frames out.
class Vehicle
{
  public:
    explicit Vehicle(VehicleModel model);

    // Handles one frame seen on the bus (a request, a flow-control frame or
    // anything else) and returns the frames the ECUs send in reaction.
    std::vector<TimedFrame> on_frame(const can_frame &in);

    // The payload ECU `ecu` answers to one request payload (service byte, then
    // parameters), for transports that segment it themselves (the kernel's
    // ISO-TP). Empty: no answer. Busy answers and clears count as on_frame's.
    std::vector<uint8_t> answer_payload(size_t ecu, const uint8_t *req, size_t len);

    // The "response pending" answers ECU `ecu` gives to request `req` before
    // its answer (count 0 when none), for transports that send them themselves.
    EcuModel::Pending pending_before(size_t ecu, const uint8_t *req, size_t len) const;

    // Live changes (also from the control channel of the CLI).
    void set_silent(bool silent);                  // all ECUs
    void set_latency(std::chrono::microseconds l); // all ECUs
    void set_latency(size_t ecu, std::chrono::microseconds l);
    void set_pid(size_t ecu, uint8_t pid, std::vector<uint8_t> data);
    void set_dtcs(size_t ecu, uint8_t service, std::vector<uint16_t> codes);
    void set_negative(size_t ecu, uint16_t key, uint8_t nrc); // nrc 0 removes
    void set_clear_behaviour(size_t ecu, int busy_count, uint8_t nrc);
    // `count` "response pending" answers before each answer to `service`; 0 removes them.
    void set_pending(size_t ecu, uint8_t service, int count, std::chrono::microseconds interval);
    // The next consecutive frame sent carries a wrong sequence number (once).
    void inject_wrong_sequence();
    // The next answer is delayed by `extra` on top of the latency (once).
    void inject_late_answer(std::chrono::microseconds extra);
    void set_silent(size_t ecu, bool silent);
    // Frames put on the bus just before every answer to a request (foreign
    // identifiers, error frames): background chatter the requester must skip.
    void set_chatter(std::vector<can_frame> frames);

    VehicleModel model() const;

  private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

// SocketCAN receive-filter rule: a frame passes when (id & mask) == (filter & mask);
// error frames pass only when their error class is in err_mask.
struct CanFilter {
    uint32_t id = 0;
    uint32_t mask = 0;
    uint32_t err_mask = 0;
};
bool filter_passes(const CanFilter &f, const can_frame &frame);

// The model served in-process: two SOCK_SEQPACKET socketpairs carrying whole
// 16-byte can_frame records, one per gateway channel (0 = 11-bit, 1 = 29-bit).
// Frames the vehicle sends reach a channel only when they pass that channel's
// filter (the gateway's receive filters by default). A background thread
// serves both pairs until the object is destroyed.
class InProcessBus
{
  public:
    explicit InProcessBus(VehicleModel model);
    ~InProcessBus();
    InProcessBus(const InProcessBus &) = delete;
    InProcessBus &operator=(const InProcessBus &) = delete;

    // Gateway-side descriptors; attach() stores them in can_cfg[0/1].sock.
    int gateway_fd(int channel) const;
    void attach();

    Vehicle &vehicle();

    // Every frame the gateway wrote, per channel, in order (requests and flow control).
    std::vector<can_frame> received(int channel) const;
    void clear_received();

    // Sends a frame to a channel now, as if the bus carried it (filter applied
    // unless `bypass_filter`): foreign ids, error frames, hostile frames.
    void inject(int channel, const can_frame &frame, bool bypass_filter = false);

    void set_filter(int channel, CanFilter f);

    // Called on the bus's thread right after each frame the gateway writes,
    // before the vehicle's own answers go out; it may inject (answers chosen
    // byte for byte, noise from a given moment). An empty function removes it.
    using WriteHook = std::function<void(int channel, const can_frame &written)>;
    void set_on_write(WriteHook hook);

    // Holds `frame` until the gateway next writes a frame on `channel` (its
    // next request), then delivers it at once, ahead of the vehicle's own
    // answers. Frames queued before a request are stale to the gateway, so
    // scripted answers must come after it.
    void inject_on_request(int channel, const can_frame &frame, bool bypass_filter = false);

    // Writes raw bytes (at most 72) as one record to a channel: short or oversized records.
    void inject_raw(int channel, const void *data, size_t len);

    // Puts `frame` on the bus every `period` until stop_noise() (a babbling
    // node, a flood of error frames). The channel filters apply. With several
    // frames, they take turns, over and over, or once each without `repeat`.
    void start_noise(std::vector<can_frame> frames, std::chrono::microseconds period, bool repeat = true);
    void start_noise(const can_frame &frame, std::chrono::microseconds period)
    {
        start_noise(std::vector<can_frame>{frame}, period);
    }
    void stop_noise();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Builds a can_frame (helper for tests and tools).
can_frame make_frame(uint32_t id, std::initializer_list<uint8_t> data, bool extended = false);

// The receive filter the gateway installs on a channel (0 = 11-bit, 1 = 29-bit).
CanFilter gateway_filter(int channel);

} // namespace vsim

// attach() writes the gateway's channel table. It is defined only where the
// gateway's headers are visible, so the library itself does not depend on it.
#if __has_include("th_obd2_com/can_link.h")
#include "th_obd2_com/can_link.h"
inline void vsim::InProcessBus::attach()
{
    can_cfg[0].sock = gateway_fd(0);
    can_cfg[1].sock = gateway_fd(1);
}
#endif
