// How a block lies in device memory and in a warp's registers.
//
// Lane t = 4r + c, slot m holds word w = 16r + 4m + c: each lane holds one
// column (a, b, c, d) of one row's 4x4 matrix, so a row round is one G per
// lane. In memory the block is stored slot after slot, lane after lane
// (position 32m + t), so that every load and store of a warp is 256
// contiguous bytes.
#pragma once

#include <cstdint>

#include "../common/index.h"

namespace argon2::kernel {

ARGON2GPU_HD std::uint32_t storedPosition(std::uint32_t word) {
    const std::uint32_t lane = 4 * (word >> 4) + (word & 3);
    const std::uint32_t slot = (word >> 2) & 3;
    return 32 * slot + lane;
}

// Standard block -> stored order, and back.
inline void toStored(const std::uint64_t* standard, std::uint64_t* stored) {
    for (std::uint32_t w = 0; w < 128; ++w) stored[storedPosition(w)] = standard[w];
}
inline void fromStored(const std::uint64_t* stored, std::uint64_t* standard) {
    for (std::uint32_t w = 0; w < 128; ++w) standard[w] = stored[storedPosition(w)];
}

}  // namespace argon2::kernel
