// The host flavour's own Argon2 tests: every fill variant this CPU supports
// against the reference, and the runtime stand-ins.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "argon2_batch.h"
#include "argon2gpu/cuda/runtime.h"
#include "host/fill.h"

using namespace argon2_tests;

namespace {

// Runs the test body once per supported fill variant.
class EveryFillVariant : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        for (const auto& v : argon2::host::fillVariants())
            if (GetParam() == v.name && !v.supported()) GTEST_SKIP() << GetParam() << " not supported here";
        GlobalContext global;
        ProgramContext program(&global, global.getAllDevices(), argon2::ARGON2_ID, argon2::ARGON2_VERSION_13);
        ASSERT_TRUE(program.selectImplementation(GetParam()));
        ASSERT_EQ(program.getImplementationName(), GetParam());
    }
};

}  // namespace

TEST_P(EveryFillVariant, MinerParametersMatchTheReference) {
    std::mt19937 rng(std::hash<std::string>{}(GetParam()));
    const Argon2Case miner;
    std::vector<std::string> pw = {"", "{\"msg\":\"warmup\"}", randomBytes(rng, 5000), randomBytes(rng, rng() % 5001)};
    for (Options o : {Options{false, true, GetParam()}, Options{true, false, GetParam()}}) {
        auto ours = ourHashes(miner, pw, o);
        for (std::size_t i = 0; i < pw.size(); ++i)
            EXPECT_EQ(ours[i], reference_argon2(miner, pw[i])) << "slot " << i << " len " << pw[i].size();
    }
}

TEST_P(EveryFillVariant, GeneralParametersMatchTheReference) {
    std::mt19937 rng(7);
    for (int type : {0, 1, 2}) {
        for (std::uint32_t version : {0x10u, 0x13u}) {
            const Argon2Case c = randomCase(rng, type, version);
            std::vector<std::string> pw = {randomBytes(rng, rng() % 200), randomBytes(rng, rng() % 200)};
            for (Options o : {Options{false, false, GetParam()}, Options{true, true, GetParam()}}) {
                auto ours = ourHashes(c, pw, o);
                for (std::size_t i = 0; i < pw.size(); ++i)
                    EXPECT_EQ(ours[i], reference_argon2(c, pw[i]))
                        << "type " << type << " v" << version << " t" << c.passes << " m" << c.memoryKiB << " p"
                        << c.lanes;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Host, EveryFillVariant, testing::Values("portable", "ssse3", "avx2", "avx512f"),
                         [](const auto& info) { return info.param; });

TEST(Argon2, HostRuntimeStandIns) {
    GlobalContext global;
    ASSERT_EQ(global.getAllDevices().size(), 1u);
    EXPECT_EQ(global.getAllDevices()[0].getDeviceIndex(), 0);
    EXPECT_EQ(cudaSetDevice(0), cudaSuccess);
    EXPECT_NE(cudaSetDevice(1), cudaSuccess);
    EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
}
