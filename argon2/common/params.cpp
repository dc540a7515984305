#include "argon2gpu/params.h"

#include <algorithm>
#include <cstring>

#include "blake2b.h"

namespace argon2 {

Argon2Params::Argon2Params(std::size_t outLen, const void* salt, std::size_t saltLen, const void* secret,
                           std::size_t secretLen, const void* ad, std::size_t adLen, std::size_t t_cost,
                           std::size_t m_cost, std::size_t lanes)
    : outLen_(outLen), salt_(salt), saltLen_(saltLen), secret_(secret), secretLen_(secretLen), ad_(ad),
      adLen_(adLen), tCost_(static_cast<std::uint32_t>(t_cost)), mCost_(static_cast<std::uint32_t>(m_cost)),
      lanes_(static_cast<std::uint32_t>(lanes)) {
    const std::uint32_t minBlocks = 2 * kSyncPoints * lanes_;
    const std::uint32_t blocks = std::max(mCost_, minBlocks);
    segmentBlocks_ = blocks / (kSyncPoints * lanes_);
}

void Argon2Params::initialHash(void* out64, const void* pwd, std::size_t pwdLen, Type type, Version version) const {
    detail::Blake2b h(64);
    h.updateLE32(lanes_);
    h.updateLE32(static_cast<std::uint32_t>(outLen_));
    h.updateLE32(mCost_);
    h.updateLE32(tCost_);
    h.updateLE32(version);
    h.updateLE32(type);
    h.updateLE32(static_cast<std::uint32_t>(pwdLen));
    h.update(pwd, pwdLen);
    h.updateLE32(static_cast<std::uint32_t>(saltLen_));
    h.update(salt_, saltLen_);
    h.updateLE32(static_cast<std::uint32_t>(secretLen_));
    h.update(secret_, secretLen_);
    h.updateLE32(static_cast<std::uint32_t>(adLen_));
    h.update(ad_, adLen_);
    h.final(out64);
}

void Argon2Params::fillFirstBlocks(Block* out, const void* pwd, std::size_t pwdLen, Type type,
                                   Version version) const {
    // H0, followed by room for the block index and the lane.
    std::uint8_t seed[64 + 8];
    initialHash(seed, pwd, pwdLen, type, version);

    for (std::uint32_t lane = 0; lane < lanes_; ++lane) {
        for (std::uint32_t i = 0; i < 2; ++i) {
            const std::uint32_t le[2] = {i, lane};  // little-endian hosts
            std::memcpy(seed + 64, le, 8);
            detail::blake2bLong(out[2 * lane + i].v, kBlockSize, seed, sizeof seed);
        }
    }
}

void Argon2Params::finalize(void* out, const Block& lastBlocksXor) const {
    detail::blake2bLong(out, outLen_, lastBlocksXor.v, kBlockSize);
}

}  // namespace argon2
