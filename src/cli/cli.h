// obd-gateway-cli without its I/O: the command line, the command each
// subcommand publishes, and the packets of the gateway turned into text for a
// person and an exit status. main.cpp only moves bytes and keeps time.
#pragma once

#include <cjson/cJSON.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cli
{

enum class Verb { Status, Dtc, Clear, Readiness, Freeze, Live, Relay, Reload, Watch };

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1; // an error answer, no answer in time, interrupted before one
constexpr int kExitUsage = 2;
constexpr int kExitNoBroker = 3;

constexpr double kDefaultTimeoutS = 40;

struct Options {
    Verb verb = Verb::Status;
    bool json = false;
    bool yes = false;
    bool tty = false; // standard output is a terminal (set by main)
    double timeout_s = kDefaultTimeoutS;
    bool timeout_given = false;
    std::string host;
    int port = 0;
    long count = 0; // live, watch: stop after this many packets (0: until interrupted)
    int relay = -1; // relay: 0..11, or -1 for all
    bool relay_on = false;
};

struct Parsed {
    Options opt;
    bool help = false;
    bool version = false;
    std::string error; // not empty: a usage error
};

Parsed parse_args(const std::vector<std::string> &args);
std::string usage();

// What the subcommand publishes on the command topic; empty for status and watch.
std::string command_payload(const Options &o);
// Ends live data: the gateway goes back to its idle heartbeat.
std::string stop_payload();
// An answer to the confirmation question of clear.
bool confirmed(std::string_view answer);

// Whitespace outside strings removed: a packet on one line as the gateway wrote it otherwise.
std::string one_line(std::string_view json);
// A status token for people; empty for an unknown one.
std::string explain(std::string_view token);

// What to do after one event.
struct Step {
    std::vector<std::string> out; // lines for standard output
    std::string err;              // one line for standard error, or empty
    bool redraw = false;          // `out` replaces the block printed before (the live table on a terminal)
    bool heard = false;           // an answer to our command came: the time-out starts again
    bool done = false;
    int exit = kExitOk;
};

class Session
{
  public:
    // `ecu_info` reads the gateway's record of the vehicle (nothing when unreadable).
    Session(const Options &o, std::function<std::optional<std::string>()> ecu_info);
    Step packet(std::string_view payload);
    Step timed_out() const;
    Step interrupted() const;

  private:
    Step answer(int cmd, const std::string &compact, const cJSON *root);
    Step vehicle_state(const std::string &compact, const std::string &msg, bool present);

    Options o_;
    std::function<std::optional<std::string>()> ecu_info_;
    int failed_attempts_ = 0;
    long shown_ = 0;
};

} // namespace cli
