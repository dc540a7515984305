// Our Argon2 library against Debian's reference libargon2, for every fill
// variant this CPU supports and both scheduling modes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

#include "argon2gpu/cpu_hash.h"
#include "argon2gpu/cuda/processing_unit.h"
#include "argon2gpu/cuda/runtime.h"
#if !defined(ARGON2GPU_FLAVOUR_CUDA) && !defined(ARGON2GPU_FLAVOUR_OPENCL)
#include "host/fill.h"
#endif
#if defined(ARGON2GPU_FLAVOUR_OPENCL)
#include <CL/cl.h>

#include "opencl/cl_fill_build.h"
#include "opencl/cl_program_cache.h"
#include "opencl/cl_runtime.h"
#include "block/printable.h"
#endif
#include "support/device.h"
#include "support/reference_argon2.h"

namespace {

#if defined(ARGON2GPU_FLAVOUR_OPENCL)
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
#endif

using argon2::cuda::Device;
using argon2::cuda::GlobalContext;
using argon2::cuda::ProcessingUnit;
using argon2::cuda::ProgramContext;

struct Options {
    bool bySegment = false;
    bool precompute = true;
    std::string variant;  // the fill variant; empty: the library's choice
};

// Hashes `passwords` as one batch.
std::vector<std::vector<std::uint8_t>> ourHashes(const Argon2Case& c, const std::vector<std::string>& passwords,
                                                 Options o = {}) {
    GlobalContext global;
    const Device& dev = first_device(global);
    ProgramContext program(&global, {dev}, argon2::Type(c.type), argon2::Version(c.version));
    if (!o.variant.empty() && !program.selectImplementation(o.variant))
        throw std::runtime_error("no fill variant " + o.variant + " here");
    argon2::Argon2Params params(c.outLen, c.salt.data(), c.salt.size(), c.secret.data(), c.secret.size(),
                                c.ad.data(), c.ad.size(), c.passes, c.memoryKiB, c.lanes);
    ProcessingUnit unit(&program, &params, &dev, passwords.size(), o.bySegment, o.precompute);
    for (std::size_t i = 0; i < passwords.size(); ++i)
        unit.setPassword(i, passwords[i].data(), passwords[i].size());
    unit.beginProcessing();
    unit.endProcessing();
    std::vector<std::vector<std::uint8_t>> out(passwords.size(), std::vector<std::uint8_t>(c.outLen));
    for (std::size_t i = 0; i < passwords.size(); ++i) unit.getHash(i, out[i].data());
    return out;
}

std::string randomBytes(std::mt19937& rng, std::size_t len) {
    std::string s(len, '\0');
    for (char& ch : s) ch = static_cast<char>(rng());
    return s;
}

// A case with random lengths and contents, as the library accepts them.
Argon2Case randomCase(std::mt19937& rng, int type, std::uint32_t version) {
    Argon2Case c;
    c.type = type;
    c.version = version;
    c.passes = 1 + rng() % 3;
    c.lanes = 1 + rng() % 4;
    c.memoryKiB = 8 * c.lanes + rng() % 300;  // not always a multiple of 4 * lanes
    c.outLen = 4 + rng() % 100;
    c.salt = randomBytes(rng, 8 + rng() % 20);
    c.secret = randomBytes(rng, rng() % 10);
    c.ad = randomBytes(rng, rng() % 10);
    return c;
}

std::vector<std::uint8_t> cpuHashOf(const Argon2Case& c, const std::string& pw) {
    argon2::Argon2Params params(c.outLen, c.salt.data(), c.salt.size(), c.secret.data(), c.secret.size(),
                                c.ad.data(), c.ad.size(), c.passes, c.memoryKiB, c.lanes);
    std::vector<std::uint8_t> out(c.outLen);
    argon2::cpuHash(params, argon2::Type(c.type), argon2::Version(c.version), pw.data(), pw.size(), out.data());
    return out;
}

#if !defined(ARGON2GPU_FLAVOUR_CUDA) && !defined(ARGON2GPU_FLAVOUR_OPENCL)
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
#endif

}  // namespace

#if !defined(ARGON2GPU_FLAVOUR_CUDA) && !defined(ARGON2GPU_FLAVOUR_OPENCL)
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

#endif  // the host flavour's fill variants

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

#if !defined(ARGON2GPU_FLAVOUR_CUDA) && !defined(ARGON2GPU_FLAVOUR_OPENCL)
TEST(Argon2, HostRuntimeStandIns) {
    GlobalContext global;
    ASSERT_EQ(global.getAllDevices().size(), 1u);
    EXPECT_EQ(global.getAllDevices()[0].getDeviceIndex(), 0);
    EXPECT_EQ(cudaSetDevice(0), cudaSuccess);
    EXPECT_NE(cudaSetDevice(1), cudaSuccess);
    EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
}
#endif

#if defined(ARGON2GPU_FLAVOUR_OPENCL)
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
#endif

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
