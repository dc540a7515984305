// Argon2 parameters and the work that every flavour shares: the initial hash,
// the first two blocks of every lane and the final tag (RFC 9106).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace argon2 {

enum Type { ARGON2_D = 0, ARGON2_I = 1, ARGON2_ID = 2 };
enum Version { ARGON2_VERSION_10 = 0x10, ARGON2_VERSION_13 = 0x13 };

constexpr std::size_t kBlockSize = 1024;
constexpr std::size_t kQwordsInBlock = kBlockSize / 8;
constexpr std::uint32_t kSyncPoints = 4;

struct alignas(64) Block {
    std::uint64_t v[kQwordsInBlock];
};

// H0's state after the parameters, a password length and the first bytes of
// the password. Passwords of that length that start with those bytes then
// cost only their remaining bytes (Argon2Params::initialHash): texts that
// share a long start pay for it once, not once each.
class InitialHashPrefix {
public:
    std::size_t passwordLength() const { return pwdLen_; }
    std::size_t prefixLength() const { return prefixLen_; }
    static constexpr std::size_t kStateBytes = 256;

private:
    friend class Argon2Params;
    alignas(8) unsigned char state_[kStateBytes];  // the BLAKE2b state, copied per password
    std::size_t pwdLen_ = 0;
    std::size_t prefixLen_ = 0;
};

class Argon2Params {
public:
    // Salt, secret and associated data are referenced, not copied: they must
    // outlive the parameters. `mCost` is in KiB (blocks); it is rounded down
    // to a multiple of 4 * lanes, and raised to 8 * lanes, as Argon2 requires.
    Argon2Params(std::size_t outLen, const void* salt, std::size_t saltLen, const void* secret,
                 std::size_t secretLen, const void* ad, std::size_t adLen, std::size_t tCost,
                 std::size_t mCost, std::size_t lanes);

    std::size_t getOutputLength() const { return outLen_; }
    std::uint32_t getTimeCost() const { return tCost_; }
    std::uint32_t getLanes() const { return lanes_; }
    std::uint32_t getSegmentBlocks() const { return segmentBlocks_; }
    std::uint32_t getLaneBlocks() const { return segmentBlocks_ * kSyncPoints; }
    std::uint32_t getMemoryBlocks() const { return getLaneBlocks() * lanes_; }
    std::size_t getMemoryBytes() const { return std::size_t(getMemoryBlocks()) * kBlockSize; }

    // H0, the 64-byte hash of the password and all parameters.
    void initialHash(void* out64, const void* pwd, std::size_t pwdLen, Type type, Version version) const;

    // H0 in two steps: the shared start of passwords of length `pwdLen`, then
    // one password's remaining bytes (pwdLen minus the prefix's length of
    // them, else std::invalid_argument). Equal to the one-step H0.
    InitialHashPrefix initialHashPrefix(const void* head, std::size_t headLen, std::size_t pwdLen, Type type,
                                        Version version) const;
    void initialHash(void* out64, const InitialHashPrefix& prefix, const void* rest, std::size_t restLen) const;

    // Block `index` (0 or 1) of `lane`, from H0.
    void expandInitialHash(Block& out, const void* h0, std::uint32_t lane, std::uint32_t index) const;

    // Writes blocks 0 and 1 of every lane: out[2 * lane + i] is block i of `lane`.
    void fillFirstBlocks(Block* out, const void* pwd, std::size_t pwdLen, Type type, Version version) const;

    // The tag from the XOR of the last block of every lane.
    void finalize(void* out, const Block& lastBlocksXor) const;

private:
    std::size_t outLen_;
    const void* salt_;
    std::size_t saltLen_;
    const void* secret_;
    std::size_t secretLen_;
    const void* ad_;
    std::size_t adLen_;
    std::uint32_t tCost_;
    std::uint32_t mCost_;
    std::uint32_t lanes_;
    std::uint32_t segmentBlocks_;
};

}  // namespace argon2
