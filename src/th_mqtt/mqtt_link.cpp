#include "th_mqtt/mqtt_link.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/gw_time.h"
#include "common/pass_guard.h"
#include "th_mqtt/broker_socket.h"
#include "th_mqtt/mqtt_msg.h"
#include "th_mqtt/topics.h"

MqttDetails gMqttDetails = {
    "mqtt_internal_broker",
    OBDGW_BROKER_HOST,
    OBDGW_BROKER_PORT,
    2,
    {OBDGW_RESPONSE_TOPIC, OBDGW_COMMAND_TOPIC},
    {1, 1},
    20,
    1,
};

int topicCount = 2;
MQTTClient_connectOptions gMQTTConnOpts = MQTTClient_connectOptions_initializer;
MQTTClient_message gMQTTPublishMsg = MQTTClient_message_initializer;
std::atomic<MQTTClient> hMqttClient{nullptr};
MQTTClient_deliveryToken gToken;
std::atomic<int> giMQTTState{MQTT_INIT};
std::mutex g_mqtt_client_mutex;

namespace
{

// Private to the bus worker; atomic only so that tests may read it.
std::atomic<unsigned char> s_reconnect_counter{0};
std::atomic<MqttStepHook> s_step_hook{nullptr};
std::atomic<int> s_library_connects{0};

// Moves the link on from the state a step ran in. A loss reported by the
// callback thread meanwhile (state no longer `from`) is kept, not overwritten.
void advance_state(int from, int to)
{
    if (MqttStepHook hook = s_step_hook.load()) {
        hook(from);
    }
    giMQTTState.compare_exchange_strong(from, to);
}

void pause_after_failed_step()
{
    gw_sleep_us(MQTT_FAILED_STEP_PAUSE_US);
}

// Held only for a flag update or inside the condition wait: the callback
// thread takes it to clear the flag and never waits behind a publisher.
std::mutex s_delivery_mutex;
std::condition_variable s_delivery_cv;
bool s_delivery_pending = false;

} // namespace

void mqtt_test_set_step_hook(MqttStepHook hook)
{
    s_step_hook.store(hook);
}
int mqtt_test_retry_counter()
{
    return s_reconnect_counter;
}
int mqtt_test_library_connects()
{
    return s_library_connects.load();
}

void mqtt_change_state(int state)
{
    giMQTTState.store(state);
}

void mqtt_delivery_begin_wait()
{
    std::unique_lock<std::mutex> lk(s_delivery_mutex);
    gw_wait(lk, s_delivery_cv, MQTT_DELIVERY_WAIT_US, [] { return !s_delivery_pending; });
    s_delivery_pending = true;
}

void mqtt_delivery_clear()
{
    {
        std::lock_guard<std::mutex> lk(s_delivery_mutex);
        s_delivery_pending = false;
    }
    s_delivery_cv.notify_all();
}

int mqtt_init()
{
    int result = 1;
    MQTTClient client = nullptr;
    {
        // A client left by an earlier, partly failed create step is not leaked.
        std::lock_guard<std::mutex> lk(g_mqtt_client_mutex);
        MQTTClient old = hMqttClient.exchange(nullptr);
        if (old) {
            MQTTClient_destroy(&old);
        }
    }
    int rc = MQTTClient_create(&client, gMqttDetails.server_address, gMqttDetails.client_id,
                               MQTTCLIENT_PERSISTENCE_NONE, nullptr);
    if (rc != MQTTCLIENT_SUCCESS) {
        printf("INTR_MQTT_ERROR : Failed to create MQTT Client [%d] \n", rc);
        result = 0;
    }
    hMqttClient.store(client);
    rc = MQTTClient_setCallbacks(client, client, MQTT_connectionLost, MQTT_messageArrived,
                                 MQTT_deliveryComplete);
    if (rc != MQTTCLIENT_SUCCESS) {
        printf("INTR_MQTT_ERROR : Failed to set MQTT Callback [%d] \n", rc);
        result = 0;
    }
    printf("INTR_MQTT_INFO : --------------------------------- [%d] \n", result);
    fflush(stdout);
    return result;
}

int mqtt_connect()
{
    int result = 1;
    gMQTTConnOpts.keepAliveInterval = gMqttDetails.keep_alive_interval;
    gMQTTConnOpts.cleansession = gMqttDetails.clean_session;
    // Nothing listening: the attempt fails as the library's refused connect
    // does, without the library spinning on the refused socket.
    int rc = MQTTCLIENT_FAILURE;
    const char *addr = gMqttDetails.server_address;
    if (tcp_listener_present(addr, gMqttDetails.port, MQTT_LISTENER_CHECK_TIMEOUT_MS)) {
        const std::vector<ino_t> before = tcp_connections_to(addr, gMqttDetails.port);
        s_library_connects.fetch_add(1);
        rc = MQTTClient_connect(hMqttClient.load(), &gMQTTConnOpts);
        if (rc == MQTTCLIENT_SUCCESS) {
            // Small packets go out at once instead of waiting for the broker's
            // delayed acknowledgement of the previous one.
            tcp_nodelay_on_new_connections(addr, gMqttDetails.port, before);
        }
    }
    if (rc != MQTTCLIENT_SUCCESS) {
        printf("INTR_MQTT_ERROR : Failed to connect [%d]\n", rc);
        result = 0;
    }
    // A clean session drops what was in flight: nothing will complete it.
    mqtt_delivery_clear();
    std::lock_guard<std::mutex> lk(g_mqtt_client_mutex);
    free(gMQTTPublishMsg.payload);
    gMQTTPublishMsg.payload = malloc(MQTT_PAYLOAD_SIZE);
    if (gMQTTPublishMsg.payload == nullptr) {
        puts("INTR_MQTT_ERROR : MQTT connection error.");
        result = 0;
    }
    fflush(stdout);
    return result;
}

int mqtt_subscriber_topics()
{
    char *topics[2] = {gMqttDetails.topics[0], gMqttDetails.topics[1]};
    printf("topic list : %s\n", topics[0]);
    printf("topic list : %s\n", topics[1]);
    // The library writes the granted QoS back into the table it is given;
    // publishing keeps reading the requested levels from gMqttDetails.
    std::array<int, MQTT_MAX_TOPICS> granted;
    std::copy(std::begin(gMqttDetails.qos), std::end(gMqttDetails.qos), granted.begin());
    const int count = std::clamp(topicCount, 0, static_cast<int>(std::size(topics)));
    int rc = MQTTClient_subscribeMany(hMqttClient.load(), count, topics, granted.data());
    const bool refused = std::any_of(granted.begin(), granted.begin() + count,
                                     [](int qos) { return qos == MQTT_BAD_SUBSCRIBE; });
    if (rc != MQTTCLIENT_SUCCESS || refused) {
        puts("INTR_MQTT_ERROR : Fail to Subscribe with topics");
        fflush(stdout);
        return 0;
    }
    puts("INTR_MQTT_INFO : successfully Subscribed topics");
    fflush(stdout);
    return 1;
}

int MQTT_Disconnect()
{
    int result = 1;
    char *topics[MQTT_MAX_TOPICS] = {};
    int count = gMqttDetails.topic_count;
    if (count > MQTT_MAX_TOPICS) {
        count = MQTT_MAX_TOPICS;
    }
    for (int i = 0; i < count; ++i) {
        topics[i] = gMqttDetails.topics[i];
    }
    // Publishing waits here until the tear-down is over and then finds no buffer.
    std::lock_guard<std::mutex> lk(g_mqtt_client_mutex);
    MQTTClient client = hMqttClient.load();
    if (client != nullptr && MQTTClient_isConnected(client) == 1) {
        if (MQTTClient_unsubscribeMany(client, count, topics) != MQTTCLIENT_SUCCESS) {
            puts("INTR_MQTT_ERROR : Fail to unsubscribe all topics ");
            result = 0;
        }
        if (MQTTClient_disconnect(client, MQTT_DISCONNECT_TIMEOUT_MS) != MQTTCLIENT_SUCCESS) {
            puts("INTR_MQTT_ERROR : Fail to disconnect with MQTT Broker");
            result = 0;
        }
    } else {
        puts("INTR_MQTT_ERROR : Device not connected with Server");
    }
    if (client != nullptr) {
        hMqttClient.store(nullptr);
        MQTTClient_destroy(&client);
        puts("INTR_MQTT_ERROR : MQTT Handle distroied...");
    }
    if (gMQTTPublishMsg.payload != nullptr) {
        free(gMQTTPublishMsg.payload);
        gMQTTPublishMsg.payload = nullptr;
        puts("INTR_MQTT_INFO : Payload buffer free");
    }
    fflush(stdout);
    return result;
}

void MQTT_connectionLost(void *context, char *cause)
{
    printf("%s -> Callback: connection lost [%s]\n", context == hMqttClient.load() ? "Client-1" : "Client-2",
           cause ? cause : "");
    fflush(stdout);
    mqtt_change_state(MQTT_RECONNECT);
    try {
        mqtt_delivery_clear();
    } catch (...) {
        // Only a failing mutex throws here; nothing may unwind into the client library.
    }
}

void MQTT_deliveryComplete(void *, MQTTClient_deliveryToken)
{
    try {
        mqtt_delivery_clear();
    } catch (...) {
        // As above: the library's thread must not see an exception.
    }
}

void mqtt_worker_start()
{
    mqtt_change_state(MQTT_INIT);
    s_reconnect_counter = 0;
}

namespace
{

void run_state_pass(int state)
{
    switch (state) {
    case MQTT_INIT:
        if (mqtt_init()) {
            advance_state(state, MQTT_CONNECT);
        } else {
            puts("INTR_MQTT_ERROR : MQTT_INIT failed.");
            fflush(stdout);
            pause_after_failed_step();
        }
        break;
    case MQTT_CONNECT:
        if (mqtt_connect()) {
            advance_state(state, MQTT_SUBSCRIBE);
        } else {
            puts("INTR_MQTT_ERROR : MQTT_CONNECT failed.");
            fflush(stdout);
            advance_state(state, MQTT_RECONNECT);
            pause_after_failed_step();
        }
        break;
    case MQTT_RECONNECT:
        if (s_reconnect_counter > MQTT_MAX_RETRIES - 1) {
            puts("INTR_MQTT_ERROR : MQTT_RECONNECT Failed.");
            advance_state(state, MQTT_DISCONNECT);
            s_reconnect_counter = 0;
        } else {
            advance_state(state, MQTT_CONNECT);
            printf("INTR_MQTT_INFO : Retrying to connect - [%d]\n", s_reconnect_counter.load() + 1);
            s_reconnect_counter.fetch_add(1);
        }
        fflush(stdout);
        break;
    case MQTT_SUBSCRIBE:
        if (mqtt_subscriber_topics()) {
            advance_state(state, MQTT_CONNECTED);
        } else {
            puts("INTR_MQTT_ERROR : MQTT_SUBSCRIBE failed.");
            fflush(stdout);
            pause_after_failed_step();
        }
        break;
    case MQTT_DISCONNECT:
        if (MQTT_Disconnect()) {
            advance_state(state, MQTT_INIT);
        } else {
            puts("INTR_MQTT_ERROR : MQTT_DISCONNECT failed.");
            fflush(stdout);
            pause_after_failed_step();
        }
        break;
    case MQTT_CONNECTED:
        gw_sleep_us(MQTT_CONNECTED_SLEEP_US);
        break;
    default:
        // Never stored by this code; recover rather than spin.
        advance_state(state, MQTT_INIT);
        break;
    }
}

void abandon_pass(int state, const char *what)
{
    printf("INTR_MQTT_ERROR : Pass of state %d abandoned: %s\n", state, what);
    fflush(stdout);
    pause_after_failed_step();
}

} // namespace

// A step cut short by an exception is reported and repeated after the usual
// pause of a failed step; the bus worker never ends.
void mqtt_run_state_pass()
{
    const int state = giMQTTState.load();
    gw_guarded_pass([state] { run_state_pass(state); },
                    [state](const char *what) { abandon_pass(state, what); });
}

void *proto_intrnl_mqtt_main(void *)
{
    mqtt_worker_start();
    for (;;) {
        mqtt_run_state_pass();
    }
    return nullptr;
}
