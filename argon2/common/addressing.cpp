#include "addressing.h"

#include "compress.h"

namespace argon2::detail {

void addressSegment(const Geometry& g, Type type, std::uint32_t pass, std::uint32_t lane, std::uint32_t slice,
                    std::uint64_t* pseudoRands) {
    Block zero{}, input{}, addresses{};
    for (std::uint32_t w = 0; w < kQwordsInBlock; ++w) input.v[w] = addressInputWord(g, type, pass, lane, slice, w);
    const std::uint32_t start = (pass == 0 && slice == 0) ? 2 : 0;
    for (std::uint32_t i = 0; i < start; ++i) pseudoRands[i] = 0;
    for (std::uint32_t i = start; i < g.segmentBlocks; ++i) {
        if (i == start || i % kQwordsInBlock == 0) {
            ++input.v[6];
            compressBlock(zero, input, addresses, false);
            compressBlock(zero, addresses, addresses, false);
        }
        pseudoRands[i] = addresses.v[i % kQwordsInBlock];
    }
}

ReferenceTable::ReferenceTable(const Geometry& g, Type type) : g_(g) {
    std::vector<std::uint64_t> rands(g.segmentBlocks);
    for (std::uint32_t pass = 0; pass < g.passes; ++pass) {
        for (std::uint32_t slice = 0; slice < kSyncPoints; ++slice) {
            for (std::uint32_t lane = 0; lane < g.lanes; ++lane) {
                if (!dataIndependent(type, pass, slice)) {
                    offsets_.push_back(-1);
                    continue;
                }
                offsets_.push_back(static_cast<std::int64_t>(refs_.size()));
                addressSegment(g, type, pass, lane, slice, rands.data());
                const std::uint32_t start = (pass == 0 && slice == 0) ? 2 : 0;
                for (std::uint32_t i = 0; i < g.segmentBlocks; ++i) {
                    if (i < start) {
                        refs_.push_back(0);
                        continue;
                    }
                    const std::uint32_t refLane = referenceLane(g, pass, slice, lane, rands[i]);
                    const std::uint32_t refIndex = referenceIndex(g, pass, slice, i, std::uint32_t(rands[i]),
                                                                  refLane == lane);
                    refs_.push_back(refLane * g.laneBlocks + refIndex);
                }
            }
        }
    }
}

const std::uint32_t* ReferenceTable::segment(std::uint32_t pass, std::uint32_t lane, std::uint32_t slice) const {
    const std::int64_t off = offsets_[(std::size_t(pass) * kSyncPoints + slice) * g_.lanes + lane];
    return off < 0 ? nullptr : refs_.data() + off;
}

}  // namespace argon2::detail
