// Where each block's reference block lies: the index arithmetic shared by the
// host fill, the precomputed tables and the device kernels.
#pragma once

#include <cstdint>

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
ARGON2GPU_HD bool dataIndependent(int type, std::uint32_t pass, std::uint32_t slice) {
    return type == 1 || (type == 2 && pass == 0 && slice < 2);
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
    return static_cast<std::uint32_t>((start + rel) % g.laneBlocks);
}

// The lane that block `index` of a segment refers to (the first slice of the
// first pass stays in its own lane).
ARGON2GPU_HD std::uint32_t referenceLane(const Geometry& g, std::uint32_t pass, std::uint32_t slice,
                                         std::uint32_t lane, std::uint64_t pseudoRand) {
    if (pass == 0 && slice == 0) return lane;
    return static_cast<std::uint32_t>((pseudoRand >> 32) % g.lanes);
}

}  // namespace argon2::detail
