// The host flavour's part of the device digest tests: the CPU is the device.
#include "gpu_digest.h"

extern const FlavourFacts kFlavour{
    16384, "host flavour: its memory is addressed as the host's, nothing device-specific to test", false};

void BeyondOffsetBoundaries::checkBatchPast(const argon2::cuda::Device& dev, std::size_t batch) {
    checkBatch(dev, batch);
}
