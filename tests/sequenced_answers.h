// Test helpers around the vehicle simulator.
//
// SequencedAnswers answers the gateway's requests in order, the k-th frame
// right after the k-th request, as a node on the bus would. Covers answer
// sequences the vehicle model does not produce: foreign, malformed or short
// answers, different answers to the same request.
#pragma once

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "vehicle_sim.h"

inline vsim::VehicleModel vehicle_of(std::vector<vsim::EcuModel> ecus)
{
    vsim::VehicleModel model;
    model.ecus = std::move(ecus);
    return model;
}

class SequencedAnswers
{
  public:
    SequencedAnswers(vsim::InProcessBus &bus, uint32_t id, std::vector<std::vector<uint8_t>> script)
        : bus_(bus), id_(id), script_(std::move(script)), thread_([this] { run(); })
    {
    }
    ~SequencedAnswers()
    {
        stop_ = true;
        thread_.join();
    }
    SequencedAnswers(const SequencedAnswers &) = delete;
    SequencedAnswers &operator=(const SequencedAnswers &) = delete;

  private:
    void run()
    {
        size_t answered = 0;
        while (!stop_) {
            size_t requests = 0;
            for (const can_frame &f : bus_.received(0)) {
                requests += (f.data[0] & 0xF0) == 0x00 ? 1 : 0;
            }
            for (; answered < requests; ++answered) {
                if (answered < script_.size()) {
                    const auto &bytes = script_[answered];
                    can_frame f{};
                    f.can_id = id_;
                    f.can_dlc = static_cast<uint8_t>(bytes.size());
                    memcpy(f.data, bytes.data(), bytes.size());
                    bus_.inject(0, f);
                }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    vsim::InProcessBus &bus_;
    const uint32_t id_;
    const std::vector<std::vector<uint8_t>> script_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
