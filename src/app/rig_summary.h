// The summary the operator reads every minute and at the stop: averaged
// rates and block counts for the whole rig and for each GPU.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "app/rate_windows.h"

struct WorkerCtx;

namespace quorlen::app {

// One worker's counters as read at one moment.
struct GpuCounts {
    int gpu = 0;
    std::uint64_t hashes = 0;
    std::uint64_t found = 0;
    std::uint64_t sent = 0;
    std::uint64_t failed = 0;
    std::uint64_t hwErrors = 0;
    std::uint64_t stale = 0;
    std::uint64_t accepted = 0;
    std::uint64_t rejected = 0;
    std::uint64_t unrecognised = 0;
    // With a backup node: on how many workers it serves (0 or 1 for one
    // GPU), and how often the serving node changed.
    bool backup = false;
    std::uint64_t workers = 1;
    std::uint64_t onBackup = 0;
    std::uint64_t switches = 0;
};

GpuCounts counts_of(const WorkerCtx& ctx);

// "[stats] <who>: 10s … 60s … 15m … H/s; found … sent … failed … stale … hw-errors …;
// node accepted … rejected … unrecognised …", and with a backup node
// "; active node primary|backup, switches …" (for several workers "; active
// node backup on N of M GPU, switches …"), then "\n"
std::string summary_line(const std::string& who, const RateWindows& rates, const GpuCounts& c);

class RigSummary {
public:
    // A summary is due every `periodSeconds` (never when 0 or less).
    RigSummary(std::size_t gpus, int periodSeconds, RateWindows::Clock clock = {});

    // Once a supervision tick, with the counters of every worker in order.
    void sample(const std::vector<GpuCounts>& gpus);
    // True once a period, counted from construction.
    bool due();
    // The rig's line, then one line per GPU, as of the latest sample.
    std::string text() const;
    // The rates behind the lines, for the monitoring API.
    const RateWindows& rig_rates() const { return rig_; }
    std::size_t gpus() const { return perGpu_.size(); }
    const RateWindows& gpu_rates(std::size_t i) const { return perGpu_[i]; }

private:
    RateWindows::Clock clock_;
    std::chrono::steady_clock::duration period_;
    std::chrono::steady_clock::time_point next_;
    RateWindows rig_;
    std::vector<RateWindows> perGpu_;
    std::vector<GpuCounts> latest_;
};

}  // namespace quorlen::app
