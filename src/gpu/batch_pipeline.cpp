#include "gpu/batch_pipeline.h"

#include <stdexcept>

#include "argon2gpu/cuda/processing_unit.h"
#include "block/hex.h"
#include "gpu/gpu_hasher.h"
#include "gpu/hex_digests.h"

namespace quorlen::gpu {

class BatchPipeline::UnitDevice : public BatchDevice {
public:
    argon2::cuda::ProcessingUnit* unit = nullptr;
    void setInitialHash(std::size_t slot, const void* h0) override { unit->setInitialHash(slot, h0); }
    void beginProcessing() override { unit->beginProcessing(); }
    void endProcessing() override { unit->endProcessing(); }
    void getHash(std::size_t slot, void* tag32) override { unit->getHash(slot, tag32); }
};

BatchPipeline::BatchPipeline(GpuHasher& hasher)
    : hasher_(&hasher), params_(&hasher.argon2_params()), unit_(std::make_unique<UnitDevice>()) {}

BatchPipeline::BatchPipeline(BatchDevice& device, std::size_t slots, const argon2::Argon2Params& params)
    : fixed_(&device), fixedSlots_(slots), params_(&params) {}

BatchPipeline::~BatchPipeline() { discard(); }

SharedPrefixBatch& BatchPipeline::next() {
    if (in_flight() == kDepth) throw std::logic_error("every batch is in flight");
    return batches_[submitted_ % kDepth];
}

BatchDevice& BatchPipeline::deviceFor(std::size_t slots) {
    if (fixed_) {
        if (slots != fixedSlots_) throw std::logic_error("batch size differs from the device's");
        return *fixed_;
    }
    // A new size rebuilds the unit, which would drop the batches in flight.
    if (in_flight() > 0 && slots != hasher_->unit_batch()) throw std::logic_error("batch size changed in flight");
    unit_->unit = hasher_->unit_for(slots);
    return *unit_;
}

void BatchPipeline::computeInitialHashes(const SharedPrefixBatch& batch, BatchDevice& device) {
    // Candidates of one pass differ only in the digits of their nonces, so a
    // batch has a handful of distinct lengths: the shared start is hashed
    // once for each.
    prefixes_.clear();
    std::uint8_t h0[64];
    for (std::size_t i = 0; i < batch.rests.size(); ++i) {
        const std::string& rest = batch.rests[i];
        const std::size_t length = batch.prefix.size() + rest.size();
        const argon2::InitialHashPrefix* prefix = nullptr;
        for (const auto& [len, state] : prefixes_)
            if (len == length) prefix = &state;
        if (!prefix) {
            prefixes_.emplace_back(length, params_->initialHashPrefix(batch.prefix.data(), batch.prefix.size(),
                                                                      length, argon2::ARGON2_ID,
                                                                      argon2::ARGON2_VERSION_13));
            prefix = &prefixes_.back().second;
        }
        params_->initialHash(h0, *prefix, rest.data(), rest.size());
        device.setInitialHash(i, h0);
    }
}

void BatchPipeline::submit() {
    if (in_flight() == kDepth) throw std::logic_error("every batch is in flight");
    const SharedPrefixBatch& batch = batches_[submitted_ % kDepth];
    const std::size_t n = batch.rests.size();
    if (n > 0) {
        BatchDevice& device = deviceFor(n);
        computeInitialHashes(batch, device);
        device.beginProcessing();
        inFlightDevice_ = &device;
    } else if (hasher_) {
        hasher_->unit_for(0);  // binds the thread, as hash_batch does, and builds nothing
    }
    ++submitted_;
}

const SharedPrefixBatch& BatchPipeline::collect(std::vector<std::string>& outputs) {
    if (in_flight() == 0) throw std::logic_error("no batch in flight");
    const SharedPrefixBatch& batch = batches_[collected_ % kDepth];
    const std::size_t n = batch.rests.size();
    ++collected_;  // a batch that fails is over as well
    if (n == 0) {
        outputs.clear();
        return batch;
    }
    inFlightDevice_->endProcessing();
    read_hex_digests(*inFlightDevice_, n, outputs);
    if (hasher_) hasher_->digests_ready(outputs);
    return batch;
}

void BatchPipeline::discard() {
    for (; collected_ < submitted_; ++collected_) {
        if (batches_[collected_ % kDepth].rests.empty() || !inFlightDevice_) continue;
        try {
            inFlightDevice_->endProcessing();
        } catch (const std::exception&) {
            // the batch is dropped either way
        }
    }
}

}  // namespace quorlen::gpu
