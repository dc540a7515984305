#include "app/rig_summary.h"

#include <cstdio>

#include "worker/worker_ctx.h"

namespace quorlen::app {

GpuCounts counts_of(const WorkerCtx& ctx) {
    GpuCounts c;
    c.gpu = ctx.gpu;
    c.hashes = ctx.hashes.load();
    c.found = ctx.stats->found.load();
    c.sent = ctx.stats->sent.load();
    c.failed = ctx.stats->failed.load();
    c.hwErrors = ctx.hwErrors.load();
    c.stale = ctx.stats->stale.load();
    c.accepted = ctx.stats->verdicts.accepted.load();
    c.rejected = ctx.stats->verdicts.rejected.load();
    c.unrecognised = ctx.stats->verdicts.unrecognised.load();
    if (ctx.api && ctx.api->has_backup()) {
        c.backup = true;
        c.onBackup = ctx.api->on_backup() ? 1 : 0;
        c.switches = ctx.api->switches();
    }
    return c;
}

std::string summary_line(const std::string& who, const RateWindows& rates, const GpuCounts& c) {
    using std::chrono::seconds;
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "[stats] %s: 10s %.1f 60s %.1f 15m %.1f H/s; found %llu sent %llu failed %llu stale %llu hw-errors %llu; "
                  "node accepted %llu rejected %llu unrecognised %llu",
                  who.c_str(), rates.rate(seconds(10)), rates.rate(seconds(60)), rates.rate(seconds(15 * 60)),
                  (unsigned long long)c.found, (unsigned long long)c.sent, (unsigned long long)c.failed,
                  (unsigned long long)c.stale, (unsigned long long)c.hwErrors, (unsigned long long)c.accepted, (unsigned long long)c.rejected,
                  (unsigned long long)c.unrecognised);
    std::string line = buf;
    if (c.backup) {
        if (c.workers == 1)
            std::snprintf(buf, sizeof buf, "; active node %s, switches %llu", c.onBackup ? "backup" : "primary",
                          (unsigned long long)c.switches);
        else
            std::snprintf(buf, sizeof buf, "; active node backup on %llu of %llu GPU, switches %llu",
                          (unsigned long long)c.onBackup, (unsigned long long)c.workers,
                          (unsigned long long)c.switches);
        line += buf;
    }
    return line + "\n";
}

RigSummary::RigSummary(std::size_t gpus, int periodSeconds, RateWindows::Clock clock)
    : clock_(clock ? std::move(clock) : RateWindows::Clock([] { return std::chrono::steady_clock::now(); })),
      period_(std::chrono::seconds(periodSeconds)), next_(clock_() + period_), rig_(clock_),
      perGpu_(gpus, RateWindows(clock_)), latest_(gpus) {}

void RigSummary::sample(const std::vector<GpuCounts>& gpus) {
    GpuCounts all;
    for (std::size_t i = 0; i < gpus.size() && i < perGpu_.size(); ++i) {
        perGpu_[i].add(gpus[i].hashes);
        latest_[i] = gpus[i];
        all.hashes += gpus[i].hashes;
    }
    rig_.add(all.hashes);
}

bool RigSummary::due() {
    if (period_ <= std::chrono::steady_clock::duration::zero()) return false;
    const auto now = clock_();
    if (now < next_) return false;
    while (next_ <= now) next_ += period_;  // a late tick does not make two
    return true;
}

std::string RigSummary::text() const {
    GpuCounts all;
    for (const GpuCounts& c : latest_) {
        all.found += c.found;
        all.sent += c.sent;
        all.failed += c.failed;
        all.hwErrors += c.hwErrors;
        all.stale += c.stale;
        all.accepted += c.accepted;
        all.rejected += c.rejected;
        all.unrecognised += c.unrecognised;
        all.backup = all.backup || c.backup;
        all.onBackup += c.onBackup;
        all.switches += c.switches;
    }
    all.workers = latest_.size();
    std::string out = summary_line("rig (" + std::to_string(latest_.size()) + " GPU)", rig_, all);
    for (std::size_t i = 0; i < latest_.size(); ++i)
        out += summary_line("GPU#" + std::to_string(latest_[i].gpu), perGpu_[i], latest_[i]);
    return out;
}

}  // namespace quorlen::app
