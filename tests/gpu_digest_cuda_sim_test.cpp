// The CUDA flavour's part of the device digest tests on the simulated
// runtime: the wave is checked with small hashes of the miner's shape, and
// the batches past the offset boundaries run sparse, their first and last
// hash only.
#include "argon2gpu/cuda/runtime.h"
#include "gpu_digest.h"

extern const FlavourFacts kFlavour{16, nullptr, true};

void BeyondOffsetBoundaries::checkBatchPast(const argon2::cuda::Device& dev, std::size_t batch) {
    cudasim::sampleBlocks(1, 1);
    checkBatch(dev, batch, 16384, true);
    cudasim::sampleBlocks(0, 0);
}
