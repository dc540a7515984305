#include "app/remembered_tuning.h"

#include <cstdint>
#include <sstream>
#include <string>

#include "argon2gpu/cuda/device.h"
#include "argon2gpu/cuda/runtime.h"
#include "cli/cli.h"
#include "gpu/autotune.h"
#include "gpu/chain_pow.h"
#include "gpu/gpu_hasher.h"

namespace quorlen::app {

#ifndef QUORLEN_VERSION
#define QUORLEN_VERSION "unknown"
#endif

namespace {

// Doubles to the last bit, in the fewest digits that say so (1.15, not
// 1.1499999999999999).
std::string exact(double v) {
    for (int digits = 15;; ++digits) {
        std::ostringstream s;
        s.precision(digits);
        s << v;
        if (digits >= 17 || std::stod(s.str()) == v) return s.str();
    }
}

}  // namespace

gpu::TuneKey tune_key(const argon2::cuda::Device& device, int slot, const Cli& cli, std::size_t totalMemory,
                 const std::string& version) {
    return {
        {"device", device.getName()},
        {"pci_bus_id", device.getPciBusId()},
        {"total_memory", std::to_string(totalMemory)},
        {"driver", device.getDriverVersion()},
        {"slot", std::to_string(slot)},
        {"flavour", argon2::cuda::GlobalContext::getBackendName()},
        {"by_segment", cli.bySegment ? "1" : "0"},
        {"precompute", cli.precompute ? "1" : "0"},
        {"argon2", "id v19 t" + std::to_string(gpu::chain_pow::kPasses) + " m" + std::to_string(gpu::chain_pow::kMemoryKiB) +
                       " p" + std::to_string(gpu::chain_pow::kLanes) + " salt " + gpu::chain_pow::kSalt},
        {"version", version},
        {"tuning", "start " + std::to_string(cli.startBatch) + " max " + std::to_string(cli.maxBatch) + " factor " +
                       exact(cli.stepFactor) + " step " + std::to_string(cli.stepSeconds) + " s warmup " +
                       std::to_string(cli.warmupSeconds) + " s tolerance " + exact(cli.tolerance)},
    };
}

bool remembered_still_holds(const gpu::TunedBatch& remembered, double rateNow, std::optional<int> memoryCap) {
    if (memoryCap && remembered.batch > *memoryCap) return false;
    return rateNow >= remembered.rate * (1.0 - gpu::TuneFile::kRateMargin);
}

TunedSize recall_or_tune(int gpu, const gpu::TuneKey& key, std::optional<std::size_t> freeBytes, gpu::TuneFile& file,
                         const std::function<double(int)>& measureAt, const std::function<TunedSize()>& fullTune,
                         const std::atomic<bool>* stop, std::FILE* log) {
    if (const std::optional<gpu::TunedBatch> remembered = file.find(key)) {
        const std::optional<int> cap = gpu::memory_cap(freeBytes);
        if (cap && remembered->batch > *cap) {
            // Not even measured: keeping a size this large off the device is
            // what the cap is for, and the file may be older than what now
            // holds the device's memory.
            std::fprintf(log, "[tune] GPU#%d remembered BATCH=%d (%lld H/s)\n", gpu, remembered->batch,
                         static_cast<long long>(remembered->rate));
            std::fprintf(log, "[tune] GPU#%d: the remembered size is above today's memory cap of %d; tuning in full\n",
                         gpu, *cap);
        } else {
            std::optional<double> now;
            std::string failure;
            try {
                now = measureAt(remembered->batch);
            } catch (const std::exception& e) {
                failure = e.what();
            }
            std::fprintf(log, "[tune] GPU#%d remembered BATCH=%d (%lld H/s, %lld H/s now)\n", gpu, remembered->batch,
                         static_cast<long long>(remembered->rate), static_cast<long long>(now.value_or(0)));
            if (now && remembered_still_holds(*remembered, *now, cap)) return {remembered->batch, *now};
            // The measurement was cut short by a stop: its rate says nothing.
            if (stop && stop->load()) return {remembered->batch, now.value_or(0)};
            if (!failure.empty())
                std::fprintf(log, "[tune] GPU#%d: the remembered size failed (%s); tuning in full\n", gpu,
                             failure.c_str());
            else
                std::fprintf(log,
                             "[tune] GPU#%d: the rate now is more than %d %% below the remembered one; tuning in full\n",
                             gpu, int(gpu::TuneFile::kRateMargin * 100));
        }
    }
    const TunedSize tuned = fullTune();
    // A search cut short by a stop chose nothing worth keeping.
    if (stop && stop->load()) return tuned;
    file.remember(key, tuned.batch, tuned.rate);
    const gpu::TuneFileSave saved = file.save(stop);
    for (const std::string& lost : saved.lost)
        std::fprintf(log, "[tune] --tune-file %s: %s\n", file.path().c_str(), lost.c_str());
    if (!saved.problem.empty())
        std::fprintf(log, "[tune] --tune-file %s: cannot save: %s\n", file.path().c_str(), saved.problem.c_str());
    return tuned;
}

TunedSize tune_gpu(GpuHasher& hasher, const argon2::cuda::Device& device, int slot, const Cli& cli, gpu::TuneFile* file,
                   gpu::TuneProgress* progress, const std::atomic<bool>* stop, std::FILE* log) {
    const auto fullTune = [&] {
        TunedSize t;
        t.batch = autotune_batch(hasher, cli.startBatch, cli.maxBatch, cli.stepFactor, cli.stepSeconds,
                                 cli.warmupSeconds, cli.tolerance, progress, stop, &t.rate);
        return t;
    };
    if (!file) return fullTune();

    hasher.bind_thread();
    std::size_t freeBytes = 0, totalBytes = 0;
    const bool memoryKnown = cudaMemGetInfo(&freeBytes, &totalBytes) == cudaSuccess;
    const gpu::TuneKey key = tune_key(device, slot, cli, memoryKnown ? totalBytes : 0, QUORLEN_VERSION);
    // Every measurement leaves the hasher reset, the size it held released.
    const auto measureAt = [&](int batch) {
        double rate = 0;
        try {
            rate = measure(hasher, batch, cli.stepSeconds, cli.warmupSeconds, stop);
        } catch (...) {
            hasher.reset();
            throw;
        }
        hasher.reset();
        return rate;
    };
    const std::optional<std::size_t> free = memoryKnown ? std::optional<std::size_t>(freeBytes) : std::nullopt;
    return recall_or_tune(device.getDeviceIndex(), key, free, *file, measureAt, fullTune, stop, log);
}

}  // namespace quorlen::app
