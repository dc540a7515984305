// Batches hashed while the caller prepares the next one and tests the last.
//
// hash_batch keeps the device idle while the caller builds texts, computes
// H0 and tests digests. Here a batch is handed over (submit) and its digests
// fetched later (collect): with two batches in flight the device starts the
// next fill as soon as one ends. The texts of a batch share a start (the
// parameters, the length and that start are hashed once per distinct text
// length), so H0 costs only each text's own end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "argon2gpu/params.h"

class GpuHasher;

namespace quorlen::gpu {

// One batch of texts: text i is prefix + rests[i].
struct SharedPrefixBatch {
    std::string prefix;
    std::vector<std::string> rests;
    std::string text(std::size_t i) const { return prefix + rests.at(i); }
};

// The calls of a processing unit the pipeline makes: the hasher's unit, or a
// stand-in with the same rules (two rounds in flight at most).
class BatchDevice {
public:
    virtual ~BatchDevice() = default;
    virtual void setInitialHash(std::size_t slot, const void* h0) = 0;
    virtual void beginProcessing() = 0;
    virtual void endProcessing() = 0;
    virtual void getHash(std::size_t slot, void* tag32) = 0;
};

class BatchPipeline {
public:
    static constexpr std::size_t kDepth = 2;  // batches in flight at most

    // On the hasher's processing unit for the batch's size, built and cached
    // as hash_batch builds it. While batches are in flight the unit is the
    // pipeline's: no hash_batch and no reset meanwhile.
    explicit BatchPipeline(GpuHasher& hasher);
    // On `device`, which has `slots` slots, with the miner's Argon2id variant.
    BatchPipeline(BatchDevice& device, std::size_t slots, const argon2::Argon2Params& params);
    // Waits for the batches in flight.
    ~BatchPipeline();
    BatchPipeline(const BatchPipeline&) = delete;
    BatchPipeline& operator=(const BatchPipeline&) = delete;

    // The batch to fill before the next submit. Its storage is reused from
    // kDepth batches ago; what collect returned stays valid until this call.
    SharedPrefixBatch& next();
    // Starts hashing the batch of next() and returns without waiting for the
    // device. Failures of the library or runtime arrive as std::exception.
    void submit();
    // Waits for the oldest batch in flight, writes its digests (64 lowercase
    // hex characters, in slot order) into `outputs` and returns its texts.
    const SharedPrefixBatch& collect(std::vector<std::string>& outputs);
    std::size_t in_flight() const { return std::size_t(submitted_ - collected_); }
    // After a failure: lets the device finish what is in flight, ignoring
    // further errors, and forgets it.
    void discard();

private:
    class UnitDevice;
    BatchDevice& deviceFor(std::size_t slots);
    void computeInitialHashes(const SharedPrefixBatch& batch, BatchDevice& device);

    GpuHasher* hasher_ = nullptr;
    BatchDevice* fixed_ = nullptr;
    std::size_t fixedSlots_ = 0;
    const argon2::Argon2Params* params_;
    std::unique_ptr<UnitDevice> unit_;
    BatchDevice* inFlightDevice_ = nullptr;  // the device the batches in flight run on
    SharedPrefixBatch batches_[kDepth];
    std::uint64_t submitted_ = 0, collected_ = 0;
    std::vector<std::pair<std::size_t, argon2::InitialHashPrefix>> prefixes_;  // by text length, this batch
};

}  // namespace quorlen::gpu
