// Catalogue rows and answer scaling.
#include <gtest/gtest.h>

#include <vector>

#include "th_obd2_com/pid_catalogue.h"
#include "th_obd2_com/pid_probe.h"

namespace
{

TEST(Scaling, GivesThePhysicalValue)
{
    struct Case {
        const char *what;
        int pid;
        std::vector<uint8_t> answer; // as left by the exchange: length byte, 0x41, PID, A, B...
        float expected;
    };
    const std::vector<Case> cases = {
        {"rpm 16-bit", 0x0C, {0x04, 0x41, 0x0C, 0x0C, 0x35, 0xAA, 0xAA, 0xAA}, 781.25f},
        {"coolant offset", 0x05, {0x03, 0x41, 0x05, 0x5A, 0xAA, 0xAA, 0xAA, 0xAA}, 50.0f},
        {"fuel trim midpoint", 0x06, {0x03, 0x41, 0x06, 0x80, 0, 0, 0, 0}, 0.0f},
        {"load full scale rounds to 100", 0x04, {0x03, 0x41, 0x04, 0xFF, 0, 0, 0, 0}, 100.0f},
        {"timing advance minimum", 0x0E, {0x03, 0x41, 0x0E, 0x00, 0, 0, 0, 0}, -64.0f},
        {"diesel rail pressure maximum", 0x23, {0x04, 0x41, 0x23, 0xFF, 0xFF, 0, 0, 0}, 655350.0f},
        {"clamped to max", 0x61, {0x03, 0x41, 0x61, 0xFF, 0, 0, 0, 0}, 125.0f},
        {"EVPPRS raw 0 unsigned", 0x32, {0x04, 0x41, 0x32, 0x00, 0x00, 0, 0, 0}, -32767.75f},
        {"EVPPRS raw 65535 unsigned", 0x32, {0x04, 0x41, 0x32, 0xFF, 0xFF, 0, 0, 0}, -16384.0f},
        {"injection timing scale",
         0x5D,
         {0x04, 0x41, 0x5D, 0x01, 0x00, 0, 0, 0},
         256.0f * 0.703125f - 210.0f},
        {"separate rounding of multiply and add",
         0x3C,
         {0x04, 0x41, 0x3C, 0x12, 0x34, 0, 0, 0},
         [] {
             volatile float v = 4660.0f;
             v = v * 0.1f;
             v = v + -40.0f;
             return static_cast<float>(v);
         }()},
        {"only the low byte of the PID counts", 0x105, {0x03, 0x41, 0x05, 0x5A, 0, 0, 0, 0}, 50.0f},
        {"16-bit PID with 4 bytes", 0x0C, {0x03, 0x41, 0x0C, 0x0C}, 0.0f},
        {"8-bit PID with 4 bytes", 0x05, {0x03, 0x41, 0x05, 0x5A}, 50.0f},
        {"3 bytes", 0x05, {0x02, 0x41, 0x05}, 0.0f},
        {"empty", 0x05, {}, 0.0f},
        {"PID 01 not catalogued", 0x01, {0x06, 0x41, 0x01, 0x00, 0x07, 0xE5, 0, 0}, 0.0f},
        {"PID 1F not catalogued", 0x1F, {0x04, 0x41, 0x1F, 0x01, 0x02, 0, 0, 0}, 0.0f},
    };
    for (const Case &c : cases) {
        // Exact comparison: the value is defined as two single-precision steps.
        EXPECT_EQ(calculate_physical_value(c.pid, c.answer.data(), c.answer.size()), c.expected) << c.what;
    }
    EXPECT_EQ(calculate_physical_value(0x05, nullptr, 8), 0.0f) << "no answer at all";
}

TEST(Catalogue, ProbeListFollowsTheRows)
{
    ASSERT_EQ(static_cast<size_t>(PID_PROBE_COUNT), num_pids);
    for (size_t i = 0; i < num_pids; ++i) {
        EXPECT_EQ(g_probe_pid_list[i], pids[i].pid) << "position " << i;
    }
}

TEST(Lookup, EveryKeyRoundTrips)
{
    for (size_t i = 0; i < num_pids; ++i) {
        EXPECT_EQ(get_pid_from_name(short_keys[i]), pids[i].pid) << short_keys[i];
        EXPECT_STREQ(get_pid_short_key(pids[i].pid), short_keys[i]);
    }
}

TEST(Lookup, UnknownNamesAndPids)
{
    for (const char *name : {"", "spd", "Spd", "SPD ", "ENGLDX", "UNKNOWN"}) {
        EXPECT_EQ(get_pid_from_name(name), 0) << '"' << name << '"';
    }
    EXPECT_EQ(get_pid_from_name(nullptr), 0);
    for (int pid : {0x00, 0x01, 0x1F, 0x20, 0x64, 0x10C, -1}) {
        EXPECT_STREQ(get_pid_short_key(pid), "UNKNOWN") << pid;
    }
}

} // namespace
