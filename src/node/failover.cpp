#include "node/failover.h"

#include <cstdlib>

namespace quorlen::node {

FailoverTimes FailoverTimes::from_environment() {
    FailoverTimes t;
    if (const char* v = std::getenv("QUORLEN_FAILOVER_TEST_MS")) {
        char* end = nullptr;
        const long long ms = std::strtoll(v, &end, 10);
        if (end != v && *end == '\0' && ms > 0) t.probeEveryMs = t.answerForMs = ms;
    }
    return t;
}

bool Failover::refresh(bool answered) {
    failedInRow_ = answered ? 0 : failedInRow_ + 1;
    if (failedInRow_ < kFailedRefreshes) return false;
    failedInRow_ = 0;  // when the other node is silent too, it is asked again three refreshes later
    return true;
}

bool Failover::probe_due(long long nowMs) const { return onBackup_ && nowMs - lastProbeMs_ >= times_.probeEveryMs; }

bool Failover::probe(bool answered, long long nowMs) {
    lastProbeMs_ = nowMs;
    if (!answered) {
        answeringSinceMs_ = -1;
        return false;
    }
    if (answeringSinceMs_ < 0) answeringSinceMs_ = nowMs;
    return nowMs - answeringSinceMs_ >= times_.answerForMs;
}

bool Failover::send_failed(bool declinedHere, bool otherAnswered) { return otherAnswered && !declinedHere; }

void Failover::to_backup(long long nowMs) {
    if (onBackup_) return;
    onBackup_ = true;
    ++switches_;
    lastProbeMs_ = nowMs;  // the primary was just found failing: its first probe comes a period later
    answeringSinceMs_ = -1;
    failedInRow_ = 0;
}

void Failover::to_primary() {
    if (!onBackup_) return;
    onBackup_ = false;
    ++switches_;
    failedInRow_ = 0;
}

}  // namespace quorlen::node
