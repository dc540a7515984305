// Tuning a GPU at start, or with --tune-file checking what an earlier start
// found: one warm-up and one measurement at the remembered size instead of
// the whole search.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "gpu/tune_file.h"

namespace argon2::cuda {
class Device;
}
class GpuHasher;
struct Cli;
namespace quorlen::gpu {
class TuneProgress;
}

namespace quorlen::app {

struct TunedSize {
    int batch = 0;
    double rate = 0;  // hashes per second, as measured at that size
};

// Everything that decides a GPU's best batch size. `slot` counts earlier
// entries of the device list naming the same device (--devices 0,0): a later
// one is tuned while the earlier ones mine beside it.
gpu::TuneKey tune_key(const argon2::cuda::Device& device, int slot, const Cli& cli, std::size_t totalMemory,
                 const std::string& version);

// Whether a remembered size still holds: under today's memory cap and the
// rate now at most TuneFile::kRateMargin below the remembered one.
bool remembered_still_holds(const gpu::TunedBatch& remembered, double rateNow, std::optional<int> memoryCap);

// The decisions of tune_gpu with `file`, given the device's free memory
// (none when unknown), a measurement at a size (which leaves the hasher
// reset) and the full search. A remembered size above today's memory cap
// is never measured.
TunedSize recall_or_tune(int gpu, const gpu::TuneKey& key, std::optional<std::size_t> freeBytes, gpu::TuneFile& file,
                         const std::function<double(int)>& measureAt, const std::function<TunedSize()>& fullTune,
                         const std::atomic<bool>* stop, std::FILE* log);

// Tunes `hasher` (left reset). With `file`, a GPU whose key it holds is
// checked rather than tuned, and the file is updated after a full tune;
// problems with the file give one line on `log` and a full tune.
TunedSize tune_gpu(GpuHasher& hasher, const argon2::cuda::Device& device, int slot, const Cli& cli, gpu::TuneFile* file,
                   gpu::TuneProgress* progress, const std::atomic<bool>* stop, std::FILE* log);

}  // namespace quorlen::app
