#include "th_mqtt/mqtt_msg.h"

#include <atomic>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>

#include "common/cjson_ptr.h"
#include "th_gpio/gpio_worker.h"
#include "th_mqtt/mqtt_link.h"
#include "th_obd2_com/obd2_state.h"

namespace
{
std::atomic<MqttPublishHook> s_publish_hook{nullptr};

// Integer part of a JSON number, limited to the int range.
int integer_part(double v)
{
    if (std::isnan(v)) {
        return 0;
    }
    if (v >= static_cast<double>(INT_MAX)) {
        return INT_MAX;
    }
    if (v <= static_cast<double>(INT_MIN)) {
        return INT_MIN;
    }
    return static_cast<int>(v);
}
} // namespace

void mqtt_test_set_publish_hook(MqttPublishHook hook)
{
    s_publish_hook.store(hook);
}

int create_pkt_without_data(char *dst, int typ, int cmd, int error, const char *msg)
{
    if (dst == nullptr) {
        puts("OBD2_ERROR: Output buffer is NULL");
        return 0;
    }
    CJsonPtr root(cJSON_CreateObject());
    if (!root) {
        puts("OBD2_ERROR: Failed to create JSON object");
        return 0;
    }
    cJSON_AddNumberToObject(root.get(), "TYP", typ);
    cJSON_AddNumberToObject(root.get(), "CMD", cmd);
    cJSON_AddNumberToObject(root.get(), "ERROR", error);
    cJSON *data = cJSON_CreateObject();
    if (data == nullptr) {
        puts("OBD2_ERROR: Failed to create DATA object");
        return 0;
    }
    if (msg != nullptr) {
        cJSON_AddStringToObject(data, "msg", msg);
    }
    cJSON_AddItemToObject(root.get(), "DATA", data);
    CJsonText text(cJSON_PrintUnformatted(root.get()));
    if (!text) {
        puts("OBD2_ERROR: Failed to print JSON string");
        return 0;
    }
    strcpy(dst, text.get());
    return 1;
}

int MQTT_Publish_Data(int index, const char *text)
{
    if (MqttPublishHook hook = s_publish_hook.load()) {
        return hook(index, text);
    }
    if (text == nullptr || index < 0 || index >= gMqttDetails.topic_count) {
        return 0;
    }
    std::lock_guard<std::mutex> lk(g_mqtt_client_mutex);
    MQTTClient client = hMqttClient.load();
    char *buf = static_cast<char *>(gMQTTPublishMsg.payload);
    if (buf == nullptr || client == nullptr) {
        return 0;
    }
    const size_t len = strlen(text);
    if (len > MQTT_MAX_PUBLISH_LEN) {
        printf("INTR_MQTT_ERROR : Payload too long [%zu bytes, at most %zu], not sent\n", len,
               MQTT_MAX_PUBLISH_LEN);
        fflush(stdout);
        return 0;
    }
    memset(buf, 0, MQTT_PAYLOAD_SIZE);
    memcpy(buf, text, len);
    gMQTTPublishMsg.qos = gMqttDetails.qos[index];
    gMQTTPublishMsg.retained = 0;
    gMQTTPublishMsg.payloadlen = static_cast<int>(len);
    printf("INTER_MQTT_INFO :::: Payload [%s] Len[%d]\n", buf, static_cast<int>(len));
    fflush(stdout);
    mqtt_delivery_begin_wait();
    int rc = MQTTClient_publishMessage(client, gMqttDetails.topics[index], &gMQTTPublishMsg, &gToken);
    if (rc != MQTTCLIENT_SUCCESS) {
        mqtt_delivery_clear();
        printf("INTR_MQTT_ERROR : Fail to send the data [%d]\n", rc);
        fflush(stdout);
        return 0;
    }
    return 1;
}

int MQTT_messageArrived(void *, char *topicName, int, MQTTClient_message *message)
{
    char copy[MQTT_INBOUND_MAX + 1];
    size_t len = static_cast<unsigned int>(message->payloadlen);
    if (len > MQTT_INBOUND_MAX) {
        len = MQTT_INBOUND_MAX;
    }
    if (len > 0) {
        memcpy(copy, message->payload, len);
    }
    copy[len] = '\0';
    if (topicName != nullptr && strcmp(topicName, gMqttDetails.topics[MQTT_COMMAND_TOPIC]) == 0) {
        // Runs on the client library's thread: an exception must neither unwind
        // into the library nor keep the message from being freed.
        try {
            handle_incoming_packet(copy);
        } catch (const std::exception &e) {
            printf("MQTT_ERROR : Message dropped: %s\n", e.what());
            fflush(stdout);
        } catch (...) {
            puts("MQTT_ERROR : Message dropped: unknown exception");
            fflush(stdout);
        }
    }
    MQTTClient_freeMessage(&message);
    MQTTClient_free(topicName);
    return 1;
}

void handle_incoming_packet(const char *text)
{
    CJsonPtr root(cJSON_Parse(text));
    if (!root) {
        puts("ERROR: Invalid JSON format.");
        fflush(stdout);
        return;
    }
    const cJSON *typ = cJSON_GetObjectItem(root.get(), "TYP");
    if (!cJSON_IsNumber(typ)) {
        puts("ERROR: 'TYP' field missing or not a number.");
        fflush(stdout);
        return;
    }
    const int value = integer_part(typ->valuedouble);
    switch (value) {
    case 1:
        command_for_can(text);
        break;
    case 2:
        get_gpio_cntrl_pkt(text);
        break;
    default:
        printf("MQTT_ERROR : Unknown TYP value: %d\n", value);
        fflush(stdout);
        break;
    }
}
