// Data-independent addressing: the reference blocks of segments whose
// pseudo-random numbers come from address blocks rather than from the data.
// They depend on the position alone, so a unit can compute them once.
#pragma once

#include <cstdint>
#include <vector>

#include "index.h"

namespace argon2::detail {

// Pseudo-random number of every block of a data-independent segment
// (entries before the segment's first computed block are left 0).
void addressSegment(const Geometry& g, Type type, std::uint32_t pass, std::uint32_t lane, std::uint32_t slice,
                    std::uint64_t* pseudoRands);

// The reference blocks of every data-independent segment, as absolute block
// indices (lane * laneBlocks + index), segment after segment.
class ReferenceTable {
public:
    ReferenceTable(const Geometry& g, Type type);
    // Null when the segment is data-dependent.
    const std::uint32_t* segment(std::uint32_t pass, std::uint32_t lane, std::uint32_t slice) const;
    std::size_t bytes() const { return refs_.size() * sizeof(std::uint32_t); }
    // The whole table and each segment's offset into it (-1: data-dependent),
    // indexed by (pass * 4 + slice) * lanes + lane: for copies to a device.
    const std::vector<std::uint32_t>& all() const { return refs_; }
    const std::vector<std::int64_t>& offsets() const { return offsets_; }

private:
    Geometry g_;
    std::vector<std::int64_t> offsets_;  // per (pass, slice, lane); -1 when data-dependent
    std::vector<std::uint32_t> refs_;
};

}  // namespace argon2::detail
