// Environment for OBD worker scenarios: temporary configuration and ECU
// information files, a simulated vehicle on socketpairs, published packets
// recorded through the publish seam, and the worker's passes on a thread.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/gw_time.h"
#include "support/test_clock.h"
#include "vehicle_sim/vehicle_sim.h"

// Records every text handed to MQTT_Publish_Data while installed.
class PublishRecorder
{
  public:
    PublishRecorder();
    ~PublishRecorder();
    std::vector<std::string> packets();
    // Status tokens ("msg" of status packets) in order; result packets as "<TYP,CMD>".
    std::vector<std::string> tokens();
    int count_token(const std::string &token);
    bool wait_for_token(const std::string &token, int occurrences, std::chrono::milliseconds timeout);
    void clear();
    // When false, publications are refused (result 0) but still recorded.
    void set_accept(bool accept);
    // Called inside the publish (on the publishing thread) before it returns.
    void set_on_publish(std::function<void(const std::string &)> fn);
};

// Token of a published text: the status "msg", or "<typ,cmd>" for result packets.
std::string packet_token(const std::string &text);

class WorkerEnv
{
  public:
    // `config_json`: contents of config.json (and of the factory copy unless given).
    // Time is a FakeClock unless `pause_divisor` asks for real time with pauses
    // divided (a real broker sets the pace).
    explicit WorkerEnv(const vsim::VehicleModel &vehicle, const std::string &config_json = default_config(),
                       int pause_divisor = 0);
    ~WorkerEnv();

    static std::string default_config();
    static vsim::VehicleModel sample_vehicle(); // 11-bit, VIN, a few PIDs and codes

    vsim::InProcessBus &bus() { return *bus_; }
    PublishRecorder &published() { return recorder_; }
    std::string dir() const { return dir_; }
    std::string config_path() const { return dir_ + "/config.json"; }
    std::string ecu_info_path() const { return dir_ + "/ecu_info.json"; }
    std::string read_ecu_info() const;
    void write_config(const std::string &json);
    std::vector<std::string> shell_commands();
    // While false, the worker cannot open its CAN sockets (no can0).
    void set_can_available(bool available);

    // Runs obd2_worker_start and then the worker's passes on a thread.
    void start_worker();
    // start_worker, then true once `token` was published `occurrences` times within `timeout`.
    bool start_until(const std::string &token, int occurrences = 1,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20));
    void stop_worker();

  private:
    std::unique_ptr<GwClock> clock_;
    std::string dir_;
    std::unique_ptr<vsim::InProcessBus> bus_;
    PublishRecorder recorder_;
    std::atomic<bool> stop_{false};
    std::thread worker_;
};
