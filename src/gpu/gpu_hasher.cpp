#include "gpu/gpu_hasher.h"

#include <cstring>

#include "argon2gpu/cpu_hash.h"
#include "argon2gpu/cuda/runtime.h"
#include "block/hex.h"
#include "gpu/chain_pow.h"
#include "gpu/hex_digests.h"

GpuHasher::GpuHasher(const argon2::cuda::Device* device, bool bySegment, bool precompute)
    : device_(device), bySegment_(bySegment), precompute_(precompute) {}

// Unit before program: the unit's memory belongs to the program's device.
GpuHasher::~GpuHasher() {
    unit_.reset();
    program_.reset();
}

void GpuHasher::init(const argon2::cuda::GlobalContext& global) {
    global_ = &global;
    params_ = quorlen::gpu::chain_pow::params();
}

void GpuHasher::bind_thread() const {
    cudaSetDevice(device_->getDeviceIndex());
    cudaFree(nullptr);
}

std::string GpuHasher::cpu_hash(const std::string& input) const {
    unsigned char digest[32];
    argon2::cpuHash(*params_, argon2::ARGON2_ID, argon2::ARGON2_VERSION_13, input.data(), input.size(), digest);
    return hexLower(digest, sizeof digest);
}

void GpuHasher::hash_batch(const std::vector<std::string>& inputs, std::vector<std::string>& outputs) {
    const std::size_t n = inputs.size();
    argon2::cuda::ProcessingUnit* unit = unit_for(n);
    if (n == 0) {
        outputs.clear();
        return;
    }
    for (std::size_t i = 0; i < n; ++i) unit->setPassword(i, inputs[i].data(), inputs[i].size());
    unit->beginProcessing();
    unit->endProcessing();
    quorlen::gpu::read_hex_digests(*unit, n, outputs);
    digests_ready(outputs);
}

argon2::cuda::ProcessingUnit* GpuHasher::unit_for(std::size_t n) {
    bind_thread();
    if (n == 0) return nullptr;
    if (!program_) {
        program_ = std::make_unique<argon2::cuda::ProgramContext>(
            global_, std::vector<argon2::cuda::Device>{*device_}, argon2::ARGON2_ID, argon2::ARGON2_VERSION_13);
        ++programsBuilt_;
    }
    if (!unit_ || unitBatch_ != n) {
        unit_.reset();  // free the old batch's memory before asking for the new one
        unitBatch_ = 0;
        unit_ = std::make_unique<argon2::cuda::ProcessingUnit>(program_.get(), params_.get(), device_, n, bySegment_,
                                                               precompute_);
        unitBatch_ = n;
        ++unitsBuilt_;
    }
    return unit_.get();
}

void GpuHasher::reset() {
    unit_.reset();
    program_.reset();
    unitBatch_ = 0;
    cudaDeviceSynchronize();
}
