#include "sim_engine.h"

#include <algorithm>

#include "can_text.h"

namespace obdsim
{

Tracer::Tracer(std::string iface, FILE *out) : iface_(std::move(iface)), out_(out), start_(Clock::now()) {}

std::string Tracer::stamp() const
{
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count();
    char b[32];
    std::snprintf(b, sizeof b, "(%4lld.%06lld)", static_cast<long long>(us / 1'000'000),
                  static_cast<long long>(us % 1'000'000));
    return b;
}

void Tracer::frame(const char *dir, const can_frame &f, const std::string &note)
{
    if (!frames_) {
        return;
    }
    std::string cols = frame_columns(f);
    if (cols.size() < 40) {
        cols.append(40 - cols.size(), ' ');
    }
    std::fprintf(out_, "%s  %s  %s  %s   %s%s%s\n", stamp().c_str(), iface_.c_str(), dir, cols.c_str(),
                 describe_frame(f).c_str(), note.empty() ? "" : "  ", note.empty() ? "" : note.c_str());
    std::fflush(out_);
}

void Tracer::event(const std::string &text)
{
    std::fprintf(out_, "%s  %s  --  %s\n", stamp().c_str(), iface_.c_str(), text.c_str());
    std::fflush(out_);
}

void Engine::add(Clock::time_point now, const vsim::TimedFrame &tf, const std::string &note)
{
    Scheduled s{now + tf.delay, next_order_++, tf.frame, note};
    auto pos = std::upper_bound(queue_.begin(), queue_.end(), s, [](const Scheduled &a, const Scheduled &b) {
        return a.due != b.due ? a.due < b.due : a.order < b.order;
    });
    queue_.insert(pos, std::move(s));
}

void Engine::on_bus_frame(const can_frame &f)
{
    auto now = Clock::now();
    for (const auto &tf : vehicle_.on_frame(f)) {
        add(now, tf, "");
    }
}

void Engine::schedule(const std::vector<vsim::TimedFrame> &frames, const std::string &note)
{
    auto now = Clock::now();
    for (const auto &tf : frames) {
        add(now, tf, note);
    }
}

void Engine::start_noise(const can_frame &f, std::chrono::microseconds period)
{
    noise_ = f;
    noise_period_ = std::max(period, std::chrono::microseconds(100));
    noise_next_ = Clock::now();
}

void Engine::stop_noise()
{
    noise_.reset();
}

int Engine::run_due()
{
    auto now = Clock::now();
    while (!queue_.empty() && queue_.front().due <= now) {
        Scheduled s = std::move(queue_.front());
        queue_.erase(queue_.begin());
        if (transport_) {
            transport_->transmit(s.frame, s.note);
        }
    }
    if (noise_ && noise_next_ <= now) {
        if (transport_) {
            transport_->transmit(*noise_, "[noise]");
        }
        noise_next_ += noise_period_;
        if (noise_next_ < now) {
            noise_next_ = now + noise_period_;
        }
    }
    Clock::time_point next = Clock::time_point::max();
    if (!queue_.empty()) {
        next = queue_.front().due;
    }
    if (noise_) {
        next = std::min(next, noise_next_);
    }
    if (next == Clock::time_point::max()) {
        return -1;
    }
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(next - Clock::now()).count();
    if (us <= 0) {
        return 0;
    }
    return static_cast<int>(std::min<long long>((us + 999) / 1000, 60'000));
}

} // namespace obdsim
