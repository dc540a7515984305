// One Argon2 hash computed plainly on the CPU, block after block on one core:
// the yardstick that device results are checked against. Far slower than a
// flavour's fill for a batch, quick enough for a handful of hashes (about
// 20 ms for 16 MiB).
#pragma once

#include <cstddef>

#include "argon2gpu/params.h"

namespace argon2 {

// Writes params.getOutputLength() bytes of the tag of `pwd` to `out`.
void cpuHash(const Argon2Params& params, Type type, Version version, const void* pwd, std::size_t pwdLen, void* out);

}  // namespace argon2
