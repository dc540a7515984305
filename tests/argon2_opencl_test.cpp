// The OpenCL flavour's own Argon2 tests: how its error codes are read, its
// program cache, and its runtime stand-ins.
#include <gtest/gtest.h>

#include <CL/cl.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

#include "argon2_batch.h"
#include "argon2gpu/cuda/runtime.h"
#include "block/printable.h"
#include "opencl/cl_fill_build.h"
#include "opencl/cl_program_cache.h"
#include "opencl/cl_runtime.h"

using namespace argon2_tests;

using namespace quorlen::block;

namespace {

// The binary of a kernel named and shaped as the fill that writes nothing,
// built for the first OpenCL device: a valid program that hashes wrong.
std::vector<unsigned char> do_nothing_fill_binary() {
    const char* source =
        "__kernel void fill(__global ulong* m, uint a, uint b, uint c, ulong d, uint e, uint f, uint g, uint h,"
        " uint i, uint j, __global const uint* k, __global const long* l, __local ulong* s) {}";
    cl_platform_id platform = nullptr;
    cl_device_id device = nullptr;
    cl_int err = clGetPlatformIDs(1, &platform, nullptr);
    if (err == CL_SUCCESS) err = clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, 1, &device, nullptr);
    if (err != CL_SUCCESS) return {};
    cl_context context = clCreateContext(nullptr, 1, &device, nullptr, nullptr, &err);
    cl_program program = clCreateProgramWithSource(context, 1, &source, nullptr, &err);
    std::vector<unsigned char> binary;
    std::size_t size = 0;
    if (clBuildProgram(program, 1, &device, "-cl-std=CL1.2", nullptr, nullptr) == CL_SUCCESS &&
        clGetProgramInfo(program, CL_PROGRAM_BINARY_SIZES, sizeof size, &size, nullptr) == CL_SUCCESS) {
        binary.resize(size);
        unsigned char* out = binary.data();
        clGetProgramInfo(program, CL_PROGRAM_BINARIES, sizeof out, &out, nullptr);
    }
    clReleaseProgram(program);
    clReleaseContext(context);
    return binary;
}

}  // namespace

// Every code at every stage, against the drivers' meanings: a device is lost
// after these alone (and CL_OUT_OF_RESOURCES only from a wait), including
// every vendor code below the standard's range.
TEST(Argon2, OpenClLostDeviceCodes) {
    using argon2::opencl::Stage;
    for (const Stage stage : {Stage::Setup, Stage::Enqueue, Stage::Wait})
        for (cl_int code = -20000; code < 0; ++code) {
            const bool lost = code <= -9999 || code == CL_DEVICE_NOT_AVAILABLE ||
                              code == CL_EXEC_STATUS_ERROR_FOR_EVENTS_IN_WAIT_LIST ||
                              code == CL_INVALID_COMMAND_QUEUE || code == CL_INVALID_CONTEXT ||
                              (code == CL_OUT_OF_RESOURCES && stage == Stage::Wait);
            try {
                argon2::opencl::check(code, "a call", -1, stage);
                ADD_FAILURE() << "code " << code << " taken for success";
            } catch (const argon2::cuda::DeviceLost&) {
                EXPECT_TRUE(lost) << "code " << code << " at stage " << int(stage);
            } catch (const std::runtime_error&) {
                EXPECT_FALSE(lost) << "code " << code << " at stage " << int(stage);
            }
        }
}

// The built kernel is cached per device and driver. A cached file the driver
// must never see (cut anywhere, damaged in the middle, not one of ours) is
// deleted unread, and a file that vouches for a genuine program that computes
// wrong is caught by the known-answer check: each time the program is built
// anew from source, hashes right and replaces the file. A refusal kept in
// the cache is read back instead of a compile. The runtime stand-ins name
// this flavour's devices, and the fast paths are refused where they cannot run.
TEST(Argon2, OpenClProgramCacheAndRuntimeStandIns) {
    SKIP_WITHOUT_DEVICE();
    GlobalContext global;
    const Device& dev = global.getAllDevices()[0];
    EXPECT_EQ(cudaSetDevice(int(global.getAllDevices().size())), 101);
    ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
    std::size_t free = 0, total = 0;
    ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    EXPECT_LE(free, total);
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    const std::string dir = (xdg && *xdg ? std::string(xdg) : std::string(std::getenv("HOME")) + "/.cache") +
                            "/quorlen-gpu-miner/opencl";
    const auto programFiles = [&dir] {
        std::vector<std::string> found;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dir, ec))
            if (e.path().filename().string().rfind("fill-", 0) == 0 && e.path().extension() == ".bin")
                found.push_back(e.path());
        return found;
    };
    // Programs of an earlier kernel or other settings, left by earlier runs,
    // are not this one's.
    for (const std::string& stale : programFiles()) std::filesystem::remove(stale);
    { ProgramContext program(&global, {dev}, argon2::ARGON2_ID, argon2::ARGON2_VERSION_13); }
    const std::vector<std::string> files = programFiles();
    ASSERT_EQ(files.size(), 1u) << dir << ": one path, one file";
    const std::string file = files[0];
    const argon2::opencl::ProgramCache cache = argon2::opencl::ProgramCache::atPath(file);
    ASSERT_EQ(cache.load().kind, argon2::opencl::CacheEntry::Kind::Binary);
    std::ifstream in(file, std::ios::binary);
    const std::string genuine((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Drivers' binaries differ in size by a factor of several (PoCL's about
    // 150 KB, Intel's CPU runtime about 43 KB): the cuts follow the file.
    ASSERT_GT(genuine.size(), 8192u);

    struct Damage {
        std::string what, bytes;
        bool wrongProgram = false;  // a valid header over a program that hashes wrong
    };
    std::vector<Damage> damaged;
    for (std::size_t cut : {std::size_t(0), std::size_t(40), std::size_t(1000), genuine.size() / 2,
                            genuine.size() - 1000, genuine.size() - 1})
        damaged.push_back({"cut at " + std::to_string(cut), genuine.substr(0, cut)});
    std::mt19937 rng(27);
    std::string noisy = genuine;
    for (std::size_t i = 0; i < 4096; ++i) noisy[genuine.size() / 2 - 2048 + i] = char(rng());
    damaged.push_back({"4 KiB of noise in the middle", noisy});
    damaged.push_back({"not a program", "not a program"});
    damaged.push_back({"a genuine program that computes nothing", "", true});

    const Argon2Case c;
    argon2::Argon2Params params(32, c.salt.data(), c.salt.size(), nullptr, 0, nullptr, 0, 1, 16384, 2);
    for (const auto& [what, bytes, wrongProgram] : damaged) {
        if (wrongProgram)
            cache.store(do_nothing_fill_binary());
        else
            std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
        ProgramContext program(&global, {dev}, argon2::ARGON2_ID, argon2::ARGON2_VERSION_13);
        EXPECT_STREQ(program.getImplementationName(), "opencl-local") << what;
        ProcessingUnit unit(&program, &params, &dev, 1, false, true);
        unit.setPassword(0, "abc", 3);
        unit.beginProcessing();
        unit.endProcessing();
        std::vector<std::uint8_t> tag(32);
        unit.getHash(0, tag.data());
        EXPECT_EQ(tag, reference_argon2(c, "abc")) << what;
        EXPECT_EQ(cache.load().kind, argon2::opencl::CacheEntry::Kind::Binary) << what << ": not rebuilt";
    }
    // The local-memory path, the last fallback, is built whatever refusal
    // the cache holds for it, and is never remembered as refused. (Refusals
    // of the fast paths, read back instead of a compile: the miner's tests.)
    {
        const argon2::opencl::ClDevice& d = argon2::opencl::ClRuntime::instance().devices()[0];
        cl_int err = CL_SUCCESS;
        cl_context context = clCreateContext(nullptr, 1, &d.id, nullptr, nullptr, &err);
        ASSERT_EQ(err, CL_SUCCESS);
        argon2::opencl::FillBuild build(context, d, argon2::opencl::kLocalPath);
        cache.storeRefusal("no room for it");
        bool cached = true;
        std::vector<unsigned char> binary;
        std::string why;
        cl_program built = build.build(false, cached, binary, why);
        EXPECT_NE(built, nullptr) << why;
        EXPECT_FALSE(cached);
        if (built) clReleaseProgram(built);
        build.forget();
        EXPECT_EQ(cache.load().kind, argon2::opencl::CacheEntry::Kind::None);
        build.refuse("no room for it");
        EXPECT_EQ(cache.load().kind, argon2::opencl::CacheEntry::Kind::None);
        clReleaseContext(context);
    }
    // Cached reasons are shown as the miner shows a node's text.
    std::string bytes;
    for (int b = 0; b < 256; ++b) bytes += char(b);
    EXPECT_EQ(argon2::opencl::printable(bytes), printable(bytes));
    ProgramContext program(&global, {dev}, argon2::ARGON2_ID, argon2::ARGON2_VERSION_13);
    EXPECT_FALSE(program.selectImplementation("opencl-amd-permute")) << "the device here is not an AMD GPU";
    EXPECT_FALSE(program.selectImplementation("opencl-subgroup")) << "PoCL's CPU device has no sub-group shuffle";
    EXPECT_TRUE(program.selectImplementation("opencl-local"));
    EXPECT_STREQ(program.getImplementationName(), "opencl-local");
}
