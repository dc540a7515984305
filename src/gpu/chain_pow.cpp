#include "gpu/chain_pow.h"

namespace quorlen::gpu {

namespace chain_pow {

std::unique_ptr<argon2::Argon2Params> params() {
    return std::make_unique<argon2::Argon2Params>(kTagBytes, kSalt, sizeof kSalt - 1, nullptr, 0, nullptr, 0, kPasses,
                                                  kMemoryKiB, kLanes);
}

}  // namespace chain_pow

}  // namespace quorlen::gpu
