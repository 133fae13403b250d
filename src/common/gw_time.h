// The daemon's one clock: every reading of "now", every pause and every wait
// (on sockets or on a condition) goes through here, so that logic tests can
// run on a clock of their own instead of real time.
#pragma once

#include <poll.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

class GwClock
{
  public:
    virtual ~GwClock() = default;
    // Monotonic microseconds.
    virtual int64_t now_us() = 0;
    virtual void sleep_us(int64_t us) = 0;
    // poll(2) with the timeout in microseconds (negative: none).
    virtual int poll(pollfd *fds, nfds_t n, int64_t timeout_us) = 0;
    // Waits on `cv` (with `lk` held) until `ready()` holds or `us` passed; returns ready().
    virtual bool wait(std::unique_lock<std::mutex> &lk, std::condition_variable &cv, int64_t us,
                      const std::function<bool()> &ready) = 0;
    // A thread whose work must take no time on this clock begins or ends.
    virtual void thread_begins() {}
    virtual void thread_ends() {}
};

int64_t gw_monotonic_us();
void gw_sleep_us(int64_t us);
int gw_poll(pollfd *fds, nfds_t n, int64_t timeout_us);
bool gw_wait(std::unique_lock<std::mutex> &lk, std::condition_variable &cv, int64_t us,
             const std::function<bool()> &ready);

// Held by a thread for its whole life: on a test clock, time stands still
// while the thread works and moves on only while it waits through this clock.
class GwClockThread
{
  public:
    GwClockThread();
    ~GwClockThread();
    GwClockThread(const GwClockThread &) = delete;
    GwClockThread &operator=(const GwClockThread &) = delete;

  private:
    GwClock *clock_;
};

// Starts `fn` on a thread that holds a GwClockThread from before this returns
// (so a test clock cannot move on before the thread has begun).
std::thread gw_clock_thread(std::function<void()> fn);

// The clock in use; nullptr restores real time. Tests only: the product never calls it.
void gw_set_clock(GwClock *clock);
GwClock &gw_clock();
