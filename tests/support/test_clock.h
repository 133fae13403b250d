// Clocks for tests, installed for their lifetime in place of real time.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "common/gw_time.h"

// Time of its own for logic tests. "Now" moves only while every thread on the
// clock waits (the thread that made it and every GwClockThread holder), and
// then straight to the earliest deadline: a 10 s wait passes at once, a frame
// in flight or a handed-over command stops time first, since waiters' sockets
// and conditions are checked before time moves.
class FakeClock final : public GwClock
{
  public:
    FakeClock();
    ~FakeClock() override;

    int64_t now_us() override { return now_.load(); }
    void sleep_us(int64_t us) override;
    int poll(pollfd *fds, nfds_t n, int64_t timeout_us) override;
    bool wait(std::unique_lock<std::mutex> &lk, std::condition_variable &cv, int64_t us,
              const std::function<bool()> &ready) override;
    void thread_begins() override;
    void thread_ends() override;

    // The calling thread off the clock while it blocks elsewhere (joining a
    // thread that sleeps on this clock).
    class Away
    {
      public:
        explicit Away(FakeClock &c) : clock_(c) { c.thread_ends(); }
        ~Away() { clock_.thread_begins(); }
        Away(const Away &) = delete;
        Away &operator=(const Away &) = delete;

      private:
        FakeClock &clock_;
    };

  private:
    struct Waiter;
    int block(pollfd *fds, nfds_t n, int64_t deadline, const std::function<bool()> *ready);
    void advance_locked();

    std::mutex mu_;
    std::atomic<int64_t> now_;
    int running_ = 0; // threads on the clock not in a wait
    std::vector<Waiter *> waiters_;
};

// Waits until `pred` holds, `timeout` of the clock in use has passed (a
// FakeClock's time moves meanwhile), or as long in real time (code that spins
// stops a FakeClock's time).
bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout);

// Real time with every pause (sleeps, condition waits) divided by a factor;
// socket waits stay real. For tests where a real broker sets the pace.
class ScaledClock final : public GwClock
{
  public:
    explicit ScaledClock(int divisor) : real_(gw_clock()), divisor_(std::max(divisor, 1))
    {
        gw_set_clock(this);
    }
    ~ScaledClock() override { gw_set_clock(nullptr); }

    int64_t now_us() override { return real_.now_us(); }
    void sleep_us(int64_t us) override { real_.sleep_us(scaled(us)); }
    int poll(pollfd *fds, nfds_t n, int64_t timeout_us) override { return real_.poll(fds, n, timeout_us); }
    bool wait(std::unique_lock<std::mutex> &lk, std::condition_variable &cv, int64_t us,
              const std::function<bool()> &ready) override
    {
        return real_.wait(lk, cv, scaled(us), ready);
    }

  private:
    int64_t scaled(int64_t us) const { return us > 0 ? us / divisor_ : us; }
    GwClock &real_;
    int divisor_;
};
