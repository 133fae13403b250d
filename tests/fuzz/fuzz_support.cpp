#include "fuzz_support.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>

#include "common/cjson_ptr.h"
#include "common/gw_time.h"
#include "support/test_clock.h"
#include "th_mqtt/mqtt_msg.h"
#include "th_obd2_com/can_link.h"
#include "th_obd2_com/ecu_info_file.h"
#include "th_obd2_com/obd2_config.h"

void fuzz_quiet_product()
{
    mqtt_test_set_publish_hook([](int, const char *) { return 1; });
    can_test_set_shell_runner([](const char *) { return 0; });
    // Pauses and waits take no time: an input runs as fast as its frames are handled.
    static FakeClock clock;
    ecu_info_test_set_path(fuzz_scratch_path("ecu_info.json").c_str());
}

// Every harness starts so, unless it defines its own (the configuration's).
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_product();
    return 0;
}

std::string fuzz_scratch_path(const char *name)
{
    static const std::string dir = [] {
        // Memory-backed where there is one: the product flushes every file it writes.
        char tmpl[] = "/dev/shm/obdgw-fuzz-XXXXXX";
        if (access("/dev/shm", W_OK) != 0) {
            strcpy(tmpl, "/tmp/obdgw-fuzz-XXXXXX");
        }
        if (mkdtemp(tmpl) == nullptr) {
            perror("mkdtemp");
            abort();
        }
        static std::string made = tmpl;
        atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(made, ignored);
        });
        return made;
    }();
    return dir + "/" + name;
}

void fuzz_write_file(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr || (size > 0 && fwrite(data, 1, size, f) != size) || fclose(f) != 0) {
        perror(path.c_str());
        abort();
    }
}

void fuzz_require(bool ok, const char *what, ...)
{
    if (ok) {
        return;
    }
    va_list args;
    va_start(args, what);
    vfprintf(stderr, what, args);
    va_end(args);
    fputc('\n', stderr);
    abort();
}

void fuzz_require_json(const char *text, bool array)
{
    CJsonPtr parsed(cJSON_Parse(text));
    fuzz_require(array ? cJSON_IsArray(parsed.get()) : cJSON_IsObject(parsed.get()), "not a JSON %s: %s",
                 array ? "array" : "object", text);
}

ScriptedPeer::ScriptedPeer(Answerer answer, const Burst &stale) : answer_(std::move(answer))
{
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) {
        perror("socketpair");
        abort();
    }
    gw_ = sv[0];
    peer_ = sv[1];
    for (const PeerFrame &f : stale) {
        // A full queue drops the rest, as a CAN socket's full receive buffer would.
        if (::send(peer_, &f.frame, f.len, MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
            break;
        }
    }
    can_cfg[0].sock = gw_;
    can_cfg[1].sock = gw_;
    thread_ = gw_clock_thread([this] { serve(); });
}

ScriptedPeer::~ScriptedPeer()
{
    can_cfg[0].sock = -1;
    can_cfg[1].sock = -1;
    // The peer thread sees the end of the stream (or a failed send) and returns.
    ::shutdown(gw_, SHUT_RDWR);
    thread_.join();
    ::close(gw_);
    ::close(peer_);
}

void ScriptedPeer::serve()
{
    size_t next = 0;
    for (;;) {
        pollfd p{peer_, POLLIN, 0};
        // No time limit: the end of the stream (the destructor) ends the wait.
        if (gw_poll(&p, 1, -1) <= 0) {
            return;
        }
        can_frame req{};
        if (::recv(peer_, &req, sizeof req, 0) <= 0) {
            return;
        }
        if (req.data[0] >> 4 == 3) {
            continue; // flow control of a segmented answer already sent whole
        }
        for (const PeerFrame &f : answer_(next++, req)) {
            if (::send(peer_, &f.frame, f.len, MSG_NOSIGNAL) < 0) {
                return;
            }
        }
    }
}

canid_t fuzz_answer_id(int mode)
{
    return mode == 1 ? 0x7E8 : (0x18DAF110 | CAN_EFF_FLAG);
}

PeerFrame fuzz_frame(canid_t id, const uint8_t *data, size_t dlc)
{
    PeerFrame f;
    f.frame.can_id = id;
    f.frame.can_dlc = static_cast<uint8_t>(dlc);
    std::memcpy(f.frame.data, data, std::min<size_t>(dlc, CAN_MAX_DLEN));
    return f;
}

Burst fuzz_answer_frames(canid_t id, const std::vector<uint8_t> &payload, uint8_t padding)
{
    const size_t total = std::min<size_t>(payload.size(), 0xFFF);
    Burst out;
    // One frame: the protocol control bytes, as many payload bytes from `from`
    // as fit, then padding. Returns where the next frame's payload starts.
    auto add = [&](std::initializer_list<uint8_t> pci, size_t from) {
        uint8_t d[8];
        std::fill(d, d + 8, padding);
        std::copy(pci.begin(), pci.end(), d);
        const size_t room = 8 - pci.size();
        const size_t n = from < total ? std::min(total - from, room) : 0;
        if (n > 0) {
            std::memcpy(d + pci.size(), payload.data() + from, n);
        }
        out.push_back(fuzz_frame(id, d, 8));
        return from + room;
    };
    if (total <= 7) {
        add({static_cast<uint8_t>(total)}, 0);
        return out;
    }
    size_t from = add({static_cast<uint8_t>(0x10 | total >> 8), static_cast<uint8_t>(total & 0xFF)}, 0);
    for (unsigned seq = 1; from < total; ++seq) {
        from = add({static_cast<uint8_t>(0x20 | (seq & 0x0F))}, from);
    }
    return out;
}

PeerFrame fuzz_refusal(canid_t id, uint8_t service, uint8_t code)
{
    const uint8_t d[8] = {0x03, 0x7F, service, code, 0, 0, 0, 0};
    return fuzz_frame(id, d, 8);
}

std::vector<uint8_t> fuzz_positive(const uint8_t *request, const std::vector<uint8_t> &body)
{
    std::vector<uint8_t> payload{static_cast<uint8_t>(request[1] + 0x40)};
    if (request[1] == 0x01 || request[1] == 0x09) {
        payload.push_back(request[2]);
    }
    payload.insert(payload.end(), body.begin(), body.end());
    return payload;
}

Answerer fuzz_answers(std::vector<ScriptedAnswer> answers)
{
    const auto padding = static_cast<uint8_t>(g_can_padding);
    return [answers = std::move(answers), padding](size_t n, const can_frame &req) -> Burst {
        const canid_t id = fuzz_answer_id((req.can_id & CAN_EFF_FLAG) != 0 ? 2 : 1);
        const uint8_t service = req.data[1];
        if (n >= answers.size()) {
            return {fuzz_refusal(id, service)};
        }
        if (answers[n].refused) {
            return {fuzz_refusal(id, service, answers[n].code)};
        }
        return fuzz_answer_frames(id, fuzz_positive(req.data, answers[n].body), padding);
    };
}
