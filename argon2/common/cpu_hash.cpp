#include "argon2gpu/cpu_hash.h"

#include <cstdint>
#include <vector>

#include "addressing.h"
#include "compress.h"
#include "index.h"

namespace argon2 {

// Shares with the flavours only what every one of them shares (the first
// blocks, the compression, the index arithmetic), and none of their filling.
void cpuHash(const Argon2Params& params, Type type, Version version, const void* pwd, std::size_t pwdLen, void* out) {
    const detail::Geometry g{params.getLanes(), params.getSegmentBlocks(), params.getLaneBlocks(),
                             params.getTimeCost()};
    std::vector<Block> memory(std::size_t(g.laneBlocks) * g.lanes);
    std::vector<Block> first(2 * std::size_t(g.lanes));
    params.fillFirstBlocks(first.data(), pwd, pwdLen, type, version);
    for (std::uint32_t lane = 0; lane < g.lanes; ++lane) {
        memory[std::size_t(lane) * g.laneBlocks] = first[2 * lane];
        memory[std::size_t(lane) * g.laneBlocks + 1] = first[2 * lane + 1];
    }
    std::vector<std::uint64_t> pseudoRands(g.segmentBlocks);
    for (std::uint32_t pass = 0; pass < g.passes; ++pass) {
        const bool withXor = pass != 0 && version != ARGON2_VERSION_10;
        for (std::uint32_t slice = 0; slice < kSyncPoints; ++slice) {
            const bool independent = detail::dataIndependent(type, pass, slice);
            for (std::uint32_t lane = 0; lane < g.lanes; ++lane) {
                if (independent) detail::addressSegment(g, type, pass, lane, slice, pseudoRands.data());
                const std::size_t laneStart = std::size_t(lane) * g.laneBlocks;
                for (std::uint32_t i = (pass == 0 && slice == 0) ? 2 : 0; i < g.segmentBlocks; ++i) {
                    const std::size_t inLane = std::size_t(slice) * g.segmentBlocks + i;
                    const std::size_t prev = laneStart + (inLane == 0 ? g.laneBlocks - 1 : inLane - 1);
                    const std::uint64_t rand = independent ? pseudoRands[i] : memory[prev].v[0];
                    const std::uint32_t refLane = detail::referenceLane(g, pass, slice, lane, rand);
                    const std::uint32_t refIndex = detail::referenceIndex(g, pass, slice, i,
                                                                          static_cast<std::uint32_t>(rand),
                                                                          refLane == lane);
                    detail::compressBlock(memory[prev], memory[std::size_t(refLane) * g.laneBlocks + refIndex],
                                          memory[laneStart + inLane], withXor);
                }
            }
        }
    }
    Block x = memory[g.laneBlocks - 1];
    for (std::uint32_t lane = 1; lane < g.lanes; ++lane)
        for (std::size_t w = 0; w < kQwordsInBlock; ++w)
            x.v[w] ^= memory[std::size_t(lane) * g.laneBlocks + g.laneBlocks - 1].v[w];
    params.finalize(out, x);
}

}  // namespace argon2
