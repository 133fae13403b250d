#include "th_obd2_com/ecu_list.h"

EcuEntry g_ecu_list[OBD2_MAX_ECUS];
int g_ecu_count = 0;

namespace
{
thread_local uint32_t t_bound_response_id = 0;
} // namespace

int ecu_list_size()
{
    if (g_ecu_count < 0) {
        return 0;
    }
    return g_ecu_count > OBD2_MAX_ECUS ? OBD2_MAX_ECUS : g_ecu_count;
}

std::vector<uint32_t> recorded_ecus_on(int mode, std::vector<int> *index)
{
    std::vector<uint32_t> ids;
    for (int i = 0; i < ecu_list_size(); ++i) {
        if ((g_ecu_list[i].mode == 1) == (mode == 1)) {
            ids.push_back(g_ecu_list[i].response_id);
            if (index != nullptr) {
                index->push_back(i);
            }
        }
    }
    return ids;
}

ObdDialect recorded_dialect(int mode, uint32_t response_id)
{
    for (int i = 0; i < ecu_list_size(); ++i) {
        const EcuEntry &e = g_ecu_list[i];
        if ((e.mode == 1) == (mode == 1) && (response_id == 0 || e.response_id == response_id)) {
            return e.dialect;
        }
    }
    return ObdDialect::Classic;
}

EcuScope::EcuScope(const EcuEntry &ecu)
{
    t_bound_response_id = ecu.response_id;
}

EcuScope::~EcuScope()
{
    t_bound_response_id = 0;
}

uint32_t ecu_scope_response_id()
{
    return t_bound_response_id;
}
