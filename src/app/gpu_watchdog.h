// Catches a device whose driver stopped answering: a worker stuck in a wait
// on the device far longer than its batches take, or a start whose
// self-test or tuning measurement far overruns. Runs on the supervision
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
    // A tuning measurement may take this many times its warm-up and counted
    // seconds, never less than the floor, with room for a cold build.
    double measurementTimes = 10;

    // The defaults, or for tests QUORLEN_WATCHDOG_TEST_MS: that floor, four
    // times it as the room for a build, and a measurement its own length.
    static StallLimits from_environment();

    // A self-test: a few hashes, with the program and unit built cold.
    std::uint64_t self_test_ms() const { return floorMs + firstBatchRoomMs; }
    // One tuning measurement of `seconds` (warm-up and counted time).
    std::uint64_t measurement_ms(int seconds) const;
};

class GpuWatchdog {
public:
    explicit GpuWatchdog(StallLimits limits = {}) : limits_(limits) {}

    // How long a worker whose batches take `batchSeconds` may wait on its
    // device before it counts as stalled.
    std::uint64_t limit_ms(double batchSeconds, bool firstBatch) const;

    // When the worker is stalled at `nowMs` (steady clock): milliseconds since
    // its last batch finished. None while it is well, or already judged. A
    // wait counts from no earlier than `freshFromMs` (the process resumed
    // from a pause then).
    std::optional<std::uint64_t> check(const WorkerCtx& ctx, double batchSeconds, std::uint64_t nowMs,
                                       std::uint64_t freshFromMs = 0) const;

private:
    StallLimits limits_;
};

}  // namespace quorlen::app
