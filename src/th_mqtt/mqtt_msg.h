// Message envelope, status packets, publishing and routing of inbound messages.
#pragma once

#include <MQTTClient.h>

#include <cstddef>

// Longest text the payload buffer can carry (the buffer keeps one byte for the NUL).
constexpr size_t MQTT_MAX_PUBLISH_LEN = 3999;
// Inbound copies keep at most this many payload bytes.
constexpr size_t MQTT_INBOUND_MAX = 1023;

int create_pkt_without_data(char *dst, int typ, int cmd, int error, const char *msg);
int MQTT_Publish_Data(int index, const char *text);
int MQTT_messageArrived(void *context, char *topicName, int topicLen, MQTTClient_message *message);
void handle_incoming_packet(const char *text);

// Test-only seam: when set, MQTT_Publish_Data hands the text to this function
// instead of the client library and returns its result. The product never sets it.
using MqttPublishHook = int (*)(int index, const char *text);
void mqtt_test_set_publish_hook(MqttPublishHook hook);
