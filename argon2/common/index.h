// Where each block's reference block lies: the index arithmetic shared by the
// host fill, the precomputed tables and the device kernels.
#pragma once

#include <cstdint>

#include "argon2gpu/params.h"

#if defined(__CUDACC__)
#define ARGON2GPU_HD __host__ __device__ __forceinline__
#else
// static: the host SIMD variants compile these with different instruction
// sets, and no variant may pick up another one's copy at link time.
#define ARGON2GPU_HD static inline
#endif

namespace argon2::detail {

struct Geometry {
    std::uint32_t lanes;
    std::uint32_t segmentBlocks;
    std::uint32_t laneBlocks;  // 4 segments
    std::uint32_t passes;
};

// Whether a segment takes its pseudo-random numbers from address blocks
// (data-independent) rather than from the previous block.
ARGON2GPU_HD bool dataIndependent(Type type, std::uint32_t pass, std::uint32_t slice) {
    return type == ARGON2_I || (type == ARGON2_ID && pass == 0 && slice < 2);
}

// Word `w` of the input block from which a data-independent segment's
// address blocks are made: the segment's position and the hash's shape in
// words 0 to 5; word 6 is the address block's counter (left to the caller,
// 0 here), the rest stay 0.
ARGON2GPU_HD std::uint64_t addressInputWord(const Geometry& g, Type type, std::uint32_t pass, std::uint32_t lane,
                                            std::uint32_t slice, std::uint32_t w) {
    switch (w) {
        case 0: return pass;
        case 1: return lane;
        case 2: return slice;
        case 3: return std::uint64_t(g.laneBlocks) * g.lanes;
        case 4: return g.passes;
        case 5: return static_cast<std::uint64_t>(type);
        default: return 0;
    }
}

// Whether the last block of the previous pass is XORed into each new block
// (version 1.3 from the second pass on).
ARGON2GPU_HD bool overwritesWithXor(Version version, std::uint32_t pass) {
    return pass != 0 && version != ARGON2_VERSION_10;
}

// The index, within the reference lane, of the block that block `index` of
// segment (`pass`, `slice`) refers to, given the low 32 bits of its
// pseudo-random number.
ARGON2GPU_HD std::uint32_t referenceIndex(const Geometry& g, std::uint32_t pass, std::uint32_t slice,
                                          std::uint32_t index, std::uint32_t pseudoRand, bool sameLane) {
    std::uint32_t areaSize;
    if (pass == 0) {
        if (slice == 0) areaSize = index - 1;
        else if (sameLane) areaSize = slice * g.segmentBlocks + index - 1;
        else areaSize = slice * g.segmentBlocks - (index == 0 ? 1 : 0);
    } else {
        if (sameLane) areaSize = g.laneBlocks - g.segmentBlocks + index - 1;
        else areaSize = g.laneBlocks - g.segmentBlocks - (index == 0 ? 1 : 0);
    }
    std::uint64_t rel = pseudoRand;
    rel = (rel * rel) >> 32;
    rel = areaSize - 1 - ((std::uint64_t(areaSize) * rel) >> 32);
    const std::uint32_t start = (pass != 0 && slice != 3) ? (slice + 1) * g.segmentBlocks : 0;
    // start + rel < 2 * laneBlocks: the wrap is one subtraction, not a remainder.
    const std::uint32_t at = start + static_cast<std::uint32_t>(rel);
    return at >= g.laneBlocks ? at - g.laneBlocks : at;
}

// The lane that block `index` of a segment refers to (the first slice of the
// first pass stays in its own lane).
ARGON2GPU_HD std::uint32_t referenceLane(const Geometry& g, std::uint32_t pass, std::uint32_t slice,
                                         std::uint32_t lane, std::uint64_t pseudoRand) {
    if (pass == 0 && slice == 0) return lane;
    return static_cast<std::uint32_t>(pseudoRand >> 32) % g.lanes;
}

// x % d for any 32-bit x by multiplications alone (GPUs have no integer
// divider): with m = ceil(2^64 / d), x % d is the high 64 bits of
// (m * x mod 2^64) * d. For the lane of a reference, once per block.
struct LaneModulus {
    std::uint64_t m;
    std::uint32_t d;
};

ARGON2GPU_HD LaneModulus laneModulus(std::uint32_t d) { return {~std::uint64_t(0) / d + 1, d}; }

ARGON2GPU_HD std::uint32_t remainder(std::uint32_t x, const LaneModulus& mod) {
    const std::uint64_t low = mod.m * x;
    const std::uint64_t a = (low & 0xffffffffu) * mod.d;
    const std::uint64_t b = (low >> 32) * mod.d + (a >> 32);
    return static_cast<std::uint32_t>(b >> 32);
}

ARGON2GPU_HD std::uint32_t referenceLane(std::uint32_t pass, std::uint32_t slice, std::uint32_t lane,
                                         std::uint64_t pseudoRand, const LaneModulus& lanes) {
    if (pass == 0 && slice == 0) return lane;
    return remainder(static_cast<std::uint32_t>(pseudoRand >> 32), lanes);
}

}  // namespace argon2::detail
