// Relay lines on the stand-in libgpiod: request, inverted drive, clean-up paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fake_gpiod_control.h"
#include "support/capture.h"
#include "support/relay_wiring.h"
#include "th_gpio/gpio_lines.h"

namespace
{

// Release and close events only, in order.
std::vector<std::string> teardown_events()
{
    auto events = fake_gpiod::events();
    std::erase_if(events,
                  [](const std::string &e) { return !e.starts_with("release") && !e.starts_with("close"); });
    return events;
}

// No handle kept, no libgpiod object alive, no misuse seen.
void expect_nothing_held()
{
    const std::vector<const void *> handles{chip4, chip3, chip0, req_chip4, req_chip3, req_chip0};
    EXPECT_EQ(handles, std::vector<const void *>(handles.size(), nullptr));
    EXPECT_EQ(fake_gpiod::live_objects(), 0);
    EXPECT_EQ(fake_gpiod::misuse(), std::vector<std::string>{});
}

class GpioLines : public ::testing::Test
{
  protected:
    void SetUp() override { fake_gpiod::reset(); }
    void TearDown() override
    {
        gpio_close();
        expect_nothing_held();
        fake_gpiod::reset();
    }
};

TEST_F(GpioLines, InitRequestsAllTwelveLinesHighWithTheirChipLabel)
{
    std::fill(std::begin(g_arr_do_states), std::end(g_arr_do_states), 1);
    TraceCapture cap;
    ASSERT_EQ(gpio_init(), 1);
    EXPECT_EQ(cap.lines(), std::vector<std::string>{"DO_INFO: GPIO initialized, all 12 relays set HIGH."});
    for (int i = 0; i < DO_COUNT; ++i) {
        SCOPED_TRACE("DO" + std::to_string(i));
        EXPECT_EQ(fake_gpiod::line_value(kRelay[i].chip, kRelay[i].offset), 1);
        EXPECT_EQ(fake_gpiod::line_direction(kRelay[i].chip, kRelay[i].offset), GPIOD_LINE_DIRECTION_OUTPUT);
        EXPECT_EQ(fake_gpiod::line_consumer(kRelay[i].chip, kRelay[i].offset),
                  "do_ctrl_chip" + std::to_string(kRelay[i].chip));
        EXPECT_EQ(g_arr_do_states[i], 0);
    }
    EXPECT_TRUE(gpio_lines_held());
    EXPECT_EQ(fake_gpiod::live_objects(), 6); // three chips, three requests
    EXPECT_EQ(fake_gpiod::events(),
              (std::vector<std::string>{"open gpiochip4", "open gpiochip3", "open gpiochip0",
                                        "request gpiochip4", "request gpiochip3", "request gpiochip0"}));
}

TEST_F(GpioLines, DriveIsInvertedOneCallPerChipInOrder)
{
    struct Case {
        const char *name;
        std::set<int> on;
    };
    const Case cases[] = {
        {"DO3 only", {3}},         {"DO8 only", {8}}, {"DO11 only", {11}},
        {"DO8 and DO11", {8, 11}}, {"none", {}},      {"all", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
    };
    TraceCapture cap;
    ASSERT_EQ(gpio_init(), 1);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (int i = 0; i < DO_COUNT; ++i) {
            g_arr_do_states[i] = c.on.count(i) ? 1 : 0;
        }
        const size_t before = fake_gpiod::set_values_calls().size();
        EXPECT_EQ(control_do_over_gpio(), 1);
        for (int i = 0; i < DO_COUNT; ++i) {
            EXPECT_EQ(fake_gpiod::line_value(kRelay[i].chip, kRelay[i].offset), c.on.count(i) ? 0 : 1)
                << "DO" << i;
        }
        std::vector<std::pair<int, std::vector<unsigned int>>> calls;
        for (const auto &call : fake_gpiod::set_values_calls()) {
            calls.emplace_back(call.chip, call.offsets);
        }
        EXPECT_EQ(std::vector(calls.begin() + static_cast<long>(before), calls.end()),
                  (decltype(calls){{4, {10, 11, 0, 14, 13}}, {3, {31, 27, 26, 25}}, {0, {20, 21, 13}}}));
    }
}

// A missing chip, or a chip with a line held by someone else, fails the request:
// what was taken is freed in reverse order, nothing twice on a retry, and a
// later attempt succeeds.
TEST_F(GpioLines, UnavailableChipFreesWhatWasTakenAndALaterAttemptSucceeds)
{
    struct Case {
        int chip;
        int busy_offset; // -1: the chip is missing
        std::vector<std::string> teardown;
    };
    const Case cases[] = {
        {4, -1, {}},
        {3, -1, {"close gpiochip4"}},
        {0, -1, {"close gpiochip3", "close gpiochip4"}},
        {4, 13, {"close gpiochip0", "close gpiochip3", "close gpiochip4"}},
        {3, 25, {"release gpiochip4", "close gpiochip0", "close gpiochip3", "close gpiochip4"}},
        {0,
         13,
         {"release gpiochip4", "release gpiochip3", "close gpiochip0", "close gpiochip3", "close gpiochip4"}},
    };
    for (const auto &c : cases) {
        const bool missing = c.busy_offset < 0;
        const auto offset = static_cast<unsigned int>(c.busy_offset);
        const std::string chip = "gpiochip" + std::to_string(c.chip);
        SCOPED_TRACE(chip + (missing ? " missing" : " busy"));
        const auto unavailable = [&](bool yes) {
            if (missing) {
                fake_gpiod::set_chip_missing(c.chip, yes);
            } else {
                fake_gpiod::set_line_used(c.chip, offset, yes ? "someone_else" : nullptr);
            }
        };
        const std::string error = missing ? "DO_ERROR: Failed to open " + chip + ": No such file or directory"
                                          : "DO_ERROR: Failed to request lines on chip" +
                                                std::to_string(c.chip) + ": Device or resource busy";
        fake_gpiod::reset();
        unavailable(true);
        for (int attempt = 0; attempt < 2; ++attempt) {
            std::fill(std::begin(g_arr_do_states), std::end(g_arr_do_states), 1);
            const size_t events_before = teardown_events().size();
            TraceCapture cap;
            EXPECT_EQ(gpio_init(), 0);
            EXPECT_EQ(cap.lines(), std::vector<std::string>{error});
            auto td = teardown_events();
            EXPECT_EQ(std::vector<std::string>(td.begin() + static_cast<long>(events_before), td.end()),
                      c.teardown);
            expect_nothing_held();
            if (!missing) {
                // The relays of the refused chip were reset before its request was attempted.
                for (int i = 0; i < DO_COUNT; ++i) {
                    if (kRelay[i].chip == c.chip) {
                        EXPECT_EQ(g_arr_do_states[i], 0) << "DO" << i;
                    }
                }
                EXPECT_EQ(fake_gpiod::line_consumer(c.chip, offset), "someone_else");
            }
        }
        unavailable(false);
        EXPECT_EQ(gpio_init(), 1);
        EXPECT_EQ(fake_gpiod::misuse(), std::vector<std::string>{});
        gpio_close();
    }
}

// Any libgpiod object that cannot be created fails the request, and every
// object created before it is freed: walk the failure through each allocation.
TEST_F(GpioLines, FailureToCreateAnyObjectLeaksNothing)
{
    TraceCapture cap;
    int failing = 0;
    for (; failing < 50; ++failing) {
        fake_gpiod::reset();
        fake_gpiod::fail_allocation_after(failing);
        const int rc = gpio_init();
        fake_gpiod::fail_allocation_after(-1);
        if (rc == 1) {
            gpio_close();
            break;
        }
        SCOPED_TRACE(failing);
        expect_nothing_held();
    }
    // 3 chip opens, then per chip: settings, line config, request config, request.
    EXPECT_EQ(failing, 15);
    EXPECT_EQ(cap.count_containing("DO_ERROR: Failed to "), 15);
}

TEST_F(GpioLines, CloseReleasesThenClosesEachHandleOnce)
{
    TraceCapture cap;
    ASSERT_EQ(gpio_init(), 1);
    gpio_close();
    gpio_close();
    EXPECT_EQ(teardown_events(),
              (std::vector<std::string>{"release gpiochip4", "release gpiochip3", "release gpiochip0",
                                        "close gpiochip4", "close gpiochip3", "close gpiochip0"}));
    expect_nothing_held();
    EXPECT_FALSE(gpio_lines_held());
    EXPECT_EQ(fake_gpiod::line_consumer(4, 10), "");

    // Nothing held: driving touches no line.
    g_arr_do_states[0] = 1;
    EXPECT_EQ(control_do_over_gpio(), 1);
    EXPECT_TRUE(fake_gpiod::set_values_calls().empty());
}

} // namespace
