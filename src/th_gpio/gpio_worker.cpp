#include "th_gpio/gpio_worker.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/cjson_ptr.h"
#include "common/gw_time.h"
#include "common/pass_guard.h"
#include "th_gpio/gpio_lines.h"

std::atomic<int> g_gpio_state{DO_STATE_INIT};
char gpio_cntrl_pkt[GPIO_PKT_BUF_SIZE];

namespace
{

// Commands handed over and not yet taken by the worker. The lock is held only
// to copy a command in or out and to decide the worker's next state, so the
// bus callback never waits for parsing or line access.
struct CommandQueue {
    std::mutex mu;
    std::array<std::array<char, GPIO_PKT_BUF_SIZE>, GPIO_CMD_QUEUE_SIZE> slots{};
    size_t head = 0;
    size_t count = 0;
};

CommandQueue g_queue;

// The worker's own moves never overwrite a state set meanwhile by the
// hand-over (DO_STATE_PARSE) or by a close request.
void advance_state(int from, int to)
{
    int expected = from;
    g_gpio_state.compare_exchange_strong(expected, to);
}

// After a command or a successful init: take the next pending command at once, else idle.
void finish_pass(int from)
{
    std::lock_guard<std::mutex> lock(g_queue.mu);
    advance_state(from, g_queue.count > 0 ? DO_STATE_PARSE : DO_STATE_IDLE);
}

bool take_command()
{
    std::lock_guard<std::mutex> lock(g_queue.mu);
    if (g_queue.count == 0) {
        return false;
    }
    memcpy(gpio_cntrl_pkt, g_queue.slots[g_queue.head].data(), GPIO_PKT_BUF_SIZE);
    g_queue.head = (g_queue.head + 1) % GPIO_CMD_QUEUE_SIZE;
    --g_queue.count;
    return true;
}

// Commands that arrive before the lines are held are dropped: requesting the
// lines sets every relay off anyway, and no line may be driven before that.
size_t drop_commands_and_enter(int from, int to)
{
    std::lock_guard<std::mutex> lock(g_queue.mu);
    size_t dropped = g_queue.count;
    g_queue.head = 0;
    g_queue.count = 0;
    if (from < 0) {
        g_gpio_state.store(to);
    } else {
        advance_state(from, to);
    }
    return dropped;
}

void report_dropped(size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        puts("DO_ERROR: Relay lines not ready, command dropped");
    }
}

} // namespace

void change_gpio_state(int state)
{
    g_gpio_state.store(state);
}

void get_gpio_cntrl_pkt(const char *text)
{
    if (text == nullptr) {
        puts("DO_ERROR: Null packet received");
        return;
    }
    const size_t len = strnlen(text, GPIO_PKT_BUF_SIZE);
    if (len >= GPIO_PKT_BUF_SIZE) {
        printf("DO_ERROR: Packet refused: longer than %zu characters.\n", GPIO_PKT_BUF_SIZE - 1);
        return;
    }
    printf("DO_INFO : PACKET : %s\n", text);
    bool queued = false;
    {
        std::lock_guard<std::mutex> lock(g_queue.mu);
        if (g_queue.count < GPIO_CMD_QUEUE_SIZE) {
            auto &slot = g_queue.slots[(g_queue.head + g_queue.count) % GPIO_CMD_QUEUE_SIZE];
            memcpy(slot.data(), text, len + 1);
            ++g_queue.count;
            change_gpio_state(DO_STATE_PARSE);
            queued = true;
        }
    }
    if (!queued) {
        printf("DO_ERROR: Packet refused: %zu commands already pending.\n", GPIO_CMD_QUEUE_SIZE);
    }
}

int parse_do_packet(const char *text)
{
    CJsonPtr root(cJSON_Parse(text));
    if (!root) {
        puts("DO_ERROR: Invalid JSON format");
        return 0;
    }
    const cJSON *data = cJSON_GetObjectItem(root.get(), "DATA");
    if (!cJSON_IsObject(data)) {
        puts("DO_ERROR: Missing DATA object");
        return 0;
    }
    const cJSON *params = cJSON_GetObjectItem(data, "params");
    if (!cJSON_IsObject(params)) {
        puts("DO_ERROR: Missing params object");
        return 0;
    }
    const cJSON *dos = cJSON_GetObjectItem(params, "DO");
    if (!cJSON_IsObject(dos)) {
        puts("DO_ERROR: DO object missing");
        return 0;
    }
    for (int i = 0; i < DO_COUNT; ++i) {
        std::array<char, 8> key{};
        snprintf(key.data(), key.size(), "DO%d", i);
        const cJSON *item = cJSON_GetObjectItem(dos, key.data());
        if (cJSON_IsNumber(item)) {
            // Only the integer part counts: 0.5 and -0.5 are off, -1 is on.
            g_arr_do_states[i] = std::trunc(item->valuedouble) != 0.0 ? 1 : 0;
        }
    }
    return 1;
}

int gpio_worker_pass()
{
    const int state = g_gpio_state.load();
    switch (state) {
    case DO_STATE_INIT:
        if (gpio_init() == 1) {
            finish_pass(DO_STATE_INIT);
        } else {
            gw_sleep_us(DO_RETRY_SLEEP_US);
        }
        return 1;
    case DO_STATE_PARSE:
        if (!gpio_lines_held()) {
            report_dropped(drop_commands_and_enter(DO_STATE_PARSE, DO_STATE_INIT));
            return 1;
        }
        if (!take_command()) {
            finish_pass(DO_STATE_PARSE);
            return 1;
        }
        if (parse_do_packet(gpio_cntrl_pkt) == 1) {
            advance_state(DO_STATE_PARSE, DO_STATE_APPLY);
        } else {
            puts("DO_ERROR: Failed to parse packet");
            finish_pass(DO_STATE_PARSE);
        }
        return 1;
    case DO_STATE_APPLY:
        control_do_over_gpio();
        finish_pass(DO_STATE_APPLY);
        return 1;
    case DO_STATE_CLOSE:
        gpio_close();
        return 0;
    case DO_STATE_IDLE:
    default:
        gw_sleep_us(DO_IDLE_SLEEP_US);
        return 1;
    }
}

void *gpio_state_machine(void *arg)
{
    (void)arg;
    try {
        report_dropped(drop_commands_and_enter(-1, DO_STATE_INIT));
        for (;;) {
            // A pass cut short by an exception (allocation, in practice) is
            // reported and the worker goes on after the pause of a failed init.
            bool closed = false;
            gw_guarded_pass([&closed] { closed = gpio_worker_pass() == 0; },
                            [](const char *what) {
                                printf("DO_ERROR: Relay pass abandoned: %s\n", what);
                                fflush(stdout);
                                gw_sleep_us(DO_RETRY_SLEEP_US);
                            });
            if (closed) {
                break;
            }
        }
    } catch (...) {
        // Anything else: the thread must not take the process down.
        puts("DO_ERROR: Relay worker stopped");
    }
    return nullptr;
}

void gpio_test_reset_worker()
{
    drop_commands_and_enter(-1, DO_STATE_INIT);
    memset(gpio_cntrl_pkt, 0, sizeof gpio_cntrl_pkt);
}

size_t gpio_pending_commands()
{
    std::lock_guard<std::mutex> lock(g_queue.mu);
    return g_queue.count;
}
