// A real hasher whose results a test can spoil the way a faulty card would:
// a wrong digest in slot 0, or a device whose context is lost.
#pragma once

#include <string>
#include <vector>

#include "gpu/gpu_hasher.h"

class FaultyHasher : public GpuHasher {
public:
    enum class Fault { None, WrongDigest, DeviceLost };
    Fault fault = Fault::None;
    using GpuHasher::GpuHasher;

    void digests_ready(std::vector<std::string>& outputs) override {
        if (fault == Fault::DeviceLost) throw argon2::cuda::DeviceLost("an illegal memory access was encountered");
        if (fault == Fault::WrongDigest && !outputs.empty()) outputs[0] = std::string(64, '0');
    }
};
