#include "node/stop_grace.h"

#include <chrono>
#include <limits>

StopGrace::StopGrace(const std::atomic<bool>* stop, long long graceMs) : stop_(stop), graceMs_(graceMs) {}

long long StopGrace::now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

long long StopGrace::end_ms() const {
    if (!requested()) return std::numeric_limits<long long>::max();
    long long unseen = 0;
    firstSeen_->compare_exchange_strong(unseen, now_ms());
    return firstSeen_->load() + graceMs_;
}

bool StopGrace::seen() const { return requested() && end_ms() != 0; }

bool StopGrace::over() const { return requested() && now_ms() >= end_ms(); }

long long StopGrace::limit(long long deadlineMs) const { return deadlineMs < end_ms() ? deadlineMs : end_ms(); }
