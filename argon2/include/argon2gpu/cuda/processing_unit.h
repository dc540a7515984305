// A batch of Argon2 hashes on one device: memory for `batchSize` hashes is
// allocated once; each round sets the passwords, runs, and reads the tags.
//
// Rounds can overlap: once a round has begun, the slots of the next one can
// be set and it can begin before the first has ended; it then runs right
// after it, so the device does not wait for the caller in between. At most
// kRoundsInFlight rounds are begun and not ended; setting a slot or beginning
// a round beyond that throws std::logic_error. endProcessing ends the oldest
// round begun, and getHash reads the tags of the round ended last.
#pragma once

#include <cstddef>
#include <memory>

#include "argon2gpu/cuda/program_context.h"

namespace argon2::cuda {

class ProcessingUnit {
public:
    static constexpr std::size_t kRoundsInFlight = 2;

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

    // Copies the password of slot `index`.
    void setPassword(std::size_t index, const void* pw, std::size_t pwSize);
    // Sets slot `index` by its password's 64-byte initial hash H0 instead
    // (Argon2Params::initialHash), for callers that make it cheaper in bulk.
    void setInitialHash(std::size_t index, const void* h0);
    // Starts hashing every slot and returns; endProcessing waits until the
    // oldest round begun is done (nothing, when none is in flight).
    void beginProcessing();
    void endProcessing();
    // Writes the tag of slot `index` (the parameters' output length).
    void getHash(std::size_t index, void* hash);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace argon2::cuda
