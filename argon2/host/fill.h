// Filling one segment of one hash's memory on the CPU. The loop is written
// once (fill_segment.inl) over a block kernel; each SIMD variant compiles it
// with its own kernel and instruction set, and one is chosen at run time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "argon2gpu/params.h"
#include "../common/index.h"

namespace argon2::host {

struct SegmentJob {
    Block* memory;                // the hash's blocks, lane after lane
    detail::Geometry geometry;
    Type type;
    Version version;
    std::uint32_t pass, lane, slice;
    const std::uint32_t* refs;    // precomputed absolute references, or null
};

// Fills `count` (1 to kMaxLockstep) segments at the same position of different hashes.
constexpr int kMaxLockstep = 4;
using FillSegmentFn = void (*)(const SegmentJob* jobs, int count);

struct FillVariant {
    const char* name;
    FillSegmentFn fill;
    bool (*supported)();
};

void fillSegmentPortable(const SegmentJob* jobs, int count);
void fillSegmentSsse3(const SegmentJob* jobs, int count);
void fillSegmentAvx2(const SegmentJob* jobs, int count);
void fillSegmentAvx512(const SegmentJob* jobs, int count);

// Every variant, portable first; each says whether this CPU can run it.
const std::vector<FillVariant>& fillVariants();

// The fastest variant this CPU supports.
const FillVariant& fastestFillVariant();

// The variant called `name` when this CPU supports it, else null.
const FillVariant* supportedFillVariant(const std::string& name);

}  // namespace argon2::host
