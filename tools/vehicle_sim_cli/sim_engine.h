// The simulator's event loop pieces: the vehicle model, the frames it has
// scheduled, the trace, and the transport that carries frames to the bus (the
// UNIX-socket bus of the preload library, or a real SocketCAN interface).
// Single-threaded: everything runs on the main loop.
#pragma once

#include <linux/can.h>
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "vehicle_sim.h"

namespace obdsim
{

using Clock = std::chrono::steady_clock;

// candump-like trace lines on stdout:
// "(   1.234567)  can0  RX  7DF        [8]  02 01 00 AA AA AA AA AA   request 01 PID 00 (current data)"
class Tracer
{
  public:
    explicit Tracer(std::string iface, FILE *out = stdout);
    void set_frames(bool on) { frames_ = on; }
    // dir: "RX" = seen by the vehicle (written by a bus client), "TX" = sent
    // onto the bus by the vehicle or the control channel.
    void frame(const char *dir, const can_frame &f, const std::string &note = "");
    void event(const std::string &text);

  private:
    std::string stamp() const;
    std::string iface_;
    FILE *out_;
    Clock::time_point start_;
    bool frames_ = true;
};

// Where frames go. The bus server and the CAN port implement it.
class Transport
{
  public:
    virtual ~Transport() = default;
    // Puts a frame on the bus (from the vehicle or injected).
    virtual void transmit(const can_frame &f, const std::string &note) = 0;
    // Writes raw bytes as one record to every client (hostile input); false
    // when the transport cannot (a real CAN interface carries only frames).
    virtual bool transmit_raw(const std::vector<uint8_t> &bytes) = 0;
    // Descriptors to watch and what to do when they are ready.
    virtual void collect(std::vector<pollfd> &fds, std::vector<std::function<void(short)>> &handlers) = 0;
    virtual std::string describe() const = 0;
};

class Engine
{
  public:
    Engine(vsim::Vehicle &vehicle, Tracer &tracer) : vehicle_(vehicle), tracer_(tracer) {}
    void set_transport(Transport *t) { transport_ = t; }

    // A frame seen on the bus (from the gateway): the vehicle reacts.
    void on_bus_frame(const can_frame &f);

    // Puts frames on the bus after a delay each (injected traffic).
    void schedule(const std::vector<vsim::TimedFrame> &frames, const std::string &note);

    // Repeats a frame every `period` until stopped.
    void start_noise(const can_frame &f, std::chrono::microseconds period);
    void stop_noise();

    // Sends everything that is due; returns the poll timeout in ms until the
    // next due frame (-1 when nothing is scheduled).
    int run_due();

    vsim::Vehicle &vehicle() { return vehicle_; }
    Transport *transport() { return transport_; }
    Tracer &tracer() { return tracer_; }

  private:
    struct Scheduled {
        Clock::time_point due;
        uint64_t order;
        can_frame frame;
        std::string note;
    };
    void add(Clock::time_point now, const vsim::TimedFrame &tf, const std::string &note);

    vsim::Vehicle &vehicle_;
    Tracer &tracer_;
    Transport *transport_ = nullptr;
    std::vector<Scheduled> queue_; // kept sorted by (due, order)
    uint64_t next_order_ = 0;
    std::optional<can_frame> noise_;
    std::chrono::microseconds noise_period_{0};
    Clock::time_point noise_next_{};
};

} // namespace obdsim
