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
long long wholeRate(double rate) { return static_cast<long long>(rate); }

void logRate(std::ostream& log, int batch, double rate) {
    log << "[tune] B=" << batch << " -> " << wholeRate(rate) << " H/s\n";
}

// The measurement as the tuner calls it: every measurement shows its step
// first and clears it before the tuner's own line, whatever way it ends.
class ShownMeasurement {
public:
    ShownMeasurement(const std::function<double(int)>& measureAt, TuneProgress* progress, int upperBound,
                     double stepFactor)
        : measureAt_(measureAt), progress_(progress), upperBound_(upperBound), stepFactor_(stepFactor) {}

    double operator()(int batch) {
        ++step_;
        if (!progress_) return measureAt_(batch);
        const int more = planned_steps(batch, upperBound_, stepFactor_);
        progress_->measuring(step_, more > 0 ? step_ - 1 + more : 0, batch, bestShownBatch_, bestShownRate_);
        double rate;
        try {
            rate = measureAt_(batch);
        } catch (...) {
            progress_->clear();
            throw;
        }
        progress_->clear();
        if (bestShownBatch_ == 0 || rate > bestShownRate_) {
            bestShownBatch_ = batch;
            bestShownRate_ = rate;
        }
        return rate;
    }

private:
    const std::function<double(int)>& measureAt_;
    TuneProgress* progress_;
    int upperBound_;
    double stepFactor_;
    int step_ = 0;
    int bestShownBatch_ = 0;
    double bestShownRate_ = 0;
};

struct Measured {
    int batch;
    double rate;
};

// The start size, or once it fails, half of it (8 at least); a second
// failure ends the tuning of this device.
Measured measureStart(ShownMeasurement& measureAt, int startBatch) {
    try {
        return {startBatch, measureAt(startBatch)};
    } catch (...) {
    }
    const int retryBatch = startBatch >= 18 ? startBatch / 2 : 8;
    try {
        return {retryBatch, measureAt(retryBatch)};
    } catch (const std::exception& e) {
        throw TuneError("measurement at B=" + std::to_string(retryBatch) + " failed: " + e.what());
    } catch (...) {
        throw TuneError("measurement at B=" + std::to_string(retryBatch) + " failed");
    }
}

// The size after `batch`: grown by the factor, rounded up, at most the bound.
int grownBatch(int batch, double stepFactor, int upperBound) {
    const double grown = std::ceil(double(batch) * stepFactor);
    // Clamped before the conversion: a factor far below zero would give a
    // value no int can hold.
    return grown >= double(upperBound) ? upperBound : grown <= double(INT_MIN) ? INT_MIN : int(grown);
}

}  // namespace

std::optional<std::size_t> free_device_memory(int cudaIndex) {
    cudaSetDevice(cudaIndex);
    std::size_t free = 0, total = 0;
    if (cudaMemGetInfo(&free, &total) != cudaSuccess) return std::nullopt;
    return free;
}

std::optional<int> memory_cap(std::optional<std::size_t> freeBytes) {
    if (!freeBytes) return std::nullopt;
    const double cap = std::floor(double(*freeBytes) * 0.85 / double(chain_pow::kMemoryBytes));
    return cap < 8 ? 8 : (cap > 2147483647.0 ? 2147483647 : int(cap));
}

int tune_batch(const TuneSettings& settings, std::optional<std::size_t> freeBytes,
               const std::function<double(int)>& rawMeasureAt, const std::function<void()>& resetHasher,
               std::ostream& log, TuneProgress* progress, double* bestRate) {
    int upperBound = settings.maxBatch;
    if (const std::optional<int> cap = memory_cap(freeBytes); cap && upperBound > *cap) {
        log << "[tune] VRAM cap -> maxBatch=" << *cap << "\n";
        upperBound = *cap;
    }
    ShownMeasurement measureAt(rawMeasureAt, progress, upperBound, settings.stepFactor);

    // The last size that worked and its rate: each growth step is measured
    // against it.
    Measured last = measureStart(measureAt, settings.startBatch);
    logRate(log, last.batch, last.rate);
    Measured chosen = last;
    while (!stopped(settings.stop)) {
        const int nextBatch = grownBatch(last.batch, settings.stepFactor, upperBound);
        if (nextBatch == last.batch) break;
        resetHasher();
        double nextRate;
        try {
            nextRate = measureAt(nextBatch);
        } catch (const std::exception& e) {
            const std::string what = e.what();
            if (what.find("out of memory") != std::string::npos)
                log << "[tune] B=" << nextBatch << " -> OOM, stop grow\n";
            else
                log << "[tune] B=" << nextBatch << " -> error: " << what << "\n";
            break;
        } catch (...) {
            throw TuneError("measurement at B=" + std::to_string(nextBatch) + " failed with an unknown error");
        }
        logRate(log, nextBatch, nextRate);
        // Relative below 1 H/s would divide by almost nothing: absolute there.
        const double gain = last.rate > 1 ? (nextRate - last.rate) / last.rate : nextRate - last.rate;
        chosen = {nextBatch, nextRate};
        if (gain < settings.tolerance || nextBatch >= upperBound) break;
        last = chosen;
    }
    resetHasher();
    // A bound or factor of 0 lets the growth reach a batch of no texts: a
    // worker would spin on it and never hash.
    if (chosen.batch < 1)
        throw TuneError("the tuning came to a batch of " + std::to_string(chosen.batch) +
                        ", which hashes nothing (--max-batch and --step-factor must keep it at 1 or more)");
    log << "[tune] best BATCH=" << chosen.batch << " (" << wholeRate(chosen.rate) << " H/s)\n";
    if (bestRate) *bestRate = chosen.rate;
    return chosen.batch;
}

}  // namespace quorlen::gpu

using namespace quorlen::gpu;

double measure(GpuHasher& hasher, int batch, int stepSeconds, int warmupSeconds, const std::atomic<bool>* stop) {
    using Clock = std::chrono::steady_clock;
    hasher.bind_thread();
    // A negative size is the caller's to get wrong: the vector refuses it.
    std::vector<std::string> inputs(static_cast<std::size_t>(static_cast<std::int64_t>(batch)), "{\"msg\":\"warmup\"}");
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
        s, freeBytes, [&](int batch) { return measure(hasher, batch, stepSeconds, warmupSeconds, stop); },
        [&] { hasher.reset(); }, std::cerr, progress, bestRate);
}
