// OBD worker: state machine owning the vehicle connection, and command execution.
#pragma once

#include <cstdint>

#include "th_obd2_com/ecu_list.h"

extern int g_flg_supported_pid_list;

int parse_received_cmd();
int handle_received_cmd(int cmd);
void *obd2_com_thrd_main(void *arg);

// Pauses of the worker.
constexpr long OBD2_SOCKET_RETRY_PAUSE_US = 100'000;
constexpr long OBD2_DETECT_RETRY_PAUSE_US = 1'000'000;
constexpr long OBD2_IDLE_PAUSE_US = 1'000'000;
constexpr long OBD2_NEGATIVE_ANSWER_PAUSE_US = 1'000'000;
constexpr long OBD2_CMD_ZERO_PAUSE_US = 1'000'000;
constexpr long OBD2_CMD_RETRY_PAUSE_US = 1'000'000;
constexpr long OBD2_DTC_CLEARED_DELAY_US = 4'000'000;
// Pause of identification while a status packet could not be published and
// the bus link is not up again.
constexpr long OBD2_IDENTIFY_RETRY_PAUSE_US = 1'000'000;
// Pause before a pass that failed with an exception is run again.
constexpr long OBD2_FAILED_PASS_PAUSE_US = 1'000'000;

constexpr int OBD2_HEARTBEAT_IDLE_PASSES = 3; // paused passes before a probe
constexpr int OBD2_TOLERATED_NEGATIVE = 3;    // negative probe answers tolerated in a row
constexpr int OBD2_CMD_MAX_RETRIES = 3;

// The worker's start (counters zeroed, ECU information reset, state CONFIG)
// and one pass of its state machine; obd2_com_thrd_main loops over the pass.
void obd2_worker_start();
void obd2_run_state_pass();

// Test-only: replaces init_can_socket for the worker (in-process tests hand it
// socketpairs instead of CAN sockets). Null restores the real one.
using CanOpenFn = int (*)();
void obd2_test_set_can_opener(CanOpenFn fn);
