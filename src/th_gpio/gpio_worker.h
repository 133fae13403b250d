// Relay worker: takes relay commands from the bus and drives the lines.
#pragma once

#include <atomic>
#include <cstddef>

constexpr int DO_STATE_INIT = 0;
constexpr int DO_STATE_PARSE = 1;
constexpr int DO_STATE_APPLY = 2;
constexpr int DO_STATE_CLOSE = 3;
constexpr int DO_STATE_IDLE = 4;

constexpr size_t GPIO_PKT_BUF_SIZE = 500;
constexpr long DO_RETRY_SLEEP_US = 500'000;

extern std::atomic<int> g_gpio_state;
extern char gpio_cntrl_pkt[GPIO_PKT_BUF_SIZE];

void change_gpio_state(int state);
// Hand-over, called on the bus callback thread; never blocks on the worker.
void get_gpio_cntrl_pkt(const char *text);
int parse_do_packet(const char *text);
void *gpio_state_machine(void *arg);
