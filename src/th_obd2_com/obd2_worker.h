// OBD worker: state machine owning the vehicle connection, and command execution.
#pragma once

#include <cstdint>

struct EcuEntry {
    uint32_t response_id;
    int32_t mode;
};

constexpr int OBD2_MAX_ECUS = 32;

extern EcuEntry g_ecu_list[OBD2_MAX_ECUS];
extern int g_ecu_count;
extern int g_flg_supported_pid_list;

int parse_received_cmd();
int handle_received_cmd(int cmd);
void *obd2_com_thrd_main(void *arg);
