// Tests that hash need a device of this build's flavour. The host flavour
// always has one (the CPU); the CUDA flavour on a machine without a GPU has
// none, and those tests skip, saying why, while the rest still run.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>

#include "argon2gpu/cuda/device.h"

bool have_device();

// The global context's first device, or device 0 when there is none (so that
// fixtures can be built; their tests skip before using it).
const argon2::cuda::Device& first_device(const argon2::cuda::GlobalContext& global);

#define SKIP_WITHOUT_DEVICE()                                                         \
    do {                                                                              \
        if (!have_device())                                                           \
            GTEST_SKIP() << "no " << argon2::cuda::GlobalContext::getBackendName()    \
                         << " device here; this test needs a GPU";                    \
    } while (0)

// For test programs whose every test runs the miner on a device: without
// one, none of them runs. A skip in the environment is not reported per
// test, so the marker line that ctest takes as a skip is written here.
class NeedsDevice : public testing::Environment {
public:
    void SetUp() override {
        if (have_device()) return;
        const char* backend = argon2::cuda::GlobalContext::getBackendName();
        std::printf("[  SKIPPED ] no %s device here; these tests need a GPU\n", backend);
        GTEST_SKIP() << "no " << backend << " device here; these tests need a GPU";
    }
};
