// How a block lies in device memory and in a warp's registers.
//
// Lane t = 4r + c, slot m holds word w = 16r + 4m + c: each lane holds one
// column (a, b, c, d) of one row's 4x4 matrix, so a row round is one G per
// lane. In memory the block is stored slot after slot, lane after lane
// (position 32m + t), so that every load and store of a warp is 256
// contiguous bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../common/index.h"

namespace argon2::kernel {

ARGON2GPU_HD std::uint32_t storedPosition(std::uint32_t word) {
    const std::uint32_t lane = 4 * (word >> 4) + (word & 3);
    const std::uint32_t slot = (word >> 2) & 3;
    return 32 * slot + lane;
}

// The word lane `lane` holds in slot `m`: in the row layout above, and in the
// column layout, where lane 4j + i holds column i of the 4x4 matrix of the
// block's column pair j (words 16r + 2j and 16r + 2j + 1 of every row r).
ARGON2GPU_HD std::uint32_t rowWord(std::uint32_t lane, std::uint32_t m) { return 16 * (lane >> 2) + 4 * m + (lane & 3); }
ARGON2GPU_HD std::uint32_t columnWord(std::uint32_t lane, std::uint32_t m) {
    const std::uint32_t i = lane & 3, j = lane >> 2;
    return 16 * (2 * m + (i >> 1)) + 2 * j + (i & 1);
}

// Where word w lies in a warp's scratch block while the block changes
// layout: row r's 16 words stay in row r, their order XORed with 4 * g(r), g
// swapping r's two low bits. A warp's 64-bit shared access is served half a
// warp at a time, and this way the 16 lanes of each half touch 16 different
// bank pairs both when they write rows and when they read columns.
ARGON2GPU_HD std::uint32_t scratchPosition(std::uint32_t w) {
    const std::uint32_t r = w >> 4;
    const std::uint32_t g = ((r & 1) << 1) | ((r >> 1) & 1);
    return (w & ~15u) | ((w & 15u) ^ (g << 2));
}

// Where block `block` of lane `lane` of hash `hash` starts in a batch's
// memory, in words: 64-bit all through, since a batch on a large card passes
// 2^32 words (32 GiB), and its bytes pass 4 GiB much sooner.
ARGON2GPU_HD std::size_t blockWord(const detail::Geometry& g, std::uint32_t hash, std::uint32_t lane,
                                   std::uint32_t block) {
    return ((std::size_t(hash) * g.lanes + lane) * g.laneBlocks + block) * 128;
}

// x = the XOR of every lane's last block, in standard order, the step before
// the tag: `last` is lane 0's last block, each further lane's lies `stride`
// words on, all in stored order when `stored`, else in standard order.
ARGON2GPU_HD void xorLastBlocks(const std::uint64_t* last, std::size_t stride, std::uint32_t lanes, bool stored,
                                std::uint64_t* x) {
    for (std::uint32_t w = 0; w < 128; ++w) {
        const std::uint32_t at = stored ? storedPosition(w) : w;
        std::uint64_t v = 0;
        for (std::uint32_t lane = 0; lane < lanes; ++lane) v ^= last[lane * stride + at];
        x[w] = v;
    }
}

}  // namespace argon2::kernel
