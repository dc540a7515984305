// When a worker leaves its primary node for the backup, and when it returns:
// pure bookkeeping over the outcomes the node client reports, with the clock
// passed in, so the rules can be checked without waiting.
#pragma once

#include <cstdint>

namespace quorlen::node {

struct FailoverTimes {
    static constexpr long long kDefaultMs = 30000;
    long long probeEveryMs = kDefaultMs;  // how often the primary is asked while the backup serves
    long long answerForMs = kDefaultMs;   // how long it must keep answering before the miner returns

    // The defaults, or both periods from QUORLEN_FAILOVER_TEST_MS when it is
    // set to a positive number of milliseconds: a knob for tests, which
    // cannot wait minutes for a node to be judged.
    static FailoverTimes from_environment();
};

class Failover {
public:
    // Refreshes that fail in a row before the primary is left.
    static constexpr int kFailedRefreshes = 3;

    explicit Failover(FailoverTimes times = {}) : times_(times) {}

    bool on_backup() const { return onBackup_; }
    std::uint64_t switches() const { return switches_; }

    // A refresh against the node that serves: true at every third failure in
    // a row, when the other node should take over if it answers.
    [[nodiscard]] bool refresh(bool answered);
    // Whether the primary is due to be asked again (only while on the backup).
    [[nodiscard]] bool probe_due(long long nowMs) const;
    // The primary's answer to a probe: true once it has answered, probe after
    // probe, for the required time, and the miner should return to it.
    [[nodiscard]] bool probe(bool answered, long long nowMs);
    // A block could not go out on the node that serves, and the other node
    // was asked whether it would take it: true when the other should serve
    // from now on. That is when it answered and this node failed to take the
    // block, rather than declined it (found on another tip, or above its
    // target), which says nothing of its health.
    [[nodiscard]] static bool send_failed(bool declinedHere, bool otherAnswered);

    void to_backup(long long nowMs);
    void to_primary();

private:
    FailoverTimes times_;
    bool onBackup_ = false;
    std::uint64_t switches_ = 0;
    int failedInRow_ = 0;
    long long lastProbeMs_ = 0;
    long long answeringSinceMs_ = -1;  // -1: the last probe found it silent
};

}  // namespace quorlen::node
