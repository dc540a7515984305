// The CUDA flavour's processing unit: device memory for the whole batch,
// allocated once; per round the first blocks go up, the fill kernels run, the
// last blocks come down. BLAKE2b (first blocks, tags) runs on the host.
//
// A thread block is one hash: one warp per Argon2 lane (blockDim 32 x lanes).
// With by-segment, one launch per segment and the launch boundary is the
// slice barrier; without, one launch per pass, with __syncthreads() between
// slices. Either way no warp waits for another except at slice boundaries.
#include <algorithm>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "../common/addressing.h"
#include "../kernel/fill_warp.h"
#include "argon2gpu/cuda/processing_unit.h"
#include "cuda_check.h"

namespace argon2::cuda_detail {
int programDevice(const cuda::ProgramContext& program);
}

namespace argon2::cuda {
namespace {

__global__ void fillKernel(std::uint64_t* memory, detail::Geometry g, int type, int version, std::uint32_t pass,
                           std::uint32_t sliceBegin, std::uint32_t sliceEnd, const std::uint32_t* refs,
                           const long long* refOffsets) {
    const std::uint32_t lane = threadIdx.y;
    std::uint64_t* hashMemory = memory + std::size_t(blockIdx.x) * g.laneBlocks * g.lanes * 128;
    for (std::uint32_t slice = sliceBegin; slice < sliceEnd; ++slice) {
        const std::uint32_t* segmentRefs = nullptr;
        if (refs) {
            const long long off = refOffsets[(pass * 4 + slice) * g.lanes + lane];
            if (off >= 0) segmentRefs = refs + off;
        }
        kernel::FillWarp<kernel::DeviceWarp>::fillSegment(hashMemory, g, type, version, pass, lane, slice,
                                                          segmentRefs);
        if (slice + 1 < sliceEnd) __syncthreads();
    }
}

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

// Runs f(i) for i in [0, n) on every core.
template <class F>
void parallelFor(std::size_t n, F f) {
    const unsigned threads = std::max(1u, std::min<unsigned>(std::thread::hardware_concurrency(), unsigned(n)));
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t)
        pool.emplace_back([=] {
            for (std::size_t i = t; i < n; i += threads) f(i);
        });
    for (auto& th : pool) th.join();
}

}  // namespace

struct ProcessingUnit::Impl {
    int device;
    const Argon2Params* params;
    Type type;
    Version version;
    detail::Geometry g;
    std::size_t batch;
    bool bySegment;
    std::vector<std::string> passwords;
    std::vector<std::uint8_t> tags;
    cudaStream_t stream = nullptr;
    DeviceArray<std::uint64_t> memory;
    DeviceArray<std::uint32_t> refs;
    DeviceArray<long long> refOffsets;
    PinnedArray<std::uint64_t> firstBlocks;  // batch x lanes x 2 blocks, stored layout
    PinnedArray<std::uint64_t> lastBlocks;   // batch x lanes blocks, stored layout

    std::size_t wordsPerHash() const { return std::size_t(g.laneBlocks) * g.lanes * 128; }

    Impl(const ProgramContext* program, const Argon2Params* p, std::size_t n, bool segmentWise, bool precompute)
        : device(cuda_detail::programDevice(*program)), params(p), type(program->getArgon2Type()),
          version(program->getArgon2Version()), g{p->getLanes(), p->getSegmentBlocks(), p->getLaneBlocks(),
                                                  p->getTimeCost()},
          batch(n), bySegment(segmentWise), passwords(n), tags(n * p->getOutputLength()) {
        check(cudaSetDevice(device), "cudaSetDevice");
        check(cudaStreamCreate(&stream), "cudaStreamCreate");
        if (batch == 0) return;
        memory.allocate(batch * wordsPerHash(), "allocating the batch's blocks");
        firstBlocks.allocate(batch * g.lanes * 2 * 128, "allocating the first-block buffer");
        lastBlocks.allocate(batch * g.lanes * 128, "allocating the last-block buffer");
        if (precompute) {
            const detail::ReferenceTable table(g, type);
            std::vector<long long> offsets(table.offsets().begin(), table.offsets().end());
            refs.allocate(std::max<std::size_t>(1, table.all().size()), "allocating the reference table");
            refOffsets.allocate(offsets.size(), "allocating the reference offsets");
            check(cudaMemcpy(refs.ptr, table.all().data(), table.bytes(), cudaMemcpyHostToDevice), "uploading refs");
            check(cudaMemcpy(refOffsets.ptr, offsets.data(), offsets.size() * sizeof(long long),
                             cudaMemcpyHostToDevice),
                  "uploading ref offsets");
        }
    }

    ~Impl() {
        if (stream) {
            cudaStreamSynchronize(stream);
            cudaStreamDestroy(stream);
        }
    }

    void begin() {
        if (batch == 0) return;
        check(cudaSetDevice(device), "cudaSetDevice");
        parallelFor(batch, [this](std::size_t slot) {
            std::vector<Block> first(2 * g.lanes);
            params->fillFirstBlocks(first.data(), passwords[slot].data(), passwords[slot].size(), type, version);
            for (std::uint32_t b = 0; b < 2 * g.lanes; ++b)
                kernel::toStored(first[b].v, firstBlocks.ptr + (slot * g.lanes * 2 + b) * 128);
        });
        // Blocks 0 and 1 of every lane: two blocks at the start of each lane.
        const std::size_t laneBytes = std::size_t(g.laneBlocks) * 1024;
        check(cudaMemcpy2DAsync(memory.ptr, laneBytes, firstBlocks.ptr, 2048, 2048, batch * g.lanes,
                                cudaMemcpyHostToDevice, stream),
              "uploading first blocks");
        const dim3 block(32, g.lanes);
        for (std::uint32_t pass = 0; pass < g.passes; ++pass) {
            if (bySegment) {
                for (std::uint32_t slice = 0; slice < kSyncPoints; ++slice)
                    fillKernel<<<unsigned(batch), block, 0, stream>>>(memory.ptr, g, type, version, pass, slice,
                                                                      slice + 1, refs.ptr, refOffsets.ptr);
            } else {
                fillKernel<<<unsigned(batch), block, 0, stream>>>(memory.ptr, g, type, version, pass, 0, kSyncPoints,
                                                                  refs.ptr, refOffsets.ptr);
            }
            check(cudaGetLastError(), "launching the fill kernel");
        }
        // The last block of every lane.
        check(cudaMemcpy2DAsync(lastBlocks.ptr, 1024, memory.ptr + (g.laneBlocks - 1) * 128, laneBytes, 1024,
                                batch * g.lanes, cudaMemcpyDeviceToHost, stream),
              "downloading last blocks");
    }

    void end() {
        if (batch == 0) return;
        check(cudaStreamSynchronize(stream), "running the batch");
        parallelFor(batch, [this](std::size_t slot) {
            Block x{}, last;
            for (std::uint32_t lane = 0; lane < g.lanes; ++lane) {
                kernel::fromStored(lastBlocks.ptr + (slot * g.lanes + lane) * 128, last.v);
                for (int w = 0; w < 128; ++w) x.v[w] ^= last.v[w];
            }
            params->finalize(tags.data() + slot * params->getOutputLength(), x);
        });
    }
};

ProcessingUnit::ProcessingUnit(const ProgramContext* program, const Argon2Params* params, const Device*,
                               std::size_t batchSize, bool bySegment, bool precomputeRefs)
    : impl_(std::make_unique<Impl>(program, params, batchSize, bySegment, precomputeRefs)) {}

ProcessingUnit::~ProcessingUnit() = default;

std::size_t ProcessingUnit::getBatchSize() const { return impl_->batch; }

void ProcessingUnit::setPassword(std::size_t index, const void* pw, std::size_t pwSize) {
    impl_->passwords.at(index).assign(static_cast<const char*>(pw), pwSize);
}

void ProcessingUnit::beginProcessing() { impl_->begin(); }

void ProcessingUnit::endProcessing() { impl_->end(); }

void ProcessingUnit::getHash(std::size_t index, void* hash) {
    if (index >= impl_->batch) throw std::out_of_range("slot index out of range");
    const std::size_t len = impl_->params->getOutputLength();
    std::memcpy(hash, impl_->tags.data() + index * len, len);
}

}  // namespace argon2::cuda
