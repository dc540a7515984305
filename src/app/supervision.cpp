#include "app/supervision.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <utility>

#include "app/console.h"
#include "app/device_start.h"
#include "app/exit_status.h"
#include "app/rig_summary.h"
#include "app/systemd_notify.h"
#include "node/steady_ms.h"
#include "worker/worker_ctx.h"

namespace quorlen::app {

namespace {

// systemd is told the loop is alive once a second: WatchdogSec= is tens of
// seconds, and a message every tick would be noise.
constexpr std::uint64_t kHeartbeatMs = 1000;

constexpr const char* kExitOnStallWords = "a GPU stopped answering and --exit-on-stall is given; stopping";

unsigned long long seconds(std::uint64_t ms) { return static_cast<unsigned long long>(ms / 1000); }

}  // namespace

Supervision::Supervision(const SupervisionSettings& settings, std::atomic<bool>* stop, SystemdNotifier& notifier,
                         std::FILE* log)
    : settings_(settings), watchdog_(settings.limits), stop_(stop), notifier_(notifier), log_(log),
      thread_([this] { loop(); }) {}

Supervision::~Supervision() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void Supervision::watch_start(int gpu, const DeviceStart* start) {
    std::lock_guard lock(mutex_);
    startGpu_ = gpu;
    start_ = start;
    startHung_.store(false);
}

void Supervision::end_start() {
    std::lock_guard lock(mutex_);
    start_ = nullptr;
}

void Supervision::watch_worker(WorkerCtx* ctx, double batchSeconds) {
    std::lock_guard lock(mutex_);
    workers_.push_back({ctx, batchSeconds});
}

void Supervision::release_workers() {
    std::lock_guard lock(mutex_);
    workers_.clear();
}

void Supervision::request_exit(int status, const std::string& why) {
    std::lock_guard lock(mutex_);
    requestExit(status, why);
}

void Supervision::requestExit(int status, const std::string& why) {
    if (exitRequested_) return;
    exitRequested_ = true;
    exitStatus_.store(status);
    if (!why.empty()) say("\n" + why);
    stop_->store(true);
}

void Supervision::say(std::string line) { news_.push_back(std::move(line) + "\n"); }

std::vector<std::string> Supervision::take_news() {
    std::lock_guard lock(mutex_);
    return std::exchange(news_, {});
}

void Supervision::say_stopping() {
    std::lock_guard lock(wordsMutex_);
    if (stoppingSaid_) return;
    stoppingSaid_ = true;
    notifier_.stopping();
    std::fputs("\nStopping...\n", stdout);
    std::fflush(stdout);
}

void Supervision::say_statistics(const std::string& text) {
    std::lock_guard lock(wordsMutex_);
    if (statisticsSaid_) return;
    statisticsSaid_ = true;
    std::fputs(text.c_str(), log_);
    std::fflush(log_);
}

void Supervision::loop() {
    std::unique_lock lock(mutex_);
    while (!quit_) {
        tick(node::steady_ms());
        wake_.wait_for(lock, std::chrono::milliseconds(settings_.periodMs));
    }
}

void Supervision::tick(std::uint64_t nowMs) {
    // A wake far later than asked for: the whole process stood still. No
    // wait may be judged by the time it stood.
    if (lastTickMs_ != 0 && nowMs - lastTickMs_ > settings_.pauseMs) {
        freshFromMs_ = nowMs;
        if (stopSeenMs_ != 0) stopSeenMs_ = nowMs;
    }
    lastTickMs_ = nowMs;

    if (nowMs - lastBeatMs_ >= kHeartbeatMs) {
        lastBeatMs_ = nowMs;
        notifier_.heartbeat();
    }
    watchStart(nowMs);
    watchWorkers(nowMs);

    if (stop_->load()) {
        if (stopSeenMs_ == 0) stopSeenMs_ = nowMs;
        else if (nowMs - stopSeenMs_ > settings_.stopBackstopMs) endStuckProcess();
    }
}

void Supervision::watchStart(std::uint64_t nowMs) {
    if (!start_ || startHung_.load() || start_->finished()) return;
    const std::uint64_t since = start_->step_since_ms();
    if (since == 0) return;
    const std::uint64_t from = std::max(since, freshFromMs_);
    if (nowMs < from || nowMs - from <= start_->step_limit_ms()) return;
    startHung_.store(true);
    say(std::string(line_lead()) + "[gpu] GPU#" + std::to_string(startGpu_) + " stopped answering " +
        phase_words(start_->phase()));
    if (settings_.exitOnStall) requestExit(kExitAllDevicesLost, kExitOnStallWords);
}

void Supervision::watchWorkers(std::uint64_t nowMs) {
    bool mining = false;
    for (Watched& w : workers_) {
        WorkerCtx& ctx = *w.ctx;
        const std::uint64_t batches = ctx.batchesDone.load();
        mining = mining || batches > 0;
        if (ctx.stalled.load()) {
            // The stuck call returned: a late batch, not a lost card.
            if (batches > w.batchesAtStall) {
                ctx.stalled.store(false);
                say(std::string(line_lead()) + "[gpu] GPU#" + std::to_string(ctx.gpu) + " answers again after " +
                    std::to_string(seconds(nowMs - std::min(w.quietSinceMs, nowMs))) + " s");
            }
            continue;
        }
        const auto quiet = watchdog_.check(ctx, w.batchSeconds, nowMs, freshFromMs_);
        if (!quiet) continue;
        w.quietSinceMs = nowMs - *quiet;
        w.batchesAtStall = batches;
        ctx.stalled.store(true);
        say(std::string(line_lead()) + "[gpu] GPU#" + std::to_string(ctx.gpu) +
            " stopped answering: no batch finished for " + std::to_string(seconds(*quiet)) + " s");
        if (settings_.exitOnStall) requestExit(kExitAllDevicesLost, kExitOnStallWords);
    }
    if (mining) notifier_.ready();
}

std::string Supervision::workerStatistics() {
    RigSummary summary(workers_.size(), 0);
    std::vector<GpuCounts> counts;
    for (const Watched& w : workers_) counts.push_back(counts_of(*w.ctx));
    summary.sample(counts);
    return summary.text();
}

void Supervision::endStuckProcess() {
    // The main thread has not ended the process in time: it is inside a
    // driver call. Say what an orderly stop says, and leave without running
    // destructors that would wait on it.
    for (const std::string& line : news_) std::fputs(line.c_str(), log_);
    say_stopping();
    say_statistics(workerStatistics());
    std::fflush(nullptr);
    std::_Exit(exitStatus_.load());
}

}  // namespace quorlen::app
