// Choosing a device's batch size by measurement: capped by free device
// memory, grown geometrically while the hash rate gains enough.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <ostream>
#include <stdexcept>

class GpuHasher;

namespace quorlen::gpu {

class TuneProgress;

struct TuneSettings {
    int startBatch;
    int maxBatch;
    double stepFactor;
    int stepSeconds;
    int warmupSeconds;
    double tolerance;
    // Growth ends when this is set (Ctrl-C); none: never.
    const std::atomic<bool>* stop = nullptr;
};

// Tuning cannot go on with this device (the retried first measurement failed,
// or a growth step failed with something that is not a std::exception).
class TuneError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The device's free memory in bytes, or none when it cannot be read. Binds
// the calling thread to the device.
[[nodiscard]] std::optional<std::size_t> free_device_memory(int cudaIndex);

// The decisions of tuning, given the free device memory (none when it could
// not be read), a measurement and a reset of the hasher. "[tune]" lines go
// to `log`, the step being measured to `progress` when given. Throws
// TuneError as above. The chosen size's rate goes to `bestRate` when given.
int tune_batch(const TuneSettings& settings, std::optional<std::size_t> freeBytes,
               const std::function<double(int)>& measureAt, const std::function<void()>& resetHasher,
               std::ostream& log, TuneProgress* progress = nullptr, double* bestRate = nullptr);

// The upper bound the free device memory allows: 85 % of it in hashes, at
// least 8; none when the memory could not be read.
std::optional<int> memory_cap(std::optional<std::size_t> freeBytes);

}  // namespace quorlen::gpu

// The hash rate at batch size `batch` over `stepSeconds` after `warmupSeconds` of
// warm-up; exceptions from the hasher pass through. Cut short once `stop` is
// set.
double measure(GpuHasher& hasher, int batch, int stepSeconds, int warmupSeconds,
               const std::atomic<bool>* stop = nullptr);

// Tunes `hasher` and leaves it reset. Throws std::invalid_argument for a start
// size of 0 or a measurement time below 1 second, before measuring anything.
int autotune_batch(GpuHasher& hasher, int startBatch, int maxBatch, double stepFactor, int stepSeconds,
                   int warmupSeconds, double tolerance, quorlen::gpu::TuneProgress* progress = nullptr,
                   const std::atomic<bool>* stop = nullptr, double* bestRate = nullptr);
