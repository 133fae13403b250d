// Shared pieces of the fuzzing harnesses: a scratch folder for files built
// from an input, a scripted vehicle on a socketpair, and ISO 15765-2 framing
// of answer bytes.
#pragma once

#include <linux/can.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// Silences publishing, shell commands and pauses of the product once per
// process, and points the ECU information file into the scratch folder. The
// harnesses' LLVMFuzzerInitialize unless they define their own.
void fuzz_quiet_product();

// Path of a file in this process's scratch folder (created on first use, removed at exit).
std::string fuzz_scratch_path(const char *name);
// Replaces the file with exactly these bytes; aborts when that fails.
void fuzz_write_file(const std::string &path, const uint8_t *data, size_t size);

// A broken invariant: prints what (printf-style) and aborts, so libFuzzer keeps the input.
void fuzz_require(bool ok, const char *what, ...) __attribute__((format(printf, 2, 3)));
// Requires `text` to parse as a JSON object (an array when `array`).
void fuzz_require_json(const char *text, bool array = false);

// One record the vehicle side writes: a frame, and how many of its bytes go out.
struct PeerFrame {
    can_frame frame{};
    size_t len = sizeof(can_frame);
};
using Burst = std::vector<PeerFrame>;

// Builds the frames that answer the n-th request (0-based) the gateway wrote.
using Answerer = std::function<Burst(size_t n, const can_frame &request)>;

// The vehicle for one input. Both channel sockets of the exchange become one
// end of a socketpair; a thread on the other end answers every request the
// gateway writes (flow-control frames are read and not answered). Frames in
// `stale` are queued before any request. The destructor closes both ends and
// restores the channel sockets.
class ScriptedPeer
{
  public:
    explicit ScriptedPeer(Answerer answer, const Burst &stale = {});
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer &) = delete;
    ScriptedPeer &operator=(const ScriptedPeer &) = delete;

  private:
    void serve();

    int gw_ = -1;
    int peer_ = -1;
    Answerer answer_;
    std::thread thread_;
};

// Answers of a read, from the ECU of the request's mode, padded with
// g_can_padding: the n-th request gets the n-th entry, either a refusal of the
// service asked or fuzz_positive(request, body). Requests beyond the list are refused.
struct ScriptedAnswer {
    bool refused = false;
    uint8_t code = 0x12; // of a refusal
    std::vector<uint8_t> body;
};
Answerer fuzz_answers(std::vector<ScriptedAnswer> answers);
// Payload of a positive answer to a request (PCI, service, parameter...): the
// service byte plus 0x40 and, for services 01 and 09, the echoed parameter, then `body`.
std::vector<uint8_t> fuzz_positive(const uint8_t *request, const std::vector<uint8_t> &body);

// Identifier an ECU answers from on an addressing mode (1: 11-bit 0x7E8, else 29-bit).
canid_t fuzz_answer_id(int mode);
PeerFrame fuzz_frame(canid_t id, const uint8_t *data, size_t dlc);

// Frames of an answer carrying `payload` (at most 4095 bytes) as ISO 15765-2
// sends it: one single frame up to 7 bytes, else a first frame and
// consecutive frames.
Burst fuzz_answer_frames(canid_t id, const std::vector<uint8_t> &payload, uint8_t padding);
// A refusal (7F, service, code) from this identifier.
PeerFrame fuzz_refusal(canid_t id, uint8_t service, uint8_t code = 0x12);
