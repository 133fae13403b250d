// Trouble codes: the decoder on one answer, the whole read (every ECU, every
// configured group) or the clearing, with the vehicle's answers from the input.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <iterator>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "th_obd2_com/dtc.h"
#include "th_obd2_com/ecu_list.h"
#include "th_obd2_com/obd2_config.h"

namespace
{

const char *const kGroups[] = {"STRDTC", "PNDDTC", "PRMDTC"};

void whole_read(FuzzedDataProvider &in)
{
    g_can_padding = in.ConsumeIntegral<uint8_t>();
    // Configured groups, possibly repeated or unknown.
    g_dtc_count = in.ConsumeIntegralInRange<int>(0, CFG_MAX_DTC_GROUPS);
    memset(g_dtc_names, 0, sizeof g_dtc_names);
    bool enabled[3] = {};
    for (int i = 0; i < g_dtc_count; ++i) {
        const int g = in.ConsumeIntegralInRange<int>(0, 3);
        strcpy(g_dtc_names[i], g < 3 ? kGroups[g] : "STRDT");
        if (g < 3) {
            enabled[g] = true;
        }
    }
    std::fill(std::begin(g_ecu_list), std::end(g_ecu_list), EcuEntry{});
    g_ecu_count = in.ConsumeIntegralInRange<int>(1, 3);
    std::vector<ScriptedAnswer> answers;
    for (int e = 0; e < g_ecu_count; ++e) {
        g_ecu_list[e].mode = in.ConsumeBool() ? 1 : 2;
        g_ecu_list[e].response_id = fuzz_answer_id(g_ecu_list[e].mode) & CAN_EFF_MASK;
        for (bool on : enabled) {
            if (on) {
                ScriptedAnswer a;
                a.refused = in.ConsumeBool();
                a.body = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 0xFFE));
                answers.push_back(std::move(a));
            }
        }
    }
    // Last, so inputs written before the ECUs had a dialect read as classic.
    const ObdDialect dialect = in.ConsumeBool() ? ObdDialect::Uds : ObdDialect::Classic;
    for (int e = 0; e < g_ecu_count; ++e) {
        g_ecu_list[e].dialect = dialect;
    }
    const char *packet = nullptr;
    {
        ScriptedPeer vehicle(fuzz_answers(std::move(answers)));
        packet = handle_dtc_command();
    }
    if (packet == nullptr) {
        return; // no ECU answered: no packet, as the worker reports "NORES"
    }
    fuzz_require(strlen(packet) <= DTC_PACKET_MAX_LEN, "trouble-code packet of %zu bytes", strlen(packet));
    fuzz_require_json(packet);
}

void clear(FuzzedDataProvider &in)
{
    g_can_padding = in.ConsumeIntegral<uint8_t>();
    const int mode = in.ConsumeBool() ? 1 : 2;
    // Busy answers are retried; more answers than the retries can use.
    std::vector<ScriptedAnswer> answers(8);
    for (ScriptedAnswer &a : answers) {
        a.refused = in.ConsumeBool();
        a.code = in.ConsumeBool() ? 0x78 : in.ConsumeIntegral<uint8_t>();
        a.body = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 16));
    }
    ScriptedPeer vehicle(fuzz_answers(std::move(answers)));
    const int cleared = handle_clear_dtc_command(mode);
    fuzz_require(cleared == 0 || cleared == 1, "clearing returned %d", cleared);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    memset(final_json, 0, sizeof final_json);
    const int path = in.ConsumeIntegralInRange<int>(0, 2);
    if (path == 1) {
        whole_read(in);
    } else if (path == 2) {
        clear(in);
    } else {
        const std::vector<uint8_t> answer = in.ConsumeRemainingBytes<uint8_t>();
        fuzz_require_json(decode_dtc_array(answer.data(), answer.size()), true);
    }
    return 0;
}
