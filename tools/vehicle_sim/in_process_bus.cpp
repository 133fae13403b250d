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
#include <cstdint>
#include <cstring>
#include <deque>
#include <system_error>

#include "common/gw_time.h"
#include "vehicle_sim.h"

namespace vsim
{

namespace
{

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
    int64_t due_us;
    uint64_t order; // keeps frames due at the same moment in sending order
    can_frame frame;
    bool operator>(const Scheduled &o) const
    {
        return due_us != o.due_us ? due_us > o.due_us : order > o.order;
    }
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
    InProcessBus::WriteHook on_write;
    std::vector<Scheduled> queue; // min-heap on (due, order)
    uint64_t next_order = 0;
    bool noise_on = false;
    std::vector<can_frame> noise_frames;
    size_t noise_next = 0;
    bool noise_repeat = true;
    int64_t noise_period_us = 0;
    int64_t noise_next_us = 0;

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

    void schedule_locked(int64_t now_us, const std::vector<TimedFrame> &frames)
    {
        for (const auto &tf : frames) {
            queue.push_back(Scheduled{now_us + tf.delay.count(), next_order++, tf.frame});
            std::push_heap(queue.begin(), queue.end(), std::greater<>());
        }
    }

    // One frame written by the gateway on channel `ch`.
    void from_gateway(int ch, const can_frame &f)
    {
        InProcessBus::WriteHook hook;
        {
            std::lock_guard lock(mu);
            received[static_cast<size_t>(ch)].push_back(f);
            for (const auto &[frame, bypass] : on_request[static_cast<size_t>(ch)]) {
                deliver_locked(ch, frame, bypass);
            }
            on_request[static_cast<size_t>(ch)].clear();
            // Local loopback: the other socket on the same interface sees it too.
            deliver_locked(1 - ch, f, false);
            hook = on_write;
        }
        if (hook) {
            hook(ch, f);
        }
        auto out = vehicle.on_frame(f);
        if (!out.empty()) {
            std::lock_guard lock(mu);
            schedule_locked(gw_monotonic_us(), out);
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
            int64_t timeout_us = -1; // none: wait for a frame or a poke
            {
                std::lock_guard lock(mu);
                int64_t next = INT64_MAX;
                if (!queue.empty()) {
                    next = queue.front().due_us;
                }
                if (noise_on) {
                    next = std::min(next, noise_next_us);
                }
                if (next != INT64_MAX) {
                    timeout_us = std::max<int64_t>(next - gw_monotonic_us(), 0);
                }
            }
            int rc = gw_poll(fds.data(), fds.size(), timeout_us);
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
            const int64_t now = gw_monotonic_us();
            while (!queue.empty() && queue.front().due_us <= now) {
                std::pop_heap(queue.begin(), queue.end(), std::greater<>());
                to_bus_locked(queue.back().frame);
                queue.pop_back();
            }
            if (noise_on && noise_next_us <= now) {
                to_bus_locked(noise_frames[noise_next++ % noise_frames.size()]);
                noise_on = noise_repeat || noise_next < noise_frames.size();
                noise_next_us += noise_period_us;
                if (noise_next_us < now) {
                    noise_next_us = now + noise_period_us;
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
    impl_->thread = gw_clock_thread([this] { impl_->run(); });
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

void InProcessBus::set_on_write(WriteHook hook)
{
    std::lock_guard lock(impl_->mu);
    impl_->on_write = std::move(hook);
}

void InProcessBus::start_noise(std::vector<can_frame> frames, std::chrono::microseconds period, bool repeat)
{
    {
        std::lock_guard lock(impl_->mu);
        impl_->noise_on = !frames.empty();
        impl_->noise_frames = std::move(frames);
        impl_->noise_next = 0;
        impl_->noise_repeat = repeat;
        impl_->noise_period_us = std::max<int64_t>(period.count(), 1);
        impl_->noise_next_us = gw_monotonic_us();
    }
    impl_->poke();
}

void InProcessBus::stop_noise()
{
    std::lock_guard lock(impl_->mu);
    impl_->noise_on = false;
}

} // namespace vsim
