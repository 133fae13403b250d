// The vehicle model: ECUs answering OBD-II requests (SAE J1979 services 01,
// 02, 03, 04, 07, 09, 0A) over ISO 15765-2 transport, with faults on demand.
#include "vehicle_sim.h"

#include <algorithm>

#include "common/gw_time.h"

namespace vsim
{

namespace
{

using std::chrono::microseconds;

// The gateway's clock, so that a test clock moves the vehicle's timers too.
microseconds now()
{
    return microseconds(gw_monotonic_us());
}

constexpr uint8_t kNegative = OBD2_NEGATIVE_RESPONSE;
constexpr uint8_t kNrcServiceNotSupported = OBD2_NRC_SERVICE_NOT_SUPPORTED;
constexpr uint8_t kNrcSubFunctionNotSupported = OBD2_NRC_SUB_FUNCTION_NOT_SUPPORTED;
constexpr uint8_t kNrcBusy = OBD2_NRC_BUSY;
constexpr uint8_t kNrcRequestOutOfRange = 0x31;
constexpr uint8_t kUdsSeverity = 0x20;           // a simulated code's severity class
constexpr uint8_t kUdsStatusAvailability = 0xFF; // every status bit supported
constexpr uint8_t kUdsAllRecords = 0xFF;
constexpr size_t kMaxIsoTpPayload = ISOTP_MAX_PAYLOAD;
constexpr size_t kMaxPidsPerRequest = 6;
constexpr size_t kMaxFramePairsPerRequest = 3;
constexpr size_t kCalidLen = 16;
constexpr size_t kEcuNameLen = 20;
constexpr size_t kCvnLen = 4;
constexpr size_t kMaxDtcs = 255; // the count is one byte

// A segmented answer in progress: first frame sent, consecutive frames pending.
struct Transfer {
    bool active = false;
    std::vector<uint8_t> payload;
    size_t offset = 0; // payload bytes already sent
    uint8_t seq = 1;   // next sequence number
    microseconds fc_due_by{};
};

bool is_extended(const can_frame &f)
{
    return (f.can_id & CAN_EFF_FLAG) != 0;
}

uint32_t bare_id(const can_frame &f)
{
    return f.can_id & (is_extended(f) ? CAN_EFF_MASK : CAN_SFF_MASK);
}

// STmin byte to a delay (ISO 15765-2: 0..127 ms, F1..F9 = 100..900 us,
// reserved values mean the largest time).
microseconds stmin_delay(uint8_t st)
{
    if (st <= 0x7F) {
        return microseconds(st * 1000);
    }
    if (st >= 0xF1 && st <= 0xF9) {
        return microseconds((st - 0xF0) * 100);
    }
    return microseconds(127'000);
}

void put_dtcs(std::vector<uint8_t> &out, const std::vector<uint16_t> &codes)
{
    size_t n = std::min(codes.size(), kMaxDtcs);
    out.push_back(static_cast<uint8_t>(n));
    for (size_t i = 0; i < n; ++i) {
        out.push_back(static_cast<uint8_t>(codes[i] >> 8));
        out.push_back(static_cast<uint8_t>(codes[i] & 0xFF));
    }
}

// The classic service a request stands for: "response pending" rules are
// written per classic service and apply to a UDS ECU's requests for the same data.
uint8_t pending_key(const EcuModel &e, const uint8_t *req, size_t len)
{
    if (!e.uds) {
        return req[0];
    }
    if (req[0] == UDS_SID_READ_DID && len >= 2) {
        return req[1] == UDS_DID_INFOTYPE_HIGH ? OBD2_SID_VEHICLE_INFO : OBD2_SID_CURRENT_DATA;
    }
    if (req[0] == UDS_SID_CLEAR_DTC) {
        return OBD2_SID_CLEAR_DTC;
    }
    if (req[0] == UDS_SID_READ_DTC && len >= 2) {
        switch (req[1]) {
        case UDS_DTC_BY_MASK:
            return len >= 4 && (req[3] & UDS_STATUS_CONFIRMED) ? OBD2_SID_STORED_DTC : OBD2_SID_PENDING_DTC;
        case UDS_DTC_PERMANENT:
            return OBD2_SID_PERMANENT_DTC;
        default:
            return OBD2_SID_FREEZE_FRAME;
        }
    }
    return req[0];
}

void set_bit(std::vector<uint8_t> &mask, unsigned n) // n = 1..32
{
    mask[(n - 1) / 8] |= static_cast<uint8_t>(0x80 >> ((n - 1) % 8));
}

// What a clear erases besides the codes: the freeze frame, and the monitor
// status since the codes were cleared (MIL off, no codes, every supported
// monitor incomplete again).
void forget_since_clear(EcuModel &e)
{
    if (e.freeze_frame) {
        *e.freeze_frame = EcuModel::FreezeFrame{};
    }
    auto it = e.pids.find(OBD2_PID_MONITOR_STATUS);
    if (it != e.pids.end() && it->second.size() >= 4) {
        std::vector<uint8_t> &d = it->second;
        d[0] = 0;
        d[1] |= static_cast<uint8_t>((d[1] & 0x07) << OBD2_MON_CONTINUOUS_INCOMPLETE_SHIFT);
        d[3] = d[2];
    }
}

} // namespace

EcuModel make_ecu11(unsigned index)
{
    EcuModel e;
    e.addressing = Addressing::Bit11;
    e.response_id = 0x7E8 + (index & 7);
    e.physical_id = 0x7E0 + (index & 7);
    return e;
}

EcuModel make_ecu29(uint8_t address)
{
    EcuModel e;
    e.addressing = Addressing::Bit29;
    e.response_id = 0x18DAF100u | address;
    e.physical_id = 0x18DA00F1u | (static_cast<uint32_t>(address) << 8);
    return e;
}

can_frame make_frame(uint32_t id, std::initializer_list<uint8_t> data, bool extended)
{
    can_frame f{};
    f.can_id = extended ? ((id & CAN_EFF_MASK) | CAN_EFF_FLAG) : id;
    size_t n = std::min<size_t>(data.size(), CAN_MAX_DLEN);
    std::copy_n(data.begin(), n, f.data);
    f.can_dlc = static_cast<uint8_t>(n);
    return f;
}

bool filter_passes(const CanFilter &f, const can_frame &frame)
{
    if (frame.can_id & CAN_ERR_FLAG) {
        return (frame.can_id & CAN_ERR_MASK & f.err_mask) != 0;
    }
    bool match = (frame.can_id & f.mask) == (f.id & f.mask);
    return (f.id & CAN_INV_FILTER) ? !match : match;
}

CanFilter gateway_filter(int channel)
{
    if (channel == 0) {
        return CanFilter{kGatewayFilterId11, kGatewayFilterMask11, kGatewayErrMask};
    }
    return CanFilter{kGatewayFilterId29, kGatewayFilterMask29, kGatewayErrMask};
}

struct Vehicle::Impl {
    mutable std::mutex mu;
    VehicleModel desc;
    std::vector<Transfer> transfers;  // per ECU
    std::vector<int> clear_busy_left; // per ECU
    std::vector<can_frame> chatter;
    bool wrong_sequence_once = false;
    microseconds late_once{0};

    explicit Impl(VehicleModel s) : desc(std::move(s))
    {
        transfers.resize(desc.ecus.size());
        for (const auto &e : desc.ecus) {
            clear_busy_left.push_back(e.clear_busy_count);
        }
    }

    can_frame frame_from(const EcuModel &e) const
    {
        can_frame f{};
        f.can_id = e.addressing == Addressing::Bit29 ? ((e.response_id & CAN_EFF_MASK) | CAN_EFF_FLAG)
                                                     : (e.response_id & CAN_SFF_MASK);
        f.can_dlc = CAN_MAX_DLEN;
        std::fill(std::begin(f.data), std::end(f.data), e.padding);
        return f;
    }

    // Bitmask answer for PID 00, 20, 40, ...: which of the next 32 PIDs of
    // `pids` exist. The last bit announces the next range when any higher PID exists.
    static bool pid_range_mask(const std::map<uint8_t, std::vector<uint8_t>> &pids, uint8_t base,
                               std::vector<uint8_t> &mask)
    {
        auto higher = [&](unsigned p) { return pids.upper_bound(static_cast<uint8_t>(p)) != pids.end(); };
        if (base != 0 && !higher(base) && pids.count(base) == 0) {
            return false;
        }
        mask.assign(4, 0);
        for (unsigned n = 1; n <= 32; ++n) {
            unsigned pid = base + n;
            if (pid > 0xFF) {
                break;
            }
            bool present = pids.count(static_cast<uint8_t>(pid)) != 0;
            if (n == 32 && !present) {
                present = pid < 0xFF && higher(pid);
            }
            if (present) {
                set_bit(mask, n);
            }
        }
        return true;
    }

    std::vector<uint8_t> infotype_mask(const EcuModel &e) const
    {
        std::vector<uint8_t> mask(4, 0);
        if (!e.vin.empty())
            set_bit(mask, 0x02);
        if (!e.calid.empty())
            set_bit(mask, 0x04);
        if (!e.cvn.empty())
            set_bit(mask, 0x06);
        if (!e.ecu_name.empty())
            set_bit(mask, 0x0A);
        return mask;
    }

    // Service 02: PID and frame pairs; only frame 0 is kept. Unknown PIDs
    // are not answered, as in service 01.
    static std::vector<uint8_t> freeze_frame_answer(const EcuModel::FreezeFrame &ff, const uint8_t *req,
                                                    size_t len)
    {
        std::map<uint8_t, std::vector<uint8_t>> frame;
        if (ff.dtc != 0) {
            frame = ff.pids;
        }
        frame[OBD2_PID_FREEZE_DTC] = {static_cast<uint8_t>(ff.dtc >> 8), static_cast<uint8_t>(ff.dtc & 0xFF)};
        std::vector<uint8_t> out{obd2_positive_sid(OBD2_SID_FREEZE_FRAME)};
        for (size_t k = 1; k + 1 < len && k < 1 + 2 * kMaxFramePairsPerRequest; k += 2) {
            const uint8_t pid = req[k];
            if (req[k + 1] != OBD2_FREEZE_FRAME_0) {
                continue;
            }
            std::vector<uint8_t> data;
            auto it = frame.find(pid);
            if (it != frame.end()) {
                data = it->second;
            } else if (pid % OBD2_PID_RANGE != 0 || !pid_range_mask(frame, pid, data)) {
                continue;
            }
            out.push_back(pid);
            out.push_back(OBD2_FREEZE_FRAME_0);
            out.insert(out.end(), data.begin(), data.end());
        }
        return out.size() > 1 ? out : std::vector<uint8_t>{};
    }

    // UDS code records of `codes`: [severity] code (2 bytes), failure type, status.
    static void put_uds_dtcs(std::vector<uint8_t> &out, const EcuModel &e, const std::vector<uint16_t> &codes,
                             uint8_t status, bool with_severity)
    {
        for (uint16_t c : codes) {
            auto ft = e.failure_types.find(c);
            const std::vector<uint8_t> types =
                ft != e.failure_types.end() ? ft->second : std::vector<uint8_t>{0};
            for (uint8_t t : types) {
                if (with_severity) {
                    out.push_back(kUdsSeverity);
                }
                out.insert(out.end(),
                           {static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c & 0xFF), t, status});
            }
        }
    }

    static std::array<uint8_t, 3> uds_code(const EcuModel &e, uint16_t c)
    {
        auto ft = e.failure_types.find(c);
        const uint8_t t = ft != e.failure_types.end() && !ft->second.empty() ? ft->second.front() : 0;
        return {static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c & 0xFF), t};
    }

    // A classic answer in UDS form: a refusal names the UDS service, a
    // positive answer gets `head` before the classic data from `skip` on.
    static std::vector<uint8_t> as_uds(const std::vector<uint8_t> &classic, uint8_t sid,
                                       std::vector<uint8_t> head, size_t skip)
    {
        if (classic.empty()) {
            return {};
        }
        if (classic[0] == kNegative) {
            return {kNegative, sid, classic.size() > 2 ? classic[2] : kNrcServiceNotSupported};
        }
        if (classic.size() > skip) {
            head.insert(head.end(), classic.begin() + static_cast<long>(skip), classic.end());
        }
        return head;
    }

    // The answer of a UDS ECU, from the same data as the classic answers.
    std::vector<uint8_t> uds_answer(size_t i, const uint8_t *req, size_t len)
    {
        const EcuModel &e = desc.ecus[i];
        const uint8_t sid = req[0];
        const uint8_t ok = static_cast<uint8_t>(sid + 0x40);
        auto classic = [&](std::initializer_list<uint8_t> r) {
            std::vector<uint8_t> c(r);
            return classic_answer(i, c.data(), c.size());
        };
        if (sid == UDS_SID_READ_DID && len >= 3 &&
            (req[1] == UDS_DID_PID_HIGH || req[1] == UDS_DID_INFOTYPE_HIGH)) {
            const uint8_t service =
                req[1] == UDS_DID_PID_HIGH ? OBD2_SID_CURRENT_DATA : OBD2_SID_VEHICLE_INFO;
            return as_uds(classic({service, req[2]}), sid, {ok, req[1], req[2]}, 2);
        }
        if (sid == UDS_SID_CLEAR_DTC && len >= 4 &&
            std::equal(UDS_CLEAR_GROUP.begin(), UDS_CLEAR_GROUP.end(), req + 1)) {
            return as_uds(classic({OBD2_SID_CLEAR_DTC}), sid, {ok}, 1);
        }
        if (sid != UDS_SID_READ_DTC || len < 2) {
            return {};
        }
        switch (req[1]) {
        case UDS_DTC_BY_MASK: {
            if (len < 5 || req[2] != UDS_GROUP_EMISSIONS) {
                return {};
            }
            const bool stored = (req[3] & UDS_STATUS_CONFIRMED) != 0;
            std::vector<uint8_t> out =
                as_uds(classic({stored ? OBD2_SID_STORED_DTC : OBD2_SID_PENDING_DTC}), sid,
                       {ok, UDS_DTC_BY_MASK, UDS_GROUP_EMISSIONS, kUdsStatusAvailability, UDS_SEVERITY_ALL,
                        UDS_DTC_FORMAT_J2012_04},
                       SIZE_MAX);
            if (out.size() > 1) {
                put_uds_dtcs(out, e, stored ? e.stored_dtcs : e.pending_dtcs,
                             stored ? UDS_STATUS_CONFIRMED : UDS_STATUS_PENDING, true);
            }
            return out;
        }
        case UDS_DTC_PERMANENT: {
            if (len < 3 || req[2] != UDS_GROUP_EMISSIONS) {
                return {};
            }
            std::vector<uint8_t> out = as_uds(
                classic({OBD2_SID_PERMANENT_DTC}), sid,
                {ok, UDS_DTC_PERMANENT, UDS_GROUP_EMISSIONS, kUdsStatusAvailability, UDS_DTC_FORMAT_J2012_04},
                SIZE_MAX);
            if (out.size() > 1) {
                put_uds_dtcs(out, e, e.permanent_dtcs, UDS_STATUS_CONFIRMED, false);
            }
            return out;
        }
        case UDS_DTC_SNAPSHOT_LIST: {
            std::vector<uint8_t> out = as_uds(classic({OBD2_SID_FREEZE_FRAME, OBD2_PID_FREEZE_DTC, 0}), sid,
                                              {ok, UDS_DTC_SNAPSHOT_LIST}, SIZE_MAX);
            if (out.size() > 1 && e.freeze_frame && e.freeze_frame->dtc != 0) {
                const auto code = uds_code(e, e.freeze_frame->dtc);
                out.insert(out.end(), code.begin(), code.end());
                out.push_back(UDS_SNAPSHOT_RECORD_OBD);
            }
            return out;
        }
        case UDS_DTC_SNAPSHOT: {
            if (len < 6 || !e.freeze_frame || e.freeze_frame->dtc == 0) {
                return {kNegative, sid, kNrcRequestOutOfRange};
            }
            const auto code = uds_code(e, e.freeze_frame->dtc);
            if (!std::equal(code.begin(), code.end(), req + 2) ||
                (req[5] != UDS_SNAPSHOT_RECORD_OBD && req[5] != kUdsAllRecords)) {
                return {kNegative, sid, kNrcRequestOutOfRange};
            }
            std::vector<uint8_t> out{
                ok,
                UDS_DTC_SNAPSHOT,
                code[0],
                code[1],
                code[2],
                UDS_STATUS_CONFIRMED,
                UDS_SNAPSHOT_RECORD_OBD,
                static_cast<uint8_t>(std::min<size_t>(e.freeze_frame->pids.size(), 0xFF))};
            for (const auto &[pid, data] : e.freeze_frame->pids) {
                out.insert(out.end(), {UDS_DID_PID_HIGH, pid});
                out.insert(out.end(), data.begin(), data.end());
            }
            return out;
        }
        default:
            return {};
        }
    }

    // The answer payload of ECU `i` to a request; empty means no answer.
    std::vector<uint8_t> answer(size_t i, const uint8_t *req, size_t len)
    {
        if (desc.ecus[i].uds) {
            return uds_answer(i, req, len);
        }
        return classic_answer(i, req, len);
    }

    std::vector<uint8_t> classic_answer(size_t i, const uint8_t *req, size_t len)
    {
        EcuModel &e = desc.ecus[i];
        uint8_t service = req[0];
        uint8_t param = len > 1 ? req[1] : 0;
        auto neg = [&](uint8_t nrc) { return std::vector<uint8_t>{kNegative, service, nrc}; };

        auto forced = e.negative.find(static_cast<uint16_t>(service << 8 | param));
        if (forced != e.negative.end() && forced->second != 0) {
            return neg(forced->second);
        }
        std::vector<uint8_t> out{static_cast<uint8_t>(service + 0x40)};
        switch (service) {
        case 0x01: {
            size_t answered = 0;
            for (size_t k = 1; k < len && k <= kMaxPidsPerRequest; ++k) {
                uint8_t pid = req[k];
                auto it = e.pids.find(pid);
                if (it != e.pids.end()) {
                    out.push_back(pid);
                    out.insert(out.end(), it->second.begin(), it->second.end());
                    ++answered;
                } else if (pid % 0x20 == 0) {
                    std::vector<uint8_t> mask;
                    if (pid_range_mask(e.pids, pid, mask)) {
                        out.push_back(pid);
                        out.insert(out.end(), mask.begin(), mask.end());
                        ++answered;
                    }
                }
            }
            // Unsupported PIDs are not answered at all (functional requests).
            return answered ? out : std::vector<uint8_t>{};
        }
        case 0x02:
            if (!e.freeze_frame) {
                return neg(kNrcServiceNotSupported);
            }
            return freeze_frame_answer(*e.freeze_frame, req, len);
        case 0x03:
            put_dtcs(out, e.stored_dtcs);
            return out;
        case 0x07:
            put_dtcs(out, e.pending_dtcs);
            return out;
        case 0x0A:
            put_dtcs(out, e.permanent_dtcs);
            return out;
        case 0x04:
            if (clear_busy_left[i] > 0) {
                --clear_busy_left[i];
                return neg(kNrcBusy);
            }
            clear_busy_left[i] = e.clear_busy_count; // the next clear behaves the same
            if (e.clear_nrc != 0) {
                return neg(e.clear_nrc);
            }
            // Clearing erases stored and pending codes; permanent ones stay.
            e.stored_dtcs.clear();
            e.pending_dtcs.clear();
            forget_since_clear(e);
            return out;
        case 0x09: {
            out.push_back(param);
            switch (param) {
            case 0x00: {
                auto m = infotype_mask(e);
                out.insert(out.end(), m.begin(), m.end());
                return out;
            }
            case 0x02:
                if (e.vin.empty())
                    return neg(kNrcSubFunctionNotSupported);
                out.push_back(1);
                out.insert(out.end(), e.vin.begin(), e.vin.end());
                return out;
            case 0x04: {
                if (e.calid.empty())
                    return neg(kNrcSubFunctionNotSupported);
                size_t n = (e.calid.size() + kCalidLen - 1) / kCalidLen;
                out.push_back(static_cast<uint8_t>(n));
                std::vector<uint8_t> block(n * kCalidLen, 0);
                std::copy(e.calid.begin(), e.calid.end(), block.begin());
                out.insert(out.end(), block.begin(), block.end());
                return out;
            }
            case 0x06: {
                if (e.cvn.empty())
                    return neg(kNrcSubFunctionNotSupported);
                size_t n = (e.cvn.size() + kCvnLen - 1) / kCvnLen;
                out.push_back(static_cast<uint8_t>(n));
                std::vector<uint8_t> block(n * kCvnLen, 0);
                std::copy(e.cvn.begin(), e.cvn.end(), block.begin());
                out.insert(out.end(), block.begin(), block.end());
                return out;
            }
            case 0x0A: {
                if (e.ecu_name.empty())
                    return neg(kNrcSubFunctionNotSupported);
                out.push_back(1);
                std::vector<uint8_t> block(kEcuNameLen, 0);
                std::copy_n(e.ecu_name.begin(), std::min(e.ecu_name.size(), kEcuNameLen), block.begin());
                out.insert(out.end(), block.begin(), block.end());
                return out;
            }
            default:
                return neg(kNrcSubFunctionNotSupported);
            }
        }
        default:
            return neg(kNrcServiceNotSupported);
        }
    }

    // Consecutive frames of ECU `i` after a clear-to-send with block size `bs`
    // and separation `st`; the delays count from `start`.
    void send_block(size_t i, uint8_t bs, microseconds st, microseconds start, std::vector<TimedFrame> &out)
    {
        Transfer &t = transfers[i];
        const EcuModel &e = desc.ecus[i];
        microseconds at = start + e.cf_gap;
        unsigned sent = 0;
        while (t.offset < t.payload.size() && (bs == 0 || sent < bs)) {
            can_frame f = frame_from(e);
            uint8_t seq = t.seq & 0x0F;
            if (wrong_sequence_once) {
                wrong_sequence_once = false;
                seq = (seq + 1) & 0x0F;
            }
            f.data[0] = static_cast<uint8_t>(0x20 | seq);
            size_t n = std::min<size_t>(7, t.payload.size() - t.offset);
            std::copy_n(t.payload.begin() + static_cast<long>(t.offset), n, f.data + 1);
            t.offset += n;
            t.seq = static_cast<uint8_t>((t.seq + 1) & 0x0F);
            out.push_back(TimedFrame{at, f});
            ++sent;
            at += st + e.cf_gap;
        }
        if (t.offset >= t.payload.size()) {
            t.active = false;
        } else {
            // Wait for the next flow control, counted from the last frame of the block.
            t.fc_due_by = now() + at + kFlowControlTimeout;
        }
    }

    void on_flow_control(size_t i, const can_frame &in, std::vector<TimedFrame> &out)
    {
        Transfer &t = transfers[i];
        if (!t.active) {
            return;
        }
        if (now() > t.fc_due_by) {
            t.active = false; // gave up waiting: the answer is lost
            return;
        }
        switch (in.data[0] & 0x0F) {
        case 0x0: // clear to send
            send_block(i, in.data[1], stmin_delay(in.data[2]), microseconds(0), out);
            break;
        case 0x1: // wait: the timer starts again
            t.fc_due_by = now() + kFlowControlTimeout;
            break;
        default: // overflow or invalid: abort
            t.active = false;
            break;
        }
    }

    void on_request(size_t i, const can_frame &in, microseconds delay, std::vector<TimedFrame> &out)
    {
        const EcuModel &e = desc.ecus[i];
        size_t dlc = std::min<size_t>(in.can_dlc, CAN_MAX_DLEN);
        size_t len = in.data[0] & 0x0F;
        if (len == 0 || len + 1 > dlc) {
            return;
        }
        transfers[i].active = false; // a new request ends any answer in progress
        if (e.silent) {
            return;
        }
        std::vector<uint8_t> payload = answer(i, in.data + 1, len);
        if (payload.empty()) {
            return;
        }
        if (auto p = e.pending.find(pending_key(e, in.data + 1, len)); p != e.pending.end()) {
            for (int k = 0; k < p->second.count; ++k) {
                can_frame busy = frame_from(e);
                const uint8_t bytes[] = {3, kNegative, in.data[1], kNrcBusy};
                std::copy(std::begin(bytes), std::end(bytes), busy.data);
                out.push_back(TimedFrame{delay, busy});
                delay += p->second.interval;
            }
        }
        payload.resize(std::min(payload.size(), kMaxIsoTpPayload));
        can_frame f = frame_from(e);
        if (payload.size() <= 7) {
            f.data[0] = static_cast<uint8_t>(payload.size());
            std::copy(payload.begin(), payload.end(), f.data + 1);
            out.push_back(TimedFrame{delay, f});
            return;
        }
        f.data[0] = static_cast<uint8_t>(0x10 | (payload.size() >> 8));
        f.data[1] = static_cast<uint8_t>(payload.size() & 0xFF);
        std::copy_n(payload.begin(), 6, f.data + 2);
        out.push_back(TimedFrame{delay, f});
        Transfer &t = transfers[i];
        t.active = true;
        t.payload = std::move(payload);
        t.offset = 6;
        t.seq = 1;
        t.fc_due_by = now() + delay + kFlowControlTimeout;
        if (!e.awaits_flow_control) {
            send_block(i, 0, microseconds(0), delay, out);
        }
    }

    std::vector<TimedFrame> on_frame(const can_frame &in)
    {
        std::vector<TimedFrame> out;
        if (in.can_id & (CAN_ERR_FLAG | CAN_RTR_FLAG)) {
            return out;
        }
        bool ext = is_extended(in);
        uint32_t id = bare_id(in);
        uint8_t type = in.data[0] >> 4;
        if (in.can_dlc == 0) {
            return out;
        }
        bool functional = ext ? id == kFunctionalId29 : id == kFunctionalId11;
        microseconds extra = late_once;
        bool answered = false;
        for (size_t i = 0; i < desc.ecus.size(); ++i) {
            const EcuModel &e = desc.ecus[i];
            bool mine = (e.addressing == Addressing::Bit29) == ext;
            bool physical = mine && id == (e.physical_id & (ext ? CAN_EFF_MASK : CAN_SFF_MASK));
            if (!mine || !(functional || physical)) {
                continue;
            }
            if (type == 0x3 && physical) {
                on_flow_control(i, in, out);
            } else if (type == 0x0) {
                size_t before = out.size();
                on_request(i, in, e.latency + extra, out);
                answered = answered || out.size() != before;
            }
        }
        if (answered) {
            late_once = microseconds(0);
            if (!chatter.empty()) {
                microseconds first = out.front().delay;
                for (const auto &tf : out) {
                    first = std::min(first, tf.delay);
                }
                std::vector<TimedFrame> with;
                for (const auto &c : chatter) {
                    with.push_back(TimedFrame{first, c});
                }
                with.insert(with.end(), out.begin(), out.end());
                out.swap(with);
            }
        }
        return out;
    }
};

Vehicle::Vehicle(VehicleModel vehicle) : impl_(std::make_shared<Impl>(std::move(vehicle))) {}

std::vector<TimedFrame> Vehicle::on_frame(const can_frame &in)
{
    std::lock_guard lock(impl_->mu);
    auto out = impl_->on_frame(in);
    // Frames due at the same moment keep their order; the transport sends by delay.
    std::stable_sort(out.begin(), out.end(),
                     [](const TimedFrame &a, const TimedFrame &b) { return a.delay < b.delay; });
    return out;
}

std::vector<uint8_t> Vehicle::answer_payload(size_t ecu, const uint8_t *req, size_t len)
{
    std::lock_guard lock(impl_->mu);
    if (ecu >= impl_->desc.ecus.size() || len == 0 || impl_->desc.ecus[ecu].silent) {
        return {};
    }
    auto out = impl_->answer(ecu, req, len);
    out.resize(std::min(out.size(), kMaxIsoTpPayload));
    return out;
}

void Vehicle::set_pending(size_t ecu, uint8_t service, int count, std::chrono::microseconds interval)
{
    std::lock_guard lock(impl_->mu);
    if (ecu >= impl_->desc.ecus.size()) {
        return;
    }
    auto &pending = impl_->desc.ecus[ecu].pending;
    if (count <= 0) {
        pending.erase(service);
    } else {
        pending[service] = EcuModel::Pending{count, interval};
    }
}

EcuModel::Pending Vehicle::pending_before(size_t ecu, const uint8_t *req, size_t len) const
{
    std::lock_guard lock(impl_->mu);
    if (ecu >= impl_->desc.ecus.size() || len == 0) {
        return {0, {}};
    }
    const auto &pending = impl_->desc.ecus[ecu].pending;
    auto it = pending.find(pending_key(impl_->desc.ecus[ecu], req, len));
    return it == pending.end() ? EcuModel::Pending{0, {}} : it->second;
}

void Vehicle::set_silent(bool silent)
{
    std::lock_guard lock(impl_->mu);
    for (auto &e : impl_->desc.ecus) {
        e.silent = silent;
    }
}

void Vehicle::set_silent(size_t ecu, bool silent)
{
    std::lock_guard lock(impl_->mu);
    if (ecu < impl_->desc.ecus.size()) {
        impl_->desc.ecus[ecu].silent = silent;
    }
}

void Vehicle::set_latency(std::chrono::microseconds l)
{
    std::lock_guard lock(impl_->mu);
    for (auto &e : impl_->desc.ecus) {
        e.latency = l;
    }
}

void Vehicle::set_latency(size_t ecu, std::chrono::microseconds l)
{
    std::lock_guard lock(impl_->mu);
    if (ecu < impl_->desc.ecus.size()) {
        impl_->desc.ecus[ecu].latency = l;
    }
}

void Vehicle::set_pid(size_t ecu, uint8_t pid, std::vector<uint8_t> data)
{
    std::lock_guard lock(impl_->mu);
    if (ecu < impl_->desc.ecus.size()) {
        if (data.empty()) {
            impl_->desc.ecus[ecu].pids.erase(pid);
        } else {
            impl_->desc.ecus[ecu].pids[pid] = std::move(data);
        }
    }
}

void Vehicle::set_dtcs(size_t ecu, uint8_t service, std::vector<uint16_t> codes)
{
    std::lock_guard lock(impl_->mu);
    if (ecu >= impl_->desc.ecus.size()) {
        return;
    }
    EcuModel &e = impl_->desc.ecus[ecu];
    switch (service) {
    case 0x03:
        e.stored_dtcs = std::move(codes);
        break;
    case 0x07:
        e.pending_dtcs = std::move(codes);
        break;
    case 0x0A:
        e.permanent_dtcs = std::move(codes);
        break;
    default:
        break;
    }
}

void Vehicle::set_negative(size_t ecu, uint16_t key, uint8_t nrc)
{
    std::lock_guard lock(impl_->mu);
    if (ecu >= impl_->desc.ecus.size()) {
        return;
    }
    auto &neg = impl_->desc.ecus[ecu].negative;
    if (nrc == 0) {
        neg.erase(key);
    } else {
        neg[key] = nrc;
    }
}

void Vehicle::set_clear_behaviour(size_t ecu, int busy_count, uint8_t nrc)
{
    std::lock_guard lock(impl_->mu);
    if (ecu >= impl_->desc.ecus.size()) {
        return;
    }
    impl_->desc.ecus[ecu].clear_busy_count = busy_count;
    impl_->desc.ecus[ecu].clear_nrc = nrc;
    impl_->clear_busy_left[ecu] = busy_count;
}

void Vehicle::inject_wrong_sequence()
{
    std::lock_guard lock(impl_->mu);
    impl_->wrong_sequence_once = true;
}

void Vehicle::inject_late_answer(std::chrono::microseconds extra)
{
    std::lock_guard lock(impl_->mu);
    impl_->late_once = extra;
}

void Vehicle::set_chatter(std::vector<can_frame> frames)
{
    std::lock_guard lock(impl_->mu);
    impl_->chatter = std::move(frames);
}

VehicleModel Vehicle::model() const
{
    std::lock_guard lock(impl_->mu);
    return impl_->desc;
}

} // namespace vsim
