// The comparison of the vehicle just read with the saved ECU information file:
// the input gives the vehicle's records, then the file's bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "th_obd2_com/ecu_info_file.h"
#include "th_obd2_com/vehicle_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    memset(g_vehicle_info, 0, sizeof g_vehicle_info);
    // The count may be anything a broken reader left, the texts may lack their NUL.
    g_vehicle_info_count = in.ConsumeIntegralInRange<int>(-1, VEHICLE_INFO_MAX + 1);
    const int records = in.ConsumeIntegralInRange<int>(0, VEHICLE_INFO_MAX);
    for (int i = 0; i < records; ++i) {
        VehicleInfoRecord &rec = g_vehicle_info[i];
        rec.info_type = in.PickValueInArray<uint8_t>({0x02, 0x04, 0x06, 0x0A, 0x00});
        const std::vector<uint8_t> text = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 128));
        std::copy(text.begin(), text.end(), rec.text);
    }
    const std::vector<uint8_t> file = in.ConsumeRemainingBytes<uint8_t>();
    fuzz_write_file(ecu_info_file_path(), file.data(), file.size());
    const int same = compare_vehicle_info_with_saved();
    fuzz_require(same == 0 || same == 1, "comparison returned %d", same);
    return 0;
}
