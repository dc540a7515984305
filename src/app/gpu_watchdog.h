// Catches a device whose driver stopped answering: a worker stuck in a wait
// on the device far longer than its batches take. Runs on the supervision
// thread and only reads what the workers publish; it never waits on one.
#pragma once

#include <cstdint>
#include <optional>

struct WorkerCtx;

namespace quorlen::app {

struct StallLimits {
    // A batch may take 10 times its tuned time, and never less than this...
    std::uint64_t floorMs = 30000;
    double batchTimes = 10;
    // ...and the first batch of a worker builds its program and unit as well.
    std::uint64_t firstBatchRoomMs = 120000;

    // The defaults, or for tests QUORLEN_WATCHDOG_TEST_MS: that floor, and
    // four times it as the first batch's room.
    static StallLimits from_environment();
};

class GpuWatchdog {
public:
    explicit GpuWatchdog(StallLimits limits = {}) : limits_(limits) {}

    // How long a worker whose batches take `batchSeconds` may wait on its
    // device before it counts as stalled.
    std::uint64_t limit_ms(double batchSeconds, bool firstBatch) const;

    // When the worker is stalled at `nowMs` (steady clock): milliseconds since
    // its last batch finished. None while it is well, or already judged.
    std::optional<std::uint64_t> check(const WorkerCtx& ctx, double batchSeconds, std::uint64_t nowMs) const;

private:
    StallLimits limits_;
};

}  // namespace quorlen::app
