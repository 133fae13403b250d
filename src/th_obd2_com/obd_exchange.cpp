#include "th_obd2_com/obd_exchange.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <optional>

#include "common/gw_time.h"
#include "th_obd2_com/ecu_list.h"
#include "th_obd2_com/obd2_config.h"
#include "th_obd2_com/obd2_protocol.h"
#include "th_obd2_com/obd_dialect.h"

namespace
{

constexpr size_t FRAME_LEN = 8;

// The freeze frame a UDS ECU gave for the code asked last (worker thread only):
// service 02 asks it PID by PID, UDS gives it whole.
std::optional<UdsSnapshot> g_snapshot;

uint8_t padding_byte()
{
    return static_cast<uint8_t>(g_can_padding & 0xFF);
}

// The payload of a classic request frame (PCI byte, service, parameters).
bool classic_payload(const uint8_t *frame, size_t len, const uint8_t *&p, size_t &n)
{
    if (frame == nullptr || len < 2) {
        return false;
    }
    p = frame + 1;
    n = std::min<size_t>(frame[0] & 0x0F, len - 1);
    return n > 0;
}

std::array<uint8_t, FRAME_LEN> uds_frame(const ObdRequest &r)
{
    std::array<uint8_t, FRAME_LEN> f;
    f.fill(padding_byte());
    f[0] = static_cast<uint8_t>(r.len);
    std::copy_n(r.bytes.begin(), r.len, f.begin() + 1);
    return f;
}

void put(const ObdAnswer &a, uint8_t *response, size_t *response_len, size_t cap)
{
    *response_len = std::min(a.bytes.size(), cap);
    std::memcpy(response, a.bytes.data(), *response_len);
}

// The answer in place turned into its classic form; false (nothing left) when malformed.
bool to_classic(const std::optional<ObdAnswer> &classic, uint8_t *response, size_t *response_len, size_t cap)
{
    if (!classic) {
        *response_len = 0;
        return false;
    }
    put(*classic, response, response_len, cap);
    return true;
}

Obd2Outcome uds_exchange(int mode, const ObdRequest &r, uint8_t *response, size_t *response_len, int kind)
{
    const std::array<uint8_t, FRAME_LEN> f = uds_frame(r);
    const Obd2Outcome rc = send_obd2_request(mode, f.data(), f.size(), response, response_len, kind);
    if (rc == Obd2Outcome::None) {
        *response_len = 0;
    }
    return rc;
}

// A refusal or "response pending" of the snapshot services as service 02's.
Obd2Outcome freeze_refusal(Obd2Outcome rc, uint8_t uds_service, uint8_t *response, size_t *response_len)
{
    const auto refusal =
        classic_refusal(OBD2_SID_FREEZE_FRAME, uds_service, response, *response_len, padding_byte());
    return to_classic(refusal, response, response_len, OBD2_RESP_BUF_SIZE) ? rc : Obd2Outcome::None;
}

// Service 02 of a UDS ECU: PID 02 reads the snapshot list and the snapshot of
// the OBD record; the other PIDs are answered from it.
Obd2Outcome uds_freeze_frame(int mode, uint8_t pid, uint8_t *response, size_t *response_len, int kind)
{
    if (pid != OBD2_PID_FREEZE_DTC) {
        const auto a = g_snapshot ? classic_freeze_answer(*g_snapshot, pid, padding_byte()) : std::nullopt;
        return to_classic(a, response, response_len, OBD2_RESP_BUF_SIZE) ? Obd2Outcome::Answered
                                                                         : Obd2Outcome::None;
    }
    g_snapshot.reset();
    const ObdRequest list = uds_snapshot_list_request();
    Obd2Outcome rc = uds_exchange(mode, list, response, response_len, kind);
    if (rc != Obd2Outcome::Answered) {
        return rc == Obd2Outcome::None ? rc : freeze_refusal(rc, list.bytes[0], response, response_len);
    }
    const auto picked = uds_pick_snapshot(response, *response_len);
    if (!picked) {
        *response_len = 0;
        return Obd2Outcome::None;
    }
    if (!*picked) {
        put(classic_no_freeze_answer(padding_byte()), response, response_len, OBD2_RESP_BUF_SIZE);
        return Obd2Outcome::Answered;
    }
    const UdsSnapshotRef ref = **picked;
    const ObdRequest one = uds_snapshot_request(ref);
    rc = uds_exchange(mode, one, response, response_len, kind);
    if (rc != Obd2Outcome::Answered) {
        return rc == Obd2Outcome::None ? rc : freeze_refusal(rc, one.bytes[0], response, response_len);
    }
    g_snapshot = uds_read_snapshot(ref, response, *response_len);
    const auto a = g_snapshot ? classic_freeze_answer(*g_snapshot, pid, padding_byte()) : std::nullopt;
    return to_classic(a, response, response_len, OBD2_RESP_BUF_SIZE) ? Obd2Outcome::Answered
                                                                     : Obd2Outcome::None;
}

bool counts_as_answer(const Obd2EcuAnswer &a)
{
    return a.outcome == Obd2Outcome::Answered || a.outcome == Obd2Outcome::Refused;
}

bool any_uds_ecu()
{
    return std::any_of(g_ecu_list, g_ecu_list + ecu_list_size(),
                       [](const EcuEntry &e) { return e.dialect == ObdDialect::Uds; });
}

} // namespace

Obd2Outcome obd_send_request(int mode, const uint8_t *request, size_t request_len, uint8_t *response,
                             size_t *response_len, int kind)
{
    const uint8_t *p = nullptr;
    size_t n = 0;
    if (recorded_dialect(mode, ecu_scope_response_id()) != ObdDialect::Uds ||
        !classic_payload(request, request_len, p, n)) {
        return send_obd2_request(mode, request, request_len, response, response_len, kind);
    }
    if (p[0] == OBD2_SID_FREEZE_FRAME) {
        *response_len = 0;
        return n >= 2 ? uds_freeze_frame(mode, p[1], response, response_len, kind) : Obd2Outcome::None;
    }
    const ObdRequest r = uds_request_for(p, n);
    if (r.len == 0) {
        printf("OBD2 WARN: service %02X has no UDS form, not asked\n", p[0]);
        *response_len = 0;
        return Obd2Outcome::None;
    }
    const Obd2Outcome rc = uds_exchange(mode, r, response, response_len, kind);
    if (rc == Obd2Outcome::None) {
        return rc;
    }
    const auto classic = classic_answer_from_uds(p, n, response, *response_len, padding_byte());
    return to_classic(classic, response, response_len, OBD2_RESP_BUF_SIZE) ? rc : Obd2Outcome::None;
}

int obd_collect_answers(int mode, const uint8_t *request, size_t request_len, int kind, const uint32_t *ids,
                        int count, Obd2EcuAnswer *answers, bool take_queued_final)
{
    std::vector<uint32_t> by_dialect[2];
    std::vector<int> at[2];
    for (int i = 0; i < count; ++i) {
        const int d = recorded_dialect(mode, ids[i]) == ObdDialect::Uds ? 1 : 0;
        by_dialect[d].push_back(ids[i]);
        at[d].push_back(i);
    }
    const uint8_t *p = nullptr;
    size_t n = 0;
    if (by_dialect[1].empty() || !classic_payload(request, request_len, p, n)) {
        return collect_obd2_answers(mode, request, request_len, kind, ids, count, answers, take_queued_final);
    }
    const ObdRequest r = uds_request_for(p, n);
    const std::array<uint8_t, FRAME_LEN> uds = uds_frame(r);
    for (int d = 0; d < 2; ++d) {
        const std::vector<uint32_t> &group = by_dialect[d];
        if (group.empty()) {
            continue;
        }
        std::vector<Obd2EcuAnswer> got(group.size());
        for (size_t k = 0; k < group.size(); ++k) {
            got[k].response_id = group[k];
        }
        if (d == 0) {
            collect_obd2_answers(mode, request, request_len, kind, group.data(),
                                 static_cast<int>(group.size()), got.data(), take_queued_final);
        } else if (r.len != 0) {
            collect_obd2_answers(mode, uds.data(), uds.size(), kind, group.data(),
                                 static_cast<int>(group.size()), got.data(), take_queued_final);
            for (Obd2EcuAnswer &a : got) {
                if (a.outcome != Obd2Outcome::None &&
                    !to_classic(classic_answer_from_uds(p, n, a.data.data(), a.len, padding_byte()),
                                a.data.data(), &a.len, a.data.size())) {
                    a.outcome = Obd2Outcome::None;
                }
            }
        }
        for (size_t k = 0; k < group.size(); ++k) {
            answers[at[d][k]] = got[k];
        }
    }
    return static_cast<int>(std::count_if(answers, answers + count, counts_as_answer));
}

int obd_detect_ecus(const uint8_t *request, size_t request_len, uint8_t *response, size_t *response_len,
                    EcuEntry *ecus, int capacity, int *count, int64_t *uds_us)
{
    if (uds_us != nullptr) {
        *uds_us = 0;
    }
    const int found = detect_ecus(request, request_len, response, response_len, ecus, capacity, count);
    const uint8_t *p = nullptr;
    size_t n = 0;
    if (found != 0 || !classic_payload(request, request_len, p, n)) {
        return found;
    }
    const ObdRequest r = uds_request_for(p, n);
    if (r.len == 0) {
        return found;
    }
    const int64_t start_us = gw_monotonic_us();
    const std::array<uint8_t, FRAME_LEN> uds = uds_frame(r);
    const int mode = detect_ecus(uds.data(), uds.size(), response, response_len, ecus, capacity, count);
    if (uds_us != nullptr) {
        *uds_us = gw_monotonic_us() - start_us;
    }
    if (mode <= 0) {
        // Only a positive answer makes a UDS vehicle: a classic ECU may refuse
        // the UDS request, and is found classic on the next attempt.
        if (count != nullptr) {
            *count = 0;
        }
        return 0;
    }
    puts("OBD2_INFO : The vehicle speaks OBD on UDS.");
    for (int i = 0; ecus != nullptr && count != nullptr && i < *count; ++i) {
        ecus[i].dialect = ObdDialect::Uds;
    }
    to_classic(classic_answer_from_uds(p, n, response, *response_len, padding_byte()), response, response_len,
               OBD2_RESP_BUF_SIZE);
    return mode;
}

int obd_detect_mode(const uint8_t *request, size_t request_len, uint8_t *response, size_t *response_len)
{
    const uint8_t *p = nullptr;
    size_t n = 0;
    const bool uds = ecu_list_size() > 0 && g_ecu_list[0].dialect == ObdDialect::Uds;
    const ObdRequest r =
        uds && classic_payload(request, request_len, p, n) ? uds_request_for(p, n) : ObdRequest{};
    if (r.len == 0) {
        return detect_mode(request, request_len, response, response_len);
    }
    const std::array<uint8_t, FRAME_LEN> f = uds_frame(r);
    const int mode = detect_mode(f.data(), f.size(), response, response_len);
    if (mode != 0 && !to_classic(classic_answer_from_uds(p, n, response, *response_len, padding_byte()),
                                 response, response_len, OBD2_RESP_BUF_SIZE)) {
        return 0; // an answer of another kind: as no answer
    }
    return mode;
}

int obd_ask_recorded_ecus(const uint8_t *request, size_t request_len, int kind,
                          std::vector<Obd2EcuAnswer> &answers, bool take_queued_final)
{
    if (!any_uds_ecu()) {
        return ask_recorded_ecus(request, request_len, kind, answers, take_queued_final);
    }
    answers.assign(static_cast<size_t>(ecu_list_size()), Obd2EcuAnswer{});
    int answered = 0;
    for (int mode = 1; mode <= 2; ++mode) {
        std::vector<int> index;
        const std::vector<uint32_t> ids = recorded_ecus_on(mode, &index);
        if (ids.empty()) {
            continue;
        }
        std::vector<Obd2EcuAnswer> got(ids.size());
        answered += std::max(obd_collect_answers(mode, request, request_len, kind, ids.data(),
                                                 static_cast<int>(ids.size()), got.data(), take_queued_final),
                             0);
        for (size_t k = 0; k < ids.size(); ++k) {
            answers[static_cast<size_t>(index[k])] = got[k];
        }
    }
    return answered;
}
