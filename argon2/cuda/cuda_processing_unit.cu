// The CUDA flavour's processing unit: device memory for the whole batch,
// allocated once. Per round the host computes each password's H0 (a few
// BLAKE2b compressions) and sends those 64 bytes up; the device expands them
// into the first blocks, fills the memory, and hashes the final blocks into
// the tags, of which 64 bytes per hash come down. (Tags longer than 64 bytes
// are finished on the host from the last blocks.)
//
// Two rounds can be in flight: each has its own H0 and tag buffers and an
// event, and its H0 goes up on a copy stream while the previous round still
// fills, so the next fill starts as soon as the last one ends. The caller
// waits on the round's event, which blocks instead of spinning, leaving the
// core to the caller's other threads.
//
// A thread block is one hash: one warp per Argon2 lane (blockDim 32 x lanes).
// With by-segment, one launch per segment and the launch boundary is the
// slice barrier; without, one launch per pass, with __syncthreads() between
// slices. Either way no warp waits for another except at slice boundaries.
#include <algorithm>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "../common/addressing.h"
#include "../common/round_ring.h"
#include "../common/slot_store.h"
#include "../common/worker_pool.h"
#include "../kernel/blake2b_block.h"
#include "../kernel/fill_warp.h"
#include "argon2gpu/cuda/processing_unit.h"
#include "cuda_check.h"
#include "kernel_args.h"
#include "launch.h"

namespace argon2::cuda_detail {
int programDevice(const cuda::ProgramContext& program);
}

namespace argon2::cuda {
namespace {

// The fill's dynamic shared memory: a scratch block per warp.
std::size_t fillSharedBytes(std::uint32_t lanes) { return std::size_t(lanes) * 128 * sizeof(std::uint64_t); }

// The most lanes a hash may have: a warp each, in a block of at most 1024
// threads.
constexpr std::uint32_t kMaxLanes = 32;

// Dynamic shared memory: one 128-word scratch block per warp (1 KiB per
// Argon2 lane), through which a warp moves a block between its layouts. The
// launch bounds hold ptxas to the register budget of a block of 32 warps (64
// registers a thread on every architecture built); scripts/cuda-check.sh
// fails when one would need more.
__global__ void __launch_bounds__(kMaxLanes * 32)
    fillKernel(std::uint64_t* memory, detail::Geometry g, detail::LaneModulus lanes, Type type, Version version,
               std::uint32_t pass, std::uint32_t sliceBegin, std::uint32_t sliceEnd, const std::uint32_t* refs,
               const long long* refOffsets) {
    ARGON2GPU_DYNAMIC_SHARED(std::uint64_t, scratchBlocks);
    const std::uint32_t lane = threadIdx.y;
    std::uint64_t* hashMemory = memory + kernel::blockWord(g, blockIdx.x, 0, 0);
    // Decided from the arguments alone, so that every branch of the fill is
    // the same for the whole warp.
    const bool precomputed = refs != nullptr;
    for (std::uint32_t slice = sliceBegin; slice < sliceEnd; ++slice) {
        const bool tabled = precomputed && detail::dataIndependent(type, pass, slice);
        const std::uint32_t* segmentRefs =
            tabled ? refs + kernel::deviceRead(refOffsets + (pass * 4 + slice) * g.lanes + lane) : refs;
        kernel::FillWarp<kernel::DeviceWarp>::fillSegment(hashMemory, g, type, version, pass, lane, slice, lanes,
                                                          precomputed, segmentRefs, scratchBlocks + lane * 128);
        if (slice + 1 < sliceEnd) __syncthreads();
    }
}

// A thread block per hash, as in the fill, a thread per first block: (lane,
// block 0 or 1).
__global__ void firstBlocksKernel(std::uint64_t* memory, const std::uint64_t* h0s, detail::Geometry g) {
    const std::uint32_t hash = blockIdx.x, lane = threadIdx.x / 2, index = threadIdx.x % 2;
    std::uint64_t* out = memory + kernel::blockWord(g, hash, lane, index);
    const std::uint64_t* h0 = h0s + std::size_t(hash) * 8;
    kernel::deviceTouch(h0, 64, false);
    kernel::deviceTouch(out, 1024, true);
    kernel::firstBlock(h0, index, lane, out);
}

// A thread block of one thread per hash, as in the fill: XOR of the lanes'
// last blocks, then the tag. (Block index = hash in every kernel, so that a
// simulated run of a few blocks computes a few whole hashes.)
__global__ void tagKernel(const std::uint64_t* memory, std::uint64_t* tags, detail::Geometry g, std::uint32_t outLen) {
    const std::uint32_t hash = blockIdx.x;
    std::uint64_t x[128];
    const std::uint64_t* last = memory + kernel::blockWord(g, hash, 0, g.laneBlocks - 1);
    for (std::uint32_t lane = 0; lane < g.lanes; ++lane)
        kernel::deviceTouch(last + std::size_t(lane) * g.laneBlocks * 128, 1024, false);
    kernel::xorLastBlocks(last, std::size_t(g.laneBlocks) * 128, g.lanes, true, x);
    kernel::deviceTouch(tags + std::size_t(hash) * 8, 64, true);
    kernel::shortTag(x, outLen, tags + std::size_t(hash) * 8);
}

ARGON2GPU_KERNEL_NAME(fillKernel);
ARGON2GPU_KERNEL_NAME(firstBlocksKernel);
ARGON2GPU_KERNEL_NAME(tagKernel);

template <class T>
struct DeviceArray {
    T* ptr = nullptr;
    void allocate(std::size_t count, const char* what) { check(cudaMalloc(&ptr, count * sizeof(T)), what); }
    ~DeviceArray() {
        if (ptr) cudaFree(ptr);
    }
};

template <class T>
struct PinnedArray {
    T* ptr = nullptr;
    void allocate(std::size_t count, const char* what) { check(cudaMallocHost(&ptr, count * sizeof(T)), what); }
    ~PinnedArray() {
        if (ptr) cudaFreeHost(ptr);
    }
};

}  // namespace

struct Event {
    cudaEvent_t event = nullptr;
    void create(unsigned flags) { check(cudaEventCreateWithFlags(&event, flags), "cudaEventCreate"); }
    ~Event() {
        if (event) cudaEventDestroy(event);
    }
};

struct Stream {
    cudaStream_t stream = nullptr;
    void create() { check(cudaStreamCreateWithFlags(&stream, cudaStreamNonBlocking), "cudaStreamCreate"); }
    ~Stream() {
        if (stream) {
            cudaStreamSynchronize(stream);
            cudaStreamDestroy(stream);
        }
    }
};

struct ProcessingUnit::Impl {
    // One batch's inputs and outputs on both sides.
    struct Round {
        detail::SlotPasswords inputs;
        PinnedArray<std::uint64_t> h0s;          // batch x 8 words
        DeviceArray<std::uint64_t> deviceH0s;
        PinnedArray<std::uint64_t> tagWords;     // batch x 8 words
        PinnedArray<std::uint64_t> lastBlocks;   // batch x lanes blocks, stored layout (long tags only)
        Event uploaded, done;
    };

    int device;
    const Argon2Params* params;
    Type type;
    Version version;
    detail::Geometry g;
    std::size_t batch;
    bool bySegment;
    detail::SlotTags tags;                   // of the round ended last
    DeviceArray<std::uint64_t> memory;
    DeviceArray<std::uint32_t> refs;
    DeviceArray<long long> refOffsets;
    bool deviceTags;                         // tags of up to 64 bytes are made on the device
    DeviceArray<std::uint64_t> deviceTagWords;  // batch x 8 words; the stream orders its reuse
    detail::RoundRing<Round, kRoundsInFlight> rounds;
    detail::WorkerPool pool{std::max(1u, std::thread::hardware_concurrency())};
    // Streams last: destroyed first, after waiting for what still uses the buffers.
    Stream stream, uploads;

    std::size_t wordsPerHash() const { return std::size_t(g.laneBlocks) * g.lanes * 128; }

    Impl(const ProgramContext* program, const Argon2Params* p, std::size_t n, bool segmentWise, bool precompute)
        : device(cuda_detail::programDevice(*program)), params(p), type(program->getArgon2Type()),
          version(program->getArgon2Version()), g{p->getLanes(), p->getSegmentBlocks(), p->getLaneBlocks(),
                                                  p->getTimeCost()},
          batch(n), bySegment(segmentWise), deviceTags(p->getOutputLength() <= 64) {
        // A block is one hash, a warp per lane: at most 1024 threads.
        if (g.lanes > kMaxLanes)
            throw std::invalid_argument("the CUDA flavour runs at most " + std::to_string(kMaxLanes) +
                                        " lanes (a warp each in a block of at most 1024 threads), not " +
                                        std::to_string(g.lanes));
        tags.resize(n, p->getOutputLength());
        check(cudaSetDevice(device), "cudaSetDevice");
        stream.create();
        uploads.create();
        for (Round& r : rounds) {
            r.inputs.resize(n);
            r.uploaded.create(cudaEventDisableTiming);
            r.done.create(cudaEventDisableTiming | cudaEventBlockingSync);
        }
        if (batch == 0) return;
        memory.allocate(batch * wordsPerHash(), "allocating the batch's blocks");
        for (Round& r : rounds) {
            r.h0s.allocate(batch * 8, "allocating the H0 buffer");
            r.deviceH0s.allocate(batch * 8, "allocating the H0 buffer");
            if (deviceTags)
                r.tagWords.allocate(batch * 8, "allocating the tag buffer");
            else
                r.lastBlocks.allocate(batch * g.lanes * 128, "allocating the last-block buffer");
        }
        if (deviceTags) deviceTagWords.allocate(batch * 8, "allocating the tag buffer");
        if (precompute) {
            const detail::ReferenceTable table(g, type);
            std::vector<long long> offsets(table.offsets().begin(), table.offsets().end());
            refs.allocate(std::max<std::size_t>(1, table.all().size()), "allocating the reference table");
            refOffsets.allocate(offsets.size(), "allocating the reference offsets");
            // On the fill's own stream, so that every fill is ordered after
            // them (a copy from pageable memory takes the bytes at the call).
            check(cudaMemcpyAsync(refs.ptr, table.all().data(), table.bytes(), cudaMemcpyHostToDevice, stream.stream),
                  "uploading refs");
            check(cudaMemcpyAsync(refOffsets.ptr, offsets.data(), offsets.size() * sizeof(long long),
                                  cudaMemcpyHostToDevice, stream.stream),
                  "uploading ref offsets");
            check(cudaStreamSynchronize(stream.stream), "uploading the reference table");
        }
    }

    void setInitialHash(std::size_t slot, const void* h0) {
        Round& r = rounds.staging();
        r.inputs.setByH0(slot);
        std::memcpy(r.h0s.ptr + slot * 8, h0, 64);
    }

    void begin() {
        Round& r = rounds.staging();
        if (batch == 0) {
            rounds.markBegun();
            return;
        }
        check(cudaSetDevice(device), "cudaSetDevice");
        pool.forEach(batch, [&](std::size_t slot) {
            if (r.inputs.byH0[slot]) return;
            const std::string& pw = r.inputs.passwords[slot];
            params->initialHash(r.h0s.ptr + slot * 8, pw.data(), pw.size(), type, version);
        });
        // Once a copy is queued, a failure must not leave it reading or
        // writing this round's buffers, which the next round reuses.
        try {
            enqueueRound(r);
        } catch (...) {
            cudaStreamSynchronize(uploads.stream);
            cudaStreamSynchronize(stream.stream);
            cudaGetLastError();
            throw;
        }
        rounds.markBegun();
    }

    // The H0s go up beside the fill of the round before; the fill of this one
    // waits for them.
    void enqueueRound(Round& r) {
        check(cudaMemcpyAsync(r.deviceH0s.ptr, r.h0s.ptr, batch * 64, cudaMemcpyHostToDevice, uploads.stream),
              "uploading H0");
        check(cudaEventRecord(r.uploaded.event, uploads.stream), "recording the upload");
        check(cudaStreamWaitEvent(stream.stream, r.uploaded.event, 0), "ordering the upload");
        // This round writes every block before reading it: what the last one
        // left is dead (a no-op on a card; the simulated runtime then takes a
        // read of it for the fault it is).
        discard(memory.ptr, batch * wordsPerHash() * sizeof(std::uint64_t), stream.stream);
        check(launch("firstBlocksKernel", firstBlocksKernel, {dim3(unsigned(batch)), dim3(g.lanes * 2), 0, stream.stream},
                     memory.ptr, r.deviceH0s.ptr, g),
              "launching the first-block kernel");
        const LaunchShape fill{dim3(unsigned(batch)), dim3(32, g.lanes), fillSharedBytes(g.lanes), stream.stream};
        const detail::LaneModulus lanes = detail::laneModulus(g.lanes);
        const std::uint32_t* table = refs.ptr;
        const long long* offsets = refOffsets.ptr;
        for (std::uint32_t pass = 0; pass < g.passes; ++pass) {
            if (bySegment) {
                for (std::uint32_t slice = 0; slice < kSyncPoints; ++slice)
                    check(launch("fillKernel", fillKernel, fill, memory.ptr, g, lanes, type, version, pass, slice,
                                 slice + 1, table, offsets),
                          "launching the fill kernel");
            } else {
                check(launch("fillKernel", fillKernel, fill, memory.ptr, g, lanes, type, version, pass, 0u,
                             kSyncPoints, table, offsets),
                      "launching the fill kernel");
            }
        }
        if (deviceTags) {
            check(launch("tagKernel", tagKernel, {dim3(unsigned(batch)), dim3(1), 0, stream.stream}, memory.ptr,
                         deviceTagWords.ptr, g, unsigned(params->getOutputLength())),
                  "launching the tag kernel");
            check(cudaMemcpyAsync(r.tagWords.ptr, deviceTagWords.ptr, batch * 64, cudaMemcpyDeviceToHost,
                                  stream.stream),
                  "downloading tags");
        } else {
            // The last block of every lane, for the host to finish.
            const std::size_t laneBytes = std::size_t(g.laneBlocks) * 1024;
            check(cudaMemcpy2DAsync(r.lastBlocks.ptr, 1024, memory.ptr + kernel::blockWord(g, 0, 0, g.laneBlocks - 1),
                                    laneBytes, 1024, batch * g.lanes, cudaMemcpyDeviceToHost, stream.stream),
                  "downloading last blocks");
        }
        check(cudaEventRecord(r.done.event, stream.stream), "recording the round's end");
    }

    void end() {
        Round* oldest = rounds.oldest();
        if (!oldest) return;
        Round& r = *oldest;
        rounds.markEnded();  // a failed round is over as well
        if (batch == 0) return;
        check(cudaEventSynchronize(r.done.event), "running the batch");
        const std::size_t len = params->getOutputLength();
        if (deviceTags) {
            for (std::size_t slot = 0; slot < batch; ++slot)
                std::memcpy(tags.slot(slot), r.tagWords.ptr + slot * 8, len);
            return;
        }
        pool.forEach(batch, [&](std::size_t slot) {
            Block x;
            kernel::xorLastBlocks(r.lastBlocks.ptr + slot * g.lanes * 128, 128, g.lanes, true, x.v);
            params->finalize(tags.slot(slot), x);
        });
    }
};

#include "../common/processing_unit_calls.inl"

}  // namespace argon2::cuda

namespace argon2::cuda_detail {

cudaError_t fillKernelImage(int device) {
    cudaError_t result = cudaSetDevice(device);
    if (result != cudaSuccess) return result;
    cudaFuncAttributes attributes{};
    return cudaFuncGetAttributes(&attributes, cuda::fillKernel);
}

int fillKernelBlocksPerSm(int device, std::uint32_t lanes) {
    int blocks = 0;
    if (cudaSetDevice(device) != cudaSuccess ||
        cudaOccupancyMaxActiveBlocksPerMultiprocessor(&blocks, cuda::fillKernel, int(32 * lanes),
                                                      cuda::fillSharedBytes(lanes)) != cudaSuccess) {
        cudaGetLastError();
        return 0;
    }
    return blocks;
}

}  // namespace argon2::cuda_detail
