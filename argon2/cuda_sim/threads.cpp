// The simulated runtime's device side: a kernel's blocks run one after the
// other on their stream's thread; within a block every CUDA thread is a fiber.
// Between rendezvous points (__shfl_sync, __syncwarp, __syncthreads) the
// block's threads run one by one in an order drawn anew each time from a
// seeded generator, so code that relies on an order the hardware does not
// promise gives wrong results or trips a check. Accesses that go through
// cudasim::access are checked: shared memory for races, global memory for
// bounds, for bytes nothing wrote, and against copies not ordered before the
// kernel.
#include <boost/context/fiber.hpp>
#include <boost/context/pooled_fixedsize_stack.hpp>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <optional>

#include "sim.h"

namespace cudasim {
namespace {

namespace ctx = boost::context;

enum class Wait { None, Shuffle, SyncWarp, SyncThreads, Done };

struct SimThread {
    ctx::fiber self, back;
    uint3 idx;
    unsigned linear, warp, lane;
    Wait wait = Wait::None;
    unsigned mask = 0;
    std::uint64_t value = 0, result = 0;
    int src = 0, width = 32;
};

// Per word of shared memory: the last write and the last read, each with the
// sync counts of its warp and of the block at the time.
struct SharedWord {
    int writer = -1, reader = -1;
    std::uint32_t writerWarpSyncs = 0, writerBlockSyncs = 0, readerWarpSyncs = 0, readerBlockSyncs = 0;
};

struct CheckedAllocation {
    Allocation* allocation;
    std::vector<CopyWrite> unordered;  // copies that may still be writing while the kernel runs
};

struct BlockRun {
    const LaunchInfo* launch;
    uint3 idx;
    std::vector<SimThread> threads;
    std::vector<std::uint32_t> warpSyncs;
    std::uint32_t blockSyncs = 0;
    std::vector<std::uint64_t> shared;
    std::vector<SharedWord> sharedState;
    std::optional<Fault> fault;
    std::uint64_t rng;
    std::vector<CheckedAllocation>* checked;
};

thread_local BlockRun* tlBlock = nullptr;
thread_local SimThread* tlThread = nullptr;

std::uint64_t nextRandom(std::uint64_t& s) {  // splitmix64
    std::uint64_t z = (s += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

std::string where(const BlockRun& b, const SimThread& t) {
    char text[160];
    std::snprintf(text, sizeof text, "%s block (%u,%u,%u) thread (%u,%u,%u)", b.launch->name, b.idx.x, b.idx.y, b.idx.z,
                  t.idx.x, t.idx.y, t.idx.z);
    return text;
}

[[noreturn]] void raise(cudaError_t code, const std::string& what) { throw Fault{code, what}; }

void yieldToScheduler(SimThread& t) {
    t.back = std::move(t.back).resume();
}

SimThread& current(const char* what) {
    if (!tlThread) {
        std::fprintf(stderr, "cuda-sim: %s called outside a kernel\n", what);
        std::abort();
    }
    return *tlThread;
}

void sharedAccess(BlockRun& b, SimThread& t, std::size_t offset, std::size_t bytes, bool write) {
    for (std::size_t word = offset / 8, last = (offset + bytes - 1) / 8; word <= last; ++word) {
        SharedWord& s = b.sharedState[word];
        const auto ordered = [&](int other, std::uint32_t warpSyncs, std::uint32_t blockSyncs) {
            if (other < 0 || unsigned(other) == t.linear) return true;
            if (b.threads[std::size_t(other)].warp == t.warp) return b.warpSyncs[t.warp] > warpSyncs;
            return b.blockSyncs > blockSyncs;
        };
        const auto race = [&](const char* earlier, int other) {
            char text[200];
            std::snprintf(text, sizeof text,
                          ": shared-memory race on the word at byte %zu: thread (%u,%u,%u) %s it, this thread %s it, "
                          "with no __syncwarp or __syncthreads between",
                          word * 8, b.threads[std::size_t(other)].idx.x, b.threads[std::size_t(other)].idx.y,
                          b.threads[std::size_t(other)].idx.z, earlier, write ? "writes" : "reads");
            raise(cudaErrorLaunchFailure, where(b, t) + text);
        };
        if (!ordered(s.writer, s.writerWarpSyncs, s.writerBlockSyncs)) race("wrote", s.writer);
        if (write && !ordered(s.reader, s.readerWarpSyncs, s.readerBlockSyncs)) race("read", s.reader);
        if (write) {
            s.writer = int(t.linear);
            s.writerWarpSyncs = b.warpSyncs[t.warp];
            s.writerBlockSyncs = b.blockSyncs;
            s.reader = -1;
        } else {
            s.reader = int(t.linear);
            s.readerWarpSyncs = b.warpSyncs[t.warp];
            s.readerBlockSyncs = b.blockSyncs;
        }
    }
}

void globalAccess(BlockRun& b, SimThread& t, const void* p, std::size_t bytes, bool write) {
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    CheckedAllocation* hit = nullptr;
    for (CheckedAllocation& c : *b.checked)
        if (c.allocation->contains(a, bytes)) {
            hit = &c;
            break;
        }
    if (!hit) {
        Allocation* found = findAllocation(p, bytes);
        if (!found) {
            char text[160];
            std::snprintf(text, sizeof text, ": %s of %zu bytes at 0x%" PRIxPTR " outside every allocation",
                          write ? "write" : "read", bytes, a);
            raise(cudaErrorIllegalAddress, where(b, t) + text);
        }
        CheckedAllocation c{found, {}};
        const LaunchInfo& l = *b.launch;
        std::lock_guard g(found->copiesMutex);
        for (const CopyWrite& w : found->copies)
            if (w.stream != l.stream && !covers(l.clock, w.stream, w.seq) && !covers(w.clock, l.stream, l.seq))
                c.unordered.push_back(w);
        b.checked->push_back(std::move(c));
        hit = &b.checked->back();
    }
    Allocation& al = *hit->allocation;
    const std::size_t offset = a - al.base;
    recordAccess(al, offset, bytes, write);
    if (write) {
        al.markWritten(offset, bytes);
        return;
    }
    // An unordered copy first: whether it has landed yet is chance.
    for (const CopyWrite& w : hit->unordered)
        if (offset < w.end && offset + bytes > w.begin) {
            char text[220];
            std::snprintf(text, sizeof text,
                          ": read of %zu bytes at 0x%" PRIxPTR " that a copy on another stream may still be writing "
                          "(nothing orders this launch after it)",
                          bytes, a);
            raise(cudaErrorLaunchFailure, where(b, t) + text);
        }
    const std::size_t unwritten = al.firstUnwritten(offset, bytes);
    if (unwritten != SIZE_MAX) {
        char text[200];
        std::snprintf(text, sizeof text,
                      ": read of %zu bytes at 0x%" PRIxPTR " (byte %zu of an allocation of %zu): no copy or kernel "
                      "wrote byte %zu",
                      bytes, a, offset, al.size, unwritten);
        raise(cudaErrorLaunchFailure, where(b, t) + text);
    }
}

// Releases the threads waiting at a rendezvous that is complete; false when
// none is.
bool release(BlockRun& b) {
    bool released = false;
    const std::size_t warps = b.warpSyncs.size();
    std::size_t waitingAtBlock = 0, live = 0;
    for (const SimThread& t : b.threads) {
        if (t.wait != Wait::Done) ++live;
        if (t.wait == Wait::SyncThreads) ++waitingAtBlock;
    }
    if (live > 0 && waitingAtBlock == live) {
        ++b.blockSyncs;
        for (std::uint32_t& w : b.warpSyncs) ++w;
        for (SimThread& t : b.threads)
            if (t.wait == Wait::SyncThreads) t.wait = Wait::None;
        return true;
    }
    for (std::size_t w = 0; w < warps; ++w) {
        const std::size_t first = w * 32, end = std::min(first + 32, b.threads.size());
        Wait kind = Wait::None;
        unsigned mask = 0;
        bool complete = true, any = false;
        for (std::size_t i = first; i < end; ++i) {
            const SimThread& t = b.threads[i];
            if (t.wait != Wait::Shuffle && t.wait != Wait::SyncWarp) continue;
            if (!any) kind = t.wait, mask = t.mask;
            any = true;
            if (t.wait != kind || t.mask != mask) complete = false;
        }
        if (!any || !complete) continue;
        for (std::size_t i = first; i < end && complete; ++i) {
            const SimThread& t = b.threads[i];
            if (!(mask & (1u << t.lane))) continue;
            if (t.wait == Wait::Done) {
                char text[120];
                std::snprintf(text, sizeof text, ": a %s names lane %u, which has exited",
                              kind == Wait::Shuffle ? "__shfl_sync" : "__syncwarp", t.lane);
                raise(cudaErrorLaunchFailure, where(b, b.threads[first]) + text);
            }
            if (t.wait != kind) complete = false;
        }
        if (!complete) continue;
        if (kind == Wait::SyncWarp) ++b.warpSyncs[w];
        for (std::size_t i = first; i < end; ++i) {
            SimThread& t = b.threads[i];
            if (t.wait != kind || !(mask & (1u << t.lane))) continue;
            if (kind == Wait::Shuffle) {
                const unsigned base = t.lane & ~unsigned(t.width - 1);
                const unsigned src = base + (unsigned(t.src) & unsigned(t.width - 1));
                t.result = first + src < end ? b.threads[first + src].value : t.value;
            }
            t.wait = Wait::None;
        }
        released = true;
    }
    return released;
}

void runBlock(BlockRun& b, ctx::pooled_fixedsize_stack& stacks) {
    const LaunchInfo& l = *b.launch;
    for (SimThread& t : b.threads) {
        SimThread* tp = &t;
        t.self = ctx::fiber(std::allocator_arg, stacks, [tp, &b, &l](ctx::fiber&& scheduler) {
            tp->back = std::move(scheduler);
            try {
                l.body->run();
            } catch (const Fault& f) {
                if (!b.fault) b.fault = f;
            }
            tp->wait = Wait::Done;
            return std::move(tp->back);
        });
    }
    std::vector<SimThread*> ready;
    for (;;) {
        ready.clear();
        for (SimThread& t : b.threads)
            if (t.wait == Wait::None) ready.push_back(&t);
        if (ready.empty()) {
            if (std::all_of(b.threads.begin(), b.threads.end(), [](const SimThread& t) { return t.wait == Wait::Done; }))
                return;
            if (!release(b)) {
                std::string waits;
                for (const SimThread& t : b.threads) {
                    if (t.wait == Wait::Done) continue;
                    waits = where(b, t) + (t.wait == Wait::SyncThreads ? " waits at __syncthreads" : " waits in its warp");
                    break;
                }
                raise(cudaErrorLaunchFailure, waits + ": threads wait at rendezvous points that cannot all complete");
            }
            continue;
        }
        for (std::size_t i = ready.size(); i > 1; --i) std::swap(ready[i - 1], ready[nextRandom(b.rng) % i]);
        for (SimThread* t : ready) {
            tlBlock = &b;
            tlThread = t;
            t->self = std::move(t->self).resume();
            tlThread = nullptr;
            tlBlock = nullptr;
            if (b.fault) throw *b.fault;
        }
    }
}

}  // namespace

void runGrid(const LaunchInfo& l) {
    static thread_local ctx::pooled_fixedsize_stack stacks(128 * 1024);
    std::vector<CheckedAllocation> checked;
    const unsigned count = l.block.x * l.block.y * l.block.z;
    for (unsigned z = 0; z < l.grid.z; ++z)
        for (unsigned y = 0; y < l.grid.y; ++y)
            for (unsigned x = 0; x < l.grid.x; ++x) {
                if (blockSkipped(l, x)) continue;
                BlockRun b;
                b.launch = &l;
                b.idx = {x, y, z};
                b.checked = &checked;
                b.rng = seed() * 0x2545f4914f6cdd1dull ^ (l.serial << 32) ^ (std::uint64_t(z) << 48 | y << 24 | x);
                b.threads.resize(count);
                for (unsigned i = 0; i < count; ++i) {
                    SimThread& t = b.threads[i];
                    t.linear = i;
                    t.idx = {i % l.block.x, (i / l.block.x) % l.block.y, i / (l.block.x * l.block.y)};
                    t.warp = i / 32;
                    t.lane = i % 32;
                }
                b.warpSyncs.assign((count + 31) / 32, 0);
                // Shared memory starts as garbage, as on the card.
                b.shared.assign((l.sharedBytes + 7) / 8, 0xdeadbeefdeadbeefull);
                b.sharedState.assign(b.shared.size(), SharedWord{});
                runBlock(b, stacks);
            }
}

uint3 threadIndex() { return current("threadIdx").idx; }
uint3 blockIndex() {
    current("blockIdx");
    return tlBlock->idx;
}
dim3 blockDimension() {
    current("blockDim");
    return tlBlock->launch->block;
}
dim3 gridDimension() {
    current("gridDim");
    return tlBlock->launch->grid;
}
void* dynamicShared() {
    current("dynamic shared memory");
    return tlBlock->shared.data();
}

std::uint64_t shuffle(unsigned mask, std::uint64_t value, int srcLane, int width) {
    SimThread& t = current("__shfl_sync");
    t.wait = Wait::Shuffle;
    t.mask = mask;
    t.value = value;
    t.src = srcLane;
    t.width = width;
    yieldToScheduler(t);
    return t.result;
}

void syncWarp(unsigned mask) {
    SimThread& t = current("__syncwarp");
    t.wait = Wait::SyncWarp;
    t.mask = mask;
    yieldToScheduler(t);
}

void syncThreads() {
    SimThread& t = current("__syncthreads");
    t.wait = Wait::SyncThreads;
    yieldToScheduler(t);
}

void access(const void* p, std::size_t bytes, bool write) {
    if (!tlThread || bytes == 0) return;  // host code
    BlockRun& b = *tlBlock;
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    const auto s = reinterpret_cast<std::uintptr_t>(b.shared.data());
    if (a >= s && a < s + b.launch->sharedBytes) {
        if (a + bytes > s + b.launch->sharedBytes) {
            char text[120];
            std::snprintf(text, sizeof text, ": shared-memory access of %zu bytes at byte %zu, past the block's %zu",
                          bytes, std::size_t(a - s), b.launch->sharedBytes);
            raise(cudaErrorIllegalAddress, where(b, *tlThread) + text);
        }
        sharedAccess(b, *tlThread, a - s, bytes, write);
        return;
    }
    globalAccess(b, *tlThread, p, bytes, write);
}

}  // namespace cudasim
