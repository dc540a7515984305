// The CUDA flavour's part of the device digest tests, on a card.
#include "gpu_digest.h"

extern const FlavourFacts kFlavour{16384, nullptr, false};

void BeyondOffsetBoundaries::checkBatchPast(const argon2::cuda::Device& dev, std::size_t batch) {
    checkBatch(dev, batch);
}
