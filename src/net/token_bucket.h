// A rate limit: on average `rate` events a second, at most `burst` at once.
#pragma once

#include <algorithm>
#include <chrono>

namespace quorlen::net {

class TokenBucket {
public:
    using Clock = std::chrono::steady_clock;
    TokenBucket(double rate, double burst) : rate_(rate), burst_(std::max(burst, 1.0)), tokens_(burst_) {}
    // True (and one token spent) when an event may happen now.
    [[nodiscard]] bool take(Clock::time_point now = Clock::now()) {
        tokens_ = std::min(burst_, tokens_ + std::chrono::duration<double>(now - last_).count() * rate_);
        last_ = now;
        if (tokens_ < 1) return false;
        tokens_ -= 1;
        return true;
    }

private:
    double rate_, burst_, tokens_;
    Clock::time_point last_ = Clock::now();
};

}  // namespace quorlen::net
