// The fixtures of the device digest tests, shared with the flavours' own
// files (gpu_digest_<flavour>_test.cpp), and what each of those files says
// about its flavour.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "argon2gpu/cuda/processing_unit.h"
#include "support/device.h"
#include "support/reference_argon2.h"

struct Mode {
    bool bySegment;
    bool precompute;
    // OpenCL: a card's rule for crossing lanes, which the kernel follows
    // through local memory (QUORLEN_OPENCL_EXCHANGE_RULE), and the path the
    // library must then take.
    const char* rule = nullptr;
    const char* path = nullptr;
};

inline void PrintTo(const Mode& m, std::ostream* os) {
    *os << (m.bySegment ? "by-segment" : "whole-pass") << (m.precompute ? ", precomputed" : ", computed");
    if (m.rule) *os << ", rule " << m.rule;
}

inline std::string modeName(const testing::TestParamInfo<Mode>& info) {
    if (!info.param.rule)
        return std::string(info.param.bySegment ? "BySegment" : "WholePass") +
               (info.param.precompute ? "Precomputed" : "Computed");
    std::string name;
    for (const char* c = info.param.rule; *c; ++c) name += std::isalnum(*c) ? *c : '_';
    return name;
}

// Passwords from 0 bytes to several KiB; a batch cycles through them, so
// that every slot's digest is checked while the reference computes each
// password once.
inline std::vector<std::string> passwordSet() {
    std::mt19937 rng(99);
    std::vector<std::string> set;
    for (std::size_t len : {0, 1, 16, 63, 64, 65, 127, 128, 129, 1000, 1024, 4097, 6000}) {
        std::string pw(len, '\0');
        for (char& ch : pw) ch = static_cast<char>(rng());
        set.push_back(pw);
    }
    return set;
}

// The general parameters' shapes.
struct Shape {
    int type;
    std::uint32_t version, passes, lanes, memoryKiB, outLen;
};

class EveryDeviceAndMode : public testing::TestWithParam<Mode> {
protected:
    argon2::cuda::GlobalContext global;
    std::map<std::pair<std::size_t, std::string>, std::vector<std::uint8_t>> expected;

    void SetUp() override {
        SKIP_WITHOUT_DEVICE();
        if (GetParam().rule) setenv("QUORLEN_OPENCL_EXCHANGE_RULE", GetParam().rule, 1);
    }

    void TearDown() override {
        if (GetParam().rule) unsetenv("QUORLEN_OPENCL_EXCHANGE_RULE");
    }

    void expectPath(const argon2::cuda::ProgramContext& program) {
        if (GetParam().path) {
            EXPECT_STREQ(program.getImplementationName(), GetParam().path);
        } else if (const char* cpu = std::getenv("QUORLEN_OPENCL_CPU_SUBGROUPS"); cpu && *cpu == '1') {
            // A CPU runtime with real sub-groups (Intel's): the path runs for real.
            EXPECT_STREQ(program.getImplementationName(), "opencl-subgroup");
        }
    }

    void checkShapes(const std::vector<Shape>& shapes);

    const std::vector<std::uint8_t>& reference(const Argon2Case& c, const std::string& pw) {
        auto it = expected.find({c.memoryKiB, pw});
        if (it == expected.end()) it = expected.emplace(std::make_pair(c.memoryKiB, pw), reference_argon2(c, pw)).first;
        return it->second;
    }

    // Hashes `batch` slots of the miner's parameters (with `memoryKiB` per
    // hash) on `dev` and compares each with the reference (only the first
    // and the last when `ends`); slot i gets password (i * 7) % set size.
    void checkBatch(const argon2::cuda::Device& dev, std::size_t batch, std::size_t memoryKiB = 16384,
                    bool ends = false) {
        static const std::vector<std::string> set = passwordSet();
        Argon2Case miner;
        miner.memoryKiB = std::uint32_t(memoryKiB);
        argon2::cuda::ProgramContext program(&global, {dev}, argon2::ARGON2_ID, argon2::ARGON2_VERSION_13);
        expectPath(program);
        argon2::Argon2Params params(32, miner.salt.data(), miner.salt.size(), nullptr, 0, nullptr, 0, 1, memoryKiB, 2);
        argon2::cuda::ProcessingUnit unit(&program, &params, &dev, batch, GetParam().bySegment,
                                          GetParam().precompute);
        for (std::size_t i = 0; i < batch; ++i) {
            const std::string& pw = set[(i * 7) % set.size()];
            unit.setPassword(i, pw.data(), pw.size());
        }
        unit.beginProcessing();
        unit.endProcessing();
        std::vector<std::uint8_t> tag(32);
        for (std::size_t i = 0; i < batch; i = ends && i == 0 && batch > 1 ? batch - 1 : i + 1) {
            unit.getHash(i, tag.data());
            const std::string& pw = set[(i * 7) % set.size()];
            ASSERT_EQ(tag, reference(miner, pw)) << "device " << dev.getDeviceIndex() << " batch " << batch
                                                 << " of " << memoryKiB << " KiB"
                                                 << " slot " << i << " password of " << pw.size() << " bytes";
        }
    }
};

// What sets the flavours apart here; each flavour's own file defines it.
struct FlavourFacts {
    // Memory per hash of the batch one wave past what the device holds at once.
    std::size_t waveMemoryKiB;
    // Why the batches past the offset boundaries test nothing in this flavour;
    // null when they do.
    const char* nothingPastBoundaries;
    // The devices are simulated: one of them always has room for those batches.
    bool simulated;
};
extern const FlavourFacts kFlavour;

// Batches whose last hash lies past a boundary of device offsets: 257 hashes
// of 16 MiB end beyond 4 GiB (a 32-bit product of hash index and hash bytes
// wraps there) and 2049 beyond 2^32 words (32 GiB: a 32-bit word index
// wraps), in every kernel and copy. A wrapped offset puts the last hash over
// the first, whose digest then goes wrong. On the simulated runtime the
// grids run sparse (the first and the last hash) and the 32 GiB batch runs
// on the simulated H100 (tests/CMakeLists.txt adds it); on OpenCL the fault
// shim runs the launches sparse the same way, on a GPU it states with 48 GiB
// whose buffers past the driver's own limit are reserved address space; a
// card without room is skipped, the simulation never is.
class BeyondOffsetBoundaries : public EveryDeviceAndMode {
protected:
    void checkPast(std::size_t batch);
    // The flavour's own file: hashes `batch` slots on `dev`, as the flavour
    // can run so many.
    void checkBatchPast(const argon2::cuda::Device& dev, std::size_t batch);
};
