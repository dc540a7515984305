// The host flavour's processing unit: the blocks of every slot in one
// mapping, filled by one thread per core.
//
// Without by-segment, each thread takes whole hashes from a shared counter.
// With by-segment, the batch advances one slice at a time: every (slot, lane)
// segment of the slice is a task, and the threads meet at a barrier before
// the next slice; this keeps both cores busy even for a single hash.
#include "argon2gpu/cuda/processing_unit.h"

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "../common/addressing.h"
#include "fill.h"
#include "host_memory.h"

namespace argon2::host {
FillSegmentFn programFill(const cuda::ProgramContext& program);
}

namespace argon2::cuda {

struct ProcessingUnit::Impl {
    const Argon2Params* params;
    Type type;
    Version version;
    host::FillSegmentFn fill;
    detail::Geometry geometry;
    std::size_t batch;
    bool bySegment;
    host::HostBuffer memory;
    std::optional<detail::ReferenceTable> refs;
    std::vector<std::string> passwords;
    std::vector<std::uint8_t> tags;  // batch * output length

    std::vector<std::thread> threads;
    std::vector<std::atomic<std::size_t>> phaseCursor;  // next task of each phase
    std::unique_ptr<std::barrier<>> phaseEnd;

    Impl(const ProgramContext* program, const Argon2Params* p, std::size_t n, bool segmentWise, bool precompute)
        : params(p), type(program->getArgon2Type()), version(program->getArgon2Version()),
          fill(host::programFill(*program)),
          geometry{p->getLanes(), p->getSegmentBlocks(), p->getLaneBlocks(), p->getTimeCost()}, batch(n),
          bySegment(segmentWise), memory(n * p->getMemoryBytes()), passwords(n), tags(n * p->getOutputLength()),
          phaseCursor(phaseCount()) {
        if (precompute) refs.emplace(geometry, type);
    }

    Block* slotMemory(std::size_t slot) const {
        return static_cast<Block*>(memory.data()) + slot * std::size_t(geometry.laneBlocks) * geometry.lanes;
    }

    std::size_t phaseCount() const { return bySegment ? 2 + std::size_t(geometry.passes) * kSyncPoints : 1; }

    // Slots are filled in groups of `lockstep` consecutive slots, in lockstep
    // (the fill hides one hash's memory latency behind the other's work).
    std::size_t lockstep = 1;
    static std::size_t lockstepWanted() {
        if (const char* v = std::getenv("ARGON2GPU_LOCKSTEP")) return std::clamp(std::atoi(v), 1, host::kMaxLockstep);
        return 2;
    }
    std::size_t groups() const { return (batch + lockstep - 1) / lockstep; }

    void fillGroup(std::size_t group, std::uint32_t pass, std::uint32_t lane, std::uint32_t slice) const {
        host::SegmentJob jobs[host::kMaxLockstep];
        const std::size_t first = group * lockstep;
        const int count = static_cast<int>(std::min(lockstep, batch - first));
        for (int h = 0; h < count; ++h)
            jobs[h] = host::SegmentJob{slotMemory(first + h), geometry, type, version, pass, lane, slice,
                                       refs ? refs->segment(pass, lane, slice) : nullptr};
        fill(jobs, count);
    }

    template <class Each>
    void forSlotsOf(std::size_t group, Each each) {
        for (std::size_t slot = group * lockstep; slot < std::min(batch, (group + 1) * lockstep); ++slot) each(slot);
    }

    void initSlot(std::size_t slot) {
        Block* mem = slotMemory(slot);
        std::vector<Block> first(2 * geometry.lanes);
        const std::string& pw = passwords[slot];
        params->fillFirstBlocks(first.data(), pw.data(), pw.size(), type, version);
        for (std::uint32_t lane = 0; lane < geometry.lanes; ++lane) {
            mem[lane * geometry.laneBlocks] = first[2 * lane];
            mem[lane * geometry.laneBlocks + 1] = first[2 * lane + 1];
        }
    }

    void finishSlot(std::size_t slot) {
        const Block* mem = slotMemory(slot);
        Block x = mem[geometry.laneBlocks - 1];
        for (std::uint32_t lane = 1; lane < geometry.lanes; ++lane) {
            const Block& last = mem[lane * geometry.laneBlocks + geometry.laneBlocks - 1];
            for (std::size_t i = 0; i < kQwordsInBlock; ++i) x.v[i] ^= last.v[i];
        }
        params->finalize(tags.data() + slot * params->getOutputLength(), x);
    }

    void wholeGroup(std::size_t group) {
        forSlotsOf(group, [this](std::size_t slot) { initSlot(slot); });
        for (std::uint32_t pass = 0; pass < geometry.passes; ++pass)
            for (std::uint32_t slice = 0; slice < kSyncPoints; ++slice)
                for (std::uint32_t lane = 0; lane < geometry.lanes; ++lane) fillGroup(group, pass, lane, slice);
        forSlotsOf(group, [this](std::size_t slot) { finishSlot(slot); });
    }

    // Runs tasks 0 .. count-1 of `phase`, shared with the other threads.
    template <class Task>
    void share(std::size_t phase, std::size_t count, Task task) {
        for (std::size_t i; (i = phaseCursor[phase].fetch_add(1, std::memory_order_relaxed)) < count;) task(i);
    }

    void threadMain() {
        if (!bySegment) {
            share(0, groups(), [this](std::size_t group) { wholeGroup(group); });
            return;
        }
        share(0, batch, [this](std::size_t slot) { initSlot(slot); });
        phaseEnd->arrive_and_wait();
        std::size_t phase = 1;
        const std::size_t segments = groups() * geometry.lanes;
        for (std::uint32_t pass = 0; pass < geometry.passes; ++pass) {
            for (std::uint32_t slice = 0; slice < kSyncPoints; ++slice, ++phase) {
                share(phase, segments, [&](std::size_t task) {
                    fillGroup(task / geometry.lanes, pass, std::uint32_t(task % geometry.lanes), slice);
                });
                phaseEnd->arrive_and_wait();
            }
        }
        share(phase, batch, [this](std::size_t slot) { finishSlot(slot); });
    }

    void begin() {
        if (!threads.empty()) throw std::logic_error("beginProcessing called twice");
        for (auto& c : phaseCursor) c.store(0);
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        // As many slots in lockstep as still leaves every core a group.
        lockstep = std::clamp<std::size_t>(batch / cores, 1, lockstepWanted());
        const std::size_t wanted = bySegment ? groups() * geometry.lanes : groups();
        const unsigned count = static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(cores, wanted)));
        phaseEnd = std::make_unique<std::barrier<>>(count);
        for (unsigned t = 0; t < count; ++t) threads.emplace_back([this] { threadMain(); });
    }

    void end() {
        for (auto& t : threads) t.join();
        threads.clear();
    }
};

ProcessingUnit::ProcessingUnit(const ProgramContext* program, const Argon2Params* params, const Device*,
                               std::size_t batchSize, bool bySegment, bool precomputeRefs)
    : impl_(std::make_unique<Impl>(program, params, batchSize, bySegment, precomputeRefs)) {}

ProcessingUnit::~ProcessingUnit() {
    if (impl_) impl_->end();
}

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
