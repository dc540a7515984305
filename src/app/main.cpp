// The whole life of the miner: configuration, the user's key, the devices,
// one hasher, tuning and worker per selected device, the hash-rate line, and
// an orderly stop, under supervision from before the first device is touched.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <thread>
#include <vector>

#include "app/console.h"
#include "app/device_start.h"
#include "app/exit_status.h"
#include "app/gpu_watchdog.h"
#include "app/process_setup.h"
#include "app/remembered_tuning.h"
#include "app/rig_monitor.h"
#include "app/rig_summary.h"
#include "app/stop_flag.h"
#include "app/supervision.h"
#include "app/systemd_notify.h"
#include "argon2gpu/cuda/device.h"
#include "block/signer.h"
#include "cli/api_options.h"
#include "cli/cli.h"
#include "cli/key_source.h"
#include "gpu/autotune.h"
#include "gpu/gpu_hasher.h"
#include "gpu/self_test.h"
#include "gpu/tune_progress.h"
#include "node/steady_ms.h"
#include "worker/identity.h"
#include "worker/worker.h"
#include "worker/worker_ctx.h"

// The programs stand outside the layers' namespaces, beside the globals the
// system's interfaces name (g_stop, on_sigint, main's PerGpu), and use their
// own layer's names as their own; the other layers' by their namespace.
using namespace quorlen;
using namespace quorlen::app;

namespace {

// How long past the network work's grace the stop waits for the workers
// (and a GPU's start) before it leaves the ones still inside a driver call
// behind: the stop ends within 2 s whatever they do.
constexpr long long kStopJoinPastGraceMs = 200;
// How often the main thread looks at a GPU's start it waits for.
constexpr long kStartPollMs = 20;

// The stop request's handler. Its name is SIGINT's, but it is installed for
// SIGTERM and SIGHUP too (install_stop_signals), so that a service manager's
// stop and a closed terminal end the run as Ctrl-C does.
void on_sigint(int) { g_stop.exchange(true); }

struct PerGpu {
    std::int32_t gpu = 0;
    std::unique_ptr<GpuHasher> hasher;
    std::int32_t batch = 0;
    std::unique_ptr<WorkerCtx> ctx;
    std::thread thread;
    double batchSeconds = 0;  // one batch at the tuned rate
};

// One GPU's start: the entry being built and what its start thread found.
// The thread is declared last, so that it is left behind (or joined) before
// anything it uses goes.
struct StartJob {
    std::unique_ptr<PerGpu> entry;
    // The tuning's stop request: the process's, or this GPU being left out
    // (should its stuck call ever return, it tunes no further and saves
    // nothing).
    std::atomic<bool> stop{false};
    std::string selfTestFailure;
    TunedSize tuned;
    std::unique_ptr<DeviceStart> thread;
};

// Tells the supervision a new step before each tuning measurement, so that
// each gets its own limit; the operator's display is passed on.
class StepWatchedProgress : public gpu::TuneProgress {
public:
    StepWatchedProgress(gpu::TuneProgress& shown, DeviceStart& start, std::uint64_t limitMs)
        : shown_(shown), start_(start), limitMs_(limitMs) {}
    void measuring(int step, int steps, int batch, int bestBatch, double bestRate) override {
        start_.step(StartPhase::Tuning, limitMs_);
        shown_.measuring(step, steps, batch, bestBatch, bestRate);
    }
    void clear() override { shown_.clear(); }

private:
    gpu::TuneProgress& shown_;
    DeviceStart& start_;
    const std::uint64_t limitMs_;
};

// Every device entry from the command line that names an existing device,
// in order, duplicates kept; all devices when none were named.
std::vector<std::int32_t> selectDevices(const std::vector<std::int32_t>& wanted, std::size_t available) {
    std::vector<std::int32_t> selected;
    if (wanted.empty()) {
        for (std::size_t i = 0; i < available; ++i) selected.push_back(static_cast<std::int32_t>(i));
        return selected;
    }
    for (std::int32_t d : wanted)
        if (d >= 0 && static_cast<std::size_t>(d) < available) selected.push_back(d);
    return selected;
}

// The command line, the key file and the environment; the "[cfg]" line.
int configure(int argc, char** argv, Cli& cli) {
    if (!parse_cli(argc, argv, cli)) return kExitUsage;
    if (const int status = cli::resolve_priv(cli)) return status;
    if (cli.priv.empty()) {
        std::fputs("--priv is required\n", stderr);
        return kExitUsage;
    }
    if (const int status = cli::resolve_monitoring(cli)) return status;
    cli::apply_env(cli);
    std::fputs(cli::cfg_line(cli).c_str(), stderr);
    return kExitStopped;
}

// The user's signer from the key, which is then wiped from the command line.
bool loadKey(Cli& cli, Signer& signer) {
    const std::string keyProblem = block::priv_text_problem(cli.priv);
    if (!keyProblem.empty()) std::fprintf(stderr, "%s\n", keyProblem.c_str());
    if (!keyProblem.empty() || !signer.init(cli.priv, true)) {
        std::fputs("signer init failed\n", stderr);
        return false;
    }
    cli::wipe_text(cli.priv);  // the signer holds the key from here on
    std::fprintf(stderr, "pub: %s\n", signer.pubhex.c_str());
    return true;
}

// The rig from the first GPU's start to the end: brings up each selected
// GPU in turn, mines, and stops. Everything that touches a device runs on
// a thread other than the main one; the supervision watches them all.
class Rig {
public:
    Rig(const Cli& cli, const Signer& signer, const argon2::cuda::GlobalContext& global, Supervision& supervision,
        SystemdNotifier& notifier)
        : cli_(cli), signer_(signer), global_(global), supervision_(supervision), notifier_(notifier),
          limits_(StallLimits::from_environment()), monitor_(cli) {}

    int run(const std::vector<std::int32_t>& selected, const std::vector<bool>& supported);

private:
    enum class StartEnd { Done, Hung, StuckAtStop };

    void openTuneFile();
    std::unique_ptr<StartJob> startDevice(std::int32_t g, int slot);
    StartEnd awaitStart(StartJob& job);
    void startWorker(PerGpu& entry);
    int mine();
    void sayStatistics(RigSummary* summary);
    int stop(int status, RigSummary* summary);
    [[noreturn]] void leaveBehind(int status, RigSummary* summary);
    bool waitForWorkers(long long deadlineMs) const;
    void announce(const RigSummary* summary);
    void sleepOneSecond(const RigSummary* summary);
    long long stopDeadline() const {
        return grace_.limit(node::steady_ms() + node::StopGrace::kGraceMs) + kStopJoinPastGraceMs;
    }

    const Cli& cli_;
    const Signer& signer_;
    const argon2::cuda::GlobalContext& global_;
    Supervision& supervision_;
    SystemdNotifier& notifier_;
    const StallLimits limits_;
    // Shared by every worker's node client: network work under way when a
    // stop comes gets one grace, counted from when it was first seen.
    const node::StopGrace grace_{&g_stop};
    RigMonitor monitor_;
    std::unique_ptr<gpu::TuneFile> tuneFile_;
    std::vector<std::unique_ptr<PerGpu>> entries_;
    std::size_t leftBehind_ = 0;  // GPUs whose start thread is stuck in a driver call
};

void Rig::openTuneFile() {
    if (cli_.tuneFile.empty()) return;
    tuneFile_ = std::make_unique<gpu::TuneFile>(cli_.tuneFile);
    if (const std::string problem = tuneFile_->load(); !problem.empty())
        std::fprintf(stderr, "[tune] --tune-file %s: %s; every GPU is tuned in full%s\n", cli_.tuneFile.c_str(),
                     problem.c_str(), tuneFile_->refused() ? " and the file is left as it is" : "");
}

// Builds GPU g's hasher and hands its self-test and tuning to a thread of
// its own.
std::unique_ptr<StartJob> Rig::startDevice(std::int32_t g, int slot) {
    auto job = std::make_unique<StartJob>();
    job->entry = std::make_unique<PerGpu>();
    job->entry->gpu = g;
    const argon2::cuda::Device& device = global_.getAllDevices().at(std::size_t(g));
    job->entry->hasher = std::make_unique<GpuHasher>(&device, cli_.bySegment, cli_.precompute);
    job->entry->hasher->init(global_);
    StartJob& j = *job;
    job->thread = std::make_unique<DeviceStart>("start-gpu" + std::to_string(g), [this, &j, &device, slot,
                                                                                   g](DeviceStart& start) {
        GpuHasher& hasher = *j.entry->hasher;
        start.step(StartPhase::SelfTest, limits_.self_test_ms());
        // A device that computes wrong digests must never mine.
        j.selfTestFailure = gpu::self_test(hasher);
        if (!j.selfTestFailure.empty()) return;
        const std::uint64_t measurementMs = limits_.measurement_ms(cli_.warmupSeconds + cli_.stepSeconds);
        start.step(StartPhase::Tuning, measurementMs);
        gpu::ConsoleTuneProgress shown(g, stderr, is_terminal(stderr));
        StepWatchedProgress progress(shown, start, measurementMs);
        j.tuned = tune_gpu(hasher, device, slot, cli_, tuneFile_.get(), &progress, &j.stop, stderr);
        hasher.reset();
    });
    supervision_.watch_start(g, job->thread.get());
    return job;
}

// Waits for a GPU's start: until it is done, until the supervision names it
// hung, or, after a stop request, until the stop's deadline.
Rig::StartEnd Rig::awaitStart(StartJob& job) {
    long long deadline = 0;
    long long nextTick = node::steady_ms() + 1000;
    for (;;) {
        if (job.thread->finished()) return StartEnd::Done;
        if (supervision_.start_hung()) {
            job.stop.store(true);
            return StartEnd::Hung;
        }
        announce(nullptr);
        if (grace_.seen()) {
            job.stop.store(true);
            if (deadline == 0) deadline = stopDeadline();
            if (node::steady_ms() >= deadline) return StartEnd::StuckAtStop;
        }
        // Workers already mining are watched by the thermal guard and shown
        // by the API while later GPUs start.
        if (node::steady_ms() >= nextTick) {
            monitor_.tick(nullptr);
            nextTick += 1000;
        }
        worker::sleep_ms(kStartPollMs);
    }
}

void Rig::startWorker(PerGpu& entry) {
    const std::int32_t g = entry.gpu;
    auto ctx = std::make_unique<WorkerCtx>();
    ctx->gpu = g;
    ctx->batch = entry.batch;
    auto verdicts = std::make_shared<node::VerdictReporter>(
        g, std::shared_ptr<node::VerdictCounts>(ctx->stats, &ctx->stats->verdicts), stderr, node::VerdictReporter::Clock{},
        line_lead(), std::shared_ptr<node::RecentBlocks>(ctx->stats, &ctx->stats->recent));
    ctx->api = std::make_unique<NodeApi>(cli_.http, cli_.ws, grace_, verdicts, node::TlsTrust{cli_.caFile});
    if (!cli_.backupHttp.empty())
        ctx->api->add_backup(
            std::make_unique<node::NodeClient>(cli_.backupHttp, cli_.backupWs, grace_, verdicts->for_another_node(),
                                               node::TlsTrust{cli_.caFile}),
            node::FailoverTimes::from_environment());
    ctx->hasher = entry.hasher.get();
    ctx->stop = &g_stop;
    ctx->signer = signer_;
    ctx->minerPub = signer_.pubhex;
    ctx->devReady = false;
    ctx->devMinutes = 5;
    ctx->devEnabled = !cli_.goida;
    if (!cli_.goida) {
        ctx->devReady = ctx->devSigner.init(worker::kDevPrivateKey, false);
        if (ctx->devReady) ctx->devPub = ctx->devSigner.pubhex;
    }
    entry.ctx = std::move(ctx);
    WorkerCtx* const started = entry.ctx.get();
    entry.thread = std::thread([started, g] {
        name_this_thread("mine-gpu" + std::to_string(g));
        worker_thread(started);
    });
    supervision_.watch_worker(started, entry.batchSeconds);
}

int Rig::run(const std::vector<std::int32_t>& selected, const std::vector<bool>& supported) {
    openTuneFile();
    for (std::size_t at = 0; at < selected.size(); ++at) {
        // No GPU is started once a stop is asked for: the stop ends in 2 s.
        if (g_stop.load()) break;
        const std::int32_t g = selected[at];
        if (!supported[std::size_t(g)]) continue;  // named above
        const int slot = int(std::count(selected.begin(), selected.begin() + std::ptrdiff_t(at), g));
        notifier_.status("starting GPU#" + std::to_string(g));
        std::unique_ptr<StartJob> job = startDevice(g, slot);
        const StartEnd end = awaitStart(*job);
        supervision_.end_start();
        if (end == StartEnd::StuckAtStop) leaveBehind(supervision_.exit_status(), nullptr);
        if (end == StartEnd::Hung) {
            // The start thread is stuck in a driver call with this GPU's
            // hasher: both are left as they are, for good.
            monitor_.start_problem("GPU#" + std::to_string(g) + " stopped answering " +
                                   phase_words(job->thread->phase()));
            announce(nullptr);
            (void)job.release();
            ++leftBehind_;
            continue;
        }
        try {
            if (const std::exception_ptr error = job->thread->error()) std::rethrow_exception(error);
            if (!job->selfTestFailure.empty()) {
                std::fprintf(stderr, "GPU#%d: self-test failed: %s\n", g, job->selfTestFailure.c_str());
                continue;
            }
            PerGpu& entry = *job->entry;
            entry.batch = job->tuned.batch;
            entry.batchSeconds = job->tuned.rate > 0 ? double(job->tuned.batch) / job->tuned.rate : 0;
            startWorker(entry);
            const argon2::cuda::Device& device = global_.getAllDevices()[std::size_t(g)];
            monitor_.add(*entry.ctx, device.getName(), device.getPciBusId());
            entries_.push_back(std::move(job->entry));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "GPU#%d: cannot start: %s\n", g, e.what());
            supervision_.request_exit(kExitBringUpFailed, "");
            return stop(kExitBringUpFailed, nullptr);
        } catch (...) {
            std::fprintf(stderr, "GPU#%d: cannot start: unknown error\n", g);
            supervision_.request_exit(kExitBringUpFailed, "");
            return stop(kExitBringUpFailed, nullptr);
        }
    }
    if (entries_.empty() && !g_stop.load()) {
        if (leftBehind_ > 0) {
            supervision_.request_exit(kExitAllDevicesLost, "every GPU is unusable; stopping");
            return stop(kExitAllDevicesLost, nullptr);
        }
        std::fputs("no selected device can mine\n", stderr);
        return kExitBringUpFailed;
    }
    return mine();
}

// The supervision loop on the main thread: the hash-rate line, the
// periodic summary and the monitoring, until a stop.
int Rig::mine() {
    monitor_.started();
    RigSummary summary(entries_.size(), cli_.summarySeconds);
    std::uint64_t previous = 0;
    while (!g_stop.load()) {
        std::uint64_t total = 0;
        std::size_t unusable = 0;
        std::vector<GpuCounts> counts;
        for (const auto& e : entries_) {
            const WorkerCtx& ctx = *e->ctx;
            total += ctx.hashes.load();
            unusable += ctx.deviceLost.load() || ctx.stalled.load() ? 1 : 0;
            counts.push_back(counts_of(ctx));
        }
        if (unusable == entries_.size()) {
            supervision_.request_exit(kExitAllDevicesLost, "every GPU is unusable; stopping");
            break;
        }
        summary.sample(counts);
        monitor_.tick(&summary);
        // On a new line, and the hash-rate line is drawn again below it.
        if (summary.due())
            std::fprintf(stderr, "%s%s%s", line_lead(), summary.text().c_str(),
                         monitor_.telemetry_lines(summary).c_str());
        char line[96];
        std::snprintf(line, sizeof line, "Hashrate: %llu H/s (%zu GPU)",
                      static_cast<unsigned long long>(total - previous), entries_.size());
        std::fprintf(stdout, "\r%s", line);
        notifier_.status(line);
        // Nobody reads what we print any more (`miner | grep -m1 submit`):
        // stop as on SIGTERM rather than mine on unseen.
        if (!flush_reaches_reader(stdout)) {
            std::fputs("[console] standard output's reader has gone; stopping\n", stderr);
            g_stop.exchange(true);
        }
        sleepOneSecond(&summary);
        previous = total;
    }
    const int status = supervision_.exit_status();
    // A stop asked for by the operator says so; one the rig decided on has
    // said why already.
    if (status == kExitStopped) supervision_.say_stopping();
    return stop(status, &summary);
}

// Says what the supervision found, once the API shows it too.
void Rig::announce(const RigSummary* summary) {
    const std::vector<std::string> news = supervision_.take_news();
    if (news.empty()) return;
    monitor_.publish(summary);
    for (const std::string& line : news) std::fputs(line.c_str(), stderr);
}

// One second in short slices, so that a stop request is acted on at once
// rather than at the end of the tick, the grace of the network work under
// way starts within a slice of it, and what the supervision finds is said
// within one.
void Rig::sleepOneSecond(const RigSummary* summary) {
    for (int slice = 0; slice < 20 && !grace_.seen(); ++slice) {
        worker::sleep_ms(50);
        announce(summary);
    }
}

// The final statistics, once: the supervision loop's summary, or one made
// now when the stop came before mining.
void Rig::sayStatistics(RigSummary* summary) {
    RigSummary atStop(entries_.size(), 0);
    RigSummary& shown = summary ? *summary : atStop;
    std::vector<GpuCounts> counts;
    for (const auto& e : entries_) counts.push_back(counts_of(*e->ctx));
    shown.sample(counts);
    supervision_.say_statistics(shown.text() + monitor_.telemetry_lines(shown));
}

// Waits until every worker has finished or `deadlineMs` (steady clock) has
// passed; true when all have, and may be joined.
bool Rig::waitForWorkers(long long deadlineMs) const {
    for (;;) {
        bool all = true;
        for (const auto& e : entries_) all = all && (!e->thread.joinable() || e->ctx->finished.load());
        if (all) return true;
        if (node::steady_ms() >= deadlineMs) return false;
        worker::sleep_ms(20);
    }
}

// The workers have been asked to stop: the final statistics, then the end.
// Workers that finish in time are joined in start order and each entry
// released, its context (node client and WebSocket) before its hasher; a
// worker inside a driver call that never returns cannot be waited for.
int Rig::stop(int status, RigSummary* summary) {
    g_stop.exchange(true);
    const bool allFinished = waitForWorkers(stopDeadline());
    announce(summary);
    sayStatistics(summary);
    if (!allFinished || leftBehind_ > 0) leaveBehind(status, summary);
    supervision_.release_workers();
    for (auto& e : entries_)
        if (e->thread.joinable()) e->thread.join();
    for (auto& e : entries_) {
        e->ctx.reset();
        e->hasher.reset();
    }
    entries_.clear();
    return status;
}

// A thread stuck in a driver call can neither be joined nor have what it
// uses destroyed: the process ends without running destructors, after the
// final statistics and flushing what was printed.
void Rig::leaveBehind(int status, RigSummary* summary) {
    announce(summary);
    supervision_.say_stopping();
    sayStatistics(summary);
    std::fflush(nullptr);
    std::_Exit(status);
}

int run(int argc, char** argv) {
    Cli cli;
    if (const int status = configure(argc, argv, cli)) return status;
    Signer signer;
    if (!loadKey(cli, signer)) return kExitKeyRefused;

    // From here on a device may hang any thread that calls it: the
    // supervision runs beside everything that follows.
    SystemdNotifier notifier;
    Supervision supervision({StallLimits::from_environment(), cli.exitOnStall}, &g_stop, notifier);

    argon2::cuda::GlobalContext global;
    if (global.getAllDevices().empty()) {
        if (!global.getProblem().empty()) std::fprintf(stderr, "%s\n", global.getProblem().c_str());
        std::fprintf(stderr, "no %s devices\n", argon2::cuda::GlobalContext::getBackendName());
        return kExitNoDevices;
    }
    std::vector<bool> supported;
    for (const argon2::cuda::Device& d : global.getAllDevices()) {
        const std::string problem = d.getSupportProblem();
        if (!problem.empty()) std::fprintf(stderr, "GPU#%d: not supported: %s\n", d.getDeviceIndex(), problem.c_str());
        supported.push_back(problem.empty());
    }
    const std::vector<std::int32_t> selected = selectDevices(cli.devices, global.getAllDevices().size());
    if (selected.empty()) {
        std::fputs("no usable devices\n", stderr);
        return kExitNoneSelected;
    }
    Rig rig(cli, signer, global, supervision, notifier);
    return rig.run(selected, supported);
}

}  // namespace

int main(int argc, char** argv) {
    open_missing_std_fds();
    // A service manager stops programs with SIGTERM, a closed terminal with
    // SIGHUP: stop just as cleanly as on Ctrl-C.
    install_stop_signals(on_sigint);
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fatal: %s\n", e.what());
    } catch (...) {
        std::fputs("fatal: unknown error\n", stderr);
    }
    // Workers may still be running: leave without destroying what they use.
    std::fflush(nullptr);
    std::_Exit(kExitBringUpFailed);
}
