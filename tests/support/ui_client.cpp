#include "support/ui_client.h"

#include <cstring>

#include "th_mqtt/broker_socket.h"

int connect_without_delay(MQTTClient client, MQTTClient_connectOptions *opts)
{
    const auto before = tcp_connections_to("127.0.0.1", 1883);
    const int rc = MQTTClient_connect(client, opts);
    if (rc == MQTTCLIENT_SUCCESS) {
        tcp_nodelay_on_new_connections("127.0.0.1", 1883, before);
    }
    return rc;
}

UiClient::UiClient(std::string client_id) : id_(std::move(client_id)) {}

UiClient::~UiClient()
{
    disconnect();
}

int UiClient::on_message(void *ctx, char *topic, int, MQTTClient_message *msg)
{
    auto *self = static_cast<UiClient *>(ctx);
    UiMessage m;
    m.topic = topic;
    m.payload.assign(static_cast<const char *>(msg->payload), static_cast<size_t>(msg->payloadlen));
    m.qos = msg->qos;
    m.retained = msg->retained;
    {
        std::lock_guard<std::mutex> lk(self->mu_);
        self->msgs_.push_back(std::move(m));
    }
    self->cv_.notify_all();
    MQTTClient_freeMessage(&msg);
    MQTTClient_free(topic);
    return 1;
}

void UiClient::on_lost(void *, char *) {}

bool UiClient::connect(const std::string &topic)
{
    if (MQTTClient_create(&client_, "tcp://127.0.0.1:1883", id_.c_str(), MQTTCLIENT_PERSISTENCE_NONE,
                          nullptr) != MQTTCLIENT_SUCCESS) {
        return false;
    }
    MQTTClient_setCallbacks(client_, this, on_lost, on_message, nullptr);
    MQTTClient_connectOptions opts = MQTTClient_connectOptions_initializer;
    opts.keepAliveInterval = 20;
    opts.cleansession = 1;
    opts.connectTimeout = 5;
    // Several publications in flight: waiting for each acknowledgement would
    // cost the library's 100 ms polling step per command.
    opts.reliable = 0;
    if (connect_without_delay(client_, &opts) != MQTTCLIENT_SUCCESS) {
        return false;
    }
    return MQTTClient_subscribe(client_, topic.c_str(), 1) == MQTTCLIENT_SUCCESS;
}

void UiClient::disconnect()
{
    if (client_ == nullptr) {
        return;
    }
    if (MQTTClient_isConnected(client_)) {
        MQTTClient_disconnect(client_, 100);
    }
    MQTTClient_destroy(&client_);
    client_ = nullptr;
}

bool UiClient::publish(const std::string &topic, const std::string &payload)
{
    MQTTClient_deliveryToken token = 0;
    int rc = MQTTClient_publish(client_, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                                0, &token);
    return rc == MQTTCLIENT_SUCCESS;
}

std::vector<UiMessage> UiClient::wait_for(size_t n, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lk(mu_);
    cv_.wait_for(lk, timeout, [&] { return msgs_.size() >= n; });
    return msgs_;
}

bool UiClient::wait_for_payload(const std::string &needle, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, timeout, [&] {
        for (const auto &m : msgs_) {
            if (m.payload.find(needle) != std::string::npos) {
                return true;
            }
        }
        return false;
    });
}

std::vector<UiMessage> UiClient::messages()
{
    std::lock_guard<std::mutex> lk(mu_);
    return msgs_;
}

std::vector<std::string> UiClient::payloads()
{
    std::lock_guard<std::mutex> lk(mu_);
    std::vector<std::string> out;
    for (const auto &m : msgs_) {
        out.push_back(m.payload);
    }
    return out;
}

void UiClient::clear()
{
    std::lock_guard<std::mutex> lk(mu_);
    msgs_.clear();
}
