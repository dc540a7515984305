// Hash rates averaged over time windows (10 s, 60 s, 15 min): hashes done in
// the window divided by the window's length, from a running total sampled
// now and then. Sampling at uneven times does not skew the average.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>

namespace quorlen::app {

class RateWindows {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    static constexpr std::chrono::seconds kLongest{15 * 60};

    explicit RateWindows(Clock clock = {});

    // The running total (never decreasing) as of now.
    void add(std::uint64_t total);
    // Hashes per second over the last `window` up to the latest sample. When
    // fewer samples go back that far, over the time they cover; 0 before two
    // samples span any time.
    double rate(std::chrono::seconds window) const;

private:
    struct Sample {
        std::chrono::steady_clock::time_point at;
        std::uint64_t total;
    };
    Clock clock_;
    std::deque<Sample> samples_;  // oldest first, reaching just beyond kLongest
};

}  // namespace quorlen::app
