// The bus: status packets, the link state machine against a real broker,
// publishing as a subscriber sees it, and routing of inbound messages.
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_fd.h"
#include "support/test_clock.h"
#include "support/broker.h"
#include "support/bus_runner.h"
#include "support/capture.h"
#include "support/ui_client.h"
#include "th_mqtt/broker_socket.h"
#include "th_mqtt/mqtt_link.h"
#include "th_mqtt/mqtt_msg.h"
#include "th_obd2_com/obd2_state.h"

using namespace std::chrono_literals;

namespace
{

constexpr int kSleepDivisor = 20; // 1 s pauses take 50 ms, the 5 s health pause 250 ms

class BusTest : public ::testing::Test
{
  protected:
    void SetUp() override { obd2_test_reset_handover(OBD2_STATE_IDLE); }
    // The broker running, the bus worker on its thread and the link connected.
    bool link_up()
    {
        if (!broker_.start()) {
            return false;
        }
        bus_.emplace();
        return wait_for_link_state(MQTT_CONNECTED, 5000);
    }

    ScaledClock clock_{kSleepDivisor};
    TestBroker broker_;
    std::optional<BusWorkerRunner> bus_;
};

// A command of exactly `len` characters: `head` opens a string value that pads it.
std::string padded(std::string head, size_t len)
{
    head += std::string(len - head.size() - 2, 'x');
    return head + "\"}";
}

std::vector<std::string> lines_from(const std::vector<std::string> &all, const std::string &first)
{
    auto it = std::find(all.begin(), all.end(), first);
    return {it, all.end()};
}

} // namespace

TEST(StatusPacket, IsCompactTextWithKeysInOrder)
{
    struct Case {
        int typ, cmd, error;
        const char *msg;
        const char *expected;
    } cases[] = {
        {1, 4, 0, "DTC_CLEARED", R"({"TYP":1,"CMD":4,"ERROR":0,"DATA":{"msg":"DTC_CLEARED"}})"},
        {1, 0, 0, nullptr, R"({"TYP":1,"CMD":0,"ERROR":0,"DATA":{}})"},
        {1, 0, 1, "NOECU", R"({"TYP":1,"CMD":0,"ERROR":1,"DATA":{"msg":"NOECU"}})"},
        {1, 0, 0, "MODEDETECTED", R"({"TYP":1,"CMD":0,"ERROR":0,"DATA":{"msg":"MODEDETECTED"}})"},
        {-5, 2147483647, 1, "", R"({"TYP":-5,"CMD":2147483647,"ERROR":1,"DATA":{"msg":""}})"},
    };
    for (const auto &c : cases) {
        char dst[128];
        memset(dst, 'x', sizeof dst);
        ASSERT_EQ(create_pkt_without_data(dst, c.typ, c.cmd, c.error, c.msg), 1);
        EXPECT_STREQ(dst, c.expected);
    }
    EXPECT_EQ(strlen(R"({"TYP":1,"CMD":0,"ERROR":0,"DATA":{"msg":"MODEDETECTED"}})"), 57u);

    TraceCapture cap;
    EXPECT_EQ(create_pkt_without_data(nullptr, 1, 0, 0, "ECU"), 0);
    EXPECT_EQ(cap.count_line("OBD2_ERROR: Output buffer is NULL"), 1);
}

TEST_F(BusTest, PublishIsRefusedSilentlyBeforeTheFirstConnect)
{
    TraceCapture cap;
    EXPECT_EQ(MQTT_Publish_Data(0, R"({"TYP":1,"CMD":0,"ERROR":1,"DATA":{"msg":"NOECU"}})"), 0);
    EXPECT_EQ(MQTT_Publish_Data(0, nullptr), 0);
    EXPECT_EQ(MQTT_Publish_Data(-1, "{}"), 0);
    EXPECT_EQ(MQTT_Publish_Data(2, "{}"), 0);
    EXPECT_EQ(cap.text(), "");
}

TEST_F(BusTest, AbsentBrokerExhaustsTheRetryBudgetThenConnectsOnceStarted)
{
    const std::string new_client = "INTR_MQTT_INFO : --------------------------------- [1] ";
    TraceCapture cap;
    const int library_connects = mqtt_test_library_connects();
    const auto started = std::chrono::steady_clock::now();
    BusWorkerRunner bus;
    // Eleven failed attempts, give-up, tear-down and a new client.
    ASSERT_TRUE(wait_until([&] { return cap.count_line(new_client) >= 2; }, 20s));
    // Each failed connect pauses before the next one.
    EXPECT_GE(std::chrono::steady_clock::now() - started,
              11 * std::chrono::microseconds(MQTT_FAILED_STEP_PAUSE_US / kSleepDivisor));
    // Nothing listened: the library was never asked to connect.
    EXPECT_EQ(mqtt_test_library_connects(), library_connects);
    ASSERT_TRUE(broker_.start());
    ASSERT_TRUE(wait_for_link_state(MQTT_CONNECTED, 20000));
    bus.stop();
    cap.stop();

    auto seq = lines_from(cap.lines(), new_client);
    std::vector<std::string> expected{new_client};
    for (int attempt = 1; attempt <= 11; ++attempt) {
        expected.insert(expected.end(), {"INTR_MQTT_ERROR : Failed to connect [-1]",
                                         "INTR_MQTT_ERROR : MQTT_CONNECT failed."});
        if (attempt < 11) {
            expected.push_back("INTR_MQTT_INFO : Retrying to connect - [" + std::to_string(attempt) + "]");
        }
    }
    expected.insert(expected.end(), {"INTR_MQTT_ERROR : MQTT_RECONNECT Failed.",
                                     "INTR_MQTT_ERROR : Device not connected with Server",
                                     "INTR_MQTT_ERROR : MQTT Handle distroied...",
                                     "INTR_MQTT_INFO : Payload buffer free", new_client});
    ASSERT_GE(seq.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(seq.begin(), seq.begin() + expected.size()), expected);
    // Once the broker runs, a connect succeeds and both topics are subscribed.
    auto tail = lines_from(seq, "topic list : dt/app_to_ui/resp");
    ASSERT_GE(tail.size(), 3u);
    EXPECT_EQ(tail[1], "topic list : dt/ui_to_app/cmd");
    EXPECT_EQ(tail[2], "INTR_MQTT_INFO : successfully Subscribed topics");
}

TEST_F(BusTest, BrokerRestartReconnectsSameClientAndContinuesRetryNumbers)
{
    TraceCapture cap;
    ASSERT_TRUE(link_up());
    MQTTClient first = hMqttClient.load();

    for (int round = 0; round < 2; ++round) {
        const int retries_before = mqtt_test_retry_counter();
        const int subscribed_before = cap.count_line("INTR_MQTT_INFO : successfully Subscribed topics");
        broker_.stop();
        ASSERT_TRUE(
            wait_until([&] { return cap.count_containing("-> Callback: connection lost [") > round; }, 5s));
        std::this_thread::sleep_for(150ms);
        ASSERT_TRUE(broker_.start());
        ASSERT_TRUE(wait_until(
            [&] {
                return cap.count_line("INTR_MQTT_INFO : successfully Subscribed topics") > subscribed_before;
            },
            10s));
        // The loss line names the current client; the same handle reconnects.
        EXPECT_EQ(cap.count_containing("Client-1 -> Callback: connection lost ["), round + 1);
        EXPECT_EQ(hMqttClient.load(), first);
        // Retry numbers continue from the counter: no reset after a successful connect.
        EXPECT_EQ(cap.count_line("INTR_MQTT_INFO : Retrying to connect - [" +
                                 std::to_string(retries_before + 1) + "]"),
                  1);
        EXPECT_GT(mqtt_test_retry_counter(), retries_before);
    }
    // Both topics are subscribed again: a command reaches the router.
    UiClient ui;
    ASSERT_TRUE(ui.connect());
    ASSERT_TRUE(ui.send_command(R"({"TYP":9})"));
    EXPECT_TRUE(wait_until([&] { return cap.count_line("MQTT_ERROR : Unknown TYP value: 9") == 1; }, 5s));
}

TEST_F(BusTest, OnlyTheLinksOwnBrokerConnectionSendsWithoutDelay)
{
    ASSERT_TRUE(broker_.start());
    // Another connection of this process to the broker, open before the link's.
    UniqueFd other(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in addr = loopback_address(1883);
    ASSERT_EQ(connect(other.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_TRUE(link_up());

    int links = 0;
    for_each_tcp_connection_to("127.0.0.1", 1883, [&](int fd, ino_t) {
        int nodelay = -1;
        socklen_t len = sizeof nodelay;
        ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len), 0);
        EXPECT_EQ(nodelay != 0, fd != other.get()) << "fd " << fd;
        links += fd != other.get();
    });
    EXPECT_EQ(links, 1);
}

TEST_F(BusTest, PublicationReachesSubscriberWithQos1NotRetained)
{
    ASSERT_TRUE(link_up());
    UiClient ui;
    ASSERT_TRUE(ui.connect());

    TraceCapture cap;
    const std::string long_pkt = R"({"TYP":1,"CMD":0,"ERROR":0,"DATA":{"msg":"MODEDETECTED"}})";
    const std::string short_pkt = R"({"TYP":1,"CMD":0,"ERROR":0,"DATA":{"msg":"ECU"}})";
    ASSERT_EQ(MQTT_Publish_Data(0, long_pkt.c_str()), 1);
    ASSERT_EQ(MQTT_Publish_Data(0, short_pkt.c_str()), 1);
    const auto msgs = ui.wait_for(2, 5s);
    EXPECT_EQ(ui.payloads(), (std::vector<std::string>{long_pkt, short_pkt}));
    for (const auto &m : msgs) {
        EXPECT_EQ(m.topic, "dt/app_to_ui/resp");
        EXPECT_EQ(m.qos, 1);
        EXPECT_EQ(m.retained, 0);
    }
    // The trace shows each text with its own length only.
    EXPECT_EQ(cap.count_line("INTER_MQTT_INFO :::: Payload [" + long_pkt + "] Len[57]"), 1);
    EXPECT_EQ(cap.count_line("INTER_MQTT_INFO :::: Payload [" + short_pkt + "] Len[" +
                             std::to_string(short_pkt.size()) + "]"),
              1);

    // The payload buffer holds 3999 characters and a NUL; longer texts are refused whole.
    std::string max_text(3999, 'a');
    std::string too_long(4000, 'a');
    EXPECT_EQ(MQTT_Publish_Data(0, max_text.c_str()), 1);
    EXPECT_EQ(MQTT_Publish_Data(0, too_long.c_str()), 0);
    EXPECT_EQ(cap.count_containing("INTR_MQTT_ERROR : Payload too long [4000 bytes"), 1);
    EXPECT_TRUE(ui.wait_for_payload(max_text, 5s));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(ui.packets().size(), 3u);
}

TEST_F(BusTest, PublishWhileBrokerDownIsReportedWithTheLibraryCode)
{
    ASSERT_TRUE(link_up());
    TraceCapture cap;
    broker_.stop();
    ASSERT_TRUE(wait_until([&] { return cap.count_containing("-> Callback: connection lost [") == 1; }, 5s));
    EXPECT_EQ(MQTT_Publish_Data(0, "{}"), 0);
    EXPECT_EQ(cap.count_containing("INTR_MQTT_ERROR : Fail to send the data ["), 1);
}

TEST(Routing, RoutesByTypeOnlyAndReportsBadInput)
{
    struct Case {
        const char *text;
        const char *expected_line; // nullptr: no error line
        bool to_obd;
        bool to_relay;
    } cases[] = {
        {R"({"TYP":1,"CMD":2})", nullptr, true, false},
        {R"({"typ":1,"CMD":3})", nullptr, true, false},
        {R"({"TYP":1.9,"CMD":3})", nullptr, true, false},
        {R"({"TYP":2.7,"DATA":{}})", nullptr, false, true},
        {R"({"Typ":2,"DATA":{}})", nullptr, false, true},
        {R"({"TYP":"2"})", "ERROR: 'TYP' field missing or not a number.", false, false},
        {R"({"CMD":1})", "ERROR: 'TYP' field missing or not a number.", false, false},
        {R"({"TYP":null})", "ERROR: 'TYP' field missing or not a number.", false, false},
        {R"({"TYP":3})", "MQTT_ERROR : Unknown TYP value: 3", false, false},
        {R"({"TYP":-1})", "MQTT_ERROR : Unknown TYP value: -1", false, false},
        {R"({"TYP":0.5})", "MQTT_ERROR : Unknown TYP value: 0", false, false},
        {R"({"TYP":1e12})", "MQTT_ERROR : Unknown TYP value: 2147483647", false, false},
        {R"({"TYP":1,)", "ERROR: Invalid JSON format.", false, false},
        {"", "ERROR: Invalid JSON format.", false, false},
        {"not json", "ERROR: Invalid JSON format.", false, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        obd2_test_reset_handover(OBD2_STATE_IDLE);
        TraceCapture cap;
        handle_incoming_packet(c.text);
        if (c.expected_line) {
            EXPECT_EQ(cap.count_line(c.expected_line), 1);
        }
        EXPECT_EQ(obd2_command_pending(), c.to_obd);
        if (c.to_obd) {
            EXPECT_EQ(get_obd2_thrd_state(), OBD2_STATE_PARSE_CMD);
            char copy[OBD2_CMD_BUF_SIZE];
            obd2_take_command(copy);
            EXPECT_STREQ(copy, c.text); // the raw text, not a re-print of the tree
        } else {
            EXPECT_EQ(get_obd2_thrd_state(), OBD2_STATE_IDLE);
        }
        EXPECT_EQ(cap.count_line(std::string("DO_INFO : PACKET : ") + c.text), c.to_relay ? 1 : 0);
    }
}

TEST(Handover, OversizeCommandsAreRefusedWithoutTouchingTheBuffer)
{
    obd2_test_reset_handover(OBD2_STATE_IDLE);
    command_for_can(R"({"TYP":1,"CMD":1})");
    char copy[OBD2_CMD_BUF_SIZE];
    ASSERT_TRUE(obd2_take_command(copy));
    change_obd2_thrd_state(OBD2_STATE_IDLE);

    for (size_t len : {199u, 200u, 1023u}) {
        const std::string text = padded(R"({"TYP":1,"CMD":3,"PAD":")", len);
        ASSERT_EQ(text.size(), len);
        TraceCapture cap;
        command_for_can(text.c_str());
        if (len <= 199) {
            EXPECT_TRUE(obd2_take_command(copy));
            EXPECT_EQ(std::string(copy), text);
        } else {
            EXPECT_EQ(cap.count_line("OBD2_ERROR : Command refused: longer than 199 characters."), 1);
            EXPECT_FALSE(obd2_command_pending());
            obd2_take_command(copy);
            EXPECT_EQ(strlen(copy), 199u); // still the previous, whole command
        }
    }
}

TEST(Handover, WorkerStateChangesNeverOverwriteAPendingCommand)
{
    obd2_test_reset_handover(OBD2_STATE_IDLE);
    command_for_can(R"({"TYP":1,"CMD":1})");
    change_obd2_thrd_state(OBD2_STATE_DETECT_MODE); // e.g. the heartbeat finishing its pass
    EXPECT_EQ(get_obd2_thrd_state(), OBD2_STATE_PARSE_CMD);
    char copy[OBD2_CMD_BUF_SIZE];
    EXPECT_TRUE(obd2_take_command(copy));
    change_obd2_thrd_state(OBD2_STATE_EXEC_CMD);
    EXPECT_EQ(get_obd2_thrd_state(), OBD2_STATE_EXEC_CMD);
}

TEST_F(BusTest, InboundMessagesAreTakenUpTo1023BytesFromTheCommandTopicOnly)
{
    ASSERT_TRUE(link_up());
    UiClient ui;
    ASSERT_TRUE(ui.connect());
    TraceCapture cap;

    // Own response topic: received back (subscribed) and dropped without a line.
    ASSERT_TRUE(ui.publish("dt/app_to_ui/resp", R"({"TYP":1,"CMD":1})"));
    ASSERT_TRUE(ui.publish("dt/ui_to_app/cmd/x", R"({"TYP":1,"CMD":1})"));

    ASSERT_TRUE(ui.send_command(padded(R"({"TYP":5,"X":")", 1023))); // routed whole
    ASSERT_TRUE(ui.send_command(padded(R"({"TYP":5,"X":")", 1024))); // loses its closing brace
    ASSERT_TRUE(ui.send_command(R"({"TYP":6})"));
    ASSERT_TRUE(wait_until([&] { return cap.count_line("MQTT_ERROR : Unknown TYP value: 6") == 1; }, 5s));
    EXPECT_EQ(cap.count_line("MQTT_ERROR : Unknown TYP value: 5"), 1);
    EXPECT_EQ(cap.count_line("ERROR: Invalid JSON format."), 1);
    EXPECT_FALSE(obd2_command_pending());
    EXPECT_EQ(get_obd2_thrd_state(), OBD2_STATE_IDLE);

    // An OBD command over the bus that does not fit the hand-over buffer.
    ASSERT_TRUE(ui.send_command(padded(R"({"TYP":1,"X":")", 600)));
    ASSERT_TRUE(ui.send_command(R"({"TYP":1,"CMD":7})"));
    ASSERT_TRUE(wait_until([&] { return obd2_command_pending(); }, 5s));
    EXPECT_EQ(cap.count_line("OBD2_ERROR : Command refused: longer than 199 characters."), 1);
    char copy[OBD2_CMD_BUF_SIZE];
    obd2_take_command(copy);
    EXPECT_STREQ(copy, R"({"TYP":1,"CMD":7})");
}

TEST_F(BusTest, LossReportedInsideAStepIsNotOverwritten)
{
    ASSERT_TRUE(broker_.start());
    TraceCapture cap;
    mqtt_test_set_step_hook([](int state) {
        if (state == MQTT_SUBSCRIBE) {
            MQTT_connectionLost(nullptr, const_cast<char *>("test"));
        }
    });
    mqtt_worker_start();
    mqtt_run_state_pass(); // create
    mqtt_run_state_pass(); // connect
    ASSERT_EQ(giMQTTState.load(), MQTT_SUBSCRIBE);
    mqtt_run_state_pass(); // subscribe succeeds, but a loss was reported meanwhile
    mqtt_test_set_step_hook(nullptr);
    EXPECT_EQ(giMQTTState.load(), MQTT_RECONNECT);
    EXPECT_EQ(cap.count_line("Client-2 -> Callback: connection lost [test]"), 1);
    MQTT_Disconnect();
}

namespace
{
// mosquitto never refuses a subscription of a 3.1.1 client, so this stand-in
// does: one client on 127.0.0.1:1883, connection accepted, both topics of a
// SUBSCRIBE refused (0x80). The client waits for each answer before it sends
// its next packet, so every read holds one whole small packet.
class RefusingBroker
{
  public:
    RefusingBroker()
    {
        const int on = 1; // earlier brokers of this process may have left TIME_WAIT behind
        setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in a = loopback_address(1883);
        ok_ = bind(listener_.get(), reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0 &&
              listen(listener_.get(), 1) == 0;
        // Connections one after the other: the bus worker first checks that
        // something listens with a bare connect, then the client library connects.
        thread_ = std::thread([this] {
            for (int c; (c = accept(listener_.get(), nullptr, nullptr)) >= 0;) {
                serve_one(UniqueFd(c));
            }
        });
    }
    ~RefusingBroker()
    {
        shutdown(listener_.get(), SHUT_RDWR);
        thread_.join();
    }
    bool ok() const { return ok_; }

  private:
    static void serve_one(UniqueFd c)
    {
        uint8_t in[256];
        while (read(c.get(), in, sizeof in) >= 4) { // DISCONNECT (2 bytes) or EOF ends it
            std::vector<uint8_t> reply;
            if (in[0] == 0x10) { // CONNECT
                reply = {0x20, 0x02, 0x00, 0x00};
            } else if (in[0] == 0x82) { // SUBSCRIBE
                reply = {0x90, 0x04, in[2], in[3], 0x80, 0x80};
            } else if (in[0] == 0xA2) { // UNSUBSCRIBE
                reply = {0xB0, 0x02, in[2], in[3]};
            }
            if (reply.empty() || write(c.get(), reply.data(), reply.size()) < 0) {
                break;
            }
        }
    }

    UniqueFd listener_{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    bool ok_ = false;
    std::thread thread_;
};
} // namespace

TEST_F(BusTest, RefusedSubscriptionIsAFailedStep)
{
    RefusingBroker broker;
    ASSERT_TRUE(broker.ok());
    TraceCapture cap;
    mqtt_worker_start();
    for (int pass = 0; pass < 3; ++pass) { // create, connect, subscribe
        mqtt_run_state_pass();
    }
    MQTT_Disconnect();
    cap.stop();
    EXPECT_EQ(cap.count_line("INTR_MQTT_ERROR : Fail to Subscribe with topics"), 1);
    EXPECT_EQ(cap.count_line("INTR_MQTT_ERROR : MQTT_SUBSCRIBE failed."), 1);
    EXPECT_EQ(cap.count_line("INTR_MQTT_INFO : successfully Subscribed topics"), 0);
}

TEST_F(BusTest, StepCutShortByAnExceptionIsRepeated)
{
    ASSERT_TRUE(broker_.start());
    TraceCapture cap;
    static std::atomic<bool> thrown;
    thrown.store(false); // the program may run this test more than once
    mqtt_test_set_step_hook([](int state) {
        if (state == MQTT_SUBSCRIBE && !thrown.exchange(true)) {
            throw std::bad_alloc();
        }
    });
    BusWorkerRunner bus;
    const bool connected = wait_for_link_state(MQTT_CONNECTED, 5000);
    bus.stop();
    mqtt_test_set_step_hook(nullptr);
    cap.stop();
    EXPECT_TRUE(connected);
    EXPECT_EQ(cap.count_line("INTR_MQTT_ERROR : Pass of state 104 abandoned: std::bad_alloc"), 1);
    EXPECT_EQ(cap.count_line("INTR_MQTT_INFO : successfully Subscribed topics"), 2);
}

TEST_F(BusTest, QosGrantedBySubscriptionLeavesThePublishQosAlone)
{
    TestBroker broker("max_qos 0\n");
    ASSERT_TRUE(broker.start());
    TraceCapture cap;
    mqtt_worker_start();
    while (giMQTTState.load() != MQTT_CONNECTED &&
           cap.count_line("INTR_MQTT_ERROR : MQTT_SUBSCRIBE failed.") == 0) {
        mqtt_run_state_pass();
    }
    cap.stop();
    EXPECT_EQ(cap.count_line("INTR_MQTT_INFO : successfully Subscribed topics"), 1);
    EXPECT_EQ(gMqttDetails.qos[MQTT_RESPONSE_TOPIC], 1);
    EXPECT_EQ(gMqttDetails.qos[MQTT_COMMAND_TOPIC], 1);
    MQTT_Disconnect();
}

TEST_F(BusTest, PublishingConcurrentWithTearDownIsSafe)
{
    ASSERT_TRUE(broker_.start());
    TraceCapture cap; // keep the trace of the loop out of the log
    std::atomic<bool> stop{false};
    std::atomic<int> accepted{0};
    std::thread publisher([&] {
        while (!stop.load()) {
            accepted += MQTT_Publish_Data(0, R"({"TYP":1,"CMD":0,"ERROR":0,"DATA":{"msg":"ECU"}})");
        }
    });
    for (int i = 0; i < 15; ++i) {
        mqtt_worker_start();
        while (giMQTTState.load() != MQTT_CONNECTED) {
            mqtt_run_state_pass();
        }
        std::this_thread::sleep_for(5ms);
        EXPECT_EQ(MQTT_Disconnect(), 1); // no early return: the publisher must be joined
    }
    stop.store(true);
    publisher.join();
    EXPECT_GT(accepted.load(), 0);
    EXPECT_EQ(hMqttClient.load(), nullptr);
    EXPECT_EQ(MQTT_Publish_Data(0, "{}"), 0);
}
