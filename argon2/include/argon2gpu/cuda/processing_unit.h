// A batch of Argon2 hashes on one device: memory for `batchSize` hashes is
// allocated once; each round sets the passwords, runs, and reads the tags.
#pragma once

#include <cstddef>
#include <memory>

#include "argon2gpu/cuda/program_context.h"

namespace argon2::cuda {

class ProcessingUnit {
public:
    // Throws std::exception on failure; the message contains "out of memory"
    // when the device cannot hold the batch. `bySegment` runs the memory fill
    // one segment (quarter pass) at a time across the batch; `precomputeRefs`
    // computes the data-independent reference indices once for the unit.
    // Neither changes any digest.
    ProcessingUnit(const ProgramContext* program, const Argon2Params* params, const Device* device,
                   std::size_t batchSize, bool bySegment = true, bool precomputeRefs = false);
    ~ProcessingUnit();
    ProcessingUnit(const ProcessingUnit&) = delete;
    ProcessingUnit& operator=(const ProcessingUnit&) = delete;

    std::size_t getBatchSize() const;
    // Copies the password of slot `index`.
    void setPassword(std::size_t index, const void* pw, std::size_t pwSize);
    // Starts hashing every slot; endProcessing waits until all are done.
    void beginProcessing();
    void endProcessing();
    // Writes the tag of slot `index` (the parameters' output length).
    void getHash(std::size_t index, void* hash);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace argon2::cuda
