// Answers chosen byte for byte: a helper thread watches the requests the
// gateway writes to the in-process bus and injects the scripted reply frame,
// for answers a well-behaved simulated ECU would never give.
#pragma once

#include <linux/can.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "vehicle_sim.h"

class ScriptedAnswers
{
  public:
    ScriptedAnswers(vsim::InProcessBus &bus, int channel = 0, uint32_t answer_id = 0x7E8)
        : bus_(bus), channel_(channel), answer_id_(answer_id), worker_([this] { run(); })
    {
    }
    ~ScriptedAnswers()
    {
        stop_ = true;
        worker_.join();
    }
    ScriptedAnswers(const ScriptedAnswers &) = delete;
    ScriptedAnswers &operator=(const ScriptedAnswers &) = delete;

    // The frame data (up to 8 bytes, the data length follows) sent in reply to
    // the single-frame request `service parameter`. Unlisted requests get no reply.
    void set(uint8_t service, uint8_t parameter, std::vector<uint8_t> data)
    {
        std::lock_guard<std::mutex> lk(mutex_);
        answers_[key(service, parameter)] = std::move(data);
    }

  private:
    static int key(uint8_t service, uint8_t parameter) { return service << 8 | parameter; }

    void run()
    {
        size_t seen = 0;
        while (!stop_) {
            const std::vector<can_frame> frames = bus_.received(channel_);
            for (; seen < frames.size(); ++seen) {
                const can_frame &req = frames[seen];
                if (req.len < 3 || (req.data[0] & 0xF0) != 0) {
                    continue; // flow control or anything but a single-frame request
                }
                std::vector<uint8_t> data;
                {
                    std::lock_guard<std::mutex> lk(mutex_);
                    auto it = answers_.find(key(req.data[1], req.data[2]));
                    if (it == answers_.end()) {
                        continue;
                    }
                    data = it->second;
                }
                can_frame answer{};
                answer.can_id = answer_id_;
                answer.len = static_cast<uint8_t>(std::min<size_t>(data.size(), CAN_MAX_DLEN));
                if (answer.len > 0) {
                    std::memcpy(answer.data, data.data(), answer.len);
                }
                bus_.inject(channel_, answer);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    vsim::InProcessBus &bus_;
    const int channel_;
    const uint32_t answer_id_;
    std::mutex mutex_;
    std::map<int, std::vector<uint8_t>> answers_;
    std::atomic<bool> stop_{false};
    std::thread worker_;
};
