// The device fill run on the host: whole Argon2 hashes computed by the warp
// code (fill_warp.h) with 32 lanes in lockstep, segment by segment in the
// order the kernels run them. For tests of the kernel logic without a GPU.
#pragma once

#include <cstdint>
#include <vector>

#include "argon2gpu/params.h"

namespace argon2::kernel {

std::vector<std::uint8_t> emulateHash(const Argon2Params& params, Type type, Version version, const void* pwd,
                                      std::size_t pwdLen, bool precompute);

}  // namespace argon2::kernel
