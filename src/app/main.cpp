// The whole life of the miner: configuration, the user's key, the devices,
// one hasher, tuning and worker per selected device, the hash-rate line, and
// an orderly stop.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <exception>
#include <memory>
#include <thread>
#include <vector>

#include "app/stop_flag.h"
#include "argon2gpu/cuda/device.h"
#include "block/signer.h"
#include "cli/cli.h"
#include "gpu/autotune.h"
#include "gpu/gpu_hasher.h"
#include "worker/worker.h"
#include "worker/worker_ctx.h"

namespace {

// A device could not be brought up, or start-up failed in a way no other
// status describes.
constexpr int kExitBringUpFailed = 5;

void on_sigint(int) { g_stop.exchange(true); }

struct PerGpu {
    std::int32_t gpu = 0;
    std::unique_ptr<GpuHasher> hasher;
    std::int32_t batch = 0;
    std::unique_ptr<WorkerCtx> ctx;
    std::thread thread;
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

std::unique_ptr<PerGpu> bringUp(std::int32_t g, const argon2::cuda::GlobalContext& global, const Cli& cli,
                                const Signer& user) {
    auto entry = std::make_unique<PerGpu>();
    entry->gpu = g;
    entry->hasher = std::make_unique<GpuHasher>(&global.getAllDevices().at(std::size_t(g)), cli.bySegment,
                                                cli.precompute);
    entry->hasher->init(global);
    entry->batch = autotune_batch(*entry->hasher, cli.startBatch, cli.maxBatch, cli.stepFactor, cli.stepSeconds,
                                  cli.warmupSeconds, cli.tolerance);
    entry->hasher->reset();

    auto ctx = std::make_unique<WorkerCtx>();
    ctx->gpu = g;
    ctx->batch = entry->batch;
    ctx->api = std::make_unique<NodeApi>(cli.http, cli.ws, &g_stop);
    ctx->hasher = entry->hasher.get();
    ctx->signer = user;
    ctx->minerPub = user.pubhex;
    ctx->devReady = false;
    ctx->devMinutes = 5;
    ctx->devEnabled = !cli.goida;
    if (!cli.goida) {
        ctx->devReady = ctx->devSigner.init(DEV_PRIVATE_KEY, false);
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

// One second in short slices, so that a stop request is acted on at once
// rather than at the end of the tick.
void sleepOneSecond() {
    for (int slice = 0; slice < 20 && !g_stop.load(); ++slice) {
        timespec req{0, 50000000}, rem{};
        while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
    }
}

int run(int argc, char** argv) {
    Cli cli;
    if (!parse_cli(argc, argv, cli)) return 1;
    if (cli.priv.empty()) {
        std::fputs("--priv is required\n", stderr);
        return 1;
    }
    apply_env(cli);
    std::fputs(cfg_line(cli).c_str(), stderr);

    Signer signer;
    const std::string keyProblem = priv_text_problem(cli.priv);
    if (!keyProblem.empty()) std::fprintf(stderr, "%s\n", keyProblem.c_str());
    if (!keyProblem.empty() || !signer.init(cli.priv, true)) {
        std::fputs("signer init failed\n", stderr);
        return 2;
    }
    std::fprintf(stderr, "pub: %s\n", signer.pubhex.c_str());

    argon2::cuda::GlobalContext global;
    if (global.getAllDevices().empty()) {
        std::fputs("no CUDA devices\n", stderr);
        return 3;
    }
    const std::vector<std::int32_t> selected = selectDevices(cli.devices, global.getAllDevices().size());
    if (selected.empty()) {
        std::fputs("no usable devices\n", stderr);
        return 4;
    }

    std::vector<std::unique_ptr<PerGpu>> entries;
    for (std::int32_t g : selected) {
        bool started = false;
        try {
            entries.push_back(bringUp(g, global, cli, signer));
            started = true;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "GPU#%d: cannot start: %s\n", g, e.what());
        } catch (...) {
            std::fprintf(stderr, "GPU#%d: cannot start: unknown error\n", g);
        }
        if (!started) {
            // Never run half-built: stop the workers already mining.
            g_stop.exchange(true);
            shutDown(entries);
            return kExitBringUpFailed;
        }
    }

    std::uint64_t previous = 0;
    while (!g_stop.load()) {
        std::uint64_t total = 0;
        for (const auto& e : entries) total += e->ctx->hashes.load();
        std::fprintf(stdout, "\rHashrate: %llu H/s (%zu GPU)", static_cast<unsigned long long>(total - previous),
                     entries.size());
        std::fflush(stdout);
        sleepOneSecond();
        previous = total;
    }

    std::fputs("\nStopping...\n", stdout);
    std::fflush(stdout);
    shutDown(entries);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGINT, on_sigint);
    // A service manager stops programs with SIGTERM: stop just as cleanly.
    std::signal(SIGTERM, on_sigint);
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
