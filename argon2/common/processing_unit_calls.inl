// ProcessingUnit's public calls, the same in every flavour: each forwards to
// the flavour's Impl, which keeps its slots in slot_store.h. Included by each
// flavour's unit after its Impl, inside namespace argon2::cuda.

ProcessingUnit::ProcessingUnit(const ProgramContext* program, const Argon2Params* params, const Device*,
                               std::size_t batchSize, bool bySegment, bool precomputeRefs)
    : impl_(std::make_unique<Impl>(program, params, batchSize, bySegment, precomputeRefs)) {}

ProcessingUnit::~ProcessingUnit() = default;

void ProcessingUnit::setPassword(std::size_t index, const void* pw, std::size_t pwSize) {
    impl_->rounds.staging().inputs.set(index, pw, pwSize);
}

void ProcessingUnit::setInitialHash(std::size_t index, const void* h0) { impl_->setInitialHash(index, h0); }

void ProcessingUnit::beginProcessing() { impl_->begin(); }

void ProcessingUnit::endProcessing() { impl_->end(); }

void ProcessingUnit::getHash(std::size_t index, void* hash) { impl_->tags.read(index, hash); }
