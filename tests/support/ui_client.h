// The UI application's side of the bus, for tests: a real MQTT client on
// 127.0.0.1:1883 that records every message of the topic it subscribes to
// (the gateway's responses) with its arrival time, and publishes commands with QoS 1.
#pragma once

#include <MQTTClient.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// MQTTClient_connect, then TCP_NODELAY on the connection it opened: test
// clients send their commands at once, as the gateway and the broker do.
int connect_without_delay(MQTTClient client, MQTTClient_connectOptions *opts);

// The library blocks a publication for 100 ms once this many are unacknowledged.
inline constexpr int kFloodInflight = 1000;

struct UiMessage {
    std::string topic;
    std::string payload;
    int qos = -1;
    int retained = -1;
    std::chrono::steady_clock::time_point at;
};

class UiClient
{
  public:
    using milliseconds = std::chrono::milliseconds;
    static constexpr const char *kCommandTopic = "dt/ui_to_app/cmd";
    static constexpr const char *kResponseTopic = "dt/app_to_ui/resp";

    explicit UiClient(std::string client_id = "test_ui_app") : id_(std::move(client_id)) {}
    ~UiClient() { disconnect(); }
    UiClient(const UiClient &) = delete;
    UiClient &operator=(const UiClient &) = delete;

    // Connects and subscribes to `topic` (QoS 1). False on failure.
    bool connect(const std::string &topic = kResponseTopic);
    void disconnect();
    bool connected() { return client_ != nullptr && MQTTClient_isConnected(client_); }

    // Publishes without waiting for the acknowledgement (several may be in flight).
    bool publish(const std::string &topic, const std::string &payload);
    bool send_command(const std::string &payload) { return publish(kCommandTopic, payload); }
    bool send_nowait(const std::string &payload, const std::string &topic = kCommandTopic)
    {
        return publish(topic, payload);
    }
    // Publishes and waits until the broker acknowledged it.
    bool send(const std::string &payload, const std::string &topic = kCommandTopic);
    bool wait_all_delivered(milliseconds timeout);

    std::vector<UiMessage> packets();
    size_t count();
    void clear();
    // Waits until at least `n` messages have arrived (or the time is up); returns them all.
    std::vector<UiMessage> wait_for(size_t n, milliseconds timeout);
    // Index of the first message at or after `from` that satisfies `pred`,
    // waiting up to `timeout`; -1 when none came.
    int wait_for(const std::function<bool(const UiMessage &)> &pred, milliseconds timeout, size_t from = 0);
    int wait_exact(const std::string &payload, milliseconds timeout, size_t from = 0)
    {
        return wait_for([&](const UiMessage &m) { return m.payload == payload; }, timeout, from);
    }
    bool wait_for_payload(const std::string &needle, milliseconds timeout)
    {
        return wait_for([&](const UiMessage &m) { return m.payload.find(needle) != std::string::npos; },
                        timeout) >= 0;
    }
    // Payloads from index `from` on.
    std::vector<std::string> payloads(size_t from = 0);
    // Indexes of messages with exactly this payload, from `from` on.
    std::vector<size_t> indexes_of(const std::string &payload, size_t from = 0);

  private:
    static int on_message(void *ctx, char *topic, int topic_len, MQTTClient_message *msg);

    std::string id_;
    MQTTClient client_ = nullptr;
    MQTTClient_deliveryToken last_ = 0; // of the latest publication
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<UiMessage> msgs_;
};
