#include "support/test_clock.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>

namespace
{

// Each waiting thread's own doorbell, rung when time reaches its deadline.
struct WakeFd {
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ~WakeFd() { close(fd); }
};
thread_local WakeFd t_wake;
thread_local FakeClock *t_member = nullptr;

} // namespace

struct FakeClock::Waiter {
    int64_t deadline;
    std::vector<pollfd> fds;
    const std::function<bool()> *ready;
    int wake_fd;

    bool can_go(int64_t now) const
    {
        std::vector<pollfd> polled = fds; // poll() writes into its argument
        return deadline <= now || (!polled.empty() && ::poll(polled.data(), polled.size(), 0) > 0) ||
               (ready != nullptr && (*ready)());
    }
};

FakeClock::FakeClock() : now_(1'000'000'000), running_(1)
{
    t_member = this;
    gw_set_clock(this);
}

FakeClock::~FakeClock()
{
    gw_set_clock(nullptr);
    t_member = nullptr;
}

void FakeClock::advance_locked()
{
    if (running_ > 0 || waiters_.empty()) {
        return;
    }
    int64_t next = INT64_MAX;
    for (const Waiter *w : waiters_) {
        if (w->can_go(now_.load())) {
            return;
        }
        next = std::min(next, w->deadline);
    }
    if (next == INT64_MAX) {
        return;
    }
    now_.store(next);
    for (const Waiter *w : waiters_) {
        if (w->deadline <= next) {
            eventfd_write(w->wake_fd, 1);
        }
    }
}

int FakeClock::block(pollfd *fds, nfds_t n, int64_t deadline, const std::function<bool()> *ready)
{
    const bool member = t_member == this;
    Waiter w{deadline, std::vector<pollfd>(fds, fds + n), ready, t_wake.fd};
    std::vector<pollfd> sleeping = w.fds;
    sleeping.push_back(pollfd{w.wake_fd, POLLIN, 0});
    std::unique_lock lk(mu_);
    waiters_.push_back(&w);
    if (member) {
        --running_;
    }
    while (!w.can_go(now_.load())) {
        advance_locked();
        if (w.deadline <= now_.load()) {
            break;
        }
        lk.unlock();
        // Sockets wake the wait themselves; conditions are looked at again every millisecond.
        ::poll(sleeping.data(), sleeping.size(), ready != nullptr ? 1 : 50);
        eventfd_t v;
        eventfd_read(w.wake_fd, &v);
        lk.lock();
    }
    waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &w));
    if (member) {
        ++running_;
    }
    lk.unlock();
    return n > 0 ? ::poll(fds, n, 0) : 0;
}

void FakeClock::sleep_us(int64_t us)
{
    if (us > 0) {
        block(nullptr, 0, now_.load() + us, nullptr);
    }
}

int FakeClock::poll(pollfd *fds, nfds_t n, int64_t timeout_us)
{
    if (timeout_us == 0) {
        return ::poll(fds, n, 0);
    }
    return block(fds, n, timeout_us < 0 ? INT64_MAX : now_.load() + timeout_us, nullptr);
}

bool FakeClock::wait(std::unique_lock<std::mutex> &lk, std::condition_variable &, int64_t us,
                     const std::function<bool()> &ready)
{
    if (ready() || us <= 0) {
        return ready();
    }
    const std::function<bool()> probe = [&] {
        std::lock_guard g(*lk.mutex());
        return ready();
    };
    lk.unlock();
    block(nullptr, 0, now_.load() + us, &probe);
    lk.lock();
    return ready();
}

void FakeClock::thread_begins()
{
    std::lock_guard lk(mu_);
    ++running_;
    t_member = this;
}

void FakeClock::thread_ends()
{
    std::lock_guard lk(mu_);
    --running_;
    t_member = nullptr;
    advance_locked();
}

bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout)
{
    std::mutex m;
    std::condition_variable nobody;
    std::unique_lock lk(m);
    const int64_t end = gw_monotonic_us() + std::chrono::microseconds(timeout).count();
    const auto real_end = std::chrono::steady_clock::now() + timeout;
    const auto out_of_real_time = [&] { return std::chrono::steady_clock::now() >= real_end; };
    // Nobody notifies: the condition is looked at every 5 ms of clock time.
    for (int64_t left = end - gw_monotonic_us(); left > 0 && !out_of_real_time();
         left = end - gw_monotonic_us()) {
        gw_wait(lk, nobody, std::min<int64_t>(left, 5000), [&] { return pred() || out_of_real_time(); });
        if (pred()) {
            return true;
        }
    }
    return pred();
}
