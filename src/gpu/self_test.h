// The check a device passes before it may mine: a few fixed texts hashed on
// it must give the digests the CPU computes for them.
#pragma once

#include <string>

class GpuHasher;

namespace quorlen::gpu {

// Empty when the device agrees with the CPU; otherwise what went wrong: the
// first text that differs, with both digests, or the error the device
// raised. Leaves the hasher reset.
[[nodiscard]] std::string self_test(GpuHasher& hasher);

}  // namespace quorlen::gpu
