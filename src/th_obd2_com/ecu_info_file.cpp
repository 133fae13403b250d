#include "th_obd2_com/ecu_info_file.h"

#include <algorithm>
#include <cjson/cJSON.h>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "common/atomic_file.h"
#include "common/cjson_ptr.h"
#include "th_obd2_com/obd2_config.h"
#include "th_obd2_com/pid_catalogue.h"
#include "th_obd2_com/pid_probe.h"
#include "th_obd2_com/vehicle_info.h"

namespace
{

// Only the OBD worker touches the file; the override exists for tests.
std::string g_path_override;

constexpr const char *DEFAULT_TEXT = "N/A";
constexpr int RESET_AVAILABLE_PIDS = 5;
constexpr size_t TEXT_MAX = sizeof(VehicleInfoRecord::text) - 1;

const char *key_for_info_type(uint8_t info_type)
{
    switch (info_type) {
    case 0x02:
        return "VID";
    case 0x04:
        return "CID";
    case 0x06:
        return "CVN";
    case 0x0A:
        return "ECUNM";
    default:
        return nullptr;
    }
}

// The last non-empty text of this InfoType among the valid records; "" when none.
std::string newest_text(uint8_t info_type)
{
    std::string text;
    const int count = std::clamp(g_vehicle_info_count, 0, VEHICLE_INFO_MAX);
    for (int i = 0; i < count; ++i) {
        const VehicleInfoRecord &rec = g_vehicle_info[i];
        const size_t n = strnlen(rec.text, TEXT_MAX);
        if (rec.info_type == info_type && n > 0) {
            text.assign(rec.text, n);
        }
    }
    return text;
}

bool replace_string(cJSON *object, const char *key, const std::string &value)
{
    cJSON *item = cJSON_CreateString(value.c_str());
    if (item == nullptr) {
        return false;
    }
    if (!cJSON_ReplaceItemInObjectCaseSensitive(object, key, item)) {
        cJSON_Delete(item);
        return false;
    }
    return true;
}

// Writes the text unless the file already holds exactly these bytes: the
// reset runs about once a second while no vehicle answers, and rewriting
// identical contents only wears the flash. No memory for the comparison
// (or the temporary name) is a failed write, not the end of the worker.
bool store_text(const char *path, const char *text)
{
    try {
        const size_t len = std::strlen(text);
        std::string current;
        if (gw_read_file(path, current) && current.size() == len && current.compare(0, len, text, len) == 0) {
            return true;
        }
        return gw_write_file_atomic(path, text, len);
    } catch (const std::exception &) {
        return false;
    }
}

} // namespace

const char *ecu_info_file_path()
{
    return g_path_override.empty() ? ECU_INFO_FILE_PATH : g_path_override.c_str();
}

void ecu_info_test_set_path(const char *path)
{
    g_path_override = path != nullptr ? path : "";
}

namespace
{

int save_ecu_info_unguarded()
{
    CJsonPtr root(cJSON_CreateObject());
    if (!root) {
        std::puts("OBD2_ERROR : Failed to create JSON root");
        return 0;
    }
    cJSON *ecu_info = cJSON_CreateObject();
    if (ecu_info == nullptr) {
        return 0;
    }
    cJSON_AddItemToObject(root.get(), "ECU_INFO", ecu_info); // owned by the root from here

    for (const char *key : {"VID", "CID", "CVN", "ECUNM", "PROTO"}) {
        cJSON_AddStringToObject(ecu_info, key, DEFAULT_TEXT);
    }
    cJSON_AddNumberToObject(ecu_info, "BR", 0);

    for (uint8_t info_type : {0x02, 0x04, 0x06, 0x0A}) {
        const std::string text = newest_text(info_type);
        if (!text.empty()) {
            replace_string(ecu_info, key_for_info_type(info_type), text);
        }
    }
    const size_t proto_len = strnlen(g_can_protocol, sizeof g_can_protocol);
    if (proto_len > 0) {
        replace_string(ecu_info, "PROTO", std::string(g_can_protocol, proto_len));
    }
    if (g_can_bitrate > 0) {
        cJSON *br = cJSON_CreateNumber(g_can_bitrate);
        if (br != nullptr && !cJSON_ReplaceItemInObjectCaseSensitive(ecu_info, "BR", br)) {
            cJSON_Delete(br);
        }
    }

    cJSON *live = cJSON_CreateObject();
    if (live == nullptr) {
        return 0;
    }
    cJSON_AddItemToObject(root.get(), "LIVE_PIDS", live);
    for (size_t i = 0; i < PID_CATALOGUE_SIZE; ++i) {
        cJSON_AddNumberToObject(live, short_keys[i], g_pid_availability[i]);
    }

    CJsonText text(cJSON_Print(root.get()));
    if (text) {
        const char *path = ecu_info_file_path();
        if (store_text(path, text.get())) {
            std::printf("OBD2_INFO : ECU info saved to %s\n", path);
        } else {
            std::printf("OBD2_ERROR : Failed to open file: %s\n", path);
        }
    }
    return 1;
}

} // namespace

// The texts are copied into strings on the way: no memory for them fails the
// save like a JSON object that cannot be created, and the worker goes on.
int save_ecu_info_json()
{
    try {
        return save_ecu_info_unguarded();
    } catch (const std::exception &) {
        std::puts("OBD2_ERROR : Out of memory while saving ecu_info.json.");
        return 0;
    }
}

int reset_supported_pid()
{
    std::puts("OBD2_INFO : RESETING SUPPORTED PID CONFIG FILE");
    for (int i = 0; i < PID_AVAILABILITY_SIZE; ++i) {
        g_pid_availability[i] = i < RESET_AVAILABLE_PIDS ? 1 : 0;
    }
    // Records the protocol as unknown; the vehicle texts read so far are kept.
    CJsonText info(build_vehicle_info_json(0, 0));
    const int saved = save_ecu_info_json();
    if (saved == 0) {
        std::puts("OBD2_ERROR : Error while creating ecu information packet.");
    }
    return saved == 1 ? 1 : 0;
}

namespace
{

int compare_unguarded()
{
    const std::string new_vid = newest_text(0x02);
    const std::string new_cid = newest_text(0x04);
    const std::string new_cvn = newest_text(0x06);

    const char *path = ecu_info_file_path();
    std::string contents;
    try {
        if (!gw_read_file(path, contents)) {
            std::puts("OBD2_INFO : No existing ecu_info.json found. Forcing full scan.");
            return 0;
        }
    } catch (const std::bad_alloc &) {
        std::puts("OBD2_ERROR : malloc failed while reading ecu_info.json.");
        return 0;
    }

    CJsonPtr saved(cJSON_ParseWithLength(contents.data(), contents.size()));
    if (!saved) {
        std::puts("OBD2_ERROR : Failed to parse ecu_info.json. Forcing full scan.");
        return 0;
    }
    const cJSON *ecu_info = cJSON_GetObjectItem(saved.get(), "ECU_INFO");
    if (ecu_info == nullptr) {
        std::puts("OBD2_ERROR : ECU_INFO key missing in ecu_info.json. Forcing full scan.");
        return 0;
    }
    auto saved_text = [ecu_info](const char *key) -> const char * {
        const cJSON *item = cJSON_GetObjectItem(ecu_info, key);
        return cJSON_IsString(item) && item->valuestring != nullptr ? item->valuestring : "";
    };
    const char *saved_vid = saved_text("VID");
    const char *saved_cid = saved_text("CID");
    const char *saved_cvn = saved_text("CVN");

    std::puts("OBD2_INFO : Comparing ECU info...");
    std::printf("  VID : saved='%s'  new='%s'\n", saved_vid, new_vid.c_str());
    std::printf("  CID : saved='%s'  new='%s'\n", saved_cid, new_cid.c_str());
    std::printf("  CVN : saved='%s'  new='%s'\n", saved_cvn, new_cvn.c_str());

    // An empty or "N/A" field records nothing, so it never vouches for a vehicle.
    auto matches = [](const char *old_text, const std::string &new_text) {
        return old_text[0] != '\0' && std::strcmp(old_text, DEFAULT_TEXT) != 0 && new_text == old_text;
    };
    if (matches(saved_vid, new_vid) && matches(saved_cid, new_cid) && matches(saved_cvn, new_cvn)) {
        std::puts("OBD2_INFO : ECU info matches saved file. Skipping PID scan and JSON update.");
        return 1;
    }
    std::puts("OBD2_INFO : ECU info mismatch or new vehicle. Proceeding with full scan.");
    return 0;
}

} // namespace

// Not being able to compare is a mismatch: the full scan runs.
int compare_vehicle_info_with_saved()
{
    try {
        return compare_unguarded();
    } catch (const std::exception &) {
        std::puts("OBD2_ERROR : malloc failed while reading ecu_info.json.");
        return 0;
    }
}
