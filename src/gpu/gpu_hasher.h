// Argon2id batch hashing of texts on one device, with the chain's fixed
// parameters. The processing unit is cached for the last batch size.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "argon2gpu/cuda/processing_unit.h"

class GpuHasher {
public:
    GpuHasher(const argon2::cuda::Device* device, bool bySegment, bool precompute);
    virtual ~GpuHasher();
    GpuHasher(const GpuHasher&) = delete;
    GpuHasher& operator=(const GpuHasher&) = delete;

    // Makes the parameters; called once, before any hash_batch.
    void init(const argon2::cuda::GlobalContext& global);

    // outputs[i] = 64 lowercase hex characters of the digest of inputs[i].
    // Library and runtime failures arrive as std::exception; device memory
    // shortage says "out of memory"; argon2::cuda::DeviceLost means the
    // device can take no more work.
    void hash_batch(const std::vector<std::string>& inputs, std::vector<std::string>& outputs);

    // Sees every batch's digests, from hash_batch and from BatchPipeline,
    // before they are returned. Does nothing: it is virtual only so that
    // tests can stand a faulty device in (a wrong digest, a lost context).
    virtual void digests_ready(std::vector<std::string>& outputs) { (void)outputs; }

    // The same digest computed on the CPU, as 64 lowercase hex characters:
    // what every device result that matters is checked against.
    std::string cpu_hash(const std::string& input) const;

    // Makes this device the calling thread's current one and its context
    // exist, so that a worker's first batch finds it ready.
    void bind_thread() const;

    // What hash_batch does before it sets the passwords: binds the calling
    // thread to the device and returns the processing unit for n inputs,
    // building the program context and the unit when needed; null, and
    // nothing built, for 0. For callers that drive the unit themselves
    // (BatchPipeline).
    argon2::cuda::ProcessingUnit* unit_for(std::size_t n);
    const argon2::Argon2Params& argon2_params() const { return *params_; }

    // Drops the unit and the program context and waits for the device.
    void reset();

    int cuda_index() const { return device_->getDeviceIndex(); }
    std::size_t unit_batch() const { return unitBatch_; }
    // How many processing units and program contexts were built so far.
    std::uint64_t units_built() const { return unitsBuilt_; }
    std::uint64_t programs_built() const { return programsBuilt_; }

private:
    const argon2::cuda::Device* device_;
    const argon2::cuda::GlobalContext* global_ = nullptr;
    std::unique_ptr<argon2::cuda::ProgramContext> program_;
    std::unique_ptr<argon2::Argon2Params> params_;
    bool bySegment_;
    bool precompute_;
    std::unique_ptr<argon2::cuda::ProcessingUnit> unit_;
    std::size_t unitBatch_ = 0;
    std::uint64_t unitsBuilt_ = 0;
    std::uint64_t programsBuilt_ = 0;
};
