// One OBD exchange against any sequence of frames: identifiers (several ECUs,
// other nodes, error frames), data lengths, short records and payloads, some
// already queued before the request. A negative answer from the ECU the
// exchange listens to closes every sequence, so no input waits for a timeout.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "fuzz_support.h"
#include "th_obd2_com/can_link.h"
#include "th_obd2_com/ecu_list.h"
#include "th_obd2_com/obd2_config.h"

namespace
{

constexpr size_t kMaxFrames = 600;

PeerFrame frame_from(FuzzedDataProvider &in)
{
    static const canid_t ids[] = {0x7E8,
                                  0x7E9,
                                  0x7EF,
                                  0x7E0,
                                  0x7F0,
                                  0x7DF,
                                  0x18DAF110 | CAN_EFF_FLAG,
                                  0x18DAF111 | CAN_EFF_FLAG,
                                  0x7E8 | CAN_EFF_FLAG,
                                  0x7E8 | CAN_ERR_FLAG,
                                  0x18DAF110};
    const canid_t id = in.ConsumeBool() ? in.PickValueInArray(ids) : in.ConsumeIntegral<canid_t>();
    const uint8_t dlc = in.ConsumeIntegralInRange<uint8_t>(0, 15);
    const uint8_t record = in.ConsumeIntegral<uint8_t>();
    std::vector<uint8_t> data = in.ConsumeBytes<uint8_t>(8);
    data.resize(8);
    PeerFrame f = fuzz_frame(id, data.data(), 8);
    f.frame.can_dlc = dlc;
    f.len = record < sizeof(can_frame) ? record : sizeof(can_frame);
    return f;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    g_can_padding = in.ConsumeIntegral<uint8_t>();
    const int mode = in.ConsumeBool() ? 1 : 2;
    const int kind = in.PickValueInArray({OBD2_REQ_LIVE, OBD2_REQ_PID_PROBE, OBD2_REQ_DETECT});
    const size_t request_len = in.ConsumeIntegralInRange<size_t>(1, 9);
    std::optional<EcuScope> scope;
    if (in.ConsumeBool()) {
        const uint32_t bound = mode == 1 ? in.PickValueInArray<uint32_t>({0x7E8, 0x7E9, 0x7EF}) : 0x18DAF110;
        scope.emplace(EcuEntry{bound, mode});
    }
    const size_t stale_count = in.ConsumeIntegralInRange<size_t>(0, 3);

    Burst stale;
    Burst answer;
    while (in.remaining_bytes() > 0 && stale.size() + answer.size() < kMaxFrames) {
        (stale.size() < stale_count ? stale : answer).push_back(frame_from(in));
    }
    // Whichever ECU the exchange has taken up by now, one of these ends it.
    if (mode == 1) {
        for (canid_t id = 0x7E8; id <= 0x7EF; ++id) {
            answer.push_back(fuzz_refusal(id, 0x01));
        }
    } else {
        answer.push_back(fuzz_refusal(fuzz_answer_id(2), 0x01));
    }

    const uint8_t request[9] = {2, 0x01, 0x00, 0, 0, 0, 0, 0, 0};
    std::vector<uint8_t> response(OBD2_RESP_BUF_SIZE); // heap: an overrun shows at its end
    size_t response_len = 0;
    Obd2Outcome rc = Obd2Outcome::None;
    {
        ScriptedPeer vehicle([&answer](size_t n, const can_frame &) { return n == 0 ? answer : Burst{}; },
                             stale);
        rc = send_obd2_request(mode, request, request_len, response.data(), &response_len, kind);
    }
    const int outcome = static_cast<int>(rc);
    fuzz_require(outcome >= static_cast<int>(Obd2Outcome::Answered) &&
                     outcome <= static_cast<int>(Obd2Outcome::None),
                 "exchange returned %d", outcome);
    fuzz_require(response_len <= OBD2_RESP_BUF_SIZE, "answer of %zu bytes", response_len);
    // What is handed over answers the request (service 01, PID 00 when the request holds it) or refuses it.
    fuzz_require(rc != Obd2Outcome::Answered ||
                     (response_len >= 2 && response[1] == 0x41 &&
                      (request_len < 3 || (response_len >= 3 && response[2] == 0x00))),
                 "answer to another request");
    fuzz_require((rc != Obd2Outcome::Refused && rc != Obd2Outcome::Busy) ||
                     (response_len >= 3 && response[1] == 0x7F && response[2] == 0x01),
                 "refusal of another request");
    return 0;
}
