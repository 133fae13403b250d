// The UI application's side of the bus, for tests: a real MQTT client that
// subscribes to the gateway's response topic and publishes commands.
#pragma once

#include <MQTTClient.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

// MQTTClient_connect, then TCP_NODELAY on the connection it opened: test
// clients send their commands at once, as the gateway and the broker do.
int connect_without_delay(MQTTClient client, MQTTClient_connectOptions *opts);

struct UiMessage {
    std::string topic;
    std::string payload;
    int qos = -1;
    int retained = -1;
};

class UiClient
{
  public:
    explicit UiClient(std::string client_id = "test_ui_app");
    ~UiClient();
    UiClient(const UiClient &) = delete;
    UiClient &operator=(const UiClient &) = delete;

    // Connects to 127.0.0.1:1883 and subscribes to `topic` (QoS 1). False on failure.
    bool connect(const std::string &topic = "dt/app_to_ui/resp");
    void disconnect();
    // Publishes with QoS 1 (the broker delivers it; the call does not wait for the acknowledgement).
    bool publish(const std::string &topic, const std::string &payload);
    bool send_command(const std::string &payload) { return publish("dt/ui_to_app/cmd", payload); }

    // Waits until at least `n` messages have arrived (or the time is up); returns them all.
    std::vector<UiMessage> wait_for(size_t n, std::chrono::milliseconds timeout);
    // Waits for a message whose payload contains `needle`; true when one arrived.
    bool wait_for_payload(const std::string &needle, std::chrono::milliseconds timeout);
    std::vector<UiMessage> messages();
    std::vector<std::string> payloads();
    void clear();

  private:
    static int on_message(void *ctx, char *topic, int topic_len, MQTTClient_message *msg);
    static void on_lost(void *ctx, char *cause);

    std::string id_;
    MQTTClient client_ = nullptr;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<UiMessage> msgs_;
};
