// Service 01 answers: a live snapshot of sensors chosen from the catalogue,
// and the supported-PID probe, with the vehicle's answers from the input.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "th_obd2_com/live_data.h"
#include "th_obd2_com/obd2_config.h"
#include "th_obd2_com/pid_catalogue.h"
#include "th_obd2_com/pid_probe.h"

namespace
{

std::vector<ScriptedAnswer> answers_from(FuzzedDataProvider &in, size_t count)
{
    std::vector<ScriptedAnswer> answers(count);
    for (ScriptedAnswer &a : answers) {
        a.refused = in.ConsumeIntegralInRange<int>(0, 7) == 0;
        a.body = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 8));
    }
    return answers;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    g_can_padding = in.ConsumeIntegral<uint8_t>();
    const int mode = in.ConsumeBool() ? 1 : 2;
    if (in.ConsumeBool()) {
        ScriptedPeer vehicle(fuzz_answers(answers_from(in, PID_PROBE_COUNT)));
        get_supported_pid_list(mode);
        return 0;
    }
    memset(g_live_sensor_names, 0, sizeof g_live_sensor_names);
    g_live_sensor_count = in.ConsumeIntegralInRange<int>(0, CFG_MAX_LIVE_SENSORS);
    for (int i = 0; i < g_live_sensor_count; ++i) {
        const size_t row = in.ConsumeIntegralInRange<size_t>(0, PID_CATALOGUE_SIZE - 1);
        strcpy(g_live_sensor_names[i], short_keys[row]);
    }
    get_pid_list();
    const char *packet = nullptr;
    {
        ScriptedPeer vehicle(fuzz_answers(answers_from(in, g_supported_pid_count)));
        packet = handle_live_mode(mode);
    }
    if (packet != nullptr) {
        fuzz_require_json(packet);
    }
    return 0;
}
