// OBD worker state word and the command hand-over from the bus callback thread.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr int OBD2_STATE_CAN_INIT = 1;
constexpr int OBD2_STATE_DETECT_MODE = 2;
constexpr int OBD2_STATE_IDENTIFY = 3;
constexpr int OBD2_STATE_PARSE_CMD = 4;
constexpr int OBD2_STATE_IDLE = 7;
constexpr int OBD2_STATE_EXEC_CMD = 8;
constexpr int OBD2_STATE_CONFIG = 10;

constexpr size_t OBD2_CMD_BUF_SIZE = 200;
// Commands handed over while the worker is busy wait here and are carried
// out in the order they came; beyond this many, a command is refused with a trace.
constexpr size_t OBD2_CMD_QUEUE_SIZE = 32;

extern std::atomic<int> g_obd2_com_thrd_state;
extern pthread_mutex_t obd_state_mutex;
// The command the worker took last. Written only under the hand-over lock.
extern char g_can_cmd[OBD2_CMD_BUF_SIZE];

// Stores a state chosen by the worker; only the worker writes it.
void change_obd2_thrd_state(int state);
// The state the worker's next pass runs: a command handed over and not yet
// taken wins (OBD2_STATE_PARSE_CMD), except over OBD2_STATE_EXEC_CMD (the
// worker first executes the command it has taken).
int get_obd2_thrd_state();

// Hand-over, called on the bus callback thread. Never blocks for longer than a
// copy of at most 199 bytes; texts that do not fit, and commands beyond a full
// queue, are refused with a trace.
void command_for_can(const char *text);

// Worker side of the hand-over: takes the oldest queued command into g_can_cmd
// and copies g_can_cmd into `dst` (at least OBD2_CMD_BUF_SIZE bytes). Returns
// false when none was queued (`dst` then holds the command taken last).
bool obd2_take_command(char *dst);

// True while a handed-over command has not been taken by the worker.
bool obd2_command_pending();

// Worker side: a pause of `us` microseconds (scenario time, as gw_sleep_us)
// that a hand-over ends at once. Returns true when a command is pending.
bool obd2_pause_unless_command(int64_t us);

// Test-only: forget any pending command and set the state.
void obd2_test_reset_handover(int state);
