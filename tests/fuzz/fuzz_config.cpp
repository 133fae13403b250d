// The configuration file, written from the input, read by the worker's
// configuration step (keeping an unusable file aside, restoring the factory
// copy), and the live sensor list chosen from it.
#include <cstdint>
#include <cstring>
#include <string>

#include <unistd.h>

#include "fuzz_support.h"
#include "th_obd2_com/dtc.h"
#include "th_obd2_com/live_data.h"
#include "th_obd2_com/obd2_config.h"

namespace
{

void check_names(const char (*names)[CFG_NAME_LEN], int count, int max)
{
    fuzz_require(count >= 0 && count <= max, "%d names", count);
    for (int i = 0; i < count; ++i) {
        fuzz_require(strnlen(names[i], CFG_NAME_LEN) < CFG_NAME_LEN, "name %d without its NUL", i);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_product();
    config_test_set_paths(fuzz_scratch_path("config.json").c_str(),
                          fuzz_scratch_path("factory.json").c_str());
    static const char factory[] = R"({"can_port":{"padding":170,"BR":500000},"show_dtc":{"STRDTC":1}})";
    fuzz_write_file(default_config_file_path(), reinterpret_cast<const uint8_t *>(factory),
                    sizeof factory - 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Every input starts from no settings, not from the previous input's.
    g_can_padding = 0;
    g_can_bitrate = 0;
    g_live_sensor_count = 0;
    g_dtc_count = 0;
    memset(g_live_sensor_names, 0, sizeof g_live_sensor_names);
    memset(g_dtc_names, 0, sizeof g_dtc_names);
    g_supported_pid_count = 0;
    // An unusable file is kept aside once; start every input without that copy.
    unlink((std::string(config_file_path()) + ".bad").c_str());
    fuzz_write_file(config_file_path(), data, size);
    const bool loaded = obd2_config_step() == 1;
    fuzz_require(!loaded || is_standard_can_bitrate(g_can_bitrate), "bit rate %d taken", g_can_bitrate);
    check_names(g_live_sensor_names, g_live_sensor_count, CFG_MAX_LIVE_SENSORS);
    check_names(g_dtc_names, g_dtc_count, CFG_MAX_DTC_GROUPS);

    get_pid_list();
    fuzz_require(g_supported_pid_count >= 0 && g_supported_pid_count <= LIVE_MAX_PIDS, "%d live PIDs",
                 g_supported_pid_count);
    int count = 0;
    char names[CFG_MAX_DTC_GROUPS][64];
    get_dtc_info(&count, names);
    return 0;
}
