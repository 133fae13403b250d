// The OBD dialect an ECU speaks: the classic services, or the same data over
// UDS services. Everything that differs lives here: the request an ECU of
// each dialect gets for a classic request, and how its answer is turned back
// into the classic answer the decoders read. Pure functions, no I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

enum class ObdDialect : int32_t {
    Classic = 0,
    Uds = 1,
};

// A request payload (service, parameters) that fits one single frame.
struct ObdRequest {
    std::array<uint8_t, 7> bytes{};
    size_t len = 0;
};

// The UDS request for a classic request payload; len 0 when the classic
// request has none of its own (the freeze frame is read as a whole snapshot).
ObdRequest uds_request_for(const uint8_t *classic, size_t classic_len);

// An answer laid out as the exchange leaves one: byte 0 a length byte, the
// payload from byte 1 (padded to 8 bytes when it fits one frame).
struct ObdAnswer {
    std::vector<uint8_t> bytes;
};

// The classic answer to `classic` (request payload) made from a UDS ECU's
// answer `answer` to uds_request_for(classic). Negative answers come back as
// classic negative answers with the same response code. Nothing when the
// answer is malformed (another item, cut records, unknown format, data
// shorter than the item): the caller takes it as no answer. `pad` fills a
// short answer as a classic ECU's frame is filled.
std::optional<ObdAnswer> classic_answer_from_uds(const uint8_t *classic, size_t classic_len,
                                                 const uint8_t *answer, size_t len, uint8_t pad);

// The classic refusal of `classic_service` made from a UDS refusal (7F, `uds_service`,
// response code); nothing when the answer is not one.
std::optional<ObdAnswer> classic_refusal(uint8_t classic_service, uint8_t uds_service, const uint8_t *answer,
                                         size_t len, uint8_t pad);

// Data bytes of service 01 PID `pid`; 0 when not known.
size_t obd_pid_width(uint8_t pid);

// Freeze frame over UDS: the list of codes with snapshots (request
// uds_snapshot_list_request()) names the code and record to read, the
// snapshot request reads it, and the classic service 02 answers are made from it.
struct UdsSnapshotRef {
    std::array<uint8_t, 3> dtc{}; // 2 bytes of code, the failure type
    uint8_t record = 0;
};
ObdRequest uds_snapshot_list_request();
// The snapshot of the OBD record (record 0, else the first listed); an empty
// optional inside when none is stored. Nothing when the answer is malformed.
std::optional<std::optional<UdsSnapshotRef>> uds_pick_snapshot(const uint8_t *answer, size_t len);
ObdRequest uds_snapshot_request(const UdsSnapshotRef &ref);

struct UdsSnapshot {
    uint16_t dtc = 0;                             // the classic two bytes
    std::map<uint8_t, std::vector<uint8_t>> pids; // PID -> data bytes
};
// The first record of a snapshot answer to `ref`; nothing when malformed.
std::optional<UdsSnapshot> uds_read_snapshot(const UdsSnapshotRef &ref, const uint8_t *answer, size_t len);
// The classic answer to service 02 `pid` frame 0 from a snapshot (PID 02 the
// code, PID 00, 20, ... the masks of what it holds); nothing for a PID it
// does not hold.
std::optional<ObdAnswer> classic_freeze_answer(const UdsSnapshot &snapshot, uint8_t pid, uint8_t pad);
// The classic answer for "no freeze frame stored" (PID 02 code 0000).
ObdAnswer classic_no_freeze_answer(uint8_t pad);
