// Bus worker: one MQTT client to the local broker, its connection state
// machine, and the callbacks the client library runs on its own thread.
#pragma once

#include <MQTTClient.h>

#include <atomic>
#include <mutex>

constexpr int MQTT_MAX_TOPICS = 50;
constexpr int MQTT_TOPIC_LEN = 64;
constexpr int MQTT_PAYLOAD_SIZE = 4000;

struct MqttDetails {
    const char *client_id;
    const char *server_address;
    int port;
    int topic_count;
    char topics[MQTT_MAX_TOPICS][MQTT_TOPIC_LEN];
    int qos[MQTT_MAX_TOPICS];
    int keep_alive_interval;
    int clean_session;
};

// Link states.
constexpr int MQTT_INIT = 101;
constexpr int MQTT_CONNECT = 102;
constexpr int MQTT_RECONNECT = 103;
constexpr int MQTT_SUBSCRIBE = 104;
constexpr int MQTT_DISCONNECT = 107;
constexpr int MQTT_CONNECTED = 108;

constexpr int MQTT_RESPONSE_TOPIC = 0; // "dt/app_to_ui/resp"
constexpr int MQTT_COMMAND_TOPIC = 1;  // "dt/ui_to_app/cmd"

// Pauses of the bus worker.
constexpr long MQTT_CONNECTED_SLEEP_US = 5'000'000;   // health pause while connected
constexpr long MQTT_FAILED_STEP_PAUSE_US = 1'000'000; // before a failed step is repeated
constexpr unsigned long MQTT_DISCONNECT_TIMEOUT_MS = 100;
// Longest wait of the check that the broker listens before each connect.
constexpr int MQTT_LISTENER_CHECK_TIMEOUT_MS = 100;
constexpr int MQTT_MAX_RETRIES = 10;
// Longest wait of a publication for the acknowledgement of the one before it
// (one publication in flight at a time); after it, the library's own wait applies.
constexpr long MQTT_DELIVERY_WAIT_US = 1'000'000;

extern MqttDetails gMqttDetails;
extern int topicCount;
extern MQTTClient_connectOptions gMQTTConnOpts;
extern MQTTClient_message gMQTTPublishMsg;
// Read by the callback thread (to name the client in the loss line) and by the
// publisher: an atomic word, replaced only by the bus worker.
extern std::atomic<MQTTClient> hMqttClient;
extern MQTTClient_deliveryToken gToken;
extern std::atomic<int> giMQTTState;

// Guards hMqttClient, the payload buffer and gMQTTPublishMsg between the bus
// worker (create/connect/disconnect) and a publishing thread.
extern std::mutex g_mqtt_client_mutex;

void mqtt_change_state(int state);
// Publication in flight: set by a publish, cleared when its delivery completes
// or the connection is lost or renewed. Lets the next publish wait on a
// condition instead of the client library's 100 ms polling step.
void mqtt_delivery_begin_wait();
void mqtt_delivery_clear();
int mqtt_init();
int mqtt_connect();
int mqtt_subscriber_topics();
int MQTT_Disconnect();
void MQTT_connectionLost(void *context, char *cause);
void MQTT_deliveryComplete(void *context, MQTTClient_deliveryToken dt);

// Runs one pass of the link state machine (the worker loops over it).
void mqtt_run_state_pass();
// Resets the worker's private state (state MQTT_INIT, retry counter 0), as at thread start.
void mqtt_worker_start();

// Test-only: called after a step's library calls, before the worker stores the
// step's next state (lets a test report a loss at exactly that moment).
using MqttStepHook = void (*)(int state);
void mqtt_test_set_step_hook(MqttStepHook hook);
// Test-only: the worker's retry counter.
int mqtt_test_retry_counter();
// Test-only: how many times the connect step has called the library's connect.
int mqtt_test_library_connects();

// Thread body of the bus worker; never returns.
void *proto_intrnl_mqtt_main(void *arg);
