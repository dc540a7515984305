// The OpenCL flavour's part of the device digest tests: sparse launches past
// the offset boundaries, the drivers' work-group limit, and the kernel's
// permute and sub-group paths under each card's rule for crossing lanes.
#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>

#include "gpu_digest.h"

namespace {

using argon2::cuda::Device;
using argon2::cuda::GlobalContext;
using argon2::cuda::ProcessingUnit;
using argon2::cuda::ProgramContext;

// A setting of the OpenCL fault shim's QUORLEN_CL_LIMITS ("name:value" or a
// bare name, comma-separated): its value, "1" for a bare name, "" when absent.
std::string shimLimit(const std::string& name) {
    const char* v = std::getenv("QUORLEN_CL_LIMITS");
    std::stringstream items(v ? v : "");
    for (std::string item; std::getline(items, item, ',');) {
        if (item == name) return "1";
        if (item.compare(0, name.size() + 1, name + ":") == 0) return item.substr(name.size() + 1);
    }
    return "";
}

}  // namespace

extern const FlavourFacts kFlavour{16384, nullptr, false};

// Under the fault shim's sparse launches (ctest sets them, with a GPU of 48
// GiB that holds the 32 GiB batch in one buffer) only the first and the last
// work-group run.
void BeyondOffsetBoundaries::checkBatchPast(const Device& dev, std::size_t batch) {
    checkBatch(dev, batch, 16384, shimLimit("sparse") != "");
}

// Drivers limit a work-group twice: the device (many GPUs to 256 or 1,024
// work-items, PoCL's CPU device to 4,096) and each kernel (on AMD often below
// the device's), and refuse a launch over either every time: a unit whose
// hash needs a larger group than the lesser limit is refused when it is
// made, not retried, and one that fits is made. ctest runs this under the
// fault shim's limits both ways round (kernel below device, and above).
TEST(Argon2, OpenClWorkGroupOverTheLimitIsRefusedOnce) {
    const std::string device = shimLimit("work-group"), kernel = shimLimit("kernel-work-group");
    if (device.empty() && kernel.empty()) GTEST_SKIP() << "needs the fault shim's work-group limits (ctest sets them)";
    GlobalContext global;
    if (global.getAllDevices().empty()) GTEST_SKIP() << "no OpenCL device here";
    const Device& dev = global.getAllDevices().front();
    const auto stated = [](const std::string& v) { return v.empty() ? std::size_t(-1) : std::size_t(std::stoul(v)); };
    const std::size_t most = std::min(stated(device), stated(kernel));
    ProgramContext program(&global, {dev}, argon2::ARGON2_ID, argon2::ARGON2_VERSION_13);
    const char salt[] = "saltsalt";
    for (const std::uint32_t lanes : {std::uint32_t(most / 32), std::uint32_t(most / 32 + 1)}) {
        argon2::Argon2Params params(32, salt, 8, nullptr, 0, nullptr, 0, 1, lanes * 8, lanes);
        const bool fits = lanes * 32 <= most;
        try {
            ProcessingUnit unit(&program, &params, &dev, 1);
            EXPECT_TRUE(fits) << lanes << " lanes accepted over the limits of " << device << " (device) and "
                              << kernel << " (kernel) work-items";
        } catch (const std::invalid_argument& e) {
            EXPECT_FALSE(fits) << lanes << " lanes refused: " << e.what();
            EXPECT_NE(std::string(e.what()).find("cannot run " + std::to_string(lanes) + " lanes"), std::string::npos)
                << e.what();
        }
    }
}

// The OpenCL kernel's permute and sub-group paths with each card's rule for
// crossing lanes: GCN's wave64 (ds_bpermute takes address bits 7:2), RDNA's
// wave32 and wave64 (each half of 32 lanes on its own), sub-groups of 32 and
// 64. Sub-groups of 16 split a group of 32: the library must refuse them and
// build the local-memory path. The wrong rule (wave64 read as if wave32) is
// the control: the library's own known-answer check must catch its hashes
// and fall back to the local-memory path. Computed references: every use of
// the exchange runs.
INSTANTIATE_TEST_SUITE_P(ExchangeRules, EveryDeviceAndMode,
                         testing::Values(Mode{false, false, "gcn-wave64", "opencl-amd-permute"},
                                         Mode{false, false, "rdna-wave32", "opencl-amd-permute"},
                                         Mode{false, false, "rdna-wave64", "opencl-amd-permute"},
                                         Mode{false, false, "subgroup-16", "opencl-local"},
                                         Mode{false, false, "subgroup-32", "opencl-subgroup"},
                                         Mode{false, false, "subgroup-64", "opencl-subgroup"},
                                         Mode{false, false, "wrong-wave64", "opencl-local"}),
                         modeName);
