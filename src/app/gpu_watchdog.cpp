#include "app/gpu_watchdog.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "worker/worker_ctx.h"

namespace quorlen::app {

StallLimits StallLimits::from_environment() {
    StallLimits limits;
    if (const char* ms = std::getenv("QUORLEN_WATCHDOG_TEST_MS"))
        if (const unsigned long long v = std::strtoull(ms, nullptr, 10); v > 0) {
            limits.floorMs = v;
            limits.firstBatchRoomMs = 4 * v;
            limits.measurementTimes = 1;
        }
    return limits;
}

std::uint64_t GpuWatchdog::limit_ms(double batchSeconds, bool firstBatch) const {
    const double scaled = std::isfinite(batchSeconds) && batchSeconds > 0 ? batchSeconds * limits_.batchTimes * 1000 : 0;
    // A rate measured near 0 gives a batch time no wait should be allowed.
    const std::uint64_t fromBatch = scaled >= 1e12 ? std::uint64_t(1e12) : std::uint64_t(scaled);
    return std::max(fromBatch, limits_.floorMs) + (firstBatch ? limits_.firstBatchRoomMs : 0);
}

std::uint64_t StallLimits::measurement_ms(int seconds) const {
    const double scaled = measurementTimes * std::max(seconds, 0) * 1000.0;
    return std::max(scaled >= 1e12 ? std::uint64_t(1e12) : std::uint64_t(scaled), floorMs) + firstBatchRoomMs;
}

std::optional<std::uint64_t> GpuWatchdog::check(const WorkerCtx& ctx, double batchSeconds, std::uint64_t nowMs,
                                                std::uint64_t freshFromMs) const {
    if (ctx.stalled.load() || ctx.deviceLost.load() || ctx.finished.load()) return std::nullopt;
    const std::uint64_t waitSince = ctx.deviceWaitSinceMs.load();
    if (waitSince == 0) return std::nullopt;
    const std::uint64_t since = std::max(waitSince, freshFromMs);
    if (nowMs < since) return std::nullopt;
    if (nowMs - since <= limit_ms(batchSeconds, ctx.batchesDone.load() == 0)) return std::nullopt;
    const std::uint64_t last = ctx.lastBatchMs.load();
    return nowMs - std::min(last ? last : waitSince, nowMs);
}

}  // namespace quorlen::app
