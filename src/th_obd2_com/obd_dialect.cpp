#include "th_obd2_com/obd_dialect.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "th_obd2_com/obd2_protocol.h"
#include "th_obd2_com/obd2_reassembly.h"
#include "th_obd2_com/pid_catalogue.h"

namespace
{

constexpr uint8_t UDS_READ_DID_OK = UDS_SID_READ_DID + OBD2_POSITIVE_OFFSET;
constexpr uint8_t UDS_READ_DTC_OK = UDS_SID_READ_DTC + OBD2_POSITIVE_OFFSET;
constexpr uint8_t UDS_CLEAR_DTC_OK = UDS_SID_CLEAR_DTC + OBD2_POSITIVE_OFFSET;
// 59 42 33, status availability, severity availability, format; records of
// severity, code (3), status.
constexpr size_t BY_MASK_HEADER = 6;
constexpr size_t BY_MASK_RECORD = 5;
// 59 55 33, status availability, format; records of code (3), status.
constexpr size_t PERMANENT_HEADER = 5;
constexpr size_t PERMANENT_RECORD = 4;
// 59 03; records of code (3), record number.
constexpr size_t SNAPSHOT_LIST_HEADER = 2;
constexpr size_t SNAPSHOT_LIST_RECORD = 4;
// 59 04, code (3), status; then record number, identifier count, identifiers.
constexpr size_t SNAPSHOT_HEADER = 6;
constexpr size_t DID_LEN = 2;
constexpr size_t CLASSIC_CODE_COUNT_MAX = 0xFF; // the count byte of a classic answer
constexpr size_t SINGLE_FRAME_LEN = 8;

// Data bytes of service 01 PIDs 00..64 (SAE J1979); 0 where not defined here.
constexpr std::array<uint8_t, 0x65> PID_WIDTH = {
    4, 4, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 2, 1, 1, 1, // 00-0F
    2, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 1, 1, 1, 2, // 10-1F
    4, 2, 2, 2, 4, 4, 4, 4, 4, 4, 4, 4, 1, 1, 1, 1, // 20-2F
    1, 2, 2, 1, 4, 4, 4, 4, 4, 4, 4, 4, 2, 2, 2, 2, // 30-3F
    4, 4, 2, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 4, // 40-4F
    4, 1, 1, 2, 2, 2, 2, 2, 2, 2, 1, 1, 1, 2, 2, 1, // 50-5F
    4, 1, 1, 2, 5,                                  // 60-64
};

// As the exchange leaves an answer: the length byte, the payload, and the
// padding of a single frame.
ObdAnswer framed(const std::vector<uint8_t> &payload, uint8_t pad)
{
    ObdAnswer a;
    a.bytes.reserve(std::max(payload.size() + 1, SINGLE_FRAME_LEN));
    a.bytes.push_back(static_cast<uint8_t>(payload.size() & 0xFF));
    a.bytes.insert(a.bytes.end(), payload.begin(), payload.end());
    if (a.bytes.size() < SINGLE_FRAME_LEN) {
        a.bytes.resize(SINGLE_FRAME_LEN, pad);
    }
    return a;
}

std::optional<ObdAnswer> malformed(const char *what, uint8_t service)
{
    printf("OBD2 WARN: UDS answer for service %02X skipped: %s\n", service, what);
    return std::nullopt;
}

bool known_dtc_format(uint8_t format)
{
    return format == UDS_DTC_FORMAT_J2012_04 || format == UDS_DTC_FORMAT_J2012_00;
}

// Records of `size` bytes from `p` (n bytes), code at `code_at`, into a classic
// code list: the first two code bytes, each code once, in the ECU's order.
std::optional<ObdAnswer> classic_codes(uint8_t service, const uint8_t *p, size_t n, size_t size,
                                       size_t code_at, uint8_t pad)
{
    if (n % size != 0) {
        return malformed("records cut short", service);
    }
    std::vector<uint8_t> out{obd2_positive_sid(service), 0};
    size_t count = 0;
    for (size_t r = 0; r < n; r += size) {
        const uint8_t hi = p[r + code_at];
        const uint8_t lo = p[r + code_at + 1];
        bool seen = false;
        for (size_t k = 2; k < out.size(); k += 2) {
            seen = seen || (out[k] == hi && out[k + 1] == lo);
        }
        if (seen) {
            continue; // the same code with another failure type
        }
        if (count == CLASSIC_CODE_COUNT_MAX) {
            printf("OBD2 WARN: more than %zu codes for service %02X, the rest left out\n",
                   CLASSIC_CODE_COUNT_MAX, service);
            break;
        }
        out.push_back(hi);
        out.push_back(lo);
        ++count;
    }
    out[1] = static_cast<uint8_t>(count);
    return framed(out, pad);
}

// Bytes of a PID the gateway reads: the catalogue's width (it reads only A
// of some), else the PID's own.
size_t read_width(uint8_t pid)
{
    const auto row =
        std::find_if(std::begin(pids), std::end(pids), [pid](const PidInfo &r) { return r.pid == pid; });
    return row != std::end(pids) ? row->bits / 8u : obd_pid_width(pid);
}

ObdRequest make_request(std::initializer_list<uint8_t> bytes)
{
    ObdRequest r;
    std::copy(bytes.begin(), bytes.end(), r.bytes.begin());
    r.len = bytes.size();
    return r;
}

} // namespace

std::optional<ObdAnswer> classic_refusal(uint8_t classic_service, uint8_t uds_service, const uint8_t *answer,
                                         size_t len, uint8_t pad)
{
    const size_t n = answer != nullptr ? obd2_answer_payload_len(answer, len) : 0;
    const uint8_t *p = answer + 1;
    if (n < 3 || p[0] != OBD2_NEGATIVE_RESPONSE || p[1] != uds_service) {
        return malformed("refusal of another service", classic_service);
    }
    return framed({OBD2_NEGATIVE_RESPONSE, classic_service, p[2]}, pad);
}

size_t obd_pid_width(uint8_t pid)
{
    return pid < PID_WIDTH.size() ? PID_WIDTH[pid] : 0;
}

ObdRequest uds_request_for(const uint8_t *classic, size_t classic_len)
{
    if (classic == nullptr || classic_len == 0) {
        return {};
    }
    const uint8_t param = classic_len > 1 ? classic[1] : 0;
    switch (classic[0]) {
    case OBD2_SID_CURRENT_DATA:
        return classic_len > 1 ? make_request({UDS_SID_READ_DID, UDS_DID_PID_HIGH, param}) : ObdRequest{};
    case OBD2_SID_VEHICLE_INFO:
        return classic_len > 1 ? make_request({UDS_SID_READ_DID, UDS_DID_INFOTYPE_HIGH, param})
                               : ObdRequest{};
    case OBD2_SID_STORED_DTC:
        return make_request(
            {UDS_SID_READ_DTC, UDS_DTC_BY_MASK, UDS_GROUP_EMISSIONS, UDS_STATUS_CONFIRMED, UDS_SEVERITY_ALL});
    case OBD2_SID_PENDING_DTC:
        return make_request(
            {UDS_SID_READ_DTC, UDS_DTC_BY_MASK, UDS_GROUP_EMISSIONS, UDS_STATUS_PENDING, UDS_SEVERITY_ALL});
    case OBD2_SID_PERMANENT_DTC:
        return make_request({UDS_SID_READ_DTC, UDS_DTC_PERMANENT, UDS_GROUP_EMISSIONS});
    case OBD2_SID_CLEAR_DTC:
        return make_request({UDS_SID_CLEAR_DTC, UDS_CLEAR_GROUP[0], UDS_CLEAR_GROUP[1], UDS_CLEAR_GROUP[2]});
    default:
        return {};
    }
}

std::optional<ObdAnswer> classic_answer_from_uds(const uint8_t *classic, size_t classic_len,
                                                 const uint8_t *answer, size_t len, uint8_t pad)
{
    const ObdRequest uds = uds_request_for(classic, classic_len);
    if (uds.len == 0 || answer == nullptr) {
        return std::nullopt;
    }
    const uint8_t service = classic[0];
    const size_t n = obd2_answer_payload_len(answer, len);
    const uint8_t *p = answer + 1;
    if (n >= 1 && p[0] == OBD2_NEGATIVE_RESPONSE) {
        return classic_refusal(service, uds.bytes[0], answer, len, pad);
    }
    switch (service) {
    case OBD2_SID_CURRENT_DATA:
    case OBD2_SID_VEHICLE_INFO: {
        // 62, the identifier asked, its data.
        if (n < 3 || p[0] != UDS_READ_DID_OK || p[1] != uds.bytes[1] || p[2] != uds.bytes[2]) {
            return malformed("not the identifier asked", service);
        }
        const size_t width = service == OBD2_SID_CURRENT_DATA ? read_width(uds.bytes[2]) : 1;
        if (n - 3 < std::max<size_t>(width, 1)) {
            return malformed("data shorter than the item", service);
        }
        std::vector<uint8_t> out{obd2_positive_sid(service), uds.bytes[2]};
        out.insert(out.end(), p + 3, p + n);
        return framed(out, pad);
    }
    case OBD2_SID_STORED_DTC:
    case OBD2_SID_PENDING_DTC:
        if (n < BY_MASK_HEADER || p[0] != UDS_READ_DTC_OK || p[1] != UDS_DTC_BY_MASK ||
            p[2] != UDS_GROUP_EMISSIONS) {
            return malformed("not a code list of the emissions group", service);
        }
        if (!known_dtc_format(p[5])) {
            return malformed("unknown code format", service);
        }
        return classic_codes(service, p + BY_MASK_HEADER, n - BY_MASK_HEADER, BY_MASK_RECORD, 1, pad);
    case OBD2_SID_PERMANENT_DTC:
        if (n < PERMANENT_HEADER || p[0] != UDS_READ_DTC_OK || p[1] != UDS_DTC_PERMANENT ||
            p[2] != UDS_GROUP_EMISSIONS) {
            return malformed("not a permanent code list of the emissions group", service);
        }
        if (!known_dtc_format(p[4])) {
            return malformed("unknown code format", service);
        }
        return classic_codes(service, p + PERMANENT_HEADER, n - PERMANENT_HEADER, PERMANENT_RECORD, 0, pad);
    case OBD2_SID_CLEAR_DTC:
        if (n < 1 || p[0] != UDS_CLEAR_DTC_OK) {
            return malformed("not a clear confirmation", service);
        }
        return framed({obd2_positive_sid(service)}, pad);
    default:
        return std::nullopt;
    }
}

ObdRequest uds_snapshot_list_request()
{
    return make_request({UDS_SID_READ_DTC, UDS_DTC_SNAPSHOT_LIST});
}

std::optional<std::optional<UdsSnapshotRef>> uds_pick_snapshot(const uint8_t *answer, size_t len)
{
    const size_t n = answer != nullptr ? obd2_answer_payload_len(answer, len) : 0;
    const uint8_t *p = answer + 1;
    if (n < SNAPSHOT_LIST_HEADER || p[0] != UDS_READ_DTC_OK || p[1] != UDS_DTC_SNAPSHOT_LIST) {
        printf("OBD2 WARN: UDS snapshot list skipped: not one\n");
        return std::nullopt;
    }
    if ((n - SNAPSHOT_LIST_HEADER) % SNAPSHOT_LIST_RECORD != 0) {
        printf("OBD2 WARN: UDS snapshot list skipped: records cut short\n");
        return std::nullopt;
    }
    std::optional<UdsSnapshotRef> picked;
    for (size_t r = SNAPSHOT_LIST_HEADER; r < n; r += SNAPSHOT_LIST_RECORD) {
        UdsSnapshotRef ref{{p[r], p[r + 1], p[r + 2]}, p[r + 3]};
        if (!picked || (ref.record == UDS_SNAPSHOT_RECORD_OBD && picked->record != UDS_SNAPSHOT_RECORD_OBD)) {
            picked = ref;
        }
    }
    return std::optional<std::optional<UdsSnapshotRef>>(picked);
}

ObdRequest uds_snapshot_request(const UdsSnapshotRef &ref)
{
    return make_request({UDS_SID_READ_DTC, UDS_DTC_SNAPSHOT, ref.dtc[0], ref.dtc[1], ref.dtc[2], ref.record});
}

std::optional<UdsSnapshot> uds_read_snapshot(const UdsSnapshotRef &ref, const uint8_t *answer, size_t len)
{
    const size_t n = answer != nullptr ? obd2_answer_payload_len(answer, len) : 0;
    const uint8_t *p = answer + 1;
    if (n < SNAPSHOT_HEADER || p[0] != UDS_READ_DTC_OK || p[1] != UDS_DTC_SNAPSHOT ||
        !std::equal(ref.dtc.begin(), ref.dtc.end(), p + 2)) {
        printf("OBD2 WARN: UDS snapshot skipped: not the one asked\n");
        return std::nullopt;
    }
    UdsSnapshot snap;
    snap.dtc = static_cast<uint16_t>(p[2] << 8 | p[3]);
    size_t at = SNAPSHOT_HEADER;
    if (at == n) {
        return snap; // the code without a record
    }
    if (n - at < 2) {
        printf("OBD2 WARN: UDS snapshot skipped: record header cut short\n");
        return std::nullopt;
    }
    const unsigned count = p[at + 1];
    at += 2;
    for (unsigned k = 0; k < count; ++k) {
        if (n - at < DID_LEN) {
            printf("OBD2 WARN: UDS snapshot skipped: %u identifiers announced, %u present\n", count, k);
            return std::nullopt;
        }
        const uint8_t pid = p[at + 1];
        const size_t width = p[at] == UDS_DID_PID_HIGH ? obd_pid_width(pid) : 0;
        if (width == 0) {
            // Its length is unknown, so nothing after it can be found.
            printf("OBD2 WARN: UDS snapshot identifier %02X%02X unknown, the rest left out\n", p[at], pid);
            break;
        }
        if (n - at - DID_LEN < width) {
            printf("OBD2 WARN: UDS snapshot skipped: identifier %02X%02X cut short\n", p[at], pid);
            return std::nullopt;
        }
        snap.pids[pid].assign(p + at + DID_LEN, p + at + DID_LEN + width);
        at += DID_LEN + width;
    }
    return snap;
}

std::optional<ObdAnswer> classic_freeze_answer(const UdsSnapshot &snapshot, uint8_t pid, uint8_t pad)
{
    const uint8_t ok = obd2_positive_sid(OBD2_SID_FREEZE_FRAME);
    if (pid == OBD2_PID_FREEZE_DTC) {
        return framed({ok, pid, OBD2_FREEZE_FRAME_0, static_cast<uint8_t>(snapshot.dtc >> 8),
                       static_cast<uint8_t>(snapshot.dtc & 0xFF)},
                      pad);
    }
    if (pid % OBD2_PID_RANGE == 0) {
        // A classic frame always holds PID 02; the last bit announces the next range.
        auto held = [&](unsigned p) { return p == OBD2_PID_FREEZE_DTC || snapshot.pids.count(p) != 0; };
        std::vector<uint8_t> out{ok, pid, OBD2_FREEZE_FRAME_0, 0, 0, 0, 0};
        bool any = false;
        for (unsigned q = pid + 1u; q <= 0xFF; ++q) {
            if (!held(q)) {
                continue;
            }
            any = true;
            const unsigned bit = std::min(q - pid, 32u) - 1;
            out[3 + bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
        }
        if (pid != 0 && !any) {
            return std::nullopt;
        }
        return framed(out, pad);
    }
    const auto it = snapshot.pids.find(pid);
    if (it == snapshot.pids.end()) {
        return std::nullopt;
    }
    std::vector<uint8_t> out{ok, pid, OBD2_FREEZE_FRAME_0};
    out.insert(out.end(), it->second.begin(), it->second.end());
    return framed(out, pad);
}

ObdAnswer classic_no_freeze_answer(uint8_t pad)
{
    return *classic_freeze_answer(UdsSnapshot{}, OBD2_PID_FREEZE_DTC, pad);
}
