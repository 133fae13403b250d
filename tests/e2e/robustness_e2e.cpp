// Hostile input on both sides, and power loss during identification.
#include <cjson/cJSON.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <thread>

#include "scenario.h"

namespace e2e
{
namespace
{

struct Message {
    std::string topic;
    std::string payload;
};

// Malformed, oversize and mistyped messages. None of them is a valid command
// that does something (read, stream, clear, reload), so the daemon's only
// job is to survive them and stay ready.
class HostileMessages
{
  public:
    explicit HostileMessages(uint32_t seed) : rng_(seed) {}

    // The largest and deepest texts the daemon can be handed: sent first, so
    // the stack and heap high-water marks they cause are set before memory
    // is measured.
    std::vector<Message> extremes() const
    {
        const size_t max = 1023;
        return {cmd(std::string(max / 2, '[') + std::string(max / 2, ']')),
                cmd(std::string(max, '[')),  // as deep as the parser goes before it refuses
                cmd(objects((max - 1) / 8)), // eight bytes a level, the deepest that fits
                cmd(std::string(100000, 'x')), cmd(std::string(max, ' '))};
    }

    // Relay commands that get as far as driving the lines make the stand-in
    // libgpiod (preloaded into the daemon) log each call in the daemon's own
    // memory; a memory measurement must do without them.
    void allow_relay_apply(bool allow) { relay_apply_ = allow; }

    Message next()
    {
        switch (pick(10)) {
        case 0:
            return cmd(random_bytes(pick(400)));
        case 1:
            return cmd(strict_prefix(pick_from(kValid)));
        case 2:
        case 3:
            return cmd(pick_from(kMistyped));
        case 4:
            return cmd(oversize());
        case 5:
            return cmd(nested());
        case 6:
            return cmd(mangled(pick_from(kValid)));
        case 7:
            // Only the command topic is routed: the response topic carries a
            // reload request the daemon must ignore; the others never reach it.
            return {pick(2) ? kRespTopic : "dt/ui_to_app/cmdx", R"({"TYP":1,"CMD":10})"};
        default:
            // The first kRefusedRelay texts never get as far as the lines.
            return cmd(kRelayTexts[pick(relay_apply_ ? kRelayTexts.size() : kRefusedRelay)]);
        }
    }

  private:
    static Message cmd(std::string p) { return {kCmdTopic, std::move(p)}; }

    size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
    const std::string &pick_from(const std::vector<std::string> &v) { return v[pick(v.size())]; }

    std::string random_bytes(size_t n)
    {
        std::string s(n, '\0');
        for (auto &c : s) {
            c = static_cast<char>(pick(256));
        }
        return s;
    }

    // Any strict prefix of a JSON object is invalid JSON.
    std::string strict_prefix(const std::string &text) { return text.substr(0, pick(text.size())); }

    // Oversize texts: cut by the bus at 1023 bytes, or refused by the hand-over.
    std::string oversize()
    {
        static const size_t sizes[] = {200, 201, 499, 500, 1022, 1023, 1024, 1025, 4000, 100000};
        size_t total = sizes[pick(std::size(sizes))];
        const bool relay = pick(2);
        std::string head =
            relay ? R"({"TYP":2,"DATA":{"params":{"DO":{"DO9":1}}},"pad":")" : R"({"TYP":1,"CMD":3,"pad":")";
        std::string tail = "\"}";
        if (relay && !relay_apply_) {
            total = std::max(total, kRelayBufSize); // just too long for the relay worker's buffer: refused
        }
        total = std::max(total, head.size() + tail.size());
        return head + std::string(total - head.size() - tail.size(), 'x') + tail;
    }

    std::string nested()
    {
        const size_t depth = 1 + pick(3000);
        return pick(2) ? std::string(depth, '[') + std::string(depth, ']') : objects(depth);
    }

    // {"TYP":{"TYP":...1...}}, `depth` objects deep.
    static std::string objects(size_t depth)
    {
        std::string s;
        for (size_t i = 0; i < depth; ++i) {
            s += "{\"TYP\":";
        }
        return s + "1" + std::string(depth, '}');
    }

    // A valid text with a few bytes overwritten.
    std::string mangled(std::string s)
    {
        for (size_t i = 0, n = 1 + pick(3); i < n && !s.empty(); ++i) {
            s[pick(s.size())] = static_cast<char>(pick(256));
        }
        // Never let the result be a valid action: keep it away from JSON by
        // breaking the closing brace when the bytes happened to keep it parseable.
        cJSON *j = cJSON_Parse(s.c_str());
        if (j) {
            cJSON_Delete(j);
            s.pop_back();
        }
        return s;
    }

    static constexpr size_t kRelayBufSize = 500;
    static constexpr size_t kRefusedRelay = 4;
    std::mt19937 rng_;
    bool relay_apply_ = true;
    const std::vector<std::string> kValid{R"({"TYP":1,"CMD":1})", R"({"TYP":1,"CMD":2})",
                                          R"({"TYP":1,"CMD":4})", R"({"TYP":1,"CMD":10})",
                                          R"({"TYP":2,"DATA":{"params":{"DO":{"DO0":1,"DO5":1}}}})"};
    const std::vector<std::string> kMistyped{
        "", " ", "null", "true", "12", "\"TYP\"", "[]", "{}", R"({"TYP":"1","CMD":1})",
        R"({"TYP":null,"CMD":1})", R"({"TYP":true,"CMD":2})", R"({"TYP":[1],"CMD":1})",
        R"({"TYP":{"TYP":1},"CMD":4})", R"({"TYP":1e400,"CMD":1})", R"({"TYP":-1e400})",
        R"({"TYP":3,"CMD":1})", R"({"TYP":0,"CMD":2})", R"({"TYP":-1,"CMD":4})",
        R"({"TYP":2147483648,"CMD":1})", R"({"TYP":-2147483649,"CMD":1})", R"({"TYP":9e18,"CMD":10})",
        R"({"TYP":1})", R"({"TYP":1,"CMD":"1"})", R"({"TYP":1,"CMD":"2"})", R"({"TYP":1,"CMD":null})",
        R"({"TYP":1,"CMD":[4]})", R"({"TYP":1,"CMD":{"CMD":10}})", R"({"TYP":1,"CMD":true})",
        R"({"TYP":1,"CMD":0})", R"({"TYP":1,"CMD":5})", R"({"TYP":1,"CMD":6})", R"({"TYP":1,"CMD":8})",
        R"({"TYP":1,"CMD":9})", R"({"TYP":1,"CMD":12})", R"({"TYP":1,"CMD":-7})",
        R"({"TYP":1,"CMD":99999999999999999999})", R"({"TYP":1,"CMD":3,"CMD":1})", R"({"TYP":1,"cmd":2})",
        R"({"TYP":1,"DATA":{"CMD":7},"CMD":11})",
        // The bus copy ends at the NUL: what is left is not JSON.
        std::string("{\"TYP\":1,\"CMD\":1\0,\"x\":2}", 24), std::string("\0{\"TYP\":1,\"CMD\":1}", 18)};
    const std::vector<std::string> kRelayTexts{
        R"({"TYP":2})",
        R"({"TYP":2,"DATA":1})",
        R"({"TYP":2,"DATA":{"params":[]}})",
        R"({"TYP":2,"DATA":{"params":{"DO":[1,2]}}})",
        R"({"TYP":2,"DATA":{"params":{"DO":{"DO0":"1","DO1":null,"DO2":[1],"DO3":{},"DO12":1,"DO-1":1}}}})",
        R"({"TYP":2,"DATA":{"params":{"DO":{"DO0":1e308,"DO1":-1e308,"DO2":1e-308,"DO99999999999":1}}}})",
        R"({"TYP":2.9,"DATA":{"params":{"DO":{"DO4":-0.5}}}})"};
};

constexpr int kFloodBatch = 250;
// Page-granular noise of the allocator; a leak of even 30 bytes per message
// would exceed it.
constexpr long kRssTolerance = 256;

TEST_F(E2e, S13_HostileInput)
{
    bring_up();

    HostileMessages gen(13);
    Publisher pub;
    ASSERT_TRUE(pub.connect());
    // Messages the daemon must report as not JSON: what it routes is the
    // payload up to the first NUL, at most 1023 bytes.
    int not_json = 0;
    auto send = [&](const Message &m) {
        if (m.topic == kCmdTopic) {
            std::string seen = m.payload.substr(0, 1023);
            cJSON *j = cJSON_Parse(seen.c_str());
            not_json += j ? 0 : 1;
            cJSON_Delete(j);
        }
        return pub.publish(m.topic, m.payload);
    };
    auto flood = [&](int n) {
        for (int i = 0; i < n; ++i) {
            ASSERT_TRUE(send(gen.next())) << "publish " << i;
            // Small batches: the broker keeps at most 1000 messages queued for a client.
            if (i % kFloodBatch == kFloodBatch - 1) {
                ASSERT_TRUE(pub.drain(20000ms));
            }
        }
        ASSERT_TRUE(pub.drain(20000ms));
    };
    // Warm up the allocator, the stacks and the client library's buffers, then measure.
    for (const auto &m : gen.extremes()) {
        ASSERT_TRUE(send(m));
    }
    flood(1000);
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(gw->running());
    const long rss_before = gw->rss_kib();

    // 10 000 hostile messages while the simulator puts 10 000 random frames
    // (error frames, first frames that never continue, stray consecutive
    // frames, foreign ids) on the bus over five seconds.
    gen.allow_relay_apply(false);
    auto storm_start = Clock::now();
    ASSERT_TRUE(sim->command_ok("random 10000 13"));
    // Records that are not one CAN frame: short, one byte short, one byte over, oversized.
    for (const char *raw :
         {"0102030405", "E807000008064100BE3FA81300AAAA", "E807000008000000064100BE3FA81300AA",
          "E80700000800000006410000000000000000000000000000000000000000000000000000000000000000"
          "000000000000000000000000000000000000000000000000000000000000"}) {
        // While it schedules 10 000 random frames a loaded simulator (next to a
        // sanitized daemon) may answer its control socket late: ask again.
        bool sent = false;
        for (int attempt = 0; attempt < 5 && !sent; ++attempt) {
            sent = sim->command_ok(std::string("inject-raw ") + raw);
            if (!sent) {
                std::this_thread::sleep_for(20ms);
            }
        }
        ASSERT_TRUE(sent) << raw;
    }
    flood(10000);
    std::this_thread::sleep_until(storm_start + 6000ms);
    std::this_thread::sleep_for(2000ms);
    ASSERT_TRUE(gw->running()) << "the daemon died: " << gw->end_reason();
    const long rss_after = gw->rss_kib();
    std::printf("daemon RSS before %ld KiB, after %ld KiB, peak %ld KiB; %d messages were not JSON\n",
                rss_before, rss_after, gw->hwm_kib(), not_json);
    // Sanitizer runtimes keep freed memory in quarantine: only the plain build measures.
    if (scaled(1ms) == 1ms) {
        EXPECT_LE(rss_after - rss_before, kRssTolerance) << "memory grew under hostile input";
    }
    EXPECT_GE(gw->count_in_trace("ERROR: 'TYP' field missing or not a number."), 100);
    // Nothing on the response topic or any other topic was routed.
    EXPECT_EQ(gw->count_in_trace("[DEBUG] TYP=1, CMD=10"), 0);

    // The next valid commands are answered: relays, then an OBD command.
    const std::string all_on =
        R"({"TYP":2,"DATA":{"params":{"DO":{"DO0":1,"DO1":0,"DO2":1,"DO3":0,"DO4":1,"DO5":0,"DO6":1,"DO7":0,"DO8":1,"DO9":0,"DO10":1,"DO11":0}}}})";
    command(all_on);
    EXPECT_TRUE(wait_relays({0, 2, 4, 6, 8, 10}, 3000ms));

    // Idle again: the heartbeat reports the vehicle.
    ASSERT_GE(ask(R"({"TYP":1,"CMD":3})", status("ECU", 0), 12000ms), 0);
    EXPECT_GE(ask(R"({"TYP":1,"CMD":1})",
                  dtc_packet({"P0301", "P0171"}, {"P0301", "P0171", "P0128", "U3456"}, {"P0420"}), 8000ms),
              0);
    // Every malformed message reached the daemon and was refused (the trace
    // is flushed by now: the worker flushes after each command).
    EXPECT_EQ(gw->count_in_trace("ERROR: Invalid JSON format."), not_json);
}

// What the ECU information file lacks of the structure it always has ("" when nothing).
std::string incomplete_ecu_info(const std::string &text)
{
    cJSON *root = cJSON_Parse(text.c_str());
    if (!root) {
        return "not JSON";
    }
    std::string why;
    const cJSON *ecu = cJSON_GetObjectItemCaseSensitive(root, "ECU_INFO");
    const cJSON *live = cJSON_GetObjectItemCaseSensitive(root, "LIVE_PIDS");
    if (!cJSON_IsObject(ecu) || cJSON_GetArraySize(ecu) != 6 || !cJSON_IsObject(live) ||
        cJSON_GetArraySize(live) != 56) {
        why = "members missing";
    }
    for (const char *k : {"VID", "CID", "CVN", "ECUNM", "PROTO"}) {
        if (why.empty() && !cJSON_IsString(cJSON_GetObjectItemCaseSensitive(ecu, k))) {
            why = std::string(k) + " is not a string";
        }
    }
    cJSON_Delete(root);
    return why;
}

TEST_F(E2e, S14_PowerLossDuringIdentification)
{
    const std::string factory = read_file(kFactoryFile);
    const std::string corrupt = "{\"can_port\": {\"BR\": 5";
    ASSERT_TRUE(sim->start(vehicle_11bit()));
    const std::string described = ecu_info_text(described_11bit());
    // How long this rig takes from start to the saved description: the cuts
    // below must reach past the save, or they only ever see the reset file.
    write_config(factory);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(gw->start(sim->bus_path()));
    ASSERT_TRUE(wait_ecu_info(described_11bit(), scaled(8000ms)));
    const long long saved_ms =
        std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - t0).count();
    gw->kill_now();

    std::mt19937 rng(14);
    int reset_seen = 0, described_seen = 0, other_seen = 0, restored = 0;
    for (int run = 0; run < 50; ++run) {
        // Some starts also have to restore the configuration file.
        const std::string config_before = run % 5 == 3 ? corrupt : run % 5 == 4 ? "" : factory;
        if (config_before.empty()) {
            ::unlink(kConfigFile);
        } else {
            write_config(config_before);
        }
        // Half of the cuts land in the first 100 ms (file reset, configuration
        // restore), the others during identification (probe, save) and after.
        const int delay_ms = static_cast<int>(rng() % 2 ? rng() % 100 : 100 + rng() % (saved_ms * 3 / 2));
        ASSERT_TRUE(gw->start(sim->bus_path()));
        std::this_thread::sleep_for(milliseconds(delay_ms));
        gw->kill_now();

        SCOPED_TRACE("run " + std::to_string(run) + ", killed after " + std::to_string(delay_ms) + " ms");
        std::string info;
        if (read_file(kEcuInfoFile, info)) {
            EXPECT_EQ(incomplete_ecu_info(info), "") << info;
            if (info == described) {
                ++described_seen;
            } else if (info == ecu_info_text(reset_ecu_info(0)) ||
                       info == ecu_info_text(reset_ecu_info(500000))) {
                ++reset_seen;
            } else {
                ++other_seen;
            }
        } else {
            EXPECT_EQ(run, 0) << "ecu_info.json vanished";
        }
        std::string config;
        if (read_file(kConfigFile, config)) {
            // Either untouched, or the complete factory copy.
            EXPECT_TRUE(config == config_before || config == factory) << "config.json: " << config;
            restored += config != config_before ? 1 : 0;
        } else {
            EXPECT_EQ(run % 5, 4) << "config.json vanished";
        }
    }
    std::printf(
        "50 cuts up to %lld ms: file with reset contents %d, with the vehicle %d, other %d; configuration "
        "restored %d\n",
        100 + saved_ms * 3 / 2, reset_seen, described_seen, other_seen, restored);
    EXPECT_GT(reset_seen, 0);
    EXPECT_GT(described_seen, 0);

    // After all that, a start without a cut identifies the vehicle normally.
    write_config(factory);
    ASSERT_TRUE(start_gateway());
    EXPECT_TRUE(wait_ecu_info(described_11bit(), scaled(8000ms)));
}

} // namespace
} // namespace e2e
