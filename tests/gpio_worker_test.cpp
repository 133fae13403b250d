// Relay worker: command parsing, hand-over queue, state machine, leaks.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fake_gpiod_control.h"
#include "support/test_clock.h"
#include "support/capture.h"
#include "support/relay_wiring.h"
#include "th_gpio/gpio_lines.h"
#include "th_gpio/gpio_worker.h"

using namespace std::chrono_literals;

namespace
{

std::string relay_set(int i, int value)
{
    return do_command("\"DO" + std::to_string(i) + "\":" + std::to_string(value));
}

// The relay states the worker holds, DO0 first.
std::vector<int> do_states()
{
    return {std::begin(g_arr_do_states), std::end(g_arr_do_states)};
}

// Relay i is on when its line is low.
bool line_says_on(int i)
{
    return fake_gpiod::line_value(kRelay[i].chip, kRelay[i].offset) == 0;
}

// Steps the worker until it idles (bounded, so a stuck state fails instead of hanging).
void run_until_idle()
{
    for (int i = 0; i < 1000 && g_gpio_state.load() != DO_STATE_IDLE; ++i) {
        gpio_worker_pass();
    }
    ASSERT_EQ(g_gpio_state.load(), DO_STATE_IDLE);
}

// Levels of the twelve relays after each apply, rebuilt from the set-values calls.
std::vector<std::vector<bool>> relays_per_apply(size_t first_call)
{
    const auto calls = fake_gpiod::set_values_calls();
    std::vector<std::vector<bool>> out;
    std::map<std::pair<int, unsigned int>, int> level;
    for (size_t c = first_call; c < calls.size(); ++c) {
        for (size_t k = 0; k < calls[c].offsets.size(); ++k) {
            level[{calls[c].chip, calls[c].offsets[k]}] = calls[c].values[k];
        }
        if (calls[c].chip == 0) { // the last chip of each apply
            std::vector<bool> on(DO_COUNT);
            for (int i = 0; i < DO_COUNT; ++i) {
                on[i] = level[{kRelay[i].chip, kRelay[i].offset}] == 0;
            }
            out.push_back(on);
        }
    }
    return out;
}

class GpioWorker : public ::testing::Test
{
  protected:
    std::optional<ScaledClock> clock_{std::in_place, 100};
    void SetUp() override { fake_gpiod::reset(); }
    void TearDown() override
    {
        gpio_close();
        EXPECT_EQ(fake_gpiod::live_objects(), 0);
        EXPECT_EQ(fake_gpiod::misuse(), std::vector<std::string>{});
        fake_gpiod::reset();
    }
    // The worker's own init pass: lines requested, worker idle.
    void start_idle()
    {
        ASSERT_EQ(gpio_worker_pass(), 1);
        ASSERT_EQ(g_gpio_state.load(), DO_STATE_IDLE);
    }
};

TEST_F(GpioWorker, RelayValueIsOnWhenItsIntegerPartIsNotZero)
{
    struct Case {
        const char *value;
        int before;
        int after;
    };
    const Case cases[] = {
        {"1", 0, 1},    {"2", 0, 1},     {"-1", 0, 1},   {"1.9", 0, 1},   {"1e300", 0, 1},
        {"0", 1, 0},    {"0.5", 1, 0},   {"-0.5", 1, 0}, {"\"1\"", 0, 0}, {"\"0\"", 1, 1},
        {"true", 0, 0}, {"false", 1, 1}, {"null", 1, 1}, {"[1]", 0, 0},   {"{}", 1, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        std::fill(std::begin(g_arr_do_states), std::end(g_arr_do_states), c.before);
        EXPECT_EQ(parse_do_packet(do_command(std::string("\"DO4\":") + c.value).c_str()), 1);
        std::vector<int> want(DO_COUNT, c.before);
        want[4] = c.after;
        EXPECT_EQ(do_states(), want);
    }
}

TEST_F(GpioWorker, KeysIgnoreCaseAndUnknownKeysAreIgnored)
{
    const char *text = R"({"typ":2,"data":{"PARAMS":{"do":{"do3":1,"Do11":1,"DO12":1,"DO-1":1,"DO":1}}}})";
    EXPECT_EQ(parse_do_packet(text), 1);
    EXPECT_EQ(do_states(), (std::vector<int>{0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1}));
}

TEST_F(GpioWorker, MalformedCommandIsReportedAndChangesNothing)
{
    const std::pair<const char *, const char *> cases[] = {
        {"", "DO_ERROR: Invalid JSON format"},
        {"{\"TYP\":2,", "DO_ERROR: Invalid JSON format"},
        {R"({"TYP":2})", "DO_ERROR: Missing DATA object"},
        {R"({"TYP":2,"DATA":[1]})", "DO_ERROR: Missing DATA object"},
        {R"({"TYP":2,"DATA":{"DO":{"DO0":1}}})", "DO_ERROR: Missing params object"},
        {R"({"TYP":2,"DATA":{"params":"DO0"}})", "DO_ERROR: Missing params object"},
        {R"({"TYP":2,"DATA":{"params":{}}})", "DO_ERROR: DO object missing"},
        {R"({"TYP":2,"DATA":{"params":{"DO":[1,1]}}})", "DO_ERROR: DO object missing"},
    };
    const std::vector<int> alternating = {0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1};
    for (const auto &[text, error] : cases) {
        SCOPED_TRACE(text);
        std::copy(alternating.begin(), alternating.end(), g_arr_do_states);
        TraceCapture cap;
        EXPECT_EQ(parse_do_packet(text), 0);
        EXPECT_EQ(cap.lines(), std::vector<std::string>{error});
        EXPECT_EQ(do_states(), alternating);
    }
}

TEST_F(GpioWorker, HandOverRefusesNullOverlongAndOverflowWithoutTouchingTheQueue)
{
    TraceCapture cap;
    get_gpio_cntrl_pkt(nullptr);
    EXPECT_EQ(cap.lines(), std::vector<std::string>{"DO_ERROR: Null packet received"});
    EXPECT_EQ(g_gpio_state.load(), DO_STATE_INIT);

    // 499 characters fit the buffer with their NUL; 500 do not.
    std::string fits = relay_set(1, 1);
    fits.append(GPIO_PKT_BUF_SIZE - 1 - fits.size(), ' ');
    get_gpio_cntrl_pkt(fits.c_str());
    EXPECT_EQ(cap.count_line("DO_INFO : PACKET : " + fits), 1);
    EXPECT_EQ(g_gpio_state.load(), DO_STATE_PARSE);
    const std::string too_long = fits + " ";
    get_gpio_cntrl_pkt(too_long.c_str());
    EXPECT_EQ(cap.count_line("DO_ERROR: Packet refused: longer than 499 characters."), 1);
    EXPECT_EQ(gpio_pending_commands(), 1U);

    for (size_t i = 1; i < GPIO_CMD_QUEUE_SIZE; ++i) {
        get_gpio_cntrl_pkt(relay_set(static_cast<int>(i % DO_COUNT), 1).c_str());
    }
    EXPECT_EQ(cap.count_containing("already pending"), 0);
    get_gpio_cntrl_pkt(relay_set(0, 1).c_str());
    EXPECT_EQ(cap.count_line("DO_ERROR: Packet refused: 32 commands already pending."), 1);
    EXPECT_EQ(gpio_pending_commands(), GPIO_CMD_QUEUE_SIZE);
}

TEST_F(GpioWorker, CommandBeforeLinesAreHeldNeverTouchesALine)
{
    TraceCapture cap;
    fake_gpiod::set_chip_missing(0, true);
    gpio_worker_pass();
    EXPECT_EQ(g_gpio_state.load(), DO_STATE_INIT);

    get_gpio_cntrl_pkt(relay_set(3, 1).c_str());
    EXPECT_EQ(g_gpio_state.load(), DO_STATE_PARSE);
    gpio_worker_pass();
    EXPECT_EQ(g_gpio_state.load(), DO_STATE_INIT);
    EXPECT_EQ(gpio_pending_commands(), 0U);
    EXPECT_EQ(cap.count_line("DO_ERROR: Relay lines not ready, command dropped"), 1);

    fake_gpiod::set_chip_missing(0, false);
    gpio_worker_pass();
    EXPECT_EQ(g_gpio_state.load(), DO_STATE_IDLE);
    EXPECT_TRUE(fake_gpiod::set_values_calls().empty());
    for (int i = 0; i < DO_COUNT; ++i) {
        EXPECT_FALSE(line_says_on(i)) << "DO" << i;
    }
    EXPECT_EQ(do_states(), std::vector<int>(DO_COUNT, 0));
}

TEST_F(GpioWorker, BadCommandLeavesTheWorkerIdleAndTheNextOneWorks)
{
    TraceCapture cap;
    start_idle();
    get_gpio_cntrl_pkt(R"({"TYP":2,"DATA":{"DO":{"DO0":1}}})");
    run_until_idle();
    EXPECT_EQ(cap.count_line("DO_ERROR: Missing params object"), 1);
    EXPECT_EQ(cap.count_line("DO_ERROR: Failed to parse packet"), 1);
    EXPECT_TRUE(fake_gpiod::set_values_calls().empty());

    get_gpio_cntrl_pkt(relay_set(0, 1).c_str());
    run_until_idle();
    EXPECT_TRUE(line_says_on(0));
}

TEST_F(GpioWorker, EmptyDoDrivesTheSameValuesAgain)
{
    TraceCapture cap;
    start_idle();
    get_gpio_cntrl_pkt(relay_set(5, 1).c_str());
    run_until_idle();
    get_gpio_cntrl_pkt(do_command("").c_str());
    run_until_idle();
    const auto applies = relays_per_apply(0);
    ASSERT_EQ(applies.size(), 2U);
    EXPECT_EQ(applies[0], applies[1]);
    EXPECT_TRUE(applies[1][5]);
}

// Commands are partial updates: ten arriving within one idle pause must all
// be applied, one after the other, none overwritten by the next.
TEST_F(GpioWorker, TenCommandsWithinOneIdlePauseAreAllAppliedInOrder)
{
    TraceCapture cap;
    start_idle();
    for (int i = 0; i < 10; ++i) {
        get_gpio_cntrl_pkt(relay_set(i, 1).c_str());
    }
    EXPECT_EQ(gpio_pending_commands(), 10U);
    run_until_idle();
    // After apply k, DO0..DOk are on.
    std::vector<std::vector<bool>> want(10, std::vector<bool>(DO_COUNT));
    for (int k = 0; k < 10; ++k) {
        std::fill(want[k].begin(), want[k].begin() + k + 1, true);
    }
    EXPECT_EQ(relays_per_apply(0), want);
}

TEST_F(GpioWorker, ThreadRequestsLinesAppliesCommandsAndReleasesOnClose)
{
    clock_.emplace(20); // 25 ms pauses
    TraceCapture cap;
    std::thread worker(gpio_state_machine, nullptr);
    // Idle again means every handed-over command is applied on all three chips,
    // not only on the first one the lines below sit on.
    const auto applied = [](const std::function<bool()> &lines) {
        return wait_until([&] { return g_gpio_state.load() == DO_STATE_IDLE && lines(); }, 10s);
    };
    // No early return below: the worker must be joined, or a failure aborts unreported.
    EXPECT_TRUE(applied([] { return true; }));

    const std::string first = do_command(R"("DO0":1,"DO5":1)");
    get_gpio_cntrl_pkt(first.c_str());
    EXPECT_TRUE(applied([] { return line_says_on(0) && line_says_on(5); }));
    for (int i = 0; i < DO_COUNT; ++i) {
        EXPECT_EQ(line_says_on(i), i == 0 || i == 5) << "DO" << i;
    }
    get_gpio_cntrl_pkt(do_command(R"("DO0":0)").c_str());
    EXPECT_TRUE(applied([] { return !line_says_on(0); }));
    EXPECT_TRUE(line_says_on(5));

    const size_t mark = fake_gpiod::set_values_calls().size();
    for (int i = 0; i < 10; ++i) {
        get_gpio_cntrl_pkt(relay_set(i, i % 2).c_str());
    }
    EXPECT_TRUE(applied([&] { return relays_per_apply(mark).size() == 10; }));
    const auto applies = relays_per_apply(mark);
    EXPECT_EQ(applies.size(), 10U);
    for (size_t k = 0; k < std::min<size_t>(applies.size(), 10); ++k) {
        EXPECT_EQ(applies[k][k], k % 2 == 1) << "apply " << k;
    }

    change_gpio_state(DO_STATE_CLOSE);
    worker.join();
    EXPECT_EQ(fake_gpiod::line_consumer(4, 10), "");
    EXPECT_EQ(cap.count_line("DO_INFO: GPIO initialized, all 12 relays set HIGH."), 1);
    EXPECT_EQ(cap.count_line("DO_INFO : PACKET : " + first), 1);
}

// 1000 failed requests and 1000 commands leave no libgpiod object behind and
// release nothing twice. (LeakSanitizer and valgrind see the same objects.)
TEST_F(GpioWorker, ThousandFailedInitsAndThousandCommandsLeakNothing)
{
    TraceCapture cap;
    for (int i = 0; i < 1000; ++i) {
        const bool missing = i % 2 == 0;
        fake_gpiod::set_chip_missing(0, missing);
        fake_gpiod::set_line_used(0, 21, missing ? nullptr : "someone_else");
        ASSERT_EQ(gpio_init(), 0);
        ASSERT_EQ(fake_gpiod::live_objects(), 0) << "attempt " << i;
    }
    fake_gpiod::set_chip_missing(0, false);
    fake_gpiod::set_line_used(0, 21, nullptr);
    start_idle();
    const int held = fake_gpiod::live_objects();
    for (int i = 0; i < 1000; ++i) {
        get_gpio_cntrl_pkt(relay_set(i % DO_COUNT, i % 2).c_str());
        run_until_idle();
    }
    EXPECT_EQ(fake_gpiod::live_objects(), held);
    EXPECT_EQ(fake_gpiod::set_values_calls().size(), 3000U);
}

} // namespace
