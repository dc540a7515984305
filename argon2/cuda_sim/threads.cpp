// The simulated runtime's device side: a kernel's blocks run one after the
// other on their stream's thread; within a block every CUDA thread is a fiber.
// The warps of a block drift: a seeded generator picks the warp that moves
// next and how far (one rendezvous interval, a few, or up to its next
// __syncthreads), and within a warp, between rendezvous points (__shfl_sync,
// __syncwarp), the lanes run one by one in an order drawn anew each time. So
// code that relies on an order the hardware does not promise gives wrong
// results, and the checks below catch it whatever the order. Accesses that go
// through cudasim::access are checked: shared memory for races (every reader
// since the last sync) and for reads of words nothing wrote; global memory
// for bounds, for bytes nothing wrote, against copies not ordered before the
// kernel, and per 32-byte sector for races between the warps of a block
// (ordered only by __syncthreads) and between blocks (never ordered), and
// for loads through the read-only path of sectors the launch wrote. Every
// access is checked against its alignment. Global accesses are also counted
// as the warps' memory traffic.
#include <boost/context/fiber.hpp>
#include <boost/context/pooled_fixedsize_stack.hpp>

#include <sys/mman.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <optional>

#include "sim.h"
#include "undefined.h"

namespace cudasim {

// Who last wrote a sector and who read it since, all in launch `launch`
// (records of an earlier launch are stale: launches on a stream are ordered,
// and those on other streams are the host side's to check). Blocks by linear
// index, threads by linear index in the block, epochs by the block's
// __syncthreads count. Readers are summed up by three: the first (blocks run
// one after the other, so a reader from an earlier block is the first one),
// the latest, and the latest from another warp than the latest's: a write
// races with some reader exactly when it races with one of these.
struct SectorRecord {
    static constexpr std::uint16_t kNone = 0xffff;
    std::uint32_t launch;
    std::uint32_t writerBlock, writerEpoch;
    std::uint16_t writerThread, firstReaderThread;
    std::uint32_t firstReaderBlock;
    std::uint32_t lastReaderBlock, lastReaderEpoch;
    std::uint16_t lastReaderThread, otherReaderThread;
    std::uint32_t otherReaderBlock, otherReaderEpoch;
};

SectorMap::~SectorMap() {
    if (records) munmap(records, bytes);
}

namespace {

namespace ctx = boost::context;

enum class Wait { None, Shuffle, SyncWarp, SyncThreads, Done };

struct SimThread {
    ctx::fiber self, back;
    uint3 idx;
    unsigned linear, warp, lane;
    unsigned accesses = 0;  // global ones since the warp's last rendezvous
    Wait wait = Wait::None;
    unsigned mask = 0;
    std::uint64_t value = 0, result = 0;
    int src = 0, width = 32;
};

// Per word of shared memory: the last write, with the sync counts of its
// warp and of the block at the time, and every read since: the warps that
// read in block epoch `readBlockSyncs`, and the lanes of warp `laneWarp` that
// read in its warp epoch `laneWarpSyncs`. Lanes of one warp matter only while
// no other warp read in the same block epoch (if one did, any write races).
struct SharedWord {
    int writer = -1;
    std::uint32_t writerWarpSyncs = 0, writerBlockSyncs = 0;
    std::uint32_t readWarps = 0, readBlockSyncs = 0;
    std::uint32_t readLanes = 0, laneWarp = 0, laneWarpSyncs = 0;
};

// A warp's global accesses since its last rendezvous: the sectors that the
// k-th access of its lanes touched, for each k.
struct WarpAccesses {
    std::vector<std::vector<std::uintptr_t>> read, written;
};

struct TrafficCount {
    std::uint64_t launches = 0, blocks = 0, bytesRead = 0, bytesWritten = 0, sectorsRead = 0, sectorsWritten = 0;
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
    std::uint32_t linear;  // the block's index in the grid
    std::vector<WarpAccesses> pending;
    TrafficCount* traffic;
};

// The traffic of every kernel since the last reset, by name.
struct TrafficTable {
    std::mutex m;
    std::map<std::string, TrafficCount> byKernel;
};
TrafficTable& trafficTable() {
    static TrafficTable* t = new TrafficTable;  // never destroyed: stream threads may outlive static destruction
    return *t;
}

// Read on every access and every threadIdx: the initial-exec model spares
// the call a shared library's thread-locals otherwise cost (this library is
// linked, never loaded late).
__attribute__((tls_model("initial-exec"))) thread_local BlockRun* tlBlock = nullptr;
__attribute__((tls_model("initial-exec"))) thread_local SimThread* tlThread = nullptr;

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

std::string threadName(const char* label, dim3 dims, unsigned linear) {
    char text[80];
    std::snprintf(text, sizeof text, "%s (%u,%u,%u)", label, linear % dims.x, (linear / dims.x) % dims.y,
                  linear / (dims.x * dims.y));
    return text;
}

void sharedAccess(BlockRun& b, SimThread& t, std::size_t offset, std::size_t bytes, bool write) {
    const std::uint32_t warpBit = 1u << t.warp, laneBit = 1u << t.lane;
    const std::uint32_t warpSyncs = b.warpSyncs[t.warp];
    for (std::size_t word = offset / 8, last = (offset + bytes - 1) / 8; word <= last; ++word) {
        SharedWord& s = b.sharedState[word];
        const auto race = [&](const std::string& other, const char* earlier) {
            char text[200];
            std::snprintf(text, sizeof text,
                          ": shared-memory race on the word at byte %zu: %s %s it, this thread %s it, "
                          "with no __syncwarp or __syncthreads between",
                          word * 8, other.c_str(), earlier, write ? "writes" : "reads");
            raise(cudaErrorLaunchFailure, where(b, t) + text);
        };
        if (s.writer < 0 && !write) {
            char text[160];
            std::snprintf(text, sizeof text,
                          ": read of the shared-memory word at byte %zu, which nothing wrote in this block", word * 8);
            raise(cudaErrorLaunchFailure, where(b, t) + text);
        }
        if (s.writer >= 0 && unsigned(s.writer) != t.linear) {
            const bool sameWarp = b.threads[std::size_t(s.writer)].warp == t.warp;
            if (sameWarp ? warpSyncs <= s.writerWarpSyncs : b.blockSyncs <= s.writerBlockSyncs)
                race(threadName("thread", b.launch->block, unsigned(s.writer)), "wrote");
        }
        if (write) {
            const std::uint32_t otherWarps = s.readBlockSyncs == b.blockSyncs ? s.readWarps & ~warpBit : 0;
            if (otherWarps) {
                const unsigned w = unsigned(__builtin_ctz(otherWarps));
                race("a thread of warp " + std::to_string(w) + " (threads " + std::to_string(32 * w) + " to " +
                         std::to_string(32 * w + 31) + " in linear order)",
                     "read");
            }
            const std::uint32_t otherLanes =
                s.laneWarp == t.warp && s.laneWarpSyncs == warpSyncs ? s.readLanes & ~laneBit : 0;
            if (otherLanes)
                race(threadName("thread", b.launch->block, 32 * t.warp + unsigned(__builtin_ctz(otherLanes))), "read");
            s.writer = int(t.linear);
            s.writerWarpSyncs = warpSyncs;
            s.writerBlockSyncs = b.blockSyncs;
            s.readWarps = 0;
            s.readLanes = 0;
        } else {
            if (s.readWarps == 0 || s.readBlockSyncs != b.blockSyncs) s.readWarps = 0, s.readBlockSyncs = b.blockSyncs;
            s.readWarps |= warpBit;
            if (s.readLanes == 0 || s.laneWarp != t.warp || s.laneWarpSyncs != warpSyncs)
                s.readLanes = 0, s.laneWarp = t.warp, s.laneWarpSyncs = warpSyncs;
            s.readLanes |= laneBit;
        }
    }
}

SectorRecord* sectorRecords(Allocation& a) {
    std::call_once(a.sectors.mapped, [&a] {
        const std::size_t bytes = (a.size + 31) / 32 * sizeof(SectorRecord);
        // Zero pages: launch 0, no record. Committed only where kernels go.
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) return;
        a.sectors.records = static_cast<SectorRecord*>(p);
        a.sectors.bytes = bytes;
    });
    return a.sectors.records;
}

// The read-only data path's cache is not kept coherent with the launch's own
// stores: a read through it of a sector the launch wrote may see the bytes
// from before the write, whichever thread wrote them.
[[noreturn]] void readOnlyFault(BlockRun& b, SimThread& t, const Allocation& al, std::size_t sector,
                                std::uint32_t block, std::uint16_t thread) {
    const LaunchInfo& l = *b.launch;
    char text[400];
    std::snprintf(text, sizeof text,
                  ": read through the read-only data path (__ldg) of the sector at 0x%" PRIxPTR
                  " (byte %zu of an allocation of %zu), which %s wrote in this launch",
                  al.base + sector * 32, sector * 32, al.size,
                  (threadName("block", l.grid, block) + " " + threadName("thread", l.block, thread)).c_str());
    raise(cudaErrorLaunchFailure, where(b, t) + text);
}

// The happens-before check of one access against the records of the sectors
// it touches, and their update.
void checkSectors(BlockRun& b, SimThread& t, Allocation& al, std::size_t offset, std::size_t bytes, bool write,
                  bool readOnly) {
    SectorRecord* records = sectorRecords(al);
    if (!records) return;
    const LaunchInfo& l = *b.launch;
    const auto launch = std::uint32_t(l.serial);
    const std::uint32_t epoch = b.blockSyncs;
    const auto mine = std::uint16_t(t.linear);
    // Unordered with this access: another block, or another warp of this
    // block in the same barrier epoch.
    const auto races = [&](std::uint32_t block, std::uint16_t thread, std::uint32_t otherEpoch) {
        if (thread == SectorRecord::kNone) return false;
        if (block != b.linear) return true;
        return thread / 32 != t.warp && otherEpoch == epoch;
    };
    for (std::size_t sector = offset / 32, last = (offset + bytes - 1) / 32; sector <= last; ++sector) {
        SectorRecord& r = records[sector];
        if (r.launch != launch) {
            r.launch = launch;
            r.writerThread = r.firstReaderThread = r.lastReaderThread = r.otherReaderThread = SectorRecord::kNone;
        }
        const auto fault = [&](const char* earlier, std::uint32_t block, std::uint16_t thread) {
            const dim3 g = l.grid;
            char text[420];
            std::snprintf(text, sizeof text,
                          ": global-memory race on the sector at 0x%" PRIxPTR " (byte %zu of an allocation of %zu): "
                          "%s %s it, this thread %s it, with no __syncthreads between%s",
                          al.base + sector * 32, sector * 32, al.size,
                          (threadName("block", g, block) + " " + threadName("thread", l.block, thread)).c_str(),
                          earlier, write ? "writes" : "reads",
                          block != b.linear ? " (blocks of a grid are never ordered)" : "");
            raise(cudaErrorLaunchFailure, where(b, t) + text);
        };
        if (readOnly && r.writerThread != SectorRecord::kNone)
            readOnlyFault(b, t, al, sector, r.writerBlock, r.writerThread);
        if (r.writerThread != mine || r.writerBlock != b.linear)
            if (races(r.writerBlock, r.writerThread, r.writerEpoch)) fault("wrote", r.writerBlock, r.writerThread);
        if (write) {
            if (r.firstReaderThread != SectorRecord::kNone && r.firstReaderBlock != b.linear)
                fault("read", r.firstReaderBlock, r.firstReaderThread);
            if (races(r.lastReaderBlock, r.lastReaderThread, r.lastReaderEpoch))
                fault("read", r.lastReaderBlock, r.lastReaderThread);
            if (races(r.otherReaderBlock, r.otherReaderThread, r.otherReaderEpoch))
                fault("read", r.otherReaderBlock, r.otherReaderThread);
            r.writerBlock = b.linear;
            r.writerThread = mine;
            r.writerEpoch = epoch;
            r.firstReaderThread = r.lastReaderThread = r.otherReaderThread = SectorRecord::kNone;
            continue;
        }
        if (r.firstReaderThread == SectorRecord::kNone) {
            r.firstReaderThread = mine;
            r.firstReaderBlock = b.linear;
        }
        const bool sameGroup = r.lastReaderThread != SectorRecord::kNone && r.lastReaderBlock == b.linear &&
                               r.lastReaderThread / 32 == t.warp;
        if (!sameGroup && r.lastReaderThread != SectorRecord::kNone) {
            r.otherReaderThread = r.lastReaderThread;
            r.otherReaderBlock = r.lastReaderBlock;
            r.otherReaderEpoch = r.lastReaderEpoch;
        }
        r.lastReaderThread = mine;
        r.lastReaderBlock = b.linear;
        r.lastReaderEpoch = epoch;
    }
}

// The sectors an access touches, as part of its warp's k-th access.
void countTraffic(BlockRun& b, SimThread& t, std::uintptr_t a, std::size_t bytes, bool write) {
    WarpAccesses& w = b.pending[t.warp];
    auto& lists = write ? w.written : w.read;
    const unsigned k = t.accesses++;
    if (lists.size() <= k) lists.resize(k + 1);
    for (std::uintptr_t sector = a / 32, last = (a + bytes - 1) / 32; sector <= last; ++sector)
        lists[k].push_back(sector);
    (write ? b.traffic->bytesWritten : b.traffic->bytesRead) += bytes;
}

// A warp reached a rendezvous: its accesses since the last one are complete.
void flushTraffic(BlockRun& b, std::size_t warp) {
    WarpAccesses& w = b.pending[warp];
    const auto count = [](std::vector<std::vector<std::uintptr_t>>& lists) {
        std::uint64_t n = 0;
        for (auto& sectors : lists) {
            std::sort(sectors.begin(), sectors.end());
            n += std::uint64_t(std::unique(sectors.begin(), sectors.end()) - sectors.begin());
            sectors.clear();
        }
        return n;
    };
    b.traffic->sectorsRead += count(w.read);
    b.traffic->sectorsWritten += count(w.written);
    for (std::size_t i = warp * 32, end = std::min(i + 32, b.threads.size()); i < end; ++i) b.threads[i].accesses = 0;
}

void globalAccess(BlockRun& b, SimThread& t, const void* p, std::size_t bytes, bool write, bool readOnly) {
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
    checkSectors(b, t, al, offset, bytes, write, readOnly);
    countTraffic(b, t, a, bytes, write);
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

// Releases the block's threads when all that live wait at __syncthreads;
// false when they do not.
bool releaseBarrier(BlockRun& b) {
    std::size_t waiting = 0, live = 0;
    for (const SimThread& t : b.threads) {
        if (t.wait != Wait::Done) ++live;
        if (t.wait == Wait::SyncThreads) ++waiting;
    }
    if (live == 0 || waiting != live) return false;
    for (std::size_t w = 0; w < b.warpSyncs.size(); ++w) flushTraffic(b, w);
    ++b.blockSyncs;
    for (std::uint32_t& w : b.warpSyncs) ++w;
    for (SimThread& t : b.threads)
        if (t.wait == Wait::SyncThreads) t.wait = Wait::None;
    return true;
}

// The threads of warp `w`, [first, end).
std::size_t warpEnd(const BlockRun& b, std::size_t w) { return std::min(w * 32 + 32, b.threads.size()); }

// Whether warp `w` waits at a shuffle or __syncwarp that all its lanes in
// the mask have reached; with `release`, lets them through.
bool warpRendezvous(BlockRun& b, std::size_t w, bool release) {
    const std::size_t first = w * 32, end = warpEnd(b, w);
    Wait kind = Wait::None;
    unsigned mask = 0;
    bool any = false;
    for (std::size_t i = first; i < end; ++i) {
        const SimThread& t = b.threads[i];
        if (t.wait != Wait::Shuffle && t.wait != Wait::SyncWarp) continue;
        if (!any) kind = t.wait, mask = t.mask;
        any = true;
        if (t.wait != kind || t.mask != mask) return false;
    }
    if (!any) return false;
    for (std::size_t i = first; i < end; ++i) {
        const SimThread& t = b.threads[i];
        if (!(mask & (1u << t.lane))) continue;
        if (t.wait == Wait::Done) {
            char text[120];
            std::snprintf(text, sizeof text, ": a %s names lane %u, which has exited",
                          kind == Wait::Shuffle ? "__shfl_sync" : "__syncwarp", t.lane);
            raise(cudaErrorLaunchFailure, where(b, b.threads[first]) + text);
        }
        if (t.wait != kind) return false;
    }
    if (!release) return true;
    flushTraffic(b, w);
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
    return true;
}

bool warpReady(const BlockRun& b, std::size_t w) {
    for (std::size_t i = w * 32, end = warpEnd(b, w); i < end; ++i)
        if (b.threads[i].wait == Wait::None) return true;
    return false;
}

// Runs warp `w` one rendezvous interval: its ready lanes one by one, in an
// order drawn anew, each to its next rendezvous point; then lets through
// the warp's rendezvous if it is complete. False when the warp cannot move.
bool stepWarp(BlockRun& b, std::size_t w, std::vector<SimThread*>& ready) {
    ready.clear();
    for (std::size_t i = w * 32, end = warpEnd(b, w); i < end; ++i)
        if (b.threads[i].wait == Wait::None) ready.push_back(&b.threads[i]);
    if (ready.empty()) return warpRendezvous(b, w, true);
    for (std::size_t i = ready.size(); i > 1; --i) std::swap(ready[i - 1], ready[nextRandom(b.rng) % i]);
    for (SimThread* t : ready) {
        tlBlock = &b;
        tlThread = t;
        t->self = std::move(t->self).resume();
        tlThread = nullptr;
        tlBlock = nullptr;
        if (b.fault) throw *b.fault;
    }
    warpRendezvous(b, w, true);
    return true;
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
    const std::size_t warps = b.warpSyncs.size();
    std::vector<SimThread*> ready;
    std::vector<std::size_t> movable;
    for (;;) {
        movable.clear();
        for (std::size_t w = 0; w < warps; ++w)
            if (warpReady(b, w) || warpRendezvous(b, w, false)) movable.push_back(w);
        if (movable.empty()) {
            if (std::all_of(b.threads.begin(), b.threads.end(), [](const SimThread& t) { return t.wait == Wait::Done; })) {
                for (std::size_t w = 0; w < warps; ++w) flushTraffic(b, w);
                return;
            }
            if (!releaseBarrier(b)) {
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
        // The warp that moves next, and how far: one interval, up to 32, or
        // (one time in four) until it waits at __syncthreads or ends.
        const std::size_t w = movable[nextRandom(b.rng) % movable.size()];
        const std::uint64_t draw = nextRandom(b.rng);
        const std::uint64_t steps = draw % 4 == 0 ? ~0ull : 1 + (draw >> 2) % 32;
        for (std::uint64_t i = 0; i < steps && stepWarp(b, w, ready); ++i) {
        }
    }
}

}  // namespace

void runGrid(const LaunchInfo& l) {
    static thread_local ctx::pooled_fixedsize_stack stacks(128 * 1024);
    std::vector<CheckedAllocation> checked;
    TrafficCount traffic;
    traffic.launches = 1;
    const unsigned count = l.block.x * l.block.y * l.block.z;
    for (unsigned z = 0; z < l.grid.z; ++z)
        for (unsigned y = 0; y < l.grid.y; ++y)
            for (unsigned x = 0; x < l.grid.x; ++x) {
                if (blockSkipped(l, x)) continue;
                BlockRun b;
                b.launch = &l;
                b.idx = {x, y, z};
                b.checked = &checked;
                b.linear = (z * l.grid.y + y) * l.grid.x + x;
                b.traffic = &traffic;
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
                markUndefined(b.shared.data(), b.shared.size() * sizeof b.shared[0]);
                b.sharedState.assign(b.shared.size(), SharedWord{});
                b.pending.resize(b.warpSyncs.size());
                ++traffic.blocks;
                runBlock(b, stacks);
            }
    TrafficTable& table = trafficTable();
    std::lock_guard g(table.m);
    TrafficCount& total = table.byKernel[l.name];
    total.launches += traffic.launches;
    total.blocks += traffic.blocks;
    total.bytesRead += traffic.bytesRead;
    total.bytesWritten += traffic.bytesWritten;
    total.sectorsRead += traffic.sectorsRead;
    total.sectorsWritten += traffic.sectorsWritten;
}

std::vector<KernelTraffic> traffic() {
    TrafficTable& table = trafficTable();
    std::lock_guard g(table.m);
    std::vector<KernelTraffic> all;
    for (const auto& [name, c] : table.byKernel)
        all.push_back({name, c.launches, c.blocks, c.bytesRead, c.bytesWritten, c.sectorsRead, c.sectorsWritten});
    return all;
}

void resetTraffic() {
    TrafficTable& table = trafficTable();
    std::lock_guard g(table.m);
    table.byKernel.clear();
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

namespace {
// Global and shared accesses alike: a card faults on an address that is not
// a multiple of the access's size, whatever memory it is in.
void checkAlignment(BlockRun& b, SimThread& t, std::uintptr_t a, std::size_t bytes, bool write,
                    std::size_t alignment) {
    if (alignment <= 1 || a % alignment == 0) return;
    char text[160];
    std::snprintf(text, sizeof text, ": misaligned %s of %zu bytes at 0x%" PRIxPTR " (%zu mod %zu)",
                  write ? "write" : "read", bytes, a, std::size_t(a % alignment), alignment);
    raise(cudaErrorMisalignedAddress, where(b, t) + text);
}
}  // namespace

void accessReadOnly(const void* p, std::size_t bytes) {
    if (!tlThread || bytes == 0) return;
    BlockRun& b = *tlBlock;
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    checkAlignment(b, *tlThread, a, bytes, false, bytes);
    const auto s = reinterpret_cast<std::uintptr_t>(b.shared.data());
    if (a >= s && a < s + b.launch->sharedBytes)
        raise(cudaErrorIllegalAddress, where(b, *tlThread) + ": read through the read-only data path of shared memory");
    globalAccess(b, *tlThread, p, bytes, false, true);
}

void access(const void* p, std::size_t bytes, bool write, std::size_t alignment) {
    if (!tlThread || bytes == 0) return;  // host code
    BlockRun& b = *tlBlock;
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    checkAlignment(b, *tlThread, a, bytes, write, alignment);
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
    globalAccess(b, *tlThread, p, bytes, write, false);
}

}  // namespace cudasim
