#include "gpu/autotune.h"

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "argon2gpu/cuda/runtime.h"
#include "gpu/chain_pow.h"
#include "gpu/gpu_hasher.h"
#include "gpu/tune_progress.h"

namespace quorlen::gpu {

namespace {

bool stopped(const std::atomic<bool>* stop) { return stop && stop->load(); }

// A rate as the log shows it: whole hashes per second, fraction cut off.
long long wholeRate(double r) { return static_cast<long long>(r); }

void logRate(std::ostream& log, int B, double r) { log << "[tune] B=" << B << " -> " << wholeRate(r) << " H/s\n"; }

}  // namespace

std::optional<std::size_t> free_device_memory(int cudaIndex) {
    cudaSetDevice(cudaIndex);
    std::size_t free = 0, total = 0;
    if (cudaMemGetInfo(&free, &total) != cudaSuccess) return std::nullopt;
    return free;
}

std::optional<int> memory_cap(std::optional<std::size_t> freeBytes) {
    if (!freeBytes) return std::nullopt;
    const double capD = std::floor(double(*freeBytes) * 0.85 / double(chain_pow::kMemoryBytes));
    return capD < 8 ? 8 : (capD > 2147483647.0 ? 2147483647 : int(capD));
}

int tune_batch(const TuneSettings& s, std::optional<std::size_t> freeBytes, const std::function<double(int)>& rawMeasureAt,
               const std::function<void()>& resetHasher, std::ostream& log, TuneProgress* progress, double* bestRate) {
    int M = s.maxBatch;
    if (const std::optional<int> cap = memory_cap(freeBytes); cap && M > *cap) {
        log << "[tune] VRAM cap -> maxBatch=" << *cap << "\n";
        M = *cap;
    }

    // Every measurement shows its step first and clears it before the
    // tuner's own line, whatever way it ends.
    int step = 0, shownB = 0;
    double shownRate = 0;
    const auto measureAt = [&](int size) {
        ++step;
        if (!progress) return rawMeasureAt(size);
        const int more = planned_steps(size, M, s.stepFactor);
        progress->measuring(step, more > 0 ? step - 1 + more : 0, size, shownB, shownRate);
        double rate;
        try {
            rate = rawMeasureAt(size);
        } catch (...) {
            progress->clear();
            throw;
        }
        progress->clear();
        if (shownB == 0 || rate > shownRate) {
            shownB = size;
            shownRate = rate;
        }
        return rate;
    };

    int B = s.startBatch;
    double r;
    try {
        r = measureAt(B);
    } catch (...) {
        B = B >= 18 ? B / 2 : 8;
        try {
            r = measureAt(B);
        } catch (const std::exception& e) {
            throw TuneError("measurement at B=" + std::to_string(B) + " failed: " + e.what());
        } catch (...) {
            throw TuneError("measurement at B=" + std::to_string(B) + " failed");
        }
    }
    logRate(log, B, r);

    int bestB = B;
    double bestR = r;
    while (!stopped(s.stop)) {
        const double grown = std::ceil(double(B) * s.stepFactor);
        // Clamped before the conversion: a factor far below zero would give a
        // value no int can hold.
        const int nb = grown >= double(M) ? M : grown <= double(INT_MIN) ? INT_MIN : int(grown);
        if (nb == B) break;
        resetHasher();
        double r2;
        try {
            r2 = measureAt(nb);
        } catch (const std::exception& e) {
            const std::string what = e.what();
            if (what.find("out of memory") != std::string::npos) log << "[tune] B=" << nb << " -> OOM, stop grow\n";
            else log << "[tune] B=" << nb << " -> error: " << what << "\n";
            break;
        } catch (...) {
            throw TuneError("measurement at B=" + std::to_string(nb) + " failed with an unknown error");
        }
        logRate(log, nb, r2);
        const double gain = r > 1 ? (r2 - r) / r : r2 - r;
        bestB = nb;
        bestR = r2;
        if (gain < s.tolerance || nb >= M) break;
        B = nb;
        r = r2;
    }
    resetHasher();
    // A bound or factor of 0 lets the growth reach a batch of no texts: a
    // worker would spin on it and never hash.
    if (bestB < 1)
        throw TuneError("the tuning came to a batch of " + std::to_string(bestB) +
                        ", which hashes nothing (--max-batch and --step-factor must keep it at 1 or more)");
    log << "[tune] best BATCH=" << bestB << " (" << wholeRate(bestR) << " H/s)\n";
    if (bestRate) *bestRate = bestR;
    return bestB;
}

}  // namespace quorlen::gpu

using namespace quorlen::gpu;

double measure(GpuHasher& hasher, int B, int stepSeconds, int warmupSeconds, const std::atomic<bool>* stop) {
    using Clock = std::chrono::steady_clock;
    hasher.bind_thread();
    // A negative size is the caller's to get wrong: the vector refuses it.
    std::vector<std::string> inputs(static_cast<std::size_t>(static_cast<std::int64_t>(B)), "{\"msg\":\"warmup\"}");
    std::vector<std::string> outputs;

    const Clock::time_point warmupEnd = Clock::now() + std::chrono::seconds(warmupSeconds);
    while (!stopped(stop) && Clock::now() < warmupEnd) hasher.hash_batch(inputs, outputs);

    std::uint64_t count = 0;
    const Clock::time_point end = Clock::now() + std::chrono::seconds(stepSeconds);
    while (!stopped(stop) && Clock::now() < end) {
        hasher.hash_batch(inputs, outputs);
        count += outputs.size();
    }
    return static_cast<double>(count) / stepSeconds;
}

int autotune_batch(GpuHasher& hasher, int startBatch, int maxBatch, double stepFactor, int stepSeconds,
                   int warmupSeconds, double tolerance, TuneProgress* progress, const std::atomic<bool>* stop,
                   double* bestRate) {
    if (startBatch == 0) throw std::invalid_argument("a start batch of 0 cannot be measured");
    if (stepSeconds < 1) throw std::invalid_argument("--step-seconds must be at least 1 to measure a rate");

    const std::optional<std::size_t> freeBytes = free_device_memory(hasher.cuda_index());

    const TuneSettings s{startBatch, maxBatch, stepFactor, stepSeconds, warmupSeconds, tolerance, stop};
    return tune_batch(
        s, freeBytes, [&](int B) { return measure(hasher, B, stepSeconds, warmupSeconds, stop); },
        [&] { hasher.reset(); }, std::cerr, progress, bestRate);
}
