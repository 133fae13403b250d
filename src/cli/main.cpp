// obd-gateway-cli: publishes one command to the gateway, waits for its answer
// and prints it for a person (the text and exit status come from cli.cpp).
#include <MQTTClient.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "common/gw_time.h"
#include "th_mqtt/topics.h"
#include "th_obd2_com/ecu_info_file.h"

#ifndef OBDGW_VERSION
#define OBDGW_VERSION "unknown"
#endif

namespace
{

std::atomic<int> g_interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void on_interrupt(int)
{
    g_interrupted.store(1);
}

constexpr unsigned long kReceiveSliceMs = 100; // how soon Ctrl-C is noticed
constexpr int kConnectTimeoutS = 5;
constexpr int kKeepAliveS = 20;
constexpr unsigned long kPublishWaitMs = 5000;
constexpr unsigned long kDisconnectMs = 1000;

void say_error(const std::string &line)
{
    std::fprintf(stderr, "obd-gateway-cli: %s\n", line.c_str());
}

std::optional<std::string> read_ecu_info()
{
    std::ifstream f(ECU_INFO_FILE_PATH, std::ios::binary);
    if (!f) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// The broker connection; disconnects cleanly when it goes.
class Broker
{
  public:
    ~Broker()
    {
        if (client_ != nullptr) {
            if (MQTTClient_isConnected(client_)) {
                MQTTClient_disconnect(client_, kDisconnectMs);
            }
            MQTTClient_destroy(&client_);
        }
    }

    // False with `error` set when the broker cannot be reached.
    bool connect(const std::string &host, int port, std::string &error)
    {
        const std::string uri = "tcp://" + host + ":" + std::to_string(port);
        const std::string id = "obd-gateway-cli-" + std::to_string(getpid());
        if (MQTTClient_create(&client_, uri.c_str(), id.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr) !=
            MQTTCLIENT_SUCCESS) {
            error = "cannot use the broker address " + uri;
            return false;
        }
        MQTTClient_connectOptions opts = MQTTClient_connectOptions_initializer;
        opts.keepAliveInterval = kKeepAliveS;
        opts.cleansession = 1;
        opts.connectTimeout = kConnectTimeoutS;
        const int rc = MQTTClient_connect(client_, &opts);
        if (rc != MQTTCLIENT_SUCCESS) {
            error = "broker not reachable at " + host + ":" + std::to_string(port) + " (" +
                    MQTTClient_strerror(rc) + ")";
            return false;
        }
        // Subscribed before anything is published, so no answer is missed.
        if (MQTTClient_subscribe(client_, OBDGW_RESPONSE_TOPIC, 1) != MQTTCLIENT_SUCCESS) {
            error = "the broker refused the subscription to " OBDGW_RESPONSE_TOPIC;
            return false;
        }
        return true;
    }

    bool publish(const std::string &payload)
    {
        MQTTClient_deliveryToken token = 0;
        return MQTTClient_publish(client_, OBDGW_COMMAND_TOPIC, static_cast<int>(payload.size()),
                                  payload.data(), 1, 0, &token) == MQTTCLIENT_SUCCESS &&
               MQTTClient_waitForCompletion(client_, token, kPublishWaitMs) == MQTTCLIENT_SUCCESS;
    }

    // One message of the response topic, waiting up to `ms`; false when the connection is lost.
    bool receive(unsigned long ms, std::optional<std::string> &payload)
    {
        char *topic = nullptr;
        int topic_len = 0;
        MQTTClient_message *msg = nullptr;
        const int rc = MQTTClient_receive(client_, &topic, &topic_len, &msg, ms);
        if (msg != nullptr) {
            payload.emplace(static_cast<const char *>(msg->payload), static_cast<size_t>(msg->payloadlen));
            MQTTClient_freeMessage(&msg);
        }
        if (topic != nullptr) {
            MQTTClient_free(topic);
        }
        return (rc == MQTTCLIENT_SUCCESS || rc == MQTTCLIENT_TOPICNAME_TRUNCATED) &&
               MQTTClient_isConnected(client_);
    }

  private:
    MQTTClient client_ = nullptr;
};

// Prints a step; on a terminal a redrawn block replaces the one before.
class Printer
{
  public:
    explicit Printer(bool tty) : tty_(tty) {}
    void show(const cli::Step &s)
    {
        if (s.redraw && tty_ && block_ > 0) {
            std::printf("\033[%zuF\033[J", block_);
        }
        for (const auto &line : s.out) {
            std::printf("%s\n", line.c_str());
        }
        block_ = s.redraw ? s.out.size() : 0;
        std::fflush(stdout);
        if (!s.err.empty()) {
            say_error(s.err);
        }
    }

  private:
    bool tty_;
    size_t block_ = 0;
};

bool ask_to_clear()
{
    std::fprintf(stderr,
                 "Clear the trouble codes of every ECU? The freeze frame and the monitors start over. "
                 "[y/N] ");
    std::fflush(stderr);
    char line[64] = {};
    // Ctrl-C interrupts the read (no SA_RESTART): not confirmed.
    const bool read = std::fgets(line, sizeof line, stdin) != nullptr && g_interrupted.load() == 0;
    if (!read || isatty(STDIN_FILENO) != 1) {
        std::fputc('\n', stderr); // the answer was not echoed: what follows starts a line of its own
    }
    return read && cli::confirmed(line);
}

int run(const cli::Options &o)
{
    if (o.verb == cli::Verb::Clear && !o.yes && !ask_to_clear()) {
        say_error("not confirmed; nothing was sent");
        return cli::kExitFailed;
    }
    Broker broker;
    std::string error;
    if (!broker.connect(o.host, o.port, error)) {
        say_error(error);
        return cli::kExitNoBroker;
    }
    const std::string command = cli::command_payload(o);
    if (!command.empty() && !broker.publish(command)) {
        say_error("the broker did not take the command");
        return cli::kExitNoBroker;
    }
    if (o.verb == cli::Verb::Relay) {
        if (!o.json) {
            std::printf("%s %s: sent (the gateway applies it within half a second and answers nothing)\n",
                        o.relay < 0 ? "all relays" : ("DO" + std::to_string(o.relay)).c_str(),
                        o.relay_on ? "on" : "off");
        }
        return cli::kExitOk;
    }

    cli::Session session(o, read_ecu_info);
    Printer printer(o.tty);
    const int64_t timeout_us = static_cast<int64_t>(o.timeout_s * 1e6);
    const bool timed = o.verb != cli::Verb::Watch || o.timeout_given;
    int64_t deadline = gw_monotonic_us() + timeout_us;
    cli::Step step;
    bool lost = false;
    while (!step.done) {
        if (g_interrupted.load() != 0) {
            step = session.interrupted();
        } else if (timed && gw_monotonic_us() >= deadline) {
            step = session.timed_out();
        } else {
            std::optional<std::string> payload;
            if (!broker.receive(kReceiveSliceMs, payload)) {
                lost = true;
                break;
            }
            if (!payload) {
                continue;
            }
            step = session.packet(*payload);
            if (step.heard && o.verb != cli::Verb::Watch) {
                deadline = gw_monotonic_us() + timeout_us;
            }
        }
        printer.show(step);
    }
    const bool live = o.verb == cli::Verb::Live;
    if (lost) {
        say_error(live ? "the connection to the broker was lost; live data may still be streaming"
                       : "the connection to the broker was lost");
        return cli::kExitNoBroker;
    }
    // Live data runs until the next command: whatever ended it, the gateway goes back to idle.
    if (live && !broker.publish(cli::stop_payload())) {
        say_error("could not send the stop command; live data may still be streaming");
        return cli::kExitNoBroker;
    }
    return step.exit;
}

} // namespace

int main(int argc, char **argv)
{
    const cli::Parsed p = cli::parse_args(std::vector<std::string>(argv + 1, argv + argc));
    if (p.help) {
        std::fputs(cli::usage().c_str(), stdout);
        return cli::kExitOk;
    }
    if (p.version) {
        std::printf("obd-gateway-cli %s\n", OBDGW_VERSION);
        return cli::kExitOk;
    }
    if (!p.error.empty()) {
        say_error(p.error + " (obd-gateway-cli --help lists the commands)");
        return cli::kExitUsage;
    }
    struct sigaction sa = {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    cli::Options o = p.opt;
    o.tty = isatty(STDOUT_FILENO) == 1;
    return run(o);
}
