// The device kernel's logic, run on the host with 32 lanes in lockstep,
// against Debian's reference libargon2.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "common/blake2b.h"
#include "common/index.h"
#include "kernel/blake2b_block.h"
#include "kernel/block_layout.h"
#include "kernel/emulation.h"
#include "support/reference_argon2.h"

namespace {

std::vector<std::uint8_t> emulated(const Argon2Case& c, const std::string& pw, bool precompute) {
    argon2::Argon2Params params(c.outLen, c.salt.data(), c.salt.size(), c.secret.data(), c.secret.size(),
                                c.ad.data(), c.ad.size(), c.passes, c.memoryKiB, c.lanes);
    return argon2::kernel::emulateHash(params, argon2::Type(c.type), argon2::Version(c.version), pw.data(), pw.size(),
                                       precompute);
}

}  // namespace

TEST(KernelLayout, StoredPositionsArePermutation) {
    std::vector<bool> seen(128, false);
    for (std::uint32_t w = 0; w < 128; ++w) seen.at(argon2::kernel::storedPosition(w)) = true;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 128);
    EXPECT_EQ(argon2::kernel::storedPosition(0), 0u);
    EXPECT_EQ(argon2::kernel::storedPosition(5), 33u);  // row 0, column 1, slot 1
}

// The warp moves a block between its layouts through a scratch block: each
// layout must place all 128 words once, and every 64-bit access of a
// half-warp (how shared memory serves them) must touch 16 different bank
// pairs, or the exchange would be replayed.
TEST(KernelLayout, ScratchExchangeIsAPermutationWithoutBankConflicts) {
    using namespace argon2::kernel;
    for (auto word : {rowWord, columnWord}) {
        std::vector<int> seen(128, 0), positions(128, 0);
        for (std::uint32_t m = 0; m < 4; ++m) {
            for (std::uint32_t half = 0; half < 2; ++half) {
                std::vector<bool> bankPair(16, false);
                for (std::uint32_t l = 16 * half; l < 16 * half + 16; ++l) {
                    const std::uint32_t w = word(l, m);
                    ++seen.at(w);
                    ++positions.at(scratchPosition(w));
                    EXPECT_FALSE(bankPair[scratchPosition(w) % 16]) << "slot " << m << " lane " << l;
                    bankPair[scratchPosition(w) % 16] = true;
                }
            }
        }
        EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 128);
        EXPECT_EQ(std::count(positions.begin(), positions.end(), 1), 128);
    }
    for (std::uint32_t l = 0; l < 32; ++l)
        for (std::uint32_t m = 0; m < 4; ++m) EXPECT_EQ(storedPosition(rowWord(l, m)), 32 * m + l);
}

// The device's block offsets in words, far past where 32 bits would wrap:
// the batches of large cards reach 2^32 words (32 GiB).
TEST(KernelLayout, BlockOffsetsStay64BitPast32GiB) {
    const argon2::detail::Geometry miner{2, 2048, 8192, 1};
    const std::size_t hashWords = std::size_t(2) * 8192 * 128;
    EXPECT_EQ(argon2::kernel::blockWord(miner, 4096, 0, 0), 4096 * hashWords);
    EXPECT_GT(argon2::kernel::blockWord(miner, 4096, 0, 0), std::size_t(0xffffffffu));
    EXPECT_EQ(argon2::kernel::blockWord(miner, 4097, 1, 8191), 4098 * hashWords - 128);
    // One lane of 2^25 blocks: its last block alone lies past 2^32 words.
    const argon2::detail::Geometry huge{1, 1u << 23, 1u << 25, 1};
    EXPECT_EQ(argon2::kernel::blockWord(huge, 0, 0, (1u << 25) - 1), (std::size_t(1) << 32) - 128);
    EXPECT_EQ(argon2::kernel::blockWord(huge, 1, 0, 1), (std::size_t(1) << 32) + 128);
}

TEST(KernelIndex, RemainderByMultiplicationIsExact) {
    std::mt19937 rng(3);
    for (std::uint32_t d : {1u, 2u, 3u, 7u, 16u, 255u, 65537u, 0x7fffffffu, 0xffffffffu}) {
        const auto mod = argon2::detail::laneModulus(d);
        for (std::uint32_t x : {0u, 1u, d - 1, d, d + 1, 0xfffffffeu, 0xffffffffu})
            EXPECT_EQ(argon2::detail::remainder(x, mod), x % d) << x << " % " << d;
        for (int i = 0; i < 2000; ++i) {
            const std::uint32_t x = std::uint32_t(rng());
            ASSERT_EQ(argon2::detail::remainder(x, mod), x % d) << x << " % " << d;
        }
    }
}

TEST(KernelEmulation, MatchesTheReferenceOnEveryTestedShape) {
    std::mt19937 rng(11);
    for (std::uint32_t lanes : {1u, 2u, 3u}) {
        for (std::uint32_t kib : {8 * lanes, 64u, 1024u}) {
            for (int type : {0, 1, 2}) {
                for (bool precompute : {false, true}) {
                    Argon2Case c;
                    c.type = type;
                    c.lanes = lanes;
                    c.memoryKiB = kib;
                    c.passes = type == 2 ? 1 : 2;
                    std::string pw(rng() % 300, '\0');
                    for (char& ch : pw) ch = char(rng());
                    EXPECT_EQ(emulated(c, pw, precompute), reference_argon2(c, pw))
                        << "lanes " << lanes << " KiB " << kib << " type " << type << " precompute " << precompute;
                }
            }
        }
    }
}

TEST(KernelEmulation, MinerParametersAndOlderVersion) {
    const Argon2Case miner;
    EXPECT_EQ(emulated(miner, "{\"msg\":\"warmup\"}", true), reference_argon2(miner, "{\"msg\":\"warmup\"}"));
    Argon2Case v10;
    v10.version = 0x10;
    v10.passes = 3;
    v10.memoryKiB = 256;
    EXPECT_EQ(emulated(v10, "pw", false), reference_argon2(v10, "pw"));
}

TEST(KernelBlake2b, FirstBlocksAndShortTagsMatchTheCommonCode) {
    std::mt19937_64 rng(5);
    for (int round = 0; round < 20; ++round) {
        std::uint64_t h0[8];
        for (auto& w : h0) w = rng();
        const std::uint32_t index = round % 2, lane = std::uint32_t(rng() % 4);
        unsigned char seed[72];
        std::memcpy(seed, h0, 64);
        std::memcpy(seed + 64, &index, 4);
        std::memcpy(seed + 68, &lane, 4);
        argon2::Block expected, got, stored;
        argon2::detail::blake2bLong(expected.v, 1024, seed, sizeof seed);
        argon2::kernel::firstBlock(h0, index, lane, stored.v);
        argon2::kernel::xorLastBlocks(stored.v, 0, 1, true, got.v);  // one lane: the block itself
        EXPECT_EQ(std::memcmp(got.v, expected.v, 1024), 0);

        for (std::uint32_t outLen : {4u, 32u, 64u}) {
            std::uint8_t want[64], have[64];
            argon2::detail::blake2bLong(want, outLen, expected.v, 1024);
            std::uint64_t words[8];
            argon2::kernel::shortTag(expected.v, outLen, words);
            std::memcpy(have, words, 64);
            EXPECT_EQ(std::memcmp(want, have, outLen), 0) << outLen;
        }
    }
}
