// Digests of our library's device flavour against Debian's libargon2, on
// every device: the miner's parameters in each kernel mode at the batch sizes
// where device code goes wrong (one hash, a few, one wave more than the device
// holds at once, past 4 GiB of memory and past 2^32 words), and the general
// parameters. Labelled "gpu"; without a device they skip. Under the host
// flavour the CPU is the device, which keeps these tests honest where no GPU
// is; under the simulated CUDA runtime the CUDA flavour's own source runs, a
// fiber per thread, where the wave is checked with small hashes of the
// miner's shape and the big batches run sparse: their first and last hash
// only, in memory reserved but not committed. Under OpenCL the kernel's
// permute and sub-group paths also run here, each following a card's rule
// for crossing lanes (ExchangeRules, in gpu_digest_opencl_test.cpp).
#include <gtest/gtest.h>

#include <cstdio>

#include "argon2gpu/cuda/runtime.h"
#include "gpu_digest.h"

namespace {

using argon2::cuda::Device;
using argon2::cuda::ProcessingUnit;
using argon2::cuda::ProgramContext;

}  // namespace

TEST_P(EveryDeviceAndMode, MinerParametersAtEveryBatchShape) {
    for (const Device& dev : global.getAllDevices()) {
        const std::size_t resident = dev.getResidentHashes(2);
        ASSERT_GT(resident, 0u) << dev.getName();
        std::size_t free = 0, total = 0;
        ASSERT_EQ(cudaSetDevice(dev.getDeviceIndex()), cudaSuccess);
        ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
        for (std::size_t batch : {std::size_t(1), std::size_t(3), resident + 1}) {
            if (GetParam().rule && batch > 3) continue;  // the exchange needs no full wave
            const std::size_t memoryKiB = batch > resident ? kFlavour.waveMemoryKiB : 16384;
            if (batch * memoryKiB * 1024 > free * 9 / 10) {
                ADD_FAILURE() << dev.getName() << " cannot hold " << batch << " hashes";
                continue;
            }
            checkBatch(dev, batch, memoryKiB);
        }
    }
}

void BeyondOffsetBoundaries::checkPast(std::size_t batch) {
    if (kFlavour.nothingPastBoundaries) GTEST_SKIP() << kFlavour.nothingPastBoundaries;
    int tested = 0;
    for (const Device& dev : global.getAllDevices()) {
        std::size_t free = 0, total = 0;
        ASSERT_EQ(cudaSetDevice(dev.getDeviceIndex()), cudaSuccess);
        ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
        if (batch * (std::size_t(16) << 20) > free * 9 / 10) {
            // On simulated cards another one has room: not a skip.
            const char* marker = kFlavour.simulated ? "[  NO ROOM ]" : "[  SKIPPED ]";
            std::printf("%s %s: %zu MiB free, fewer than %zu hashes fit\n", marker, dev.getName().c_str(),
                        free >> 20, batch);
            continue;
        }
        checkBatchPast(dev, batch);
        ++tested;
    }
    if (kFlavour.simulated) {
        ASSERT_GT(tested, 0) << "no simulated device has room for " << batch << " hashes";
    } else if (tested == 0) {
        GTEST_SKIP() << "no device has room for " << batch << " hashes";
    }
}

TEST_P(BeyondOffsetBoundaries, MemoryBeyondFourGiB) { checkPast(257); }

TEST_P(BeyondOffsetBoundaries, WordsBeyondThirtyTwoGiB) { checkPast(2049); }

// Other types, versions, passes and lanes than the miner's, as the library
// accepts them.
TEST_P(EveryDeviceAndMode, GeneralParameters) {
    checkShapes({{0, 0x13, 2, 1, 64, 32},
                 {1, 0x13, 3, 4, 256, 64},
                 {2, 0x10, 2, 3, 200, 16},
                 {2, 0x13, 1, 8, 1024, 100},
                 {0, 0x10, 1, 2, 4096, 32},
                 {1, 0x10, 4, 1, 33, 4}});
}

// Small enough for the judges that interpret or instrument every access
// (Oclgrind, memcheck over the simulated runtime): each loop of the fill,
// the XOR of later passes and its absence, lanes that reference each
// other, in a few MB of traffic. Work-groups of one lane and of four too,
// at the least memory and passes that reach every barrier: in whole passes
// with computed references (the slice barrier, the address blocks'
// exchanges), of which the other modes reach a part.
TEST_P(EveryDeviceAndMode, SmallShapes) {
    std::vector<Shape> shapes = {{2, 0x13, 3, 2, 32, 32}, {1, 0x10, 2, 2, 16, 16}};
    if (!GetParam().bySegment && !GetParam().precompute)
        shapes.insert(shapes.end(), {{2, 0x13, 2, 1, 8, 32}, {2, 0x13, 2, 4, 32, 32}});
    checkShapes(shapes);
}

void EveryDeviceAndMode::checkShapes(const std::vector<Shape>& shapes) {
    for (const Device& dev : global.getAllDevices()) {
        for (const Shape& s : shapes) {
            Argon2Case c;
            c.type = s.type;
            c.version = s.version;
            c.passes = s.passes;
            c.lanes = s.lanes;
            c.memoryKiB = s.memoryKiB;
            c.outLen = s.outLen;
            c.secret = "key";
            c.ad = "data";
            ProgramContext program(&global, {dev}, argon2::Type(c.type), argon2::Version(c.version));
            expectPath(program);
            argon2::Argon2Params params(c.outLen, c.salt.data(), c.salt.size(), c.secret.data(), c.secret.size(),
                                        c.ad.data(), c.ad.size(), c.passes, c.memoryKiB, c.lanes);
            const std::vector<std::string> pw = {"", std::string(300, 'x'), "abc"};
            ProcessingUnit unit(&program, &params, &dev, pw.size(), GetParam().bySegment, GetParam().precompute);
            for (std::size_t i = 0; i < pw.size(); ++i) unit.setPassword(i, pw[i].data(), pw[i].size());
            unit.beginProcessing();
            unit.endProcessing();
            std::vector<std::uint8_t> tag(c.outLen);
            for (std::size_t i = 0; i < pw.size(); ++i) {
                unit.getHash(i, tag.data());
                EXPECT_EQ(tag, reference_argon2(c, pw[i])) << "type " << c.type << " v" << c.version << " t"
                                                           << c.passes << " p" << c.lanes << " m" << c.memoryKiB;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, EveryDeviceAndMode,
                         testing::Values(Mode{false, false}, Mode{false, true}, Mode{true, false}, Mode{true, true}),
                         modeName);
INSTANTIATE_TEST_SUITE_P(Modes, BeyondOffsetBoundaries,
                         testing::Values(Mode{false, false}, Mode{false, true}, Mode{true, false}, Mode{true, true}),
                         modeName);
