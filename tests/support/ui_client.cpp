#include "support/ui_client.h"

#include <thread>

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

int UiClient::on_message(void *ctx, char *topic, int, MQTTClient_message *msg)
{
    auto *self = static_cast<UiClient *>(ctx);
    UiMessage p{topic,
                std::string(static_cast<const char *>(msg->payload), static_cast<size_t>(msg->payloadlen)),
                msg->qos, msg->retained, std::chrono::steady_clock::now()};
    {
        std::lock_guard<std::mutex> lk(self->mu_);
        self->msgs_.push_back(std::move(p));
    }
    self->cv_.notify_all();
    MQTTClient_freeMessage(&msg);
    MQTTClient_free(topic);
    return 1;
}

bool UiClient::connect(const std::string &topic)
{
    disconnect();
    if (MQTTClient_create(&client_, "tcp://127.0.0.1:1883", id_.c_str(), MQTTCLIENT_PERSISTENCE_NONE,
                          nullptr) != MQTTCLIENT_SUCCESS) {
        client_ = nullptr;
        return false;
    }
    MQTTClient_setCallbacks(client_, this, nullptr, on_message, nullptr);
    MQTTClient_connectOptions opts = MQTTClient_connectOptions_initializer;
    opts.keepAliveInterval = 20;
    opts.cleansession = 1;
    opts.connectTimeout = 5;
    // Several publications in flight: floods and latency runs must not queue
    // behind each acknowledgement.
    opts.reliable = 0;
    opts.maxInflightMessages = kFloodInflight;
    if (connect_without_delay(client_, &opts) != MQTTCLIENT_SUCCESS) {
        MQTTClient_destroy(&client_);
        client_ = nullptr;
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

bool UiClient::send(const std::string &payload, const std::string &topic)
{
    return publish(topic, payload) &&
           MQTTClient_waitForCompletion(client_, last_, 5000) == MQTTCLIENT_SUCCESS;
}

bool UiClient::publish(const std::string &topic, const std::string &payload)
{
    return client_ != nullptr && MQTTClient_publish(client_, topic.c_str(), static_cast<int>(payload.size()),
                                                    payload.data(), 1, 0, &last_) == MQTTCLIENT_SUCCESS;
}

bool UiClient::wait_all_delivered(milliseconds timeout)
{
    auto until = std::chrono::steady_clock::now() + timeout;
    while (client_ != nullptr) {
        MQTTClient_deliveryToken *tokens = nullptr;
        if (MQTTClient_getPendingDeliveryTokens(client_, &tokens) != MQTTCLIENT_SUCCESS) {
            return false;
        }
        bool none = tokens == nullptr || tokens[0] == -1;
        if (tokens) {
            MQTTClient_free(tokens);
        }
        if (none) {
            return true;
        }
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    return false;
}

std::vector<UiMessage> UiClient::packets()
{
    std::lock_guard<std::mutex> lk(mu_);
    return msgs_;
}

size_t UiClient::count()
{
    std::lock_guard<std::mutex> lk(mu_);
    return msgs_.size();
}

int UiClient::wait_for(const std::function<bool(const UiMessage &)> &pred, milliseconds timeout, size_t from)
{
    std::unique_lock<std::mutex> lk(mu_);
    int found = -1;
    size_t checked = from;
    cv_.wait_for(lk, timeout, [&] {
        for (; checked < msgs_.size(); ++checked) {
            if (pred(msgs_[checked])) {
                found = static_cast<int>(checked);
                return true;
            }
        }
        return false;
    });
    return found;
}

std::vector<std::string> UiClient::payloads(size_t from)
{
    std::lock_guard<std::mutex> lk(mu_);
    std::vector<std::string> out;
    for (size_t i = from; i < msgs_.size(); ++i) {
        out.push_back(msgs_[i].payload);
    }
    return out;
}

std::vector<size_t> UiClient::indexes_of(const std::string &payload, size_t from)
{
    std::lock_guard<std::mutex> lk(mu_);
    std::vector<size_t> out;
    for (size_t i = from; i < msgs_.size(); ++i) {
        if (msgs_[i].payload == payload) {
            out.push_back(i);
        }
    }
    return out;
}

void UiClient::clear()
{
    std::lock_guard<std::mutex> lk(mu_);
    msgs_.clear();
}

std::vector<UiMessage> UiClient::wait_for(size_t n, milliseconds timeout)
{
    std::unique_lock<std::mutex> lk(mu_);
    cv_.wait_for(lk, timeout, [&] { return msgs_.size() >= n; });
    return msgs_;
}
