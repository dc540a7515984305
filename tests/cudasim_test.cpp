// The simulated CUDA runtime's own checks, each shown to catch the fault it
// is for (and to stay quiet without it) in a few lines of kernel: a missing
// __syncwarp or __syncthreads, a write after many reads, a read of shared
// memory nothing wrote, blocks sharing a sector, a prefetch past its table, a
// kernel not ordered after a copy on another stream. A planted race is caught
// whatever order the threads run in: each racy kernel is launched several
// times, each launch with an order of its own. Built with the cuda-sim
// flavour only.
#include <gtest/gtest.h>

#include <cuda_runtime_api.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "argon2gpu/cuda/processing_unit.h"
#include "cuda/launch.h"
#include "kernel/warp.h"

namespace {

using argon2::cuda::launch;
using argon2::cuda::LaunchShape;
using argon2::kernel::deviceRead;
using argon2::kernel::deviceWrite;

// Each lane writes its word of shared memory, then reads its neighbour's, and
// passes it one lane on by a shuffle.
__global__ void neighbours(std::uint64_t* out, bool sync) {
    ARGON2GPU_DYNAMIC_SHARED(std::uint64_t, words);
    const unsigned lane = threadIdx.x;
    deviceWrite(words + lane, std::uint64_t(lane) * 3);
    if (sync) __syncwarp();
    const std::uint64_t next = deviceRead(words + (lane + 1) % 32);
    deviceWrite(out + lane, __shfl_sync(0xffffffffu, next, int((lane + 31) % 32)));
}

// Thread i reads entry i + ahead of the table, clamped to its end or not.
__global__ void prefetch(const std::uint32_t* table, std::uint32_t n, std::uint32_t ahead, bool clamp,
                         std::uint32_t* out) {
    const std::uint32_t i = threadIdx.x;
    const std::uint32_t at = clamp && i + ahead >= n ? n - 1 : i + ahead;
    deviceWrite(out + i, deviceRead(table + at));
}

// Lane 0 writes word 0 of shared memory, every lane reads it, then lane 5
// writes it again: a race with the 31 other readers unless a __syncwarp
// comes first. With `unwritten`, lane 0 does not write it at all.
__global__ void rewrite(std::uint64_t* out, bool sync, bool unwritten) {
    ARGON2GPU_DYNAMIC_SHARED(std::uint64_t, words);
    const unsigned lane = threadIdx.x;
    if (lane == 0 && !unwritten) deviceWrite(words, std::uint64_t(7));
    __syncwarp();
    const std::uint64_t seen = deviceRead(words);
    if (sync) __syncwarp();
    if (lane == 5) deviceWrite(words, seen + 1);
    deviceWrite(out + lane, seen);
}

// Warp 0 of each block writes a 32-byte sector of its own, then (after a
// __syncthreads or not) warp 1 reads the sector of the block `shift` on.
__global__ void handOver(std::uint64_t* sectors, unsigned shift, bool sync, std::uint64_t* out) {
    const unsigned warp = threadIdx.x / 32, lane = threadIdx.x % 32;
    const unsigned from = (blockIdx.x + shift) % gridDim.x;
    if (warp == 0 && lane < 4) deviceWrite(sectors + blockIdx.x * 4 + lane, std::uint64_t(blockIdx.x * 10 + lane));
    if (sync) __syncthreads();
    if (warp == 1 && lane < 4) deviceWrite(out + blockIdx.x * 4 + lane, deviceRead(sectors + from * 4 + lane));
}

// Each warp passes 64 shuffles (with a __syncthreads after every `every`,
// if any) and counts them in host memory, which the simulation lets a
// kernel reach unchecked: `gap` is the furthest one warp got ahead of the
// other.
struct Progress {
    int steps[2] = {0, 0};
    int gap = 0;
};
__global__ void race(Progress* p, int every) {
    const unsigned warp = threadIdx.x / 32;
    std::uint64_t v = threadIdx.x;
    for (int i = 1; i <= 64; ++i) {
        v = __shfl_sync(0xffffffffu, v, int((threadIdx.x + 1) % 32));
        if (threadIdx.x % 32 == 0) {
            ++p->steps[warp];
            p->gap = std::max(p->gap, std::abs(p->steps[0] - p->steps[1]));
        }
        if (every && i % every == 0) __syncthreads();
    }
}

// Thread i copies word i * stride.
__global__ void gather(const std::uint64_t* in, unsigned stride, std::uint64_t* out) {
    deviceWrite(out + threadIdx.x, deviceRead(in + threadIdx.x * stride));
}

template <class T>
T* deviceArray(std::size_t n) {
    T* p = nullptr;
    EXPECT_EQ(cudaMalloc(&p, n * sizeof(T)), cudaSuccess);
    return p;
}

class CudaSim : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(cudaSetDevice(0), cudaSuccess); }
    void TearDown() override { cudaDeviceReset(); }

    // The launch went wrong: the error is sticky, named in its text, and the
    // device works again after a reset.
    static void expectFault(const char* seen) {
        const cudaError_t e = cudaDeviceSynchronize();
        ASSERT_NE(e, cudaSuccess) << "the check did not fire";
        EXPECT_NE(std::strstr(cudaGetErrorString(e), seen), nullptr) << cudaGetErrorString(e);
        EXPECT_EQ(cudaGetLastError(), e);
        void* p = nullptr;
        EXPECT_EQ(cudaMalloc(&p, 16), e) << "a sticky error fails every later call";
        EXPECT_EQ(cudaDeviceReset(), cudaSuccess);
        EXPECT_EQ(cudaMalloc(&p, 16), cudaSuccess);
    }
};

}  // namespace

TEST_F(CudaSim, MissingSyncwarpIsARace) {
    std::uint64_t* out = deviceArray<std::uint64_t>(32);
    ASSERT_EQ(launch("neighbours", neighbours, LaunchShape{dim3(1), dim3(32), 256, nullptr}, out, true), cudaSuccess);
    std::uint64_t host[32];
    ASSERT_EQ(cudaMemcpy(host, out, sizeof host, cudaMemcpyDeviceToHost), cudaSuccess);
    for (unsigned lane = 0; lane < 32; ++lane) EXPECT_EQ(host[lane], lane * 3) << lane;

    ASSERT_EQ(launch("neighbours", neighbours, LaunchShape{dim3(1), dim3(32), 256, nullptr}, out, false), cudaSuccess);
    expectFault("shared-memory");

    // Every reader counts, not the last one only; and a word nothing wrote is
    // not read.
    for (int run = 0; run < 8; ++run) {
        const LaunchShape shape{dim3(1), dim3(32), 8, nullptr};
        out = deviceArray<std::uint64_t>(32);
        ASSERT_EQ(launch("rewrite", rewrite, shape, out, true, false), cudaSuccess);
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess) << cudasim::lastFault();
        ASSERT_EQ(launch("rewrite", rewrite, shape, out, false, false), cudaSuccess);
        expectFault("shared-memory race on the word at byte 0");
        out = deviceArray<std::uint64_t>(32);
        ASSERT_EQ(launch("rewrite", rewrite, shape, out, true, true), cudaSuccess);
        expectFault("which nothing wrote in this block");
    }
}

// Global memory, per 32-byte sector: the warps of a block are ordered only by
// __syncthreads, and the blocks of a grid not at all. Whether the reading
// warp runs before or after the writing one, the race is seen.
TEST_F(CudaSim, GlobalRaceBetweenWarpsOrBlocks) {
    for (int run = 0; run < 8; ++run) {
        std::uint64_t* sectors = deviceArray<std::uint64_t>(8);
        std::uint64_t* out = deviceArray<std::uint64_t>(8);
        const std::vector<std::uint64_t> zeros(8, 0);
        ASSERT_EQ(cudaMemcpy(sectors, zeros.data(), 64, cudaMemcpyHostToDevice), cudaSuccess);  // nothing unwritten
        const LaunchShape two{dim3(2), dim3(64), 0, nullptr};
        ASSERT_EQ(launch("handOver", handOver, two, sectors, 0u, true, out), cudaSuccess);
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess) << cudasim::lastFault();
        ASSERT_EQ(launch("handOver", handOver, two, sectors, 1u, true, out), cudaSuccess);
        expectFault("(blocks of a grid are never ordered)");

        sectors = deviceArray<std::uint64_t>(8);
        out = deviceArray<std::uint64_t>(8);
        ASSERT_EQ(cudaMemcpy(sectors, zeros.data(), 64, cudaMemcpyHostToDevice), cudaSuccess);
        const LaunchShape one{dim3(1), dim3(64), 0, nullptr};
        ASSERT_EQ(launch("handOver", handOver, one, sectors, 0u, true, out), cudaSuccess);
        std::uint64_t host[4];
        ASSERT_EQ(cudaMemcpy(host, out, sizeof host, cudaMemcpyDeviceToHost), cudaSuccess);
        EXPECT_EQ(host[3], 3u);
        ASSERT_EQ(launch("handOver", handOver, one, sectors, 0u, false, out), cudaSuccess);
        const cudaError_t e = cudaDeviceSynchronize();
        ASSERT_NE(e, cudaSuccess) << "run " << run;
        const std::string seen = cudaGetErrorString(e);
        EXPECT_NE(seen.find("global-memory race on the sector at 0x"), std::string::npos) << seen;
        EXPECT_NE(seen.find("handOver block (0,0,0) thread ("), std::string::npos) << seen;
        EXPECT_NE(seen.find("with no __syncthreads between"), std::string::npos) << seen;
        ASSERT_EQ(cudaDeviceReset(), cudaSuccess);
    }
}

TEST_F(CudaSim, UnclampedPrefetchLeavesItsAllocation) {
    const std::uint32_t n = 64;
    std::vector<std::uint32_t> values(n, 7);
    std::uint32_t* table = deviceArray<std::uint32_t>(n);
    std::uint32_t* out = deviceArray<std::uint32_t>(n);
    ASSERT_EQ(cudaMemcpy(table, values.data(), n * 4, cudaMemcpyHostToDevice), cudaSuccess);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    const LaunchShape shape{dim3(1), dim3(n), 0, nullptr};
    ASSERT_EQ(launch("prefetch", prefetch, shape, table, n, 2u, true, out), cudaSuccess);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    ASSERT_EQ(launch("prefetch", prefetch, shape, table, n, 2u, false, out), cudaSuccess);
    expectFault("outside every allocation");

    // Memory nothing wrote is not read, and memory is not there for the asking.
    std::uint32_t* unwritten = deviceArray<std::uint32_t>(n);
    out = deviceArray<std::uint32_t>(n);
    ASSERT_EQ(launch("prefetch", prefetch, shape, unwritten, n, 0u, true, out), cudaSuccess);
    expectFault("no copy or kernel wrote");
    std::size_t free = 0, total = 0;
    ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    void* tooMuch = nullptr;
    EXPECT_EQ(cudaMalloc(&tooMuch, free + 1), cudaErrorMemoryAllocation);
    EXPECT_STREQ(cudaGetErrorString(cudaGetLastError()), "out of memory");
    EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "an ordinary error is cleared once read";
}

TEST_F(CudaSim, KernelNotOrderedAfterACopyOnAnotherStream) {
    const std::uint32_t n = 64;
    std::uint32_t* pinned = nullptr;
    ASSERT_EQ(cudaMallocHost(&pinned, n * 4), cudaSuccess);
    for (std::uint32_t i = 0; i < n; ++i) pinned[i] = i;
    cudaStream_t copies = nullptr, work = nullptr;
    cudaEvent_t copied = nullptr;
    ASSERT_EQ(cudaStreamCreateWithFlags(&copies, cudaStreamNonBlocking), cudaSuccess);
    ASSERT_EQ(cudaStreamCreateWithFlags(&work, cudaStreamNonBlocking), cudaSuccess);
    ASSERT_EQ(cudaEventCreateWithFlags(&copied, cudaEventDisableTiming), cudaSuccess);
    std::uint32_t* table = deviceArray<std::uint32_t>(n);
    std::uint32_t* out = deviceArray<std::uint32_t>(n);
    const LaunchShape shape{dim3(1), dim3(n), 0, work};

    // Ordered by an event: fine, and the kernel sees the bytes.
    ASSERT_EQ(cudaMemcpyAsync(table, pinned, n * 4, cudaMemcpyHostToDevice, copies), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(copied, copies), cudaSuccess);
    ASSERT_EQ(cudaStreamWaitEvent(work, copied, 0), cudaSuccess);
    ASSERT_EQ(launch("prefetch", prefetch, shape, table, n, 1u, true, out), cudaSuccess);
    std::vector<std::uint32_t> host(n);
    ASSERT_EQ(cudaMemcpyAsync(host.data(), out, n * 4, cudaMemcpyDeviceToHost, work), cudaSuccess);
    ASSERT_EQ(cudaStreamSynchronize(work), cudaSuccess);
    EXPECT_EQ(host[0], 1u);
    EXPECT_EQ(host[n - 1], n - 1);

    // The same without the wait.
    ASSERT_EQ(cudaMemcpyAsync(table, pinned, n * 4, cudaMemcpyHostToDevice, copies), cudaSuccess);
    ASSERT_EQ(launch("prefetch", prefetch, shape, table, n, 1u, true, out), cudaSuccess);
    expectFault("may still be writing");

    // A pageable copy on the legacy stream returns before its bytes land, and
    // a non-blocking stream does not wait for it.
    ASSERT_EQ(cudaStreamCreateWithFlags(&work, cudaStreamNonBlocking), cudaSuccess);
    table = deviceArray<std::uint32_t>(n);
    out = deviceArray<std::uint32_t>(n);
    const std::vector<std::uint32_t> pageable(n, 5);
    ASSERT_EQ(cudaMemcpy(table, pageable.data(), n * 4, cudaMemcpyHostToDevice), cudaSuccess);
    ASSERT_EQ(launch("prefetch", prefetch, LaunchShape{dim3(1), dim3(n), 0, work}, table, n, 1u, true, out),
              cudaSuccess);
    expectFault("may still be writing");
    cudaFreeHost(pinned);
    cudaEventDestroy(copied);
}

// The warps of a block drift apart between barriers, and only there.
TEST_F(CudaSim, WarpsDriftUpToTheNextSyncthreads) {
    int widest = 0;
    for (int run = 0; run < 8; ++run) {
        Progress free, held;
        ASSERT_EQ(launch("race", race, LaunchShape{dim3(1), dim3(64), 0, nullptr}, &free, 0), cudaSuccess);
        ASSERT_EQ(launch("race", race, LaunchShape{dim3(1), dim3(64), 0, nullptr}, &held, 8), cudaSuccess);
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess) << cudasim::lastFault();
        widest = std::max(widest, free.gap);
        EXPECT_LE(held.gap, 8) << "a warp passed a __syncthreads the other had not reached";
        EXPECT_EQ(held.steps[0] + held.steps[1], 128);
    }
    EXPECT_GE(widest, 16) << "the warps moved in lockstep";
}

// Traffic: a warp-wide access moves each 32-byte sector it touches once.
TEST_F(CudaSim, TrafficCountsTheSectorsEachWarpTouches) {
    const std::vector<std::uint64_t> words(256, 1);
    std::uint64_t* in = deviceArray<std::uint64_t>(256);
    std::uint64_t* out = deviceArray<std::uint64_t>(64);
    ASSERT_EQ(cudaMemcpy(in, words.data(), 256 * 8, cudaMemcpyHostToDevice), cudaSuccess);
    for (unsigned stride : {1u, 4u}) {
        cudasim::resetTraffic();
        ASSERT_EQ(launch("gather", gather, LaunchShape{dim3(1), dim3(64), 0, nullptr}, in, stride, out), cudaSuccess);
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess) << cudasim::lastFault();
        const std::vector<cudasim::KernelTraffic> t = cudasim::traffic();
        ASSERT_EQ(t.size(), 1u);
        EXPECT_EQ(t[0].kernel, "gather");
        EXPECT_EQ(t[0].bytesRead, 512u);
        EXPECT_EQ(t[0].bytesWritten, 512u);
        EXPECT_EQ(t[0].sectorsRead, stride == 1 ? 16u : 64u) << "2 warps, 256 bytes each, " << stride;
        EXPECT_EQ(t[0].sectorsWritten, 16u);
    }
}

// The unit itself: too many lanes for a block are refused when it is made, and
// a batch the device cannot hold fails as out of memory.
TEST_F(CudaSim, UnitRefusesWhatTheDeviceCannotRun) {
    argon2::cuda::GlobalContext global;
    ASSERT_FALSE(global.getAllDevices().empty());
    const argon2::cuda::Device& dev = global.getAllDevices().front();
    argon2::cuda::ProgramContext program(&global, {dev}, argon2::ARGON2_ID, argon2::ARGON2_VERSION_13);
    const char salt[] = "saltsalt";
    argon2::Argon2Params wide(32, salt, 8, nullptr, 0, nullptr, 0, 1, 33 * 8, 33);
    try {
        argon2::cuda::ProcessingUnit unit(&program, &wide, &dev, 1);
        ADD_FAILURE() << "33 lanes accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("at most 32 lanes"), std::string::npos) << e.what();
    }
    argon2::Argon2Params miner(32, salt, 8, nullptr, 0, nullptr, 0, 1, 16384, 2);
    std::size_t free = 0, total = 0;
    ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    try {
        argon2::cuda::ProcessingUnit unit(&program, &miner, &dev, free / (std::size_t(16) << 20) + 1);
        ADD_FAILURE() << "a batch beyond the device's memory was accepted";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("out of memory"), std::string::npos) << e.what();
    }
}
