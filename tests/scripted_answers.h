// Answers chosen byte for byte, for answer sequences a well-behaved simulated
// ECU would never give (foreign, malformed or short answers, different answers
// to the same request). The in-process bus's own thread injects them the
// moment the gateway writes its request, as a node on the bus would answer.
#pragma once

#include <linux/can.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "vehicle_sim.h"

inline vsim::VehicleModel vehicle_of(std::vector<vsim::EcuModel> ecus)
{
    return vsim::VehicleModel{std::move(ecus)};
}

inline can_frame answer_frame(uint32_t id, const std::vector<uint8_t> &bytes)
{
    can_frame f{};
    f.can_id = id;
    f.len = static_cast<uint8_t>(std::min<size_t>(bytes.size(), CAN_MAX_DLEN));
    std::copy_n(bytes.begin(), f.len, f.data);
    return f;
}

inline bool is_single_frame_request(const can_frame &f)
{
    return (f.data[0] & 0xF0) == 0x00;
}

// Runs on the bus thread after every frame the gateway writes on `ch`;
// `then(writes, frame)` sees how many it has written so far and the frame.
class OnWrites
{
  public:
    using Then = std::function<void(size_t writes, const can_frame &frame)>;
    OnWrites(vsim::InProcessBus &bus, int ch, Then then) : bus_(bus)
    {
        auto writes = std::make_shared<size_t>(0);
        bus.set_on_write([ch, writes, then = std::move(then)](int channel, const can_frame &f) {
            if (channel == ch) {
                then(++*writes, f);
            }
        });
    }
    ~OnWrites() { bus_.set_on_write(nullptr); }
    OnWrites(const OnWrites &) = delete;
    OnWrites &operator=(const OnWrites &) = delete;

  private:
    vsim::InProcessBus &bus_;
};

// The reply to the single-frame request `service parameter`, set per request;
// unlisted requests get no reply.
class ScriptedAnswers
{
  public:
    ScriptedAnswers(vsim::InProcessBus &bus, int channel = 0, uint32_t answer_id = 0x7E8)
        : hook_(bus, channel, [&bus, state = state_, channel, answer_id](size_t, const can_frame &req) {
              std::lock_guard<std::mutex> lk(state->mutex);
              auto it = state->answers.find({req.data[1], req.data[2]});
              if (req.len >= 3 && is_single_frame_request(req) && it != state->answers.end()) {
                  bus.inject(channel, answer_frame(answer_id, it->second));
              }
          })
    {
    }

    // The frame data (up to 8 bytes, the data length follows).
    void set(uint8_t service, uint8_t parameter, std::vector<uint8_t> data)
    {
        std::lock_guard<std::mutex> lk(state_->mutex);
        state_->answers[{service, parameter}] = std::move(data);
    }

  private:
    struct State {
        std::mutex mutex;
        std::map<std::pair<uint8_t, uint8_t>, std::vector<uint8_t>> answers; // by service, parameter
    };

    std::shared_ptr<State> state_ = std::make_shared<State>();
    OnWrites hook_;
};

// The k-th frame of the script right after the k-th request on channel 0.
class SequencedAnswers : public OnWrites
{
  public:
    SequencedAnswers(vsim::InProcessBus &bus, uint32_t id, std::vector<std::vector<uint8_t>> script)
        : OnWrites(bus, 0,
                   [&bus, id, script = std::move(script),
                    next = std::make_shared<size_t>(0)](size_t, const can_frame &req) {
                       if (is_single_frame_request(req) && (*next)++ < script.size()) {
                           bus.inject(0, answer_frame(id, script[*next - 1]));
                       }
                   })
    {
    }
};
