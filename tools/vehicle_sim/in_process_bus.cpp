// The vehicle served in-process: one simulated CAN bus seen through two
// SOCK_SEQPACKET socketpairs that stand in for the gateway's raw CAN sockets.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <functional>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <system_error>

#include "vehicle_sim.h"

namespace vsim
{

namespace
{

using Clock = std::chrono::steady_clock;

constexpr int kChannels = 2;
// A socketpair queues only a handful of records (net.unix.max_dgram_qlen), far
// fewer than a CAN socket's receive buffer; frames wait here until the gateway
// side has room. Beyond this backlog they are dropped, as a full socket would.
constexpr size_t kMaxBacklog = 1024;
constexpr size_t kMaxRecord = 72;

struct Record {
    std::array<uint8_t, kMaxRecord> bytes{};
    size_t len = 0;
};

struct Scheduled {
    Clock::time_point due;
    uint64_t order; // keeps frames due at the same moment in sending order
    can_frame frame;
    bool operator>(const Scheduled &o) const { return due != o.due ? due > o.due : order > o.order; }
};

} // namespace

struct InProcessBus::Impl {
    Vehicle vehicle;
    std::array<int, kChannels> gw{-1, -1};  // gateway side
    std::array<int, kChannels> sim{-1, -1}; // simulator side
    int wake = -1;

    mutable std::mutex mu; // guards everything below
    std::array<CanFilter, kChannels> filters{gateway_filter(0), gateway_filter(1)};
    std::array<std::vector<can_frame>, kChannels> received;
    std::array<std::deque<Record>, kChannels> backlog;
    std::array<std::vector<std::pair<can_frame, bool>>, kChannels> on_request;
    std::vector<Scheduled> queue; // min-heap on (due, order)
    uint64_t next_order = 0;
    bool noise_on = false;
    can_frame noise_frame{};
    Clock::duration noise_period{};
    Clock::time_point noise_next{};

    std::atomic<bool> stop{false};
    std::thread thread;

    explicit Impl(VehicleModel v) : vehicle(std::move(v)) {}

    void poke() const
    {
        uint64_t one = 1;
        ssize_t n = ::write(wake, &one, sizeof one);
        (void)n;
    }

    // Writes queued records while the gateway side has room.
    void flush_locked(int ch)
    {
        auto &q = backlog[static_cast<size_t>(ch)];
        while (!q.empty()) {
            ssize_t n = ::send(sim[static_cast<size_t>(ch)], q.front().bytes.data(), q.front().len,
                               MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                return;
            }
            q.pop_front(); // sent, or the peer is gone
        }
    }

    void enqueue_locked(int ch, const void *data, size_t len)
    {
        auto &q = backlog[static_cast<size_t>(ch)];
        if (q.size() >= kMaxBacklog) {
            return;
        }
        Record r;
        r.len = std::min(len, kMaxRecord);
        std::memcpy(r.bytes.data(), data, r.len);
        q.push_back(r);
        flush_locked(ch);
    }

    // Delivery to the gateway side of one channel, through its receive filter.
    void deliver_locked(int ch, const can_frame &f, bool bypass)
    {
        if (!bypass && !filter_passes(filters[static_cast<size_t>(ch)], f)) {
            return;
        }
        enqueue_locked(ch, &f, sizeof f);
    }

    // A frame on the bus reaches every channel whose filter lets it through.
    void to_bus_locked(const can_frame &f)
    {
        for (int ch = 0; ch < kChannels; ++ch) {
            deliver_locked(ch, f, false);
        }
    }

    void schedule_locked(Clock::time_point now, const std::vector<TimedFrame> &frames)
    {
        for (const auto &tf : frames) {
            queue.push_back(Scheduled{now + tf.delay, next_order++, tf.frame});
            std::push_heap(queue.begin(), queue.end(), std::greater<>());
        }
    }

    // One frame written by the gateway on channel `ch`.
    void from_gateway(int ch, const can_frame &f)
    {
        {
            std::lock_guard lock(mu);
            received[static_cast<size_t>(ch)].push_back(f);
            for (const auto &[frame, bypass] : on_request[static_cast<size_t>(ch)]) {
                deliver_locked(ch, frame, bypass);
            }
            on_request[static_cast<size_t>(ch)].clear();
            // Local loopback: the other socket on the same interface sees it too.
            deliver_locked(1 - ch, f, false);
        }
        auto out = vehicle.on_frame(f);
        if (!out.empty()) {
            std::lock_guard lock(mu);
            schedule_locked(Clock::now(), out);
        }
    }

    void run()
    {
        std::array<pollfd, kChannels + 1> fds{};
        for (int ch = 0; ch < kChannels; ++ch) {
            fds[static_cast<size_t>(ch)] = pollfd{sim[static_cast<size_t>(ch)], POLLIN, 0};
        }
        fds[kChannels] = pollfd{wake, POLLIN, 0};
        while (!stop.load()) {
            for (int ch = 0; ch < kChannels; ++ch) {
                std::lock_guard lock(mu);
                fds[static_cast<size_t>(ch)].events =
                    static_cast<short>(POLLIN | (backlog[static_cast<size_t>(ch)].empty() ? 0 : POLLOUT));
            }
            timespec ts{};
            timespec *timeout = nullptr; // none: wait for a frame or a poke
            {
                std::lock_guard lock(mu);
                auto now = Clock::now();
                Clock::time_point next = Clock::time_point::max();
                if (!queue.empty()) {
                    next = queue.front().due;
                }
                if (noise_on) {
                    next = std::min(next, noise_next);
                }
                if (next != Clock::time_point::max()) {
                    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(next - now).count();
                    ns = std::max<int64_t>(ns, 0);
                    ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
                    ts.tv_nsec = static_cast<long>(ns % 1'000'000'000);
                    timeout = &ts;
                }
            }
            int rc = ::ppoll(fds.data(), fds.size(), timeout, nullptr);
            if (rc < 0 && errno != EINTR) {
                break;
            }
            if (fds[kChannels].revents & POLLIN) {
                uint64_t v;
                ssize_t n = ::read(wake, &v, sizeof v);
                (void)n;
            }
            for (int ch = 0; ch < kChannels; ++ch) {
                if (!(fds[static_cast<size_t>(ch)].revents & POLLIN)) {
                    continue;
                }
                for (;;) {
                    can_frame f{};
                    ssize_t n = ::recv(sim[static_cast<size_t>(ch)], &f, sizeof f, MSG_DONTWAIT);
                    if (n < 0) {
                        break;
                    }
                    if (n == static_cast<ssize_t>(sizeof f)) {
                        from_gateway(ch, f);
                    }
                }
            }
            std::lock_guard lock(mu);
            for (int ch = 0; ch < kChannels; ++ch) {
                flush_locked(ch);
            }
            auto now = Clock::now();
            while (!queue.empty() && queue.front().due <= now) {
                std::pop_heap(queue.begin(), queue.end(), std::greater<>());
                to_bus_locked(queue.back().frame);
                queue.pop_back();
            }
            if (noise_on && noise_next <= now) {
                to_bus_locked(noise_frame);
                noise_next += noise_period;
                if (noise_next < now) {
                    noise_next = now + noise_period;
                }
            }
        }
    }
};

InProcessBus::InProcessBus(VehicleModel vehicle) : impl_(std::make_unique<Impl>(std::move(vehicle)))
{
    for (int ch = 0; ch < kChannels; ++ch) {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) {
            throw std::system_error(errno, std::generic_category(), "socketpair");
        }
        impl_->gw[static_cast<size_t>(ch)] = sv[0];
        impl_->sim[static_cast<size_t>(ch)] = sv[1];
    }
    impl_->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl_->wake < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    impl_->thread = std::thread([this] { impl_->run(); });
}

InProcessBus::~InProcessBus()
{
    impl_->stop.store(true);
    impl_->poke();
    impl_->thread.join();
    for (int ch = 0; ch < kChannels; ++ch) {
        ::close(impl_->gw[static_cast<size_t>(ch)]);
        ::close(impl_->sim[static_cast<size_t>(ch)]);
    }
    ::close(impl_->wake);
}

int InProcessBus::gateway_fd(int channel) const
{
    return (channel == 0 || channel == 1) ? impl_->gw[static_cast<size_t>(channel)] : -1;
}

Vehicle &InProcessBus::vehicle()
{
    return impl_->vehicle;
}

std::vector<can_frame> InProcessBus::received(int channel) const
{
    std::lock_guard lock(impl_->mu);
    if (channel != 0 && channel != 1) {
        return {};
    }
    return impl_->received[static_cast<size_t>(channel)];
}

void InProcessBus::clear_received()
{
    std::lock_guard lock(impl_->mu);
    for (auto &r : impl_->received) {
        r.clear();
    }
}

void InProcessBus::inject(int channel, const can_frame &frame, bool bypass_filter)
{
    if (channel != 0 && channel != 1) {
        return;
    }
    {
        std::lock_guard lock(impl_->mu);
        impl_->deliver_locked(channel, frame, bypass_filter);
    }
    impl_->poke(); // the serving thread may have to wait for room
}

void InProcessBus::inject_on_request(int channel, const can_frame &frame, bool bypass_filter)
{
    if (channel != 0 && channel != 1) {
        return;
    }
    std::lock_guard lock(impl_->mu);
    impl_->on_request[static_cast<size_t>(channel)].emplace_back(frame, bypass_filter);
}

void InProcessBus::inject_raw(int channel, const void *data, size_t len)
{
    if (channel != 0 && channel != 1) {
        return;
    }
    {
        std::lock_guard lock(impl_->mu);
        impl_->enqueue_locked(channel, data, len);
    }
    impl_->poke();
}

void InProcessBus::set_filter(int channel, CanFilter f)
{
    if (channel != 0 && channel != 1) {
        return;
    }
    std::lock_guard lock(impl_->mu);
    impl_->filters[static_cast<size_t>(channel)] = f;
}

void InProcessBus::start_noise(const can_frame &frame, std::chrono::microseconds period)
{
    {
        std::lock_guard lock(impl_->mu);
        impl_->noise_on = true;
        impl_->noise_frame = frame;
        impl_->noise_period = std::max<Clock::duration>(period, std::chrono::microseconds(1));
        impl_->noise_next = Clock::now();
    }
    impl_->poke();
}

void InProcessBus::stop_noise()
{
    std::lock_guard lock(impl_->mu);
    impl_->noise_on = false;
}

} // namespace vsim
