// The ECUs found by mode detection. Services read it; only the OBD worker
// thread writes it.
#pragma once

#include <cstdint>
#include <vector>

#include "th_obd2_com/obd_dialect.h"

struct EcuEntry {
    uint32_t response_id; // identifier the ECU answers from (without the extended-frame flag)
    int32_t mode;         // 1 = 11-bit channel, 2 = 29-bit channel
    ObdDialect dialect = ObdDialect::Classic;
};

constexpr int OBD2_MAX_ECUS = 32;

extern EcuEntry g_ecu_list[OBD2_MAX_ECUS];
extern int g_ecu_count;

// Number of valid entries, within the list's bounds.
int ecu_list_size();

// Response identifiers of the recorded ECUs on the channel of `mode` (1:
// 11-bit, any other: 29-bit), in list order; `index`, when given, receives
// their places in the list.
std::vector<uint32_t> recorded_ecus_on(int mode, std::vector<int> *index = nullptr);

// The dialect of the recorded ECU answering from `response_id` on `mode`;
// with `response_id` 0, of the first recorded ECU of that mode. Classic when none.
ObdDialect recorded_dialect(int mode, uint32_t response_id);

// While an EcuScope lives, every exchange made on this thread takes answers
// only from that ECU (its response identifier); other ECUs' frames are skipped
// like foreign frames. Without a scope an exchange takes the first ECU of the
// mode that answers. Scopes do not nest.
class EcuScope
{
  public:
    explicit EcuScope(const EcuEntry &ecu);
    ~EcuScope();
    EcuScope(const EcuScope &) = delete;
    EcuScope &operator=(const EcuScope &) = delete;
};

// Response identifier the exchanges of this thread are bound to; 0 = any.
uint32_t ecu_scope_response_id();
