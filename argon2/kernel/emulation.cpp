#include "emulation.h"

#include <cstring>
#include <optional>

#include "../common/addressing.h"
#include "blake2b_block.h"
#include "fill_warp.h"

namespace argon2::kernel {

std::vector<std::uint8_t> emulateHash(const Argon2Params& params, Type type, Version version, const void* pwd,
                                      std::size_t pwdLen, bool precompute) {
    const detail::Geometry g{params.getLanes(), params.getSegmentBlocks(), params.getLaneBlocks(),
                             params.getTimeCost()};
    std::vector<std::uint64_t> memory(std::size_t(g.laneBlocks) * g.lanes * 128);
    // As the device does it: H0 from the host, the first blocks expanded per
    // lane by the block code.
    std::uint64_t h0[8];
    params.initialHash(h0, pwd, pwdLen, type, version);
    for (std::uint32_t lane = 0; lane < g.lanes; ++lane)
        for (std::uint32_t i = 0; i < 2; ++i)
            firstBlock(h0, i, lane, &memory[(std::size_t(lane) * g.laneBlocks + i) * 128]);

    std::optional<detail::ReferenceTable> refs;
    if (precompute) refs.emplace(g, type);
    std::uint64_t scratch[128];  // the warp's scratch block (each warp has its own on the device)
    const detail::LaneModulus lanes = detail::laneModulus(g.lanes);
    for (std::uint32_t pass = 0; pass < g.passes; ++pass)
        for (std::uint32_t slice = 0; slice < kSyncPoints; ++slice)
            for (std::uint32_t lane = 0; lane < g.lanes; ++lane)
                FillWarp<HostWarp>::fillSegment(memory.data(), g, type, version, pass, lane, slice, lanes, precompute,
                                                refs ? refs->segment(pass, lane, slice) : nullptr, scratch);

    Block x;
    xorLastBlocks(&memory[std::size_t(g.laneBlocks - 1) * 128], std::size_t(g.laneBlocks) * 128, g.lanes, true, x.v);
    std::vector<std::uint8_t> tag(params.getOutputLength());
    if (tag.size() <= 64) {
        std::uint64_t words[8];
        shortTag(x.v, std::uint32_t(tag.size()), words);
        std::memcpy(tag.data(), words, tag.size());
    } else {
        params.finalize(tag.data(), x);
    }
    return tag;
}

}  // namespace argon2::kernel
