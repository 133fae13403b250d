// The vehicle on a real SocketCAN interface (vcan0, or a USB adapter wired to
// the board's can0): one raw socket whose filters let through only what the
// simulated ECUs listen to (functional requests and their physical ids).
#pragma once

#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "sim_engine.h"

namespace obdsim
{

class CanPort : public Transport
{
  public:
    CanPort(Engine &engine, std::string iface) : engine_(engine), iface_(std::move(iface)) {}

    bool start(const vsim::VehicleModel &model, std::string &error);

    void transmit(const can_frame &f, const std::string &note) override;
    bool transmit_raw(const std::vector<uint8_t> &bytes) override;
    void collect(std::vector<pollfd> &fds, std::vector<std::function<void(short)>> &handlers) override;
    std::string describe() const override { return "CAN interface " + iface_; }

    // The receive filters the vehicle needs (exposed for tests).
    static std::vector<can_filter> vehicle_filters(const vsim::VehicleModel &model);

  private:
    void read_frames();

    Engine &engine_;
    std::string iface_;
    UniqueFd sock_;
};

} // namespace obdsim
