// The receiving side of an exchange, frame by frame: any frame sequence must
// leave the step consistent; an answer sent whole by one ECU, among other
// nodes' frames, must come out byte for byte.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "th_obd2_com/obd2_config.h"
#include "th_obd2_com/obd2_reassembly.h"

namespace
{

constexpr size_t kMaxFrames = 700;

bool accepted(int mode, uint32_t id)
{
    return mode == 1 ? (id & 0x7F8) == 0x7E8 : id == 0x18DAF110;
}

struct Request {
    int mode;
    uint8_t bytes[8];
    uint32_t bound;
};

// What every step must keep, whatever the frames.
class Checked
{
  public:
    explicit Checked(const Request &req) : req_(req), r_(req.mode, req.bytes, sizeof req.bytes, req.bound) {}

    Obd2RxStep step(const can_frame &f)
    {
        const Obd2RxStep s = r_.step(f);
        fuzz_require(!ended_ || s == Obd2RxStep::Skip, "a step after the end of the answer");
        fuzz_require(r_.answer_len() <= OBD2_RESP_BUF_SIZE && r_.collected_len() <= OBD2_RESP_BUF_SIZE,
                     "length past the buffer");
        const uint32_t id = r_.response_id();
        if (s != Obd2RxStep::Skip && s != Obd2RxStep::Failed) {
            fuzz_require(accepted(req_.mode, id) && (req_.bound == 0 || id == req_.bound),
                         "answer from a foreign ECU");
        }
        const uint8_t *a = r_.answer();
        switch (s) {
        case Obd2RxStep::SendFlowControl:
            fuzz_require(r_.flow_control().can_id ==
                                 (req_.mode == 1 ? id - 8 : (0x18DA10F1u | CAN_EFF_FLAG)) &&
                             r_.flow_control().data[0] == 0x30,
                         "flow control to the wrong node");
            break;
        case Obd2RxStep::Complete: {
            fuzz_require(r_.answer_len() >= 2 && a[1] == req_.bytes[1] + 0x40, "answer to another service");
            if (req_.bytes[1] == 0x01 || req_.bytes[1] == 0x09) {
                fuzz_require(r_.answer_len() >= 3 && a[2] == req_.bytes[2], "answer for another PID");
            }
            ended_ = true;
            break;
        }
        case Obd2RxStep::Refused:
            fuzz_require(r_.answer_len() >= 3 && a[1] == 0x7F && a[2] == req_.bytes[1],
                         "refusal of another service");
            ended_ = true;
            break;
        case Obd2RxStep::Pending:
            // Not the end: the final answer of the same ECU is still taken.
            fuzz_require(r_.answer_len() >= 4 && a[1] == 0x7F && a[2] == req_.bytes[1] && a[3] == 0x78,
                         "response pending of another service");
            break;
        case Obd2RxStep::Failed:
            ended_ = true;
            break;
        case Obd2RxStep::Skip:
            break;
        }
        return s;
    }

    const Obd2Reassembly &r() const { return r_; }

  private:
    Request req_;
    Obd2Reassembly r_;
    bool ended_ = false;
};

can_frame any_frame(FuzzedDataProvider &in)
{
    static const canid_t ids[] = {0x7E8,
                                  0x7E9,
                                  0x7EF,
                                  0x7E0,
                                  0x7F0,
                                  0x18DAF110 | CAN_EFF_FLAG,
                                  0x18DAF111 | CAN_EFF_FLAG,
                                  0x7E8 | CAN_ERR_FLAG};
    can_frame f{};
    f.can_id = in.ConsumeBool() ? in.PickValueInArray(ids) : in.ConsumeIntegral<canid_t>();
    f.can_dlc = in.ConsumeIntegralInRange<uint8_t>(0, 15);
    const std::vector<uint8_t> d = in.ConsumeBytes<uint8_t>(8);
    std::copy(d.begin(), d.end(), f.data);
    return f;
}

// One ECU's whole answer with other nodes' frames (never from that ECU) in between.
void round_trip(FuzzedDataProvider &in, const Request &req, canid_t target)
{
    const std::vector<uint8_t> payload =
        fuzz_positive(req.bytes, in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 4000)));
    const Burst answer = fuzz_answer_frames(target, payload, static_cast<uint8_t>(g_can_padding));

    Checked c(req);
    Obd2RxStep last = Obd2RxStep::Skip;
    for (const PeerFrame &f : answer) {
        while (in.remaining_bytes() > 0 && in.ConsumeBool()) {
            can_frame noise = any_frame(in);
            // Identifiers compare as the exchange reads them: 11 bits on mode 1, 29 on mode 2.
            const uint32_t mask = req.mode == 1 ? CAN_SFF_MASK : CAN_EFF_MASK;
            const uint32_t id = noise.can_id & mask;
            const bool from_target = id == (target & mask) && !(noise.can_id & CAN_ERR_FLAG);
            // Without a bound ECU, a frame of another answering ECU may rightly take the exchange.
            if (!from_target && (req.bound != 0 || !accepted(req.mode, id))) {
                fuzz_require(c.step(noise) == Obd2RxStep::Skip, "another node's frame taken");
            }
        }
        last = c.step(f.frame);
    }
    fuzz_require(last == Obd2RxStep::Complete, "whole answer not complete");
    // The answer keeps its PCI byte: the length, or its low byte after a first frame's 0x1L.
    const size_t total = payload.size();
    fuzz_require(c.r().answer_len() == (total <= 7 ? 8 : total + 1) && c.r().answer()[0] == (total & 0xFF) &&
                     memcmp(c.r().answer() + 1, payload.data(), total) == 0,
                 "%s answer changed", total <= 7 ? "single-frame" : "segmented");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    g_can_padding = in.ConsumeIntegral<uint8_t>();
    Request req{};
    req.mode = in.ConsumeBool() ? 1 : 2;
    req.bytes[0] = 2;
    req.bytes[1] = in.PickValueInArray<uint8_t>({0x01, 0x09, 0x03, 0x07, 0x0A, 0x04});
    req.bytes[2] = in.ConsumeIntegral<uint8_t>();
    const canid_t target =
        req.mode == 1 ? 0x7E8 + in.ConsumeIntegralInRange<canid_t>(0, 7) : fuzz_answer_id(2);
    req.bound = in.ConsumeBool() ? (target & CAN_EFF_MASK) : 0;

    if (in.ConsumeBool()) {
        round_trip(in, req, target);
        return 0;
    }
    Checked c(req);
    for (size_t i = 0; i < kMaxFrames && in.remaining_bytes() > 0; ++i) {
        c.step(any_frame(in));
    }
    return 0;
}
