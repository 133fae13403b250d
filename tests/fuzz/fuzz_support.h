// Shared pieces of the fuzzing harnesses: a scratch folder for files built
// from an input, a scripted vehicle on a socketpair, and ISO 15765-2 framing
// of answer bytes.
#pragma once

#include <linux/can.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

// Silences publishing, shell commands and pauses of the product once per process.
void fuzz_quiet_product();

// Path of a file in this process's scratch folder (created on first use).
std::string fuzz_scratch_path(const char *name);
// Replaces the file with exactly these bytes; aborts when that fails.
void fuzz_write_file(const std::string &path, const uint8_t *data, size_t size);

// One record the vehicle side writes: a frame, and how many of its bytes go out.
struct PeerFrame {
    can_frame frame{};
    size_t len = sizeof(can_frame);
};
using Burst = std::vector<PeerFrame>;

// The vehicle for one input. Both channel sockets of the exchange become one
// end of a socketpair; a thread on the other end answers the n-th request the
// gateway writes with the n-th burst (flow-control frames are read and not
// answered). Requests beyond the script get `fallback`. Frames in `stale` are
// queued before any request. The destructor closes both ends and restores the
// channel sockets.
class ScriptedPeer
{
  public:
    ScriptedPeer(std::vector<Burst> bursts, Burst fallback, const Burst &stale = {});
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer &) = delete;
    ScriptedPeer &operator=(const ScriptedPeer &) = delete;

  private:
    void serve();

    int gw_ = -1;
    int peer_ = -1;
    std::vector<Burst> bursts_;
    Burst fallback_;
    std::thread thread_;
};

// Identifier an ECU answers from on an addressing mode (1: 11-bit 0x7E8, else 29-bit).
canid_t fuzz_answer_id(int mode);
PeerFrame fuzz_frame(canid_t id, const uint8_t *data, size_t dlc);

// Frames of an answer carrying `payload` (at most 4095 bytes) as ISO 15765-2
// sends it: one single frame up to 7 bytes, else a first frame and
// consecutive frames. The exchange treats every frame whose second byte is
// 0x7F as a negative answer and returns there, so the burst ends with such a
// frame: nothing is left queued for the next exchange.
Burst fuzz_answer_frames(canid_t id, const std::vector<uint8_t> &payload, uint8_t padding);
// Negative answers (7F, service, code) from both modes' ECUs: ends an exchange of either mode at once.
Burst fuzz_negative_answers(uint8_t service);
