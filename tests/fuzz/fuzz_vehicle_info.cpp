// Vehicle information: the four InfoType answers come from the input, then the
// records are decoded, described as the identification packet does, and saved
// as the ECU information file. Packet and file must be ASCII JSON whatever the
// vehicle sent: a strict reader rejects invalid UTF-8.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/atomic_file.h"
#include "common/cjson_ptr.h"
#include "fuzz_support.h"
#include "th_obd2_com/ecu_info_file.h"
#include "th_obd2_com/ecu_list.h"
#include "th_obd2_com/obd2_config.h"
#include "th_obd2_com/vehicle_info.h"

namespace
{

void check_ascii_json(const std::string &text)
{
    fuzz_require(
        std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }),
        "not ASCII: %s", text.c_str());
    fuzz_require_json(text.c_str());
}

} // namespace

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
    // Last, so inputs written before the ECUs had a dialect read as classic.
    g_ecu_count = 1;
    g_ecu_list[0] = {fuzz_answer_id(mode) & CAN_EFF_MASK, mode,
                     in.ConsumeBool() ? ObdDialect::Uds : ObdDialect::Classic};
    {
        ScriptedPeer vehicle(fuzz_answers(std::move(answers)));
        get_vehicle_info(mode);
    }
    fuzz_require(g_vehicle_info_count >= 0 && g_vehicle_info_count <= 4, "%d records", g_vehicle_info_count);
    for (int i = 0; i < g_vehicle_info_count; ++i) {
        const VehicleInfoRecord &rec = g_vehicle_info[i];
        fuzz_require(strnlen(rec.text, sizeof rec.text) < sizeof rec.text, "record %d without its NUL", i);
    }
    CJsonText text(build_vehicle_info_json(mode, g_can_bitrate));
    check_ascii_json(text ? text.get() : "");
    std::string saved;
    fuzz_require(save_ecu_info_json() == 1 && gw_read_file(ecu_info_file_path(), saved), "file not saved");
    check_ascii_json(saved);
    return 0;
}
