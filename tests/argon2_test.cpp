// Our Argon2 library against Debian's reference libargon2, in both scheduling
// modes. What only one flavour has (the host's fill variants, OpenCL's
// program cache) is tested in that flavour's own file, argon2_<flavour>_test.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <string>

#include "argon2_batch.h"
#include "argon2gpu/cpu_hash.h"
#include "argon2gpu/cuda/processing_unit.h"
#include "argon2gpu/cuda/runtime.h"
#include "support/device.h"
#include "support/reference_argon2.h"

using namespace argon2_tests;

namespace {

std::vector<std::uint8_t> cpuHashOf(const Argon2Case& c, const std::string& pw) {
    argon2::Argon2Params params(c.outLen, c.salt.data(), c.salt.size(), c.secret.data(), c.secret.size(),
                                c.ad.data(), c.ad.size(), c.passes, c.memoryKiB, c.lanes);
    std::vector<std::uint8_t> out(c.outLen);
    argon2::cpuHash(params, argon2::Type(c.type), argon2::Version(c.version), pw.data(), pw.size(), out.data());
    return out;
}

}  // namespace

// The CPU yardstick that device results are checked against.
TEST(Argon2, CpuHashIsTheReference) {
    std::mt19937 rng(11);
    const Argon2Case miner;
    for (const std::string& pw : {std::string(), std::string("{\"msg\":\"warmup\"}"), randomBytes(rng, 3000)})
        EXPECT_EQ(cpuHashOf(miner, pw), reference_argon2(miner, pw)) << "len " << pw.size();
    for (int type : {0, 1, 2})
        for (std::uint32_t version : {0x10u, 0x13u}) {
            const Argon2Case c = randomCase(rng, type, version);
            const std::string pw = randomBytes(rng, rng() % 200);
            EXPECT_EQ(cpuHashOf(c, pw), reference_argon2(c, pw))
                << "type " << type << " v" << version << " t" << c.passes << " m" << c.memoryKiB << " p" << c.lanes;
        }
}

TEST(Argon2, Rfc9106TestVectors) {
    SKIP_WITHOUT_DEVICE();
    // RFC 9106, section 5: 32 KiB, 3 passes, 4 lanes, with secret and data.
    Argon2Case c;
    c.passes = 3;
    c.memoryKiB = 32;
    c.lanes = 4;
    c.salt = std::string(16, '\x02');
    c.secret = std::string(8, '\x03');
    c.ad = std::string(12, '\x04');
    const std::string pw(32, '\x01');
    const std::vector<std::uint8_t> expected[3] = {
        {0x51, 0x2b, 0x39, 0x1b, 0x6f, 0x11, 0x62, 0x97, 0x53, 0x71, 0xd3, 0x09, 0x19, 0x73, 0x42, 0x94,
         0xf8, 0x68, 0xe3, 0xbe, 0x39, 0x84, 0xf3, 0xc1, 0xa1, 0x3a, 0x4d, 0xb9, 0xfa, 0xbe, 0x4a, 0xcb},
        {0xc8, 0x14, 0xd9, 0xd1, 0xdc, 0x7f, 0x37, 0xaa, 0x13, 0xf0, 0xd7, 0x7f, 0x24, 0x94, 0xbd, 0xa1,
         0xc8, 0xde, 0x6b, 0x01, 0x6d, 0xd3, 0x88, 0xd2, 0x99, 0x52, 0xa4, 0xc4, 0x67, 0x2b, 0x6c, 0xe8},
        {0x0d, 0x64, 0x0d, 0xf5, 0x8d, 0x78, 0x76, 0x6c, 0x08, 0xc0, 0x37, 0xa3, 0x4a, 0x8b, 0x53, 0xc9,
         0xd0, 0x1e, 0xf0, 0x45, 0x2d, 0x75, 0xb6, 0x5e, 0xb5, 0x25, 0x20, 0xe9, 0x6b, 0x01, 0xe6, 0x59},
    };
    for (int type = 0; type < 3; ++type) {
        c.type = type;
        EXPECT_EQ(ourHashes(c, {pw})[0], expected[type]) << "type " << type;
        EXPECT_EQ(reference_argon2(c, pw), expected[type]);
    }
}

TEST(Argon2, BatchesAreIndependentAndNothingStaleIsReused) {
    SKIP_WITHOUT_DEVICE();
    Argon2Case c;
    c.passes = 2;
    c.memoryKiB = 256;
    std::vector<std::string> five = {"a", "b", "a", "c", "a"};
    auto first = ourHashes(c, five);
    EXPECT_EQ(first[0], first[2]);
    EXPECT_EQ(first[0], first[4]);
    EXPECT_NE(first[0], first[1]);

    GlobalContext global;
    const Device& dev = global.getAllDevices()[0];
    ProgramContext program(&global, {dev}, argon2::ARGON2_ID, argon2::ARGON2_VERSION_13);
    argon2::Argon2Params params(32, c.salt.data(), c.salt.size(), nullptr, 0, nullptr, 0, 2, 256, 2);
    ProcessingUnit unit(&program, &params, &dev, 3, false, true);
    for (const char* round : {"x", "y"}) {
        for (std::size_t i = 0; i < 3; ++i) unit.setPassword(i, round, 1);
        unit.beginProcessing();
        unit.endProcessing();
        std::vector<std::uint8_t> tag(32);
        for (std::size_t i = 0; i < 3; ++i) {
            unit.getHash(i, tag.data());
            EXPECT_EQ(tag, reference_argon2(c, round));
        }
    }
}

TEST(Argon2, OutOfMemoryIsReportedAsSuch) {
    SKIP_WITHOUT_DEVICE();
    GlobalContext global;
    const Device& dev = global.getAllDevices()[0];
    ProgramContext program(&global, {dev}, argon2::ARGON2_ID, argon2::ARGON2_VERSION_13);
    argon2::Argon2Params params(32, "s", 1, nullptr, 0, nullptr, 0, 1, 16384, 2);
    std::size_t total = 0, free = 0;
    ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    EXPECT_GT(total, 0u);
    EXPECT_LE(free, total);
    const std::size_t tooMany = total / params.getMemoryBytes() + 16;
    try {
        ProcessingUnit unit(&program, &params, &dev, tooMany, false, true);
        FAIL() << "allocated " << tooMany << " hashes";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("out of memory"), std::string::npos) << e.what();
    }
}


// H0 from a shared start and each password's rest equals the one-step H0
// wherever the split falls: inside the parameter block, on and around every
// BLAKE2b block boundary, at both ends, and for long passwords.
TEST(Argon2, InitialHashFromASharedPrefixEqualsTheWholeHash) {
    const std::string salt = "quorlen-argon2-salt";
    argon2::Argon2Params params(32, salt.data(), salt.size(), nullptr, 0, nullptr, 0, 1, 16384, 2);
    std::mt19937 rng(15);
    std::vector<std::size_t> lengths;
    for (std::size_t len = 0; len <= 300; ++len) lengths.push_back(len);
    for (std::size_t len : {511u, 612u, 700u, 38000u, 38001u}) lengths.push_back(len);
    for (std::size_t len : lengths) {
        const std::string pw = randomBytes(rng, len);
        std::uint8_t whole[64], split[64];
        params.initialHash(whole, pw.data(), pw.size(), argon2::ARGON2_ID, argon2::ARGON2_VERSION_13);
        std::vector<std::size_t> cuts = {0, len, len / 2};
        for (std::size_t c = 99; c <= 101 && c <= len; ++c) cuts.push_back(c);  // 28 + 100 fills the first block
        for (std::size_t c = 227; c <= 229 && c <= len; ++c) cuts.push_back(c);
        if (len > 0) cuts.push_back(len - 1);
        for (std::size_t cut : cuts) {
            const argon2::InitialHashPrefix prefix =
                params.initialHashPrefix(pw.data(), cut, len, argon2::ARGON2_ID, argon2::ARGON2_VERSION_13);
            EXPECT_EQ(prefix.passwordLength(), len);
            params.initialHash(split, prefix, pw.data() + cut, len - cut);
            ASSERT_EQ(0, std::memcmp(whole, split, 64)) << "length " << len << " cut " << cut;
        }
    }
    const auto prefix = params.initialHashPrefix("ab", 2, 5, argon2::ARGON2_ID, argon2::ARGON2_VERSION_13);
    std::uint8_t out[64];
    EXPECT_THROW(params.initialHash(out, prefix, "cd", 2), std::invalid_argument);
    EXPECT_THROW(params.initialHashPrefix("abc", 3, 2, argon2::ARGON2_ID, argon2::ARGON2_VERSION_13),
                 std::invalid_argument);
}

// Two rounds in flight: each keeps its own inputs (passwords or H0s) and its
// own tags, ends in the order begun, and a third is refused until one ends.
TEST(Argon2, RoundsOverlapAndKeepTheirOwnInputs) {
    SKIP_WITHOUT_DEVICE();
    Argon2Case c;
    c.passes = 2;
    c.memoryKiB = 256;
    GlobalContext global;
    const Device& dev = global.getAllDevices()[0];
    ProgramContext program(&global, {dev}, argon2::ARGON2_ID, argon2::ARGON2_VERSION_13);
    argon2::Argon2Params params(32, c.salt.data(), c.salt.size(), nullptr, 0, nullptr, 0, 2, 256, 2);
    const std::vector<std::vector<std::string>> rounds = {{"a", "bb", "ccc"}, {"dd", "", "a"}, {"x", "yy", "zzz"}};
    for (bool bySegment : {false, true}) {
        ProcessingUnit unit(&program, &params, &dev, 3, bySegment, !bySegment);
        // Round 0 by passwords, round 1 by H0s, round 2 mixed.
        auto set = [&](std::size_t r) {
            for (std::size_t i = 0; i < 3; ++i) {
                const std::string& pw = rounds[r][i];
                if (r == 0 || (r == 2 && i == 1)) {
                    unit.setPassword(i, pw.data(), pw.size());
                } else {
                    std::uint8_t h0[64];
                    params.initialHash(h0, pw.data(), pw.size(), argon2::ARGON2_ID, argon2::ARGON2_VERSION_13);
                    unit.setInitialHash(i, h0);
                }
            }
        };
        auto expectRound = [&](std::size_t r) {
            std::vector<std::uint8_t> tag(32);
            for (std::size_t i = 0; i < 3; ++i) {
                unit.getHash(i, tag.data());
                EXPECT_EQ(tag, reference_argon2(c, rounds[r][i])) << "round " << r << " slot " << i;
            }
        };
        set(0);
        unit.beginProcessing();
        set(1);
        unit.beginProcessing();
        EXPECT_THROW(unit.setPassword(0, "q", 1), std::logic_error);
        EXPECT_THROW(unit.beginProcessing(), std::logic_error);
        unit.endProcessing();
        expectRound(0);
        set(2);
        unit.beginProcessing();
        unit.endProcessing();
        expectRound(1);
        unit.endProcessing();
        expectRound(2);
        unit.endProcessing();  // nothing in flight: the last tags stay
        expectRound(2);
    }
}

TEST(Argon2, SlotsOutsideTheBatchAreRefused) {
    SKIP_WITHOUT_DEVICE();
    GlobalContext global;
    const Device& dev = global.getAllDevices()[0];
    ProgramContext program(&global, {dev}, argon2::ARGON2_ID, argon2::ARGON2_VERSION_13);
    const Argon2Case c;
    argon2::Argon2Params params(32, c.salt.data(), c.salt.size(), nullptr, 0, nullptr, 0, 1, 64, 1);
    ProcessingUnit unit(&program, &params, &dev, 2);
    const std::uint8_t h0[64] = {};
    std::uint8_t tag[32];
    EXPECT_THROW(unit.setPassword(2, "a", 1), std::out_of_range);
    EXPECT_THROW(unit.setInitialHash(2, h0), std::out_of_range);
    unit.setPassword(0, "a", 1);
    unit.setInitialHash(1, h0);
    unit.beginProcessing();
    unit.endProcessing();
    EXPECT_THROW(unit.getHash(2, tag), std::out_of_range);
    EXPECT_NO_THROW(unit.getHash(1, tag));
}

TEST(Argon2, AnUnknownImplementationIsRefusedAndTheChoiceStays) {
    SKIP_WITHOUT_DEVICE();
    GlobalContext global;
    ProgramContext program(&global, global.getAllDevices(), argon2::ARGON2_ID, argon2::ARGON2_VERSION_13);
    const std::string chosen = program.getImplementationName();
    EXPECT_FALSE(program.selectImplementation("no-such-code-path"));
    EXPECT_EQ(program.getImplementationName(), chosen);
    EXPECT_TRUE(program.selectImplementation(chosen));
}
