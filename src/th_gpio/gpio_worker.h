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
constexpr long DO_IDLE_SLEEP_US = 500'000;
// Relay commands are partial updates, so none may be lost: those handed over
// while the worker is busy wait here, in arrival order.
constexpr size_t GPIO_CMD_QUEUE_SIZE = 32;

extern std::atomic<int> g_gpio_state;
// The command the worker is parsing (taken from the queue); worker thread only.
extern char gpio_cntrl_pkt[GPIO_PKT_BUF_SIZE];

void change_gpio_state(int state);
// Hand-over, called on the bus callback thread; never blocks on the worker.
void get_gpio_cntrl_pkt(const char *text);
int parse_do_packet(const char *text);
void *gpio_state_machine(void *arg);

// One pass of the worker loop for the current state; 0 once the lines are
// closed and the worker must return. gpio_state_machine is this in a loop;
// tests call it directly to step the worker.
int gpio_worker_pass();
// Test-only: drops pending commands and sets DO_STATE_INIT; touches no line.
void gpio_test_reset_worker();
// Test-only: number of commands waiting for the worker.
size_t gpio_pending_commands();
