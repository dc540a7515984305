#include "argon2gpu/params.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <type_traits>

#include "blake2b.h"

namespace argon2 {

Argon2Params::Argon2Params(std::size_t outLen, const void* salt, std::size_t saltLen, const void* secret,
                           std::size_t secretLen, const void* ad, std::size_t adLen, std::size_t tCost,
                           std::size_t mCost, std::size_t lanes)
    : outLen_(outLen), salt_(salt), saltLen_(saltLen), secret_(secret), secretLen_(secretLen), ad_(ad),
      adLen_(adLen), tCost_(static_cast<std::uint32_t>(tCost)), mCost_(static_cast<std::uint32_t>(mCost)),
      lanes_(static_cast<std::uint32_t>(lanes)) {
    const std::uint32_t minBlocks = 2 * kSyncPoints * lanes_;
    const std::uint32_t blocks = std::max(mCost_, minBlocks);
    segmentBlocks_ = blocks / (kSyncPoints * lanes_);
}

namespace {

// The opaque state of a prefix is a BLAKE2b object, which is plain data.
static_assert(std::is_trivially_copyable_v<detail::Blake2b>);
static_assert(sizeof(detail::Blake2b) <= InitialHashPrefix::kStateBytes);
static_assert(alignof(detail::Blake2b) <= 8);

}  // namespace

InitialHashPrefix Argon2Params::initialHashPrefix(const void* head, std::size_t headLen, std::size_t pwdLen, Type type,
                                                  Version version) const {
    if (headLen > pwdLen) throw std::invalid_argument("password prefix longer than the password");
    detail::Blake2b h(64);
    h.updateLE32(lanes_);
    h.updateLE32(static_cast<std::uint32_t>(outLen_));
    h.updateLE32(mCost_);
    h.updateLE32(tCost_);
    h.updateLE32(version);
    h.updateLE32(type);
    h.updateLE32(static_cast<std::uint32_t>(pwdLen));
    h.update(head, headLen);
    InitialHashPrefix prefix;
    std::memcpy(prefix.state_, &h, sizeof h);
    prefix.pwdLen_ = pwdLen;
    prefix.prefixLen_ = headLen;
    return prefix;
}

void Argon2Params::initialHash(void* out64, const InitialHashPrefix& prefix, const void* rest,
                               std::size_t restLen) const {
    if (prefix.prefixLen_ + restLen != prefix.pwdLen_)
        throw std::invalid_argument("password rest does not match the prefix's length");
    detail::Blake2b h(64);
    std::memcpy(&h, prefix.state_, sizeof h);
    h.update(rest, restLen);
    h.updateLE32(static_cast<std::uint32_t>(saltLen_));
    h.update(salt_, saltLen_);
    h.updateLE32(static_cast<std::uint32_t>(secretLen_));
    h.update(secret_, secretLen_);
    h.updateLE32(static_cast<std::uint32_t>(adLen_));
    h.update(ad_, adLen_);
    h.final(out64);
}

// The whole password as its own prefix: one definition of H0's input order.
void Argon2Params::initialHash(void* out64, const void* pwd, std::size_t pwdLen, Type type, Version version) const {
    initialHash(out64, initialHashPrefix(pwd, pwdLen, pwdLen, type, version), nullptr, 0);
}

void Argon2Params::expandInitialHash(Block& out, const void* h0, std::uint32_t lane, std::uint32_t index) const {
    // H0, followed by the block index and the lane (little-endian hosts).
    std::uint8_t seed[64 + 8];
    std::memcpy(seed, h0, 64);
    const std::uint32_t le[2] = {index, lane};
    std::memcpy(seed + 64, le, 8);
    detail::blake2bLong(out.v, kBlockSize, seed, sizeof seed);
}

void Argon2Params::fillFirstBlocks(Block* out, const void* pwd, std::size_t pwdLen, Type type,
                                   Version version) const {
    std::uint8_t h0[64];
    initialHash(h0, pwd, pwdLen, type, version);
    for (std::uint32_t lane = 0; lane < lanes_; ++lane)
        for (std::uint32_t i = 0; i < 2; ++i) expandInitialHash(out[2 * lane + i], h0, lane, i);
}

void Argon2Params::finalize(void* out, const Block& lastBlocksXor) const {
    detail::blake2bLong(out, outLen_, lastBlocksXor.v, kBlockSize);
}

}  // namespace argon2
