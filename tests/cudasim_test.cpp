// The simulated CUDA runtime's own checks, each shown to catch the fault it
// is for (and to stay quiet without it) in a few lines of kernel: a missing
// __syncwarp or __syncthreads, a write after many reads, a read of shared
// memory nothing wrote, blocks sharing a sector, a prefetch past its table, a
// read of a range declared dead, operations on two streams that nothing
// orders, results read before the host synchronised with their copy, pinned
// memory rewritten under a copy, a block beyond the register file or the
// kernel's launch bounds, a 32-bit offset past 4 GiB in a sparse grid, a
// misaligned access, a read-only-path load of bytes the launch wrote, a
// memset not ordered before the kernel that reads it; and the codes taken
// for a lost context. A planted race is caught whatever order
// the threads run in: each racy kernel is launched several times, each launch
// with an order of its own. Built with the cuda-sim flavour only; ctest runs
// it with every simulated card (tests/CMakeLists.txt).
#include <gtest/gtest.h>

#include <cuda_runtime_api.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "argon2gpu/cuda/processing_unit.h"
#include "cuda/cuda_check.h"
#include "cuda/launch.h"
#include "kernel/warp.h"
#include "support/miner_command.h"
#include "support/process.h"

namespace {

using argon2::cuda::launch;
using argon2::cuda::LaunchShape;
using argon2::kernel::deviceRead;
using argon2::kernel::deviceReadOnly;
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

// Each thread writes `value` into its word.
__global__ void stamp(std::uint32_t* out, std::uint32_t value) { deviceWrite(out + threadIdx.x, value); }
// The same, named with more registers than a block of 1024 threads has.
__global__ void heavyStamp(std::uint32_t* out, std::uint32_t value) { deviceWrite(out + threadIdx.x, value); }
// The same, with launch bounds of 256 threads.
__global__ void boundedStamp(std::uint32_t* out, std::uint32_t value) { deviceWrite(out + threadIdx.x, value); }

// Block x writes x at byte x * stride (the offset in 32 bits when `narrow`,
// as a faulty kernel computes it), or reads it back into out[x].
__global__ void stampAtStride(std::uint8_t* memory, std::uint32_t stride, bool narrow) {
    const std::size_t at = narrow ? std::size_t(std::uint32_t(blockIdx.x * stride)) : std::size_t(blockIdx.x) * stride;
    deviceWrite(reinterpret_cast<std::uint32_t*>(memory + at), std::uint32_t(blockIdx.x));
}
__global__ void readAtStride(const std::uint8_t* memory, std::uint32_t stride, std::uint32_t* out) {
    deviceWrite(out + blockIdx.x, deviceRead(reinterpret_cast<const std::uint32_t*>(memory + std::size_t(blockIdx.x) * stride)));
}

// Thread i stores a 64-bit word at byte 8 * i + `skew` of global memory, or
// of shared memory with `shared`.
__global__ void skewedStore(std::uint8_t* memory, unsigned skew, bool shared) {
    ARGON2GPU_DYNAMIC_SHARED(std::uint8_t, scratch);
    std::uint8_t* at = (shared ? scratch : memory) + 8 * threadIdx.x + skew;
    deviceWrite(reinterpret_cast<std::uint64_t*>(at), std::uint64_t(threadIdx.x));
}

// Lane 0 of block x writes its sector (with `write`), then every lane reads
// it through the read-only path.
__global__ void loadReadOnly(std::uint64_t* words, bool write, std::uint64_t* out) {
    if (write && threadIdx.x == 0) deviceWrite(words + blockIdx.x * 4, std::uint64_t(blockIdx.x));
    deviceWrite(out + blockIdx.x * 32 + threadIdx.x, deviceReadOnly(words + blockIdx.x * 4));
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

    // Memory nothing wrote is not read, nor memory whose contents were
    // declared dead since, and memory is not there for the asking.
    std::uint32_t* unwritten = deviceArray<std::uint32_t>(n);
    out = deviceArray<std::uint32_t>(n);
    ASSERT_EQ(launch("prefetch", prefetch, shape, unwritten, n, 0u, true, out), cudaSuccess);
    expectFault("no copy or kernel wrote");
    table = deviceArray<std::uint32_t>(n);
    out = deviceArray<std::uint32_t>(n);
    ASSERT_EQ(cudaMemcpy(table, values.data(), n * 4, cudaMemcpyHostToDevice), cudaSuccess);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    ASSERT_EQ(launch("prefetch", prefetch, shape, table, n, 0u, true, out), cudaSuccess);
    ASSERT_EQ(cudasim::declareDead(table + n / 2, n * 2, nullptr), cudaSuccess);
    ASSERT_EQ(launch("prefetch", prefetch, shape, table, n, 0u, true, out), cudaSuccess);
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

// Two streams that nothing orders touch the same bytes, one writing: kernel
// and kernel, kernel and copy. Every such pair is caught whichever runs
// first; ordered by an event, the same work passes.
TEST_F(CudaSim, UnorderedStreamsTouchingTheSameBytes) {
    const std::uint32_t n = 64;
    cudaStream_t a = nullptr, b = nullptr;
    cudaEvent_t done = nullptr;
    std::uint32_t* pinned = nullptr;
    ASSERT_EQ(cudaMallocHost(&pinned, n * 4), cudaSuccess);
    const auto setUp = [&] {
        ASSERT_EQ(cudaStreamCreateWithFlags(&a, cudaStreamNonBlocking), cudaSuccess);
        ASSERT_EQ(cudaStreamCreateWithFlags(&b, cudaStreamNonBlocking), cudaSuccess);
        ASSERT_EQ(cudaEventCreateWithFlags(&done, cudaEventDisableTiming), cudaSuccess);
    };
    setUp();
    std::uint32_t* words = deviceArray<std::uint32_t>(n);
    ASSERT_EQ(launch("stamp", stamp, LaunchShape{dim3(1), dim3(n), 0, a}, words, 1u), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(done, a), cudaSuccess);
    ASSERT_EQ(cudaStreamWaitEvent(b, done, 0), cudaSuccess);
    ASSERT_EQ(launch("stamp", stamp, LaunchShape{dim3(1), dim3(n), 0, b}, words, 2u), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(done, b), cudaSuccess);
    ASSERT_EQ(cudaStreamWaitEvent(a, done, 0), cudaSuccess);
    ASSERT_EQ(cudaMemcpyAsync(pinned, words, n * 4, cudaMemcpyDeviceToHost, a), cudaSuccess);
    ASSERT_EQ(cudaStreamSynchronize(a), cudaSuccess);
    EXPECT_EQ(pinned[n - 1], 2u);

    ASSERT_EQ(launch("stamp", stamp, LaunchShape{dim3(1), dim3(n), 0, a}, words, 3u), cudaSuccess);
    ASSERT_EQ(launch("stamp", stamp, LaunchShape{dim3(1), dim3(n / 2), 0, b}, words + n / 2, 4u), cudaSuccess);
    expectFault("nothing orders them");

    setUp();
    words = deviceArray<std::uint32_t>(n);
    ASSERT_EQ(cudaMemcpy(words, pinned, n * 4, cudaMemcpyHostToDevice), cudaSuccess);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    ASSERT_EQ(cudaMemcpyAsync(pinned, words, n * 4, cudaMemcpyDeviceToHost, a), cudaSuccess);
    ASSERT_EQ(launch("stamp", stamp, LaunchShape{dim3(1), dim3(1), 0, b}, words + n - 1, 5u), cudaSuccess);
    expectFault("nothing orders them");
    cudaFreeHost(pinned);
    cudaEventDestroy(done);
}

// A copy to the host fills its destination only when the host synchronises
// with it: before, and after an event recorded ahead of it, the destination
// holds poison. A copy from pinned memory reads it when its stream gets
// there, so the host must not write it before synchronising.
TEST_F(CudaSim, CopiesTakeEffectAtTheLatestMoment) {
    const std::uint32_t n = 64;
    cudaStream_t work = nullptr;
    cudaEvent_t early = nullptr, late = nullptr;
    ASSERT_EQ(cudaStreamCreateWithFlags(&work, cudaStreamNonBlocking), cudaSuccess);
    ASSERT_EQ(cudaEventCreateWithFlags(&early, cudaEventDisableTiming), cudaSuccess);
    ASSERT_EQ(cudaEventCreateWithFlags(&late, cudaEventDisableTiming), cudaSuccess);
    std::uint32_t* pinned = nullptr;
    ASSERT_EQ(cudaMallocHost(&pinned, n * 4), cudaSuccess);
    std::uint32_t* words = deviceArray<std::uint32_t>(n);
    ASSERT_EQ(launch("stamp", stamp, LaunchShape{dim3(1), dim3(n), 0, work}, words, 7u), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(early, work), cudaSuccess);
    ASSERT_EQ(cudaMemcpyAsync(pinned, words, n * 4, cudaMemcpyDeviceToHost, work), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(late, work), cudaSuccess);
    EXPECT_EQ(pinned[0], 0xdbdbdbdbu) << "read before any synchronisation";
    ASSERT_EQ(cudaEventSynchronize(early), cudaSuccess);
    EXPECT_EQ(pinned[0], 0xdbdbdbdbu) << "the event synchronised with is recorded before the copy";
    while (cudaEventQuery(late) == cudaErrorNotReady) std::this_thread::yield();
    EXPECT_EQ(pinned[0], 7u);
    EXPECT_EQ(pinned[n - 1], 7u);
    // A later copy into the same bytes, which the host has not synchronised
    // with, may land first on a card: they stay poison until it has.
    ASSERT_EQ(cudaMemcpyAsync(pinned, words, n * 4, cudaMemcpyDeviceToHost, work), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(late, work), cudaSuccess);
    ASSERT_EQ(launch("stamp", stamp, LaunchShape{dim3(1), dim3(n), 0, work}, words, 8u), cudaSuccess);
    ASSERT_EQ(cudaMemcpyAsync(pinned, words, n * 4, cudaMemcpyDeviceToHost, work), cudaSuccess);
    ASSERT_EQ(cudaEventSynchronize(late), cudaSuccess);
    EXPECT_EQ(pinned[0], 0xdbdbdbdbu) << "another copy not synchronised with writes the same bytes";
    ASSERT_EQ(cudaStreamSynchronize(work), cudaSuccess);
    EXPECT_EQ(pinned[0], 8u);

    for (std::uint32_t i = 0; i < n; ++i) pinned[i] = i;
    ASSERT_EQ(cudaMemcpyAsync(words, pinned, n * 4, cudaMemcpyHostToDevice, work), cudaSuccess);
    ASSERT_EQ(cudaStreamSynchronize(work), cudaSuccess);
    pinned[0] = 1;  // after the synchronisation: fine
    ASSERT_EQ(cudaMemcpyAsync(words, pinned, n * 4, cudaMemcpyHostToDevice, work), cudaSuccess);
    pinned[3] = 9;  // before it: the copy may have read either value
    expectFault("the host wrote pinned memory");
    cudaFreeHost(pinned);
    cudaEventDestroy(early);
    cudaEventDestroy(late);
}

// Registers: a block needing more than the register file is refused as
// CUDA refuses it (an ordinary error, not a sticky one); the fill kernel's
// 32 warps of 32 lanes fit on every simulated card (sm_75, 86, 89, 90),
// with ptxas's counts.
TEST_F(CudaSim, LaunchBeyondTheRegisterFileIsRefused) {
    cudasim::nameKernel(reinterpret_cast<const void*>(heavyStamp), "heavyStamp", 72);
    std::uint32_t* words = deviceArray<std::uint32_t>(1024);
    cudaFuncAttributes attributes{};
    ASSERT_EQ(cudaFuncGetAttributes(&attributes, heavyStamp), cudaSuccess);
    EXPECT_EQ(attributes.numRegs, 72);
    EXPECT_EQ(attributes.maxThreadsPerBlock, 896);  // 28 warps of 9 x 256 registers
    ASSERT_EQ(launch("heavyStamp", heavyStamp, LaunchShape{dim3(1), dim3(896), 0, nullptr}, words, 1u), cudaSuccess);
    ASSERT_EQ(launch("heavyStamp", heavyStamp, LaunchShape{dim3(1), dim3(928), 0, nullptr}, words, 1u),
              cudaErrorLaunchOutOfResources);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchOutOfResources);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);

    argon2::cuda::GlobalContext global;
    ASSERT_EQ(global.getAllDevices().size(), 4u) << "ctest runs this with every simulated card";
    for (const argon2::cuda::Device& dev : global.getAllDevices()) {
        cudaDeviceProp prop{};
        ASSERT_EQ(cudaGetDeviceProperties(&prop, dev.getDeviceIndex()), cudaSuccess);
        EXPECT_GE(dev.getResidentHashes(32), std::size_t(prop.multiProcessorCount)) << dev.getName();
    }
}

// A sparse grid runs its first and last blocks only, in memory reserved but
// not committed: 257 blocks 16 MiB apart reach past 4 GiB in the time of
// two, and a 32-bit offset there lands on block 0's bytes: two blocks of a
// grid writing one sector.
TEST_F(CudaSim, SparseGridCatchesA32BitOffsetPastFourGiB) {
    const std::uint32_t blocks = 257, stride = 16u << 20;
    std::uint8_t* memory = deviceArray<std::uint8_t>(std::size_t(blocks) * stride);
    std::uint32_t* out = deviceArray<std::uint32_t>(blocks);
    std::vector<std::uint32_t> host(blocks);
    cudasim::sampleBlocks(1, 1);
    for (bool narrow : {false, true}) {
        const LaunchShape shape{dim3(blocks), dim3(1), 0, nullptr};
        ASSERT_EQ(launch("stampAtStride", stampAtStride, shape, memory, stride, narrow), cudaSuccess);
        if (narrow) {
            expectFault("global-memory race on the sector");
            break;
        }
        ASSERT_EQ(launch("readAtStride", readAtStride, shape, memory, stride, out), cudaSuccess);
        ASSERT_EQ(cudaMemcpy(host.data(), out, blocks * 4, cudaMemcpyDeviceToHost), cudaSuccess);
        EXPECT_EQ(host[0], 0u);
        EXPECT_EQ(host[blocks - 1], blocks - 1);
        ASSERT_EQ(cudasim::declareDead(memory, std::size_t(blocks) * stride, nullptr), cudaSuccess);
    }
    cudasim::sampleBlocks(0, 0);
}

// A card faults on an access whose address is not a multiple of its size,
// in global and in shared memory alike.
TEST_F(CudaSim, MisalignedAccessFaults) {
    std::uint8_t* memory = deviceArray<std::uint8_t>(32 * 8 + 8);
    for (bool shared : {false, true}) {
        const LaunchShape shape{dim3(1), dim3(32), shared ? std::size_t(32 * 8 + 8) : 0, nullptr};
        ASSERT_EQ(launch("skewedStore", skewedStore, shape, memory, 0u, shared), cudaSuccess);
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        ASSERT_EQ(launch("skewedStore", skewedStore, shape, memory, 4u, shared), cudaSuccess);
        EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorMisalignedAddress);
        cudaDeviceReset();
        ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
        memory = deviceArray<std::uint8_t>(32 * 8 + 8);
    }
    ASSERT_EQ(launch("skewedStore", skewedStore, LaunchShape{dim3(1), dim3(32), 0, nullptr}, memory, 4u, false),
              cudaSuccess);
    expectFault("misaligned write of 8 bytes");
}

// Loads through the read-only path see the launch's own stores only by luck:
// reading a sector another block (or the thread itself) wrote in the launch
// is a fault; reading what an earlier launch wrote is not.
TEST_F(CudaSim, ReadOnlyPathOfSectorsTheLaunchWrote) {
    const unsigned blocks = 4;
    std::uint64_t* words = deviceArray<std::uint64_t>(blocks * 4);
    std::uint64_t* out = deviceArray<std::uint64_t>(blocks * 32);
    ASSERT_EQ(cudaMemcpy(words, std::vector<std::uint64_t>(blocks * 4).data(), blocks * 32, cudaMemcpyHostToDevice),
              cudaSuccess);
    const LaunchShape shape{dim3(blocks), dim3(32), 0, nullptr};
    for (bool write : {false, true}) {
        ASSERT_EQ(launch("loadReadOnly", loadReadOnly, shape, words, write, out), cudaSuccess);
        if (write) break;
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    }
    expectFault("read-only data path (__ldg)");
}

// A launch over the kernel's __launch_bounds__ is refused, as a card refuses
// it, and the bound is what the kernel's attributes say. The flavour's fill
// has 32 warps' worth: a unit of 32 lanes runs.
TEST_F(CudaSim, LaunchBeyondItsBoundsIsRefused) {
    cudasim::boundKernel("boundedStamp", 256);
    std::uint32_t* words = deviceArray<std::uint32_t>(1024);
    cudaFuncAttributes attributes{};
    ASSERT_EQ(launch("boundedStamp", boundedStamp, LaunchShape{dim3(1), dim3(256), 0, nullptr}, words, 1u),
              cudaSuccess);
    EXPECT_EQ(launch("boundedStamp", boundedStamp, LaunchShape{dim3(1), dim3(288), 0, nullptr}, words, 1u),
              cudaErrorLaunchOutOfResources);
    ASSERT_EQ(cudaFuncGetAttributes(&attributes, boundedStamp), cudaSuccess);
    EXPECT_EQ(attributes.maxThreadsPerBlock, 256);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchOutOfResources);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);

    argon2::cuda::GlobalContext global;
    const argon2::cuda::Device& dev = global.getAllDevices().front();
    argon2::cuda::ProgramContext program(&global, {dev}, argon2::ARGON2_ID, argon2::ARGON2_VERSION_13);
    const char salt[] = "saltsalt";
    argon2::Argon2Params widest(32, salt, 8, nullptr, 0, nullptr, 0, 1, 32 * 8, 32);
    argon2::cuda::ProcessingUnit unit(&program, &widest, &dev, 1);
    unit.setPassword(0, "pw", 2);
    unit.beginProcessing();
    EXPECT_NO_THROW(unit.endProcessing());
}

// cudaMemset returns before it runs: a kernel on a non-blocking stream that
// reads its bytes must be ordered after it.
TEST_F(CudaSim, MemsetReturnsBeforeItRuns) {
    std::uint64_t* in = deviceArray<std::uint64_t>(32);
    std::uint64_t* out = deviceArray<std::uint64_t>(32);
    cudaStream_t side = nullptr;
    ASSERT_EQ(cudaStreamCreateWithFlags(&side, cudaStreamNonBlocking), cudaSuccess);
    for (bool ordered : {true, false}) {
        ASSERT_EQ(cudaMemset(in, 0, 32 * 8), cudaSuccess);
        if (ordered) {
            ASSERT_EQ(cudaStreamSynchronize(nullptr), cudaSuccess);
        }
        ASSERT_EQ(launch("gather", gather, LaunchShape{dim3(1), dim3(32), 0, side}, in, 1u, out), cudaSuccess);
        if (!ordered) break;
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    }
    expectFault("nothing orders them");
}

// Every code the runtime has, against its list of sticky errors: these alone
// are a lost context.
TEST_F(CudaSim, StickyErrorsAloneAreALostContext) {
    const std::vector<int> sticky = {214, 700, 702, 709, 710, 714, 715, 716, 717, 718, 719};
    for (int code = 0; code < 1024; ++code) {
        const bool expected = std::find(sticky.begin(), sticky.end(), code) != sticky.end();
        EXPECT_EQ(argon2::cuda::contextLost(cudaError_t(code)), expected) << "code " << code;
        if (code == 0) continue;
        try {
            argon2::cuda::check(cudaError_t(code), "a call");
            ADD_FAILURE() << "code " << code << " taken for success";
        } catch (const argon2::cuda::DeviceLost&) {
            EXPECT_TRUE(expected) << "code " << code;
        } catch (const std::runtime_error&) {
            EXPECT_FALSE(expected) << "code " << code;
        }
    }
}

// A stream or event wait of the simulated runtime that never returns (the
// test knob), as a hung driver's: the watchdog, shortened for the test,
// names the GPU, and with the only GPU stalled the miner stops with status 6
// and its final statistics, leaving the stuck worker behind. So at start.
TEST(CudaSimHang, StuckWaitIsCaughtAndEndsTheMiner) {
    const ProcessResult r = run_process(
        miner_args({"--http", "http://127.0.0.1:1", "--ws", ""}, {.start = 1, .max = 1}),
        miner_env({{"QUORLEN_TEST_HANG", "3"}, {"QUORLEN_WATCHDOG_TEST_MS", "2000"},
                   {"QUORLEN_CUDA_SIM_DEVICES", std::nullopt}}),
        std::chrono::seconds(300));
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 6) << r.err;
    EXPECT_NE(r.err.find("[gpu] GPU#0 stopped answering: no batch finished for "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("[stats] rig (1 GPU)"), std::string::npos) << r.err;

    // The same runtime stuck in a GPU's self-test, and in the main thread's
    // count of the devices.
    expect_start_hangs_caught(miner_args({"--http", "http://127.0.0.1:1", "--ws", ""}, {.start = 1, .max = 1}),
                              miner_env({{"QUORLEN_CUDA_SIM_DEVICES", std::nullopt}}), 3000);
}
