// The ECU information file: identity and probed PIDs of the last vehicle.
#pragma once

constexpr const char *ECU_INFO_FILE_PATH = "/opt/vyr/configs/ecu_info.json";

int save_ecu_info_json();
int reset_supported_pid();
int compare_vehicle_info_with_saved();

const char *ecu_info_file_path();
// Test-only: point the file elsewhere; null restores the constant.
void ecu_info_test_set_path(const char *path);
