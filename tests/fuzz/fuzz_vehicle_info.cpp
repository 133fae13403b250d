// Vehicle information: the four InfoType answers come from the input, then the
// records are decoded and described as the identification packet does.
#include <fuzzer/FuzzedDataProvider.h>

#include <cjson/cJSON.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/cjson_ptr.h"
#include "fuzz_support.h"
#include "th_obd2_com/obd2_config.h"
#include "th_obd2_com/vehicle_info.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_product();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    memset(g_vehicle_info, 0, sizeof g_vehicle_info);
    g_vehicle_info_count = 0;
    memset(g_can_protocol, 0, sizeof g_can_protocol);
    g_can_padding = in.ConsumeIntegral<uint8_t>();
    const int mode = in.ConsumeBool() ? 1 : 2;

    std::vector<ScriptedAnswer> answers(4);
    for (ScriptedAnswer &a : answers) {
        a.refused = in.ConsumeBool();
        a.body = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 0xFFD));
    }
    {
        ScriptedPeer vehicle(fuzz_answers(std::move(answers), static_cast<uint8_t>(g_can_padding)));
        get_vehicle_info(mode);
    }
    if (g_vehicle_info_count < 0 || g_vehicle_info_count > 4) {
        abort();
    }
    for (int i = 0; i < g_vehicle_info_count; ++i) {
        if (strnlen(g_vehicle_info[i].text, sizeof g_vehicle_info[i].text) == sizeof g_vehicle_info[i].text) {
            abort();
        }
    }
    CJsonText text(build_vehicle_info_json(mode, g_can_bitrate));
    CJsonPtr parsed(cJSON_Parse(text.get()));
    if (!cJSON_IsObject(parsed.get())) {
        abort();
    }
    return 0;
}
