// The fixture of the GPU hasher's tests, shared with the flavours' own files
// (gpu_<flavour>_test.cpp): a hasher on the first device, or a skip without
// one.
#pragma once

#include <gtest/gtest.h>

#include "gpu/gpu_hasher.h"
#include "support/device.h"

class Hasher : public testing::Test {
protected:
    argon2::cuda::GlobalContext global;
    GpuHasher hasher{&first_device(global), false, true};
    void SetUp() override {
        SKIP_WITHOUT_DEVICE();
        hasher.init(global);
    }
};
