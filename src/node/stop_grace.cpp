#include "node/stop_grace.h"
#include "node/steady_ms.h"

#include <chrono>
#include <limits>

namespace quorlen::node {

StopGrace::StopGrace(const std::atomic<bool>* stop, long long graceMs) : stop_(stop), graceMs_(graceMs) {}

long long StopGrace::endMs() const {
    if (!requested()) return std::numeric_limits<long long>::max();
    long long unseen = 0;
    firstSeen_->compare_exchange_strong(unseen, steady_ms());
    return firstSeen_->load() + graceMs_;
}

bool StopGrace::seen() const { return requested() && endMs() != 0; }

bool StopGrace::over() const { return requested() && steady_ms() >= endMs(); }

long long StopGrace::limit(long long deadlineMs) const { return deadlineMs < endMs() ? deadlineMs : endMs(); }

}  // namespace quorlen::node
