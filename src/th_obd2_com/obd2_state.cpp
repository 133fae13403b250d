#include "th_obd2_com/obd2_state.h"

#include <array>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/gw_time.h"

std::atomic<int> g_obd2_com_thrd_state{OBD2_STATE_CONFIG};
pthread_mutex_t obd_state_mutex = PTHREAD_MUTEX_INITIALIZER;
char g_can_cmd[OBD2_CMD_BUF_SIZE];

namespace
{
// Hand-over lock: held only for a copy of at most 200 bytes and a store, never
// across a publish, an exchange or a pause (the worker's pause waits on it
// released, through the condition). The bus callback thread takes it,
// and that thread also processes the broker's acknowledgements, so nothing may
// hold it for longer.
std::mutex s_handover_lock;
// Commands handed over and not yet taken, oldest first.
std::array<std::array<char, OBD2_CMD_BUF_SIZE>, OBD2_CMD_QUEUE_SIZE> s_queue;
size_t s_queue_head = 0;
size_t s_queue_count = 0;
// Wakes the worker's pause when a command is handed over.
std::condition_variable s_handover_cv;
} // namespace

void change_obd2_thrd_state(int state)
{
    g_obd2_com_thrd_state.store(state);
}

int get_obd2_thrd_state()
{
    std::lock_guard<std::mutex> lk(s_handover_lock);
    // A command handed over meanwhile takes the worker to parsing it, except
    // from executing the command it has taken: that one is carried out first
    // (its execution ends its repetitions once another is queued). The bus
    // thread only queues; the state word is the worker's alone, so a command
    // taken can never be overwritten by the next one's arrival.
    const int stored = g_obd2_com_thrd_state.load();
    return s_queue_count > 0 && stored != OBD2_STATE_EXEC_CMD ? OBD2_STATE_PARSE_CMD : stored;
}

void command_for_can(const char *text)
{
    if (text == nullptr) {
        puts("OBD2_ERROR : Null command received.");
        fflush(stdout);
        return;
    }
    const size_t len = strnlen(text, OBD2_CMD_BUF_SIZE);
    if (len >= OBD2_CMD_BUF_SIZE) {
        printf("OBD2_ERROR : Command refused: longer than %zu characters.\n", OBD2_CMD_BUF_SIZE - 1);
        fflush(stdout);
        return;
    }
    {
        std::lock_guard<std::mutex> lk(s_handover_lock);
        if (s_queue_count == OBD2_CMD_QUEUE_SIZE) {
            printf("OBD2_ERROR : Command refused: %zu commands already pending.\n", OBD2_CMD_QUEUE_SIZE);
            fflush(stdout);
            return;
        }
        memcpy(s_queue[(s_queue_head + s_queue_count) % OBD2_CMD_QUEUE_SIZE].data(), text, len + 1);
        ++s_queue_count;
    }
    s_handover_cv.notify_all();
}

bool obd2_take_command(char *dst)
{
    std::lock_guard<std::mutex> lk(s_handover_lock);
    const bool taken = s_queue_count > 0;
    if (taken) {
        memcpy(g_can_cmd, s_queue[s_queue_head].data(), OBD2_CMD_BUF_SIZE);
        s_queue_head = (s_queue_head + 1) % OBD2_CMD_QUEUE_SIZE;
        --s_queue_count;
    }
    memcpy(dst, g_can_cmd, OBD2_CMD_BUF_SIZE);
    dst[OBD2_CMD_BUF_SIZE - 1] = '\0';
    return taken;
}

bool obd2_command_pending()
{
    std::lock_guard<std::mutex> lk(s_handover_lock);
    return s_queue_count > 0;
}

bool obd2_pause_unless_command(int64_t us)
{
    std::unique_lock<std::mutex> lk(s_handover_lock);
    return gw_wait(lk, s_handover_cv, us, [] { return s_queue_count > 0; });
}

void obd2_test_reset_handover(int state)
{
    std::lock_guard<std::mutex> lk(s_handover_lock);
    s_queue_head = 0;
    s_queue_count = 0;
    memset(g_can_cmd, 0, sizeof g_can_cmd);
    g_obd2_com_thrd_state.store(state);
}
