// The OpenCL flavour's own tests of the miner on a device: faults of the
// driver as the miner meets them, and the program cache as the miner uses it.
#include <gtest/gtest.h>

#include <CL/cl.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "block/printable.h"
#include "hasher_fixture.h"
#include "net/servers.h"
#include "opencl/cl_program_cache.h"
#include "support/miner_command.h"
#include "support/process.h"
#include "support/scratch.h"
#include "support/scripted_node.h"

using namespace quorlen::block;

namespace {

// How long a started miner may take to reach what a test waits for: it may
// build the kernel cold, about a minute a build on PoCL on an idle machine
// and several on one loaded by parallel builds. Only the first start of a
// test builds; the others find the kernel cached.
constexpr auto kColdKernelBuild = std::chrono::minutes(6);

}  // namespace

// OpenCL results after a device fault are read as the CUDA runtime's are: a
// queue or context the driver dropped, a failed command's status, or a wait
// that saw the device run out of resources mean the device is lost, its
// worker stops and, the only device gone, the miner exits 6. An enqueue
// refused for want of resources is an ordinary error: the worker tries again
// and mining goes on. The codes come from a library preloaded in front of the
// OpenCL loader, on the worker's calls only.
TEST_F(Hasher, OpenClFaultsEndTheWorkerAsOnCudaARefusalIsRetried) {
    struct InjectedFault {
        const char* setting;  // QUORLEN_CL_FAULT: call, code, how many times
        bool lost;
    };
    const InjectedFault faults[] = {{"clEnqueueNDRangeKernel:-5:3", false},  // out of resources
                                    {"clEnqueueNDRangeKernel:-36", true},   // invalid command queue
                                    {"clEnqueueNDRangeKernel:-34", true},   // invalid context
                                    {"clWaitForEvents:-5", true},           // out of resources
                                    {"clGetEventInfo:-30", true}};          // a failed command's status
    auto miner = [&](const std::string& http, const std::string& ws) {
        return miner_args({"--http", http, "--ws", ws});
    };
    for (const InjectedFault& fault : faults) {
        SCOPED_TRACE(fault.setting);
        const EnvChanges env = miner_env({{"LD_PRELOAD", OPENCL_FAULT_SHIM}, {"QUORLEN_CL_FAULT", fault.setting}});
        if (fault.lost) {
            ProcessResult r = run_process(miner("http://127.0.0.1:1", ""), env, kColdKernelBuild);
            EXPECT_EQ(r.exitCode, 6) << r.err;
            EXPECT_NE(r.err.find("[gpu] GPU#0 unusable, its worker stops: "), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("\nevery GPU is unusable; stopping\n"), std::string::npos) << r.err;
            continue;
        }
        ScriptedNode http;  // HTTP answers 404: the view stays at its defaults, every hash hits
        quorlen::net::WsServer ws("127.0.0.1", 0, {});
        BackgroundProcess p(miner(http.httpUrl(), "ws://127.0.0.1:" + std::to_string(ws.port())), env);
        EXPECT_TRUE(p.waitForOutput(": the device refused the work\n", kColdKernelBuild)) << p.err();
        EXPECT_TRUE(p.waitForOutput("OK ws=1 hash=", std::chrono::seconds(60), true)) << p.err();
        p.signal(SIGINT);
        ProcessResult r = p.wait(std::chrono::seconds(30));
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err.find("unusable"), std::string::npos) << r.err;
    }
}

// Whether the first OpenCL device has sub-group shuffles of its own.
bool deviceHasSubGroupShuffle() {
    cl_platform_id platform = nullptr;
    cl_device_id device = nullptr;
    if (clGetPlatformIDs(1, &platform, nullptr) != CL_SUCCESS ||
        clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, 1, &device, nullptr) != CL_SUCCESS)
        return false;
    std::size_t n = 0;
    clGetDeviceInfo(device, CL_DEVICE_EXTENSIONS, 0, nullptr, &n);
    std::string extensions(n, '\0');
    clGetDeviceInfo(device, CL_DEVICE_EXTENSIONS, n, extensions.data(), nullptr);
    return extensions.find("cl_khr_subgroup_shuffle") != std::string::npos ||
           extensions.find("cl_intel_subgroups") != std::string::npos;
}

// A driver that stops answering: the preloaded library makes the worker's
// clWaitForEvents and clFinish block for ever after 3 waits. The watchdog
// (shortened for the test) names the GPU, and with the only GPU stalled the
// miner stops with status 6, its final statistics printed, without waiting
// for the stuck thread.
TEST_F(Hasher, OpenClHungWaitIsCaughtAndEndsTheMiner) {
    const EnvChanges env = miner_env(
        {{"LD_PRELOAD", OPENCL_FAULT_SHIM}, {"QUORLEN_TEST_HANG", "3"}, {"QUORLEN_WATCHDOG_TEST_MS", "5000"}});
    const ProcessResult r =
        run_process(miner_args({"--http", "http://127.0.0.1:1", "--ws", ""}), env, std::chrono::seconds(120));
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 6) << r.err;
    EXPECT_NE(r.err.find("[gpu] GPU#0 stopped answering: no batch finished for "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\nevery GPU is unusable; stopping\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("[stats] rig (1 GPU)"), std::string::npos) << r.err;

    // So in a GPU's self-test, and in the main thread's clGetDeviceIDs.
    expect_start_hangs_caught(miner_args({"--http", "http://127.0.0.1:1", "--ws", ""}),
                              miner_env({{"LD_PRELOAD", OPENCL_FAULT_SHIM}}), 5000);
}

// A fast path the driver refuses gives way to the local-memory path, and the
// refusal, kept in the cache, spares the next start the compile. The device
// claims sub-group shuffles it does not have (the preloaded library says so);
// a fresh kernel cache, PoCL's own kept.
TEST_F(Hasher, OpenClRefusedFastPathFallsBackAndIsRemembered) {
    if (deviceHasSubGroupShuffle())
        GTEST_SKIP() << "the device's own sub-group shuffles build: the shim's claim cannot be made false here";
    const ScratchDir cache;
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    const std::string pocl = (xdg && *xdg ? std::string(xdg) : std::string(std::getenv("HOME")) + "/.cache") +
                             "/pocl/kcache";
    const EnvChanges env = miner_env({{"LD_PRELOAD", OPENCL_FAULT_SHIM},
                                      {"QUORLEN_CL_FAKE_SUBGROUPS", "1"},
                                      {"XDG_CACHE_HOME", cache.path()},
                                      {"POCL_CACHE_DIR", pocl}});
    const std::vector<std::string> miner =
        miner_args({"--ws", "", "--http", "http://127.0.0.1:1"}, {.start = 1, .max = 1});
    const auto mine = [&](const std::string& expected) {
        BackgroundProcess p(miner, env);
        EXPECT_TRUE(p.waitForOutput(expected, kColdKernelBuild)) << p.err();
        EXPECT_TRUE(p.waitForOutput("Hashrate: ", std::chrono::seconds(60), true)) << p.err();
        p.signal(SIGINT);
        const ProcessResult r = p.wait(std::chrono::seconds(30));
        EXPECT_EQ(r.exitCode, 0);
        return r.err;
    };
    for (const std::string why :
         {"opencl-subgroup: CL_BUILD_PROGRAM_FAILURE", "opencl-subgroup: refused at an earlier start: "})
        mine("): fill kernel path opencl-local; not taken: " + why);

    // What is in the cache now: the local path's binary, the sub-group
    // path's refusal.
    const std::string folder = cache.path() + "/quorlen-gpu-miner/opencl";
    std::string local, subgroup;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        const auto kind = argon2::opencl::ProgramCache::atPath(e.path()).load().kind;
        (kind == argon2::opencl::CacheEntry::Kind::Binary ? local : subgroup) = e.path();
    }
    ASSERT_FALSE(local.empty());
    ASSERT_FALSE(subgroup.empty());
    const auto kindOf = [](const std::string& file) { return argon2::opencl::ProgramCache::atPath(file).load().kind; };

    // Refusals planted for both: the local-memory path is built all the
    // same, and the planted reason is shown escaped.
    const std::string planted = "\x1b[2J\x1b[Hplanted";
    for (const std::string& file : {local, subgroup}) argon2::opencl::ProgramCache::atPath(file).storeRefusal(planted);
    std::string err = mine("): fill kernel path opencl-local; not taken: opencl-subgroup: refused at an earlier start: " +
                           printable(planted) + "\n");
    EXPECT_EQ(err.find('\x1b'), std::string::npos);
    EXPECT_EQ(kindOf(local), argon2::opencl::CacheEntry::Kind::Binary);

    // A FIFO in a binary's place neither stalls the start nor is kept.
    ASSERT_EQ(unlink(local.c_str()), 0);
    ASSERT_EQ(mkfifo(local.c_str(), 0600), 0);
    mine("): fill kernel path opencl-local");
    struct stat st {};
    ASSERT_EQ(lstat(local.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(kindOf(local), argon2::opencl::CacheEntry::Kind::Binary);

    // A folder others may write to is not used at all: one line, nothing
    // read (the planted refusal would be honoured) and nothing written.
    ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
    ASSERT_EQ(unlink(local.c_str()), 0);
    err = mine("): fill kernel path opencl-local; not taken: opencl-subgroup: CL_BUILD_PROGRAM_FAILURE");
    const std::string line = "OpenCL program cache not used: " + folder +
                             " may be written by its group or others (mode 0777); kernels are built from source\n";
    EXPECT_NE(err.find(line), std::string::npos) << err;
    EXPECT_EQ(err.find(line), err.rfind(line)) << err;
    EXPECT_EQ(access(local.c_str(), F_OK), -1);
    if (geteuid() == 0) {
        // Another user's folder, however closed.
        ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
        ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
        err = mine("): fill kernel path opencl-local");
        EXPECT_NE(err.find("OpenCL program cache not used: " + folder + " is owned by uid 65534, not by this user (uid 0)"),
                  std::string::npos)
            << err;
        EXPECT_EQ(access(local.c_str(), F_OK), -1);
    }
}
