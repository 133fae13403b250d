#include "common/gw_time.h"

#include <atomic>
#include <cerrno>
#include <ctime>

namespace
{

timespec to_timespec(int64_t us)
{
    return timespec{static_cast<time_t>(us / 1000000), static_cast<long>((us % 1000000) * 1000)};
}

class RealClock final : public GwClock
{
  public:
    int64_t now_us() override
    {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
    }

    void sleep_us(int64_t us) override
    {
        if (us <= 0) {
            return;
        }
        timespec ts = to_timespec(us);
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
    }

    int poll(pollfd *fds, nfds_t n, int64_t timeout_us) override
    {
        timespec ts = to_timespec(timeout_us < 0 ? 0 : timeout_us);
        return ::ppoll(fds, n, timeout_us < 0 ? nullptr : &ts, nullptr);
    }

    bool wait(std::unique_lock<std::mutex> &lk, std::condition_variable &cv, int64_t us,
              const std::function<bool()> &ready) override
    {
        return cv.wait_for(lk, std::chrono::microseconds(us > 0 ? us : 0), ready);
    }
};

RealClock g_real_clock;
std::atomic<GwClock *> g_clock{&g_real_clock};

} // namespace

void gw_set_clock(GwClock *clock)
{
    g_clock.store(clock != nullptr ? clock : &g_real_clock);
}

GwClock &gw_clock()
{
    return *g_clock.load();
}

int64_t gw_monotonic_us()
{
    return gw_clock().now_us();
}

void gw_sleep_us(int64_t us)
{
    gw_clock().sleep_us(us);
}

int gw_poll(pollfd *fds, nfds_t n, int64_t timeout_us)
{
    return gw_clock().poll(fds, n, timeout_us);
}

bool gw_wait(std::unique_lock<std::mutex> &lk, std::condition_variable &cv, int64_t us,
             const std::function<bool()> &ready)
{
    return gw_clock().wait(lk, cv, us, ready);
}

GwClockThread::GwClockThread() : clock_(&gw_clock())
{
    clock_->thread_begins();
}

GwClockThread::~GwClockThread()
{
    clock_->thread_ends();
}

std::thread gw_clock_thread(std::function<void()> fn)
{
    std::atomic<bool> begun{false};
    std::thread t([&begun, fn = std::move(fn)] {
        GwClockThread on_the_clock;
        begun.store(true);
        fn();
    });
    while (!begun.load()) {
        std::this_thread::yield();
    }
    return t;
}
