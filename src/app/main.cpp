// The whole life of the miner: configuration, the user's key, the devices,
// one hasher, tuning and worker per selected device, the hash-rate line, and
// an orderly stop.
#include <cerrno>
#include <csignal>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <exception>
#include <memory>
#include <thread>
#include <vector>

#include "app/console.h"
#include "app/gpu_watchdog.h"
#include "app/process_setup.h"
#include "app/remembered_tuning.h"
#include "app/rig_monitor.h"
#include "app/rig_summary.h"
#include "app/stop_flag.h"
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
#include "worker/worker.h"
#include "worker/identity.h"
#include "worker/worker_ctx.h"

// The programs stand outside the layers' namespaces, beside the globals the
// system's interfaces name (g_stop, on_sigint, main's PerGpu), and use their
// own layer's names as their own; the other layers' by their namespace.
using namespace quorlen;
using namespace quorlen::app;

namespace {

// A device could not be brought up, or start-up failed in a way no other
// status describes, or no selected device passed its self-test.
constexpr int kExitBringUpFailed = 5;
// Every worker gave up its device after an error that left it unusable or
// is stuck on a device that stopped answering (with --exit-on-stall: one is).
constexpr int kExitAllDevicesLost = 6;
// How long past the network work's grace the stop waits for the workers
// before it leaves the ones still inside a driver call behind: the stop ends
// within 2 s whatever they do.
constexpr long long kStopJoinPastGraceMs = 200;

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

std::unique_ptr<PerGpu> bringUp(std::int32_t g, int slot, const argon2::cuda::GlobalContext& global, const Cli& cli,
                                const Signer& user, const node::StopGrace& grace, gpu::TuneFile* tuneFile) {
    auto entry = std::make_unique<PerGpu>();
    entry->gpu = g;
    entry->hasher = std::make_unique<GpuHasher>(&global.getAllDevices().at(std::size_t(g)), cli.bySegment,
                                                cli.precompute);
    entry->hasher->init(global);
    // A device that computes wrong digests must never mine.
    const std::string failure = gpu::self_test(*entry->hasher);
    if (!failure.empty()) {
        std::fprintf(stderr, "GPU#%d: self-test failed: %s\n", g, failure.c_str());
        return nullptr;
    }
    gpu::ConsoleTuneProgress progress(g, stderr, is_terminal(stderr));
    const TunedSize tuned = tune_gpu(*entry->hasher, global.getAllDevices().at(std::size_t(g)), slot, cli, tuneFile,
                                     &progress, &g_stop, stderr);
    entry->batch = tuned.batch;
    entry->batchSeconds = tuned.rate > 0 ? double(tuned.batch) / tuned.rate : 0;
    entry->hasher->reset();

    auto ctx = std::make_unique<WorkerCtx>();
    ctx->gpu = g;
    ctx->batch = entry->batch;
    auto verdicts = std::make_shared<node::VerdictReporter>(
        g, std::shared_ptr<node::VerdictCounts>(ctx->stats, &ctx->stats->verdicts), stderr, node::VerdictReporter::Clock{},
        line_lead(), std::shared_ptr<node::RecentBlocks>(ctx->stats, &ctx->stats->recent));
    ctx->api = std::make_unique<NodeApi>(cli.http, cli.ws, grace, verdicts, node::TlsTrust{cli.caFile});
    if (!cli.backupHttp.empty())
        ctx->api->add_backup(
            std::make_unique<node::NodeClient>(cli.backupHttp, cli.backupWs, grace, verdicts->for_another_node(),
                                               node::TlsTrust{cli.caFile}),
            node::FailoverTimes::from_environment());
    ctx->hasher = entry->hasher.get();
    ctx->stop = &g_stop;
    ctx->signer = user;
    ctx->minerPub = user.pubhex;
    ctx->devReady = false;
    ctx->devMinutes = 5;
    ctx->devEnabled = !cli.goida;
    if (!cli.goida) {
        ctx->devReady = ctx->devSigner.init(worker::DEV_PRIVATE_KEY, false);
        if (ctx->devReady) ctx->devPub = ctx->devSigner.pubhex;
    }
    entry->ctx = std::move(ctx);
    entry->thread = std::thread(worker_thread, entry->ctx.get());
    return entry;
}

// Joins the workers in start order, then releases each entry: its context
// (node client and WebSocket) first, then its hasher.
void shutDown(std::vector<std::unique_ptr<PerGpu>>& entries) {
    for (auto& e : entries)
        if (e->thread.joinable()) e->thread.join();
    for (auto& e : entries) {
        e->ctx.reset();
        e->hasher.reset();
    }
    entries.clear();
}

// Waits until every worker has finished or `deadlineMs` (steady clock) has
// passed; true when all have, and may be joined.
bool waitForWorkers(const std::vector<std::unique_ptr<PerGpu>>& entries, long long deadlineMs) {
    for (;;) {
        bool all = true;
        for (const auto& e : entries) all = all && (!e->thread.joinable() || e->ctx->finished.load());
        if (all) return true;
        if (node::steady_ms() >= deadlineMs) return false;
        worker::sleep_ms(20);
    }
}

// A worker stuck in a driver call can neither be joined nor have what it
// uses destroyed: the process ends without running destructors, after
// flushing what was printed.
[[noreturn]] void leaveStuckWorkersBehind(int status) {
    std::fflush(nullptr);
    std::_Exit(status);
}

// Ends the run with `status`: the workers that finish in time are joined and
// everything released; with one stuck, the process leaves at once.
int finish(std::vector<std::unique_ptr<PerGpu>>& entries, long long deadlineMs, int status) {
    if (!waitForWorkers(entries, deadlineMs)) leaveStuckWorkersBehind(status);
    shutDown(entries);
    return status;
}

// One second in short slices, so that a stop request is acted on at once
// rather than at the end of the tick, and the grace of the network work under
// way starts within a slice of it.
void sleepOneSecond(const node::StopGrace& grace) {
    for (int slice = 0; slice < 20 && !grace.seen(); ++slice) worker::sleep_ms(50);
}

int run(int argc, char** argv) {
    Cli cli;
    if (!parse_cli(argc, argv, cli)) return 1;
    if (const int status = cli::resolve_priv(cli)) return status;
    if (cli.priv.empty()) {
        std::fputs("--priv is required\n", stderr);
        return 1;
    }
    if (const int status = cli::resolve_monitoring(cli)) return status;
    cli::apply_env(cli);
    std::fputs(cli::cfg_line(cli).c_str(), stderr);

    Signer signer;
    const std::string keyProblem = block::priv_text_problem(cli.priv);
    if (!keyProblem.empty()) std::fprintf(stderr, "%s\n", keyProblem.c_str());
    if (!keyProblem.empty() || !signer.init(cli.priv, true)) {
        std::fputs("signer init failed\n", stderr);
        return 2;
    }
    cli::wipe_text(cli.priv);  // the signer holds the key from here on
    std::fprintf(stderr, "pub: %s\n", signer.pubhex.c_str());

    argon2::cuda::GlobalContext global;
    if (global.getAllDevices().empty()) {
        if (!global.getProblem().empty()) std::fprintf(stderr, "%s\n", global.getProblem().c_str());
        std::fprintf(stderr, "no %s devices\n", argon2::cuda::GlobalContext::getBackendName());
        return 3;
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
        return 4;
    }

    // Shared by every worker's node client: network work under way when a
    // stop comes gets one grace, counted from when it was first seen.
    const node::StopGrace grace(&g_stop);
    RigMonitor monitor(cli);
    std::unique_ptr<gpu::TuneFile> tuneFile;
    if (!cli.tuneFile.empty()) {
        tuneFile = std::make_unique<gpu::TuneFile>(cli.tuneFile);
        if (const std::string problem = tuneFile->load(); !problem.empty())
            std::fprintf(stderr, "[tune] --tune-file %s: %s; every GPU is tuned in full%s\n", cli.tuneFile.c_str(),
                         problem.c_str(), tuneFile->refused() ? " and the file is left as it is" : "");
    }
    std::vector<std::unique_ptr<PerGpu>> entries;
    for (std::size_t at = 0; at < selected.size(); ++at) {
        const std::int32_t g = selected[at];
        if (!supported[std::size_t(g)]) continue;  // named above
        const int slot = int(std::count(selected.begin(), selected.begin() + std::ptrdiff_t(at), g));
        bool started = false;
        try {
            std::unique_ptr<PerGpu> entry = bringUp(g, slot, global, cli, signer, grace, tuneFile.get());
            if (entry) {
                const argon2::cuda::Device& device = global.getAllDevices()[std::size_t(g)];
                monitor.add(*entry->ctx, device.getName(), device.getPciBusId());
                entries.push_back(std::move(entry));
            }
            started = true;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "GPU#%d: cannot start: %s\n", g, e.what());
        } catch (...) {
            std::fprintf(stderr, "GPU#%d: cannot start: unknown error\n", g);
        }
        if (!started) {
            // Never run half-built: stop the workers already mining.
            g_stop.exchange(true);
            return finish(entries, node::steady_ms() + node::StopGrace::kGraceMs + kStopJoinPastGraceMs, kExitBringUpFailed);
        }
    }

    if (entries.empty()) {
        std::fputs("no selected device can mine\n", stderr);
        return kExitBringUpFailed;
    }

    monitor.started();
    RigSummary summary(entries.size(), cli.summarySeconds);
    const auto sampleCounters = [&] {
        std::vector<GpuCounts> counts;
        for (const auto& e : entries) counts.push_back(counts_of(*e->ctx));
        summary.sample(counts);
    };
    // The workers have been asked to stop: the final statistics, then the
    // end. A worker inside a driver call that never returns cannot be
    // waited for, and is left behind.
    const auto stopWorkers = [&](int status) {
        const bool allFinished =
            waitForWorkers(entries, grace.limit(node::steady_ms() + node::StopGrace::kGraceMs) +
                                        kStopJoinPastGraceMs);
        sampleCounters();
        std::fputs((summary.text() + monitor.telemetry_lines(summary)).c_str(), stderr);
        if (!allFinished) leaveStuckWorkersBehind(status);
        shutDown(entries);
        return status;
    };
    const GpuWatchdog watchdog(StallLimits::from_environment());
    std::uint64_t previous = 0;
    while (!g_stop.load()) {
        std::uint64_t total = 0;
        std::size_t unusable = 0, stalled = 0;
        for (const auto& e : entries) {
            WorkerCtx& ctx = *e->ctx;
            total += ctx.hashes.load();
            if (const auto quiet = watchdog.check(ctx, e->batchSeconds, node::steady_ms())) {
                ctx.stalled.store(true);
                std::fprintf(stderr, "%s[gpu] GPU#%d stopped answering: no batch finished for %llu s\n", line_lead(),
                             ctx.gpu, static_cast<unsigned long long>(*quiet / 1000));
            }
            stalled += ctx.stalled.load() ? 1 : 0;
            unusable += ctx.deviceLost.load() || ctx.stalled.load() ? 1 : 0;
        }
        if (unusable == entries.size() || (stalled > 0 && cli.exitOnStall)) {
            std::fputs(unusable == entries.size() ? "\nevery GPU is unusable; stopping\n"
                                                  : "\na GPU stopped answering and --exit-on-stall is given; stopping\n",
                       stderr);
            // Stalled workers never end: the others get the stop's time.
            g_stop.exchange(true);
            return stopWorkers(kExitAllDevicesLost);
        }
        sampleCounters();
        monitor.tick(&summary);
        // On a new line, and the hash-rate line is drawn again below it.
        if (summary.due())
            std::fprintf(stderr, "%s%s%s", line_lead(), summary.text().c_str(),
                         monitor.telemetry_lines(summary).c_str());
        std::fprintf(stdout, "\rHashrate: %llu H/s (%zu GPU)", static_cast<unsigned long long>(total - previous),
                     entries.size());
        // Nobody reads what we print any more (`miner | grep -m1 submit`):
        // stop as on SIGTERM rather than mine on unseen.
        if (!flush_reaches_reader(stdout)) {
            std::fputs("[console] standard output's reader has gone; stopping\n", stderr);
            g_stop.exchange(true);
        }
        sleepOneSecond(grace);
        previous = total;
    }

    std::fputs("\nStopping...\n", stdout);
    std::fflush(stdout);
    return stopWorkers(0);
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
