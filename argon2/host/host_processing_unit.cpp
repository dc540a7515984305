// The host flavour's processing unit: the blocks of every slot in one
// mapping, filled by a pool of one thread per core, made with the unit. A
// round begun while another is being filled is queued behind it.
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
#include "../common/round_ring.h"
#include "../common/slot_store.h"
#include "../common/test_hang.h"
#include "../common/worker_pool.h"
#include "../kernel/block_layout.h"
#include "fill.h"
#include "host_memory.h"

namespace argon2::host {
FillSegmentFn programFill(const cuda::ProgramContext& program);
}

namespace argon2::cuda {

struct ProcessingUnit::Impl {
    // One batch's inputs and outputs. Two of them, so that the caller can set
    // the next batch while this one is filled.
    struct Round {
        detail::SlotPasswords inputs;
        std::vector<std::uint8_t> h0s;     // batch * 64, for slots set by H0
        detail::SlotTags tags;
        std::vector<std::atomic<std::size_t>> phaseCursor;  // next task of each phase
        std::uint64_t ticket = 0;
    };

    const Argon2Params* params;
    Type type;
    Version version;
    host::FillSegmentFn fill;
    detail::Geometry geometry;
    std::size_t batch;
    bool bySegment;
    host::HostBuffer memory;
    std::optional<detail::ReferenceTable> refs;
    detail::RoundRing<Round, kRoundsInFlight> rounds;
    detail::SlotTags tags;  // of the round ended last

    // Slots are filled in groups of `lockstep` consecutive slots, in lockstep
    // (the fill hides one hash's memory latency behind the other's work).
    std::size_t lockstep = 1;
    std::unique_ptr<std::barrier<>> phaseEnd;
    std::unique_ptr<detail::WorkerPool> pool;  // last: its threads use everything above

    Impl(const ProgramContext* program, const Argon2Params* p, std::size_t n, bool segmentWise, bool precompute)
        : params(p), type(program->getArgon2Type()), version(program->getArgon2Version()),
          fill(host::programFill(*program)),
          geometry{p->getLanes(), p->getSegmentBlocks(), p->getLaneBlocks(), p->getTimeCost()}, batch(n),
          bySegment(segmentWise), memory(n * p->getMemoryBytes()) {
        tags.resize(n, p->getOutputLength());
        if (precompute) refs.emplace(geometry, type);
        for (Round& r : rounds) {
            r.inputs.resize(n);
            r.h0s.resize(n * 64);
            r.tags.resize(n, p->getOutputLength());
            r.phaseCursor = std::vector<std::atomic<std::size_t>>(phaseCount());
        }
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        // As many slots in lockstep as still leaves every core a group.
        lockstep = std::clamp<std::size_t>(batch / cores, 1, lockstepWanted());
        const std::size_t wanted = bySegment ? groups() * geometry.lanes : groups();
        const unsigned count = static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(cores, wanted)));
        phaseEnd = std::make_unique<std::barrier<>>(count);
        pool = std::make_unique<detail::WorkerPool>(count);
    }

    Block* slotMemory(std::size_t slot) const {
        return static_cast<Block*>(memory.data()) + slot * std::size_t(geometry.laneBlocks) * geometry.lanes;
    }

    std::size_t phaseCount() const { return bySegment ? 2 + std::size_t(geometry.passes) * kSyncPoints : 1; }

    // Hashes filled side by side, so that one's memory stalls overlap the
    // other's compression.
    static std::size_t lockstepWanted() { return 2; }
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

    void initSlot(const Round& r, std::size_t slot) {
        Block* mem = slotMemory(slot);
        std::uint8_t computed[64];
        const std::uint8_t* h0 = r.inputs.h0(slot, r.h0s.data() + slot * 64, computed, *params, type, version);
        for (std::uint32_t lane = 0; lane < geometry.lanes; ++lane)
            for (std::uint32_t i = 0; i < 2; ++i)
                params->expandInitialHash(mem[lane * geometry.laneBlocks + i], h0, lane, i);
    }

    void finishSlot(Round& r, std::size_t slot) {
        const Block* mem = slotMemory(slot);
        Block x;
        kernel::xorLastBlocks(mem[geometry.laneBlocks - 1].v, std::size_t(geometry.laneBlocks) * kQwordsInBlock,
                              geometry.lanes, false, x.v);
        params->finalize(r.tags.slot(slot), x);
    }

    void wholeGroup(Round& r, std::size_t group) {
        forSlotsOf(group, [&](std::size_t slot) { initSlot(r, slot); });
        for (std::uint32_t pass = 0; pass < geometry.passes; ++pass)
            for (std::uint32_t slice = 0; slice < kSyncPoints; ++slice)
                for (std::uint32_t lane = 0; lane < geometry.lanes; ++lane) fillGroup(group, pass, lane, slice);
        forSlotsOf(group, [&](std::size_t slot) { finishSlot(r, slot); });
    }

    // Runs tasks 0 .. count-1 of `phase`, shared with the other threads.
    template <class Task>
    static void share(Round& r, std::size_t phase, std::size_t count, Task task) {
        for (std::size_t i; (i = r.phaseCursor[phase].fetch_add(1, std::memory_order_relaxed)) < count;) task(i);
    }

    void threadMain(Round& r) {
        if (!bySegment) {
            share(r, 0, groups(), [&](std::size_t group) { wholeGroup(r, group); });
            return;
        }
        share(r, 0, batch, [&](std::size_t slot) { initSlot(r, slot); });
        phaseEnd->arrive_and_wait();
        std::size_t phase = 1;
        const std::size_t segments = groups() * geometry.lanes;
        for (std::uint32_t pass = 0; pass < geometry.passes; ++pass) {
            for (std::uint32_t slice = 0; slice < kSyncPoints; ++slice, ++phase) {
                share(r, phase, segments, [&](std::size_t task) {
                    fillGroup(task / geometry.lanes, pass, std::uint32_t(task % geometry.lanes), slice);
                });
                phaseEnd->arrive_and_wait();
            }
        }
        share(r, phase, batch, [&](std::size_t slot) { finishSlot(r, slot); });
    }

    void setInitialHash(std::size_t slot, const void* h0) {
        Round& r = rounds.staging();
        r.inputs.setByH0(slot);
        std::memcpy(r.h0s.data() + slot * 64, h0, 64);
    }

    void begin() {
        Round& r = rounds.staging();
        for (auto& c : r.phaseCursor) c.store(0, std::memory_order_relaxed);
        r.ticket = pool->post([this, &r](unsigned) { threadMain(r); });
        rounds.markBegun();
    }

    void end() {
        Round* r = rounds.oldest();
        if (!r) return;
        test_hang::waitPoint();
        pool->wait(r->ticket);
        tags.swap(r->tags);
        rounds.markEnded();
    }
};

// Its destructor lets the pool (Impl's last member) finish the rounds in
// flight before the memory goes.
#include "../common/processing_unit_calls.inl"

}  // namespace argon2::cuda
