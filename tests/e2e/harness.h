// End-to-end harness: the real obd-gateway binary, unchanged, with a private
// broker, the simulated vehicle (obd-vehicle-sim on the preload library's
// UNIX-socket bus), the stand-in libgpiod and a configuration folder mounted
// on the daemon's fixed path. The caller plays the UI application.
//
// Everything here expects private network and mount namespaces
// (tests/netns_run.sh); Workspace refuses to mount anything otherwise.
#pragma once

#include <MQTTClient.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/capture.h"
#include "support/child_process.h"
#include "support/ui_client.h"
#include "tool_process.h"

namespace e2e
{

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char *kCmdTopic = "dt/ui_to_app/cmd";
constexpr const char *kRespTopic = "dt/app_to_ui/resp";
constexpr const char *kConfigDir = "/opt/vyr/configs";
constexpr const char *kConfigFile = "/opt/vyr/configs/config.json";
constexpr const char *kFactoryFile = "/opt/vyr/configs/default_config/default_config.json";
constexpr const char *kEcuInfoFile = "/opt/vyr/configs/ecu_info.json";

bool read_file(const std::string &path, std::string &out);
std::string read_file(const std::string &path); // "" when unreadable
// Replaces the file atomically (the daemon may read it at any moment).
bool write_file(const std::string &path, const std::string &text);
// Path of a file shipped with the tests (tests/e2e/...) or the repository.
std::string e2e_data(const std::string &rel);
std::string repo_file(const std::string &rel);
// Path of the sanitizer runtime this (sanitized) test binary runs with, "" on a plain build.
std::string sanitizer_runtime();

// Mounts a tmpfs on /opt (inside the private mount namespace only) and binds a
// fresh temporary folder onto /opt/vyr/configs. The factory copy is the
// repository's default configuration unless told otherwise.
class Workspace
{
  public:
    Workspace() = default;
    ~Workspace() { tear_down(); }
    Workspace(const Workspace &) = delete;
    Workspace &operator=(const Workspace &) = delete;

    // False (with `error`) when not in a private mount namespace or a mount fails.
    bool set_up(std::string &error);
    void tear_down();
    const std::string &dir() const { return dir_; } // scratch: logs, sockets
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

  private:
    std::string dir_;
    bool mounted_ = false;
};

// ---- the broker-side UI application --------------------------------------------

using Packet = ::UiMessage;

// A live data snapshot (the gateway prints it indented).
inline bool is_live(const Packet &p)
{
    return p.payload.rfind("{\n  \"TYP\": 1,\n  \"CMD\": 2,\n", 0) == 0;
}
using Ui = ::UiClient;

// A publisher for floods: a client without callbacks, so no background
// thread competes for the library's lock and the caller's own waits drive the
// socket. Publishes with QoS 1 and several messages in flight.
class Publisher
{
  public:
    explicit Publisher(std::string id = "e2e_flood") : id_(std::move(id)) {}
    ~Publisher();
    Publisher(const Publisher &) = delete;
    Publisher &operator=(const Publisher &) = delete;

    bool connect();
    bool publish(const std::string &topic, const std::string &payload)
    {
        return client_ != nullptr &&
               MQTTClient_publish(client_, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                                  0, &last_) == MQTTCLIENT_SUCCESS;
    }
    // Waits until everything published so far is acknowledged.
    bool drain(milliseconds timeout)
    {
        return client_ != nullptr &&
               MQTTClient_waitForCompletion(client_, last_, static_cast<unsigned long>(timeout.count())) ==
                   MQTTCLIENT_SUCCESS;
    }

  private:
    std::string id_;
    MQTTClient client_ = nullptr;
    MQTTClient_deliveryToken last_ = 0;
};

// Exact status packet text, as the gateway prints it.
std::string status(const std::string &msg, int error, int cmd = 0);

struct Frame {
    double t = 0;              // seconds on the simulator's clock (see Sim::clock_offset)
    bool from_gateway = false; // "RX" in the simulator's trace
    uint32_t id = 0;
    bool extended = false;
    std::vector<uint8_t> data;
};

class Sim
{
  public:
    explicit Sim(std::string dir) : dir_(std::move(dir)) {}
    ~Sim() { stop(); }
    // Starts the simulator with a vehicle file; returns once its bus and control socket listen.
    bool start(const std::string &vehicle_file);
    void stop() { child_.stop(SIGTERM); }
    std::string bus_path() const { return dir_ + "/bus.sock"; }
    std::string log_path() const { return dir_ + "/sim.log"; }

    // One control command; returns the reply lines (the last is "ok" or "error: ...").
    std::vector<std::string> command(const std::string &line)
    {
        return tooltest::control_lines(dir_ + "/ctl.sock", line);
    }
    bool command_ok(const std::string &line) { return command(line).back() == "ok"; }
    // Number of trace lines written so far; everything the simulator did
    // before this call is inside that count (it answers commands in order).
    size_t mark();
    // Frames traced after line `from_line`.
    std::vector<Frame> frames(size_t from_line = 0);
    std::string log() { return read_file(log_path()); }
    // Seconds to add to a trace time to get steady_clock time (seconds since
    // its epoch), measured with a control round trip.
    double clock_offset();

  private:
    std::string dir_;
    ChildProcess child_;
};

class Gateway
{
  public:
    explicit Gateway(std::string dir) : dir_(std::move(dir)) {}
    ~Gateway() { stop(); }
    // Starts obd-gateway with the preload libraries; `bus` is the simulator's
    // bus path; `env` adds or replaces variables ("NAME=value").
    bool start(const std::string &bus, const std::vector<std::string> &env = {});
    void kill_now() { child_.stop(SIGKILL, milliseconds(2000)); } // the whole group: power loss
    void stop() { child_.stop(); }
    bool running() { return child_.running(); }
    std::string end_reason() const { return child_.end_reason(); }
    pid_t pid() const { return child_.pid(); }

    std::string log_path() const { return dir_ + "/gateway.log"; }
    std::string ip_log_path() const { return dir_ + "/ip.log"; }
    std::string gpio_state_path() const { return dir_ + "/gpio.state"; }
    std::string trace() { return read_file(log_path()); }
    int count_in_trace(const std::string &needle);
    // Waits until the trace holds `needle` at least `times` times.
    bool wait_trace(const std::string &needle, milliseconds timeout, int times = 1);
    bool wait_subscribed(milliseconds timeout, int times = 1)
    {
        return wait_trace("INTR_MQTT_INFO : successfully Subscribed topics", timeout, times);
    }
    // Sanitizer reports in the trace, if any.
    std::string sanitizer_report();

    long rss_kib() { return proc_status_kib(pid(), "VmRSS:"); }
    long hwm_kib() { return proc_status_kib(pid(), "VmHWM:"); }
    // utime + stime of the process, in clock ticks.
    long cpu_ticks();
    // Descriptors the process holds open.
    long open_fds() { return ::open_fds(pid()); }

    // Relay lines as the stand-in libgpiod reports them: "gpiochip4:10" -> level (and consumer).
    std::map<std::string, int> gpio_levels();
    std::map<std::string, std::pair<int, std::string>> gpio_lines();

  private:
    std::string dir_;
    ChildProcess child_;
};

// ---- expected texts ---------------------------------------------------------------

// The 56 catalogue short keys in catalogue order.
const std::vector<std::string> &catalogue_keys();
// Catalogue PIDs in the same order.
const std::vector<uint8_t> &catalogue_pids();

struct EcuInfo {
    std::string vid = "N/A", cid = "N/A", cvn = "N/A", ecunm = "N/A", proto = "N/A";
    long br = 0;
    std::vector<int> flags; // 56 availability flags, catalogue order
};
// The ECU information file text the gateway writes for `info` (formatted JSON, tabs, no final newline).
std::string ecu_info_text(const EcuInfo &info);
// The reset contents: first five PIDs available, protocol "UNKNOWN", texts as given.
EcuInfo reset_ecu_info(long br, const EcuInfo &texts_from = EcuInfo{});

// Live-data packet text for (key, value-text) lines; value texts are printed
// as given ("781.25" or "\"--\"").
std::string live_packet(const std::vector<std::pair<std::string, std::string>> &lines);

// A configuration file text.
struct Config {
    long br = 500000;
    int padding = 0xAA;
    std::vector<std::string> sensors{};
    std::vector<std::string> dtc_groups{"STRDTC", "PNDDTC", "PRMDTC"};
};
std::string config_text(const Config &c);

// Trouble-code packet text.
std::string dtc_packet(const std::vector<std::string> &stored, const std::vector<std::string> &pending,
                       const std::vector<std::string> &permanent);

// Milliseconds between two packets.
double ms_between(const Packet &a, const Packet &b);

} // namespace e2e
