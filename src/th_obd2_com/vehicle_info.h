// Vehicle information (service 09): VIN, calibration ID, CVN, ECU name.
#pragma once

#include <cstdint>

struct VehicleInfoRecord {
    uint8_t info_type;
    char text[128];
};

constexpr int VEHICLE_INFO_MAX = 16;

extern VehicleInfoRecord g_vehicle_info[VEHICLE_INFO_MAX];
extern int g_vehicle_info_count;
extern char g_can_protocol[50];

int get_vehicle_info(int mode);
// Returns a cJSON-allocated text the caller frees with cJSON_free, or null.
char *build_vehicle_info_json(int mode, int bitrate);
