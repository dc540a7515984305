#include "app/rate_windows.h"

namespace quorlen::app {

RateWindows::RateWindows(Clock clock)
    : clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })) {}

void RateWindows::add(std::uint64_t total) {
    const auto now = clock_();
    samples_.push_back({now, total});
    // Keep one sample at or before the start of the longest window.
    while (samples_.size() > 2 && samples_[1].at <= now - kLongest) samples_.pop_front();
}

double RateWindows::rate(std::chrono::seconds window) const {
    if (samples_.size() < 2) return 0.0;
    const Sample& last = samples_.back();
    const auto start = last.at - window;
    // The total at `start`, read off the line between the samples around it;
    // before the first sample, the window shrinks to what was seen.
    auto t0 = samples_.front().at;
    double n0 = double(samples_.front().total);
    if (start > t0) {
        size_t i = samples_.size() - 1;
        while (samples_[i - 1].at > start) --i;
        const Sample& a = samples_[i - 1];
        const Sample& b = samples_[i];
        const double span = std::chrono::duration<double>(b.at - a.at).count();
        const double part = std::chrono::duration<double>(start - a.at).count();
        n0 = double(a.total) + (span > 0 ? double(b.total - a.total) * part / span : 0.0);
        t0 = start;
    }
    const double seconds = std::chrono::duration<double>(last.at - t0).count();
    return seconds > 0 ? (double(last.total) - n0) / seconds : 0.0;
}

}  // namespace quorlen::app
