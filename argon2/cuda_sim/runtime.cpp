// The simulated runtime's host side: named cards, device memory with a budget,
// pinned host memory, streams that run on threads of their own with the
// runtime's ordering rules, events, copies at the latest moment they may
// happen, the checks between operations of different streams, registers,
// errors (sticky ones included).
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "sim.h"
#include "../common/test_hang.h"
#include "undefined.h"

namespace cudasim {

void join(Clock& into, const Clock& other) {
    for (const auto& [stream, seq] : other) {
        std::uint64_t& mine = into[stream];
        mine = std::max(mine, seq);
    }
}

void Allocation::markWritten(std::size_t offset, std::size_t bytes) {
    if (bytes == 0) return;
    for (std::size_t unit = offset / 4, last = (offset + bytes - 1) / 4; unit <= last; ++unit) {
        const std::uint32_t bit = 1u << (unit % 32);
        std::atomic<std::uint32_t>& w = written[unit / 32];
        if (unit % 32 == 0 && unit + 31 <= last) {  // a whole word at once
            if (w.load(std::memory_order_relaxed) != ~0u) w.store(~0u, std::memory_order_relaxed);
            unit += 31;
            continue;
        }
        if (!(w.load(std::memory_order_relaxed) & bit)) w.fetch_or(bit, std::memory_order_relaxed);
    }
}

std::size_t Allocation::firstUnwritten(std::size_t offset, std::size_t bytes) const {
    if (bytes == 0) return SIZE_MAX;
    for (std::size_t unit = offset / 4, last = (offset + bytes - 1) / 4; unit <= last; ++unit)
        if (!(written[unit / 32].load(std::memory_order_relaxed) & (1u << (unit % 32))))
            return std::max(offset, unit * 4);
    return SIZE_MAX;
}

namespace {

struct Profile {
    const char* key;
    const char* name;
    int major, minor, sms, clockKHz, memoryClockKHz, busBits, maxBlocksPerSm, maxThreadsPerSm;
    std::size_t sharedPerSm, sharedOptin;  // KiB
    std::size_t memory;
};

// The figures the runtime reports for these cards.
const Profile kProfiles[] = {
    {"t4", "Tesla T4", 7, 5, 40, 1590000, 5001000, 256, 16, 1024, 64, 64, std::size_t(15360) << 20},
    {"rtx3060", "NVIDIA GeForce RTX 3060", 8, 6, 28, 1777000, 7501000, 192, 16, 1536, 100, 99, std::size_t(12288) << 20},
    {"rtx4090", "NVIDIA GeForce RTX 4090", 8, 9, 128, 2520000, 10501000, 384, 24, 1536, 100, 99,
     std::size_t(24564) << 20},
    {"h100", "NVIDIA H100 PCIe", 9, 0, 114, 1755000, 1593000, 5120, 32, 2048, 228, 227, std::size_t(81559) << 20},
};

// Registers per thread of the flavour's kernels, per architecture, as ptxas
// gives them (scripts/cuda-check.sh regenerates the table and fails when it
// differs from this copy).
struct KernelRegisters {
    const char* kernel;
    int arch;
    int registers;
};
const KernelRegisters kKernelRegisters[] = {
#include "../cuda/kernel_registers.inc"
};
// The most threads a block may have, per kernel, from its __launch_bounds__
// (scripts/cuda-check.sh reads them from the PTX and fails when they differ
// from this copy). A kernel without bounds may have 1024.
struct KernelBound {
    const char* kernel;
    int maxThreads;
};
const KernelBound kKernelBounds[] = {
#include "../cuda/kernel_bounds.inc"
};
// Any other kernel (the runtime's own tests) unless named with a count.
constexpr int kDefaultRegisters = 32;
constexpr int kRegistersPerBlock = 65536;

// Registers a block of `threads` takes: per warp, in units of 256.
long long blockRegisters(int registers, long long threads) {
    return (threads + 31) / 32 * ((registers * 32 + 255) / 256 * 256);
}

// The bytes a copy to the host leaves in its destination until the host
// synchronises with it.
constexpr unsigned char kPoison = 0xdb;

struct Op {
    std::uint64_t seq = 0;
    std::vector<std::pair<std::shared_ptr<Stream>, std::uint64_t>> waits;
    Clock clock;
    std::function<void(const Clock&)> work;
};

struct Device;

}  // namespace

struct Stream {
    std::uint64_t id;
    Device* device;
    bool legacy, blocking;
    std::deque<Op> queue;
    std::uint64_t enqueued = 0, completed = 0;
    Clock clock;  // what its next operation is ordered after
    bool stopping = false;
    std::thread worker;
};

struct Event {
    std::shared_ptr<Stream> stream;  // null until recorded
    std::uint64_t seq = 0;
    Clock clock;
};

namespace {

// What an operation read and wrote in device memory: ranges for copies,
// sectors of 32 bytes for kernels (in chunks of 64 KiB, by allocation).
struct Footprint {
    struct Range {
        std::uint64_t allocation;
        std::uintptr_t base;
        std::size_t begin, end;
        bool write;
    };
    struct Chunk {
        std::uint64_t read[32] = {}, written[32] = {};
    };
    static constexpr std::size_t kChunkSectors = 2048;
    std::vector<Range> ranges;
    std::map<std::pair<std::uint64_t, std::size_t>, Chunk> chunks;
    std::map<std::uint64_t, std::uintptr_t> bases;
};

// A finished operation, kept while later ones on other streams may be
// unordered with it.
struct Record {
    std::string what;
    std::uint64_t stream, seq;
    Clock clock;
    std::shared_ptr<const Footprint> footprint;
};

struct Device {
    int index;
    const Profile* profile;
    std::size_t budget, used = 0;
    cudaError_t sticky = cudaSuccess;
    std::shared_ptr<Stream> legacy;
    std::vector<std::shared_ptr<Stream>> streams;  // live ones
    std::deque<Record> history;                    // the latest finished operations
};

// A copy to the host, waiting for the host to synchronise with it.
struct Download {
    int device;
    std::uint64_t stream, seq;
    unsigned char* dst;
    std::size_t dpitch, width, height;
    std::shared_ptr<std::vector<unsigned char>> bytes;  // filled when the copy runs
    std::shared_ptr<std::atomic<bool>> ran;
};

// A copy from pinned memory, which the host must not write until it has
// synchronised with the copy.
struct PinnedRead {
    int device;
    std::uint64_t stream, seq;
    const unsigned char* src;
    std::size_t spitch, width, height;
    std::vector<unsigned char> snapshot;  // the bytes at the call
};

struct Runtime {
    std::mutex m;  // everything below, and the streams' queues and counters
    std::condition_variable cv;
    std::vector<std::unique_ptr<Device>> devices;
    std::map<Stream*, std::shared_ptr<Stream>> streamHandles;
    std::set<Event*> events;
    std::uint64_t nextStream = 1, launches = 0;
    std::uint64_t seed = 1;
    std::string fault;  // the last check that failed a launch
    std::map<std::uintptr_t, std::size_t> pinned;

    std::shared_mutex allocationsMutex;
    std::map<std::uintptr_t, std::unique_ptr<Allocation>> allocations;
    std::uint64_t nextAllocation = 1;

    std::deque<Download> downloads;
    std::deque<PinnedRead> pinnedReads;
    std::atomic<unsigned> sampleFirst{0}, sampleLast{0};

    Runtime() {
        std::string list = "rtx3060";
        if (const char* e = std::getenv("QUORLEN_CUDA_SIM_DEVICES")) list = e;
        std::size_t budget = 0;
        if (const char* e = std::getenv("QUORLEN_CUDA_SIM_MEMORY_MIB")) budget = std::size_t(std::strtoull(e, nullptr, 10)) << 20;
        if (const char* e = std::getenv("QUORLEN_CUDA_SIM_SEED")) seed = std::strtoull(e, nullptr, 10);
        std::size_t at = 0;
        while (at <= list.size()) {
            std::size_t comma = list.find(',', at);
            if (comma == std::string::npos) comma = list.size();
            const std::string key = list.substr(at, comma - at);
            at = comma + 1;
            if (key.empty()) continue;
            for (const Profile& p : kProfiles) {
                if (key != p.key) continue;
                auto d = std::make_unique<Device>();
                d->index = int(devices.size());
                d->profile = &p;
                d->budget = budget ? std::min(budget, p.memory) : p.memory;
                devices.push_back(std::move(d));
            }
        }
    }
};

// Kernels by address: name, registers (0: the table's). Apart from the
// runtime, so that naming kernels as a library loads does not read the
// environment before the program could set it.
struct KernelNames {
    std::mutex m;
    std::map<const void*, std::pair<std::string, int>> names;
};
KernelNames& kernelNames() {
    static KernelNames* k = new KernelNames;
    return *k;
}

// Launch bounds set by the runtime's own tests, by kernel name.
struct KernelBounds {
    std::mutex m;
    std::map<std::string, int> byName;
};
KernelBounds& kernelBounds() {
    static KernelBounds* k = new KernelBounds;
    return *k;
}

Runtime& rt() {
    static Runtime* r = new Runtime;  // never destroyed: stream threads may outlive static destruction
    return *r;
}

thread_local int tlDevice = 0;
thread_local cudaError_t tlLastError = cudaSuccess;
thread_local Clock tlHostClock;  // what this host thread has waited for

cudaError_t fail(cudaError_t e) {
    if (e != cudaSuccess) tlLastError = e;
    return e;
}

Device* currentDevice() {
    Runtime& r = rt();
    if (tlDevice < 0 || std::size_t(tlDevice) >= r.devices.size()) return nullptr;
    return r.devices[std::size_t(tlDevice)].get();
}

void streamLoop(Stream* s) {
    Runtime& r = rt();
    std::unique_lock lock(r.m);
    for (;;) {
        r.cv.wait(lock, [&] { return !s->queue.empty() || s->stopping; });
        if (s->queue.empty()) return;
        Op op = std::move(s->queue.front());
        s->queue.pop_front();
        r.cv.wait(lock, [&] {
            return std::all_of(op.waits.begin(), op.waits.end(),
                               [](const auto& w) { return w.first->completed >= w.second; });
        });
        if (op.work && s->device->sticky == cudaSuccess) {
            lock.unlock();
            try {
                op.work(op.clock);
                lock.lock();
            } catch (const Fault& f) {
                lock.lock();
                if (s->device->sticky == cudaSuccess) {
                    s->device->sticky = f.code;
                    r.fault = f.what;
                    std::fprintf(stderr, "cuda-sim: %s\n", f.what.c_str());
                }
            }
        }
        s->completed = op.seq;
        r.cv.notify_all();
    }
}

std::shared_ptr<Stream> newStream(Device* d, bool legacy, bool blocking) {
    Runtime& r = rt();
    auto s = std::make_shared<Stream>();
    s->id = r.nextStream++;
    s->device = d;
    s->legacy = legacy;
    s->blocking = blocking;
    s->worker = std::thread(streamLoop, s.get());
    return s;
}

// Called with the lock held. The stream a handle names (null: the legacy one).
std::shared_ptr<Stream> resolve(cudaStream_t handle, Device* d) {
    Runtime& r = rt();
    if (!handle) {
        if (!d->legacy) d->legacy = newStream(d, true, true);
        return d->legacy;
    }
    const auto it = r.streamHandles.find(handle);
    if (it == r.streamHandles.end() || it->second->stopping) return nullptr;
    return it->second;
}

// Called with the lock held: adds an operation in the runtime's order. The
// legacy stream waits for all blocking streams' work so far, and they for its.
std::uint64_t enqueue(const std::shared_ptr<Stream>& s, std::function<void(const Clock&)> work,
                      const Event* waitFor = nullptr) {
    Runtime& r = rt();
    Op op;
    op.seq = ++s->enqueued;
    op.clock = s->clock;
    join(op.clock, tlHostClock);
    Device* d = s->device;
    if (s->legacy) {
        for (const auto& b : d->streams)
            if (b->blocking && b->enqueued > 0) {
                op.waits.emplace_back(b, b->enqueued);
                join(op.clock, b->clock);
            }
    } else if (s->blocking && d->legacy && d->legacy->enqueued > 0) {
        op.waits.emplace_back(d->legacy, d->legacy->enqueued);
        join(op.clock, d->legacy->clock);
    }
    if (waitFor && waitFor->stream) {
        op.waits.emplace_back(waitFor->stream, waitFor->seq);
        join(op.clock, waitFor->clock);
    }
    op.work = std::move(work);
    s->clock = op.clock;
    s->clock[s->id] = op.seq;
    const std::uint64_t seq = op.seq;
    s->queue.push_back(std::move(op));
    r.cv.notify_all();
    return seq;
}

// Called with the lock held, when the host has fallen into a sticky fault
// of its own making.
void hostFault(Device& d, const std::string& what) {
    if (d.sticky != cudaSuccess) return;
    d.sticky = cudaErrorLaunchFailure;
    rt().fault = what;
    std::fprintf(stderr, "cuda-sim: %s\n", what.c_str());
}

// Called with the lock held, after this host thread synchronised: copies to
// the host it now knows are done fill their destinations, and the pinned
// memory of copies from the host it now knows are done must still hold what
// it held at their calls.
void settle() {
    Runtime& r = rt();
    for (auto it = r.downloads.begin(); it != r.downloads.end();) {
        if (!covers(tlHostClock, it->stream, it->seq)) {
            ++it;
            continue;
        }
        // Bytes that another copy the host has not synchronised with also
        // writes could hold either copy's on a card: the poison stays there.
        const auto span = [](const Download& x) {
            const auto at = reinterpret_cast<std::uintptr_t>(x.dst);
            return std::make_pair(at, x.height == 0 ? at : at + (x.height - 1) * x.dpitch + x.width);
        };
        const bool contested = std::any_of(r.downloads.begin(), r.downloads.end(), [&](const Download& other) {
            return &other != &*it && !covers(tlHostClock, other.stream, other.seq) &&
                   span(other).first < span(*it).second && span(*it).first < span(other).second;
        });
        if (it->ran->load() && !contested)  // else a fault stopped it, or the copy is contested
            for (std::size_t row = 0; row < it->height; ++row)
                std::memcpy(it->dst + row * it->dpitch, it->bytes->data() + row * it->width, it->width);
        it = r.downloads.erase(it);
    }
    for (auto it = r.pinnedReads.begin(); it != r.pinnedReads.end();) {
        if (!covers(tlHostClock, it->stream, it->seq)) {
            ++it;
            continue;
        }
        for (std::size_t row = 0; row < it->height; ++row) {
            const unsigned char* now = it->src + row * it->spitch;
            const unsigned char* then = it->snapshot.data() + row * it->width;
            if (std::memcmp(now, then, it->width) == 0) continue;
            std::size_t at = 0;
            while (now[at] == then[at]) ++at;
            char text[200];
            std::snprintf(text, sizeof text,
                          "the host wrote pinned memory at %p before synchronising with the copy on stream %" PRIu64
                          " that reads it (that copy may have read either bytes)",
                          static_cast<const void*>(now + at), it->stream);
            hostFault(*r.devices[std::size_t(it->device)], text);
            break;
        }
        it = r.pinnedReads.erase(it);
    }
}

// Called with the lock held: the host waits for operation `seq` of `s`.
void hostWait(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Stream>& s, std::uint64_t seq,
              const Clock& clock) {
    rt().cv.wait(lock, [&] { return s->completed >= seq; });
    join(tlHostClock, clock);
    tlHostClock[s->id] = std::max(tlHostClock[s->id], seq);
    settle();
}

// An operation's own sequence number on its stream, from the clock it runs
// with (which holds the one before it).
std::uint64_t ownSeq(const Clock& clock, std::uint64_t stream) {
    const auto it = clock.find(stream);
    return it == clock.end() ? 1 : it->second + 1;
}

// The first sector where one footprint writes what the other touches, as an
// address; 0 when none.
std::uintptr_t conflict(const Footprint& a, const Footprint& b) {
    for (const Footprint::Range& x : a.ranges)
        for (const Footprint::Range& y : b.ranges)
            if (x.allocation == y.allocation && (x.write || y.write) && x.begin < y.end && y.begin < x.end)
                return x.base + std::max(x.begin, y.begin);
    const auto rangeAgainstChunks = [](const Footprint::Range& x, const Footprint& k) -> std::uintptr_t {
        if (x.begin >= x.end) return 0;
        const std::size_t first = x.begin / 32, last = (x.end - 1) / 32;
        auto it = k.chunks.lower_bound({x.allocation, first / Footprint::kChunkSectors});
        for (; it != k.chunks.end() && it->first.first == x.allocation &&
               it->first.second <= last / Footprint::kChunkSectors;
             ++it) {
            const std::size_t chunkFirst = it->first.second * Footprint::kChunkSectors;
            const std::size_t from = std::max(first, chunkFirst), to = std::min(last, chunkFirst + Footprint::kChunkSectors - 1);
            for (std::size_t sector = from; sector <= to; ++sector) {
                const std::size_t bit = sector - chunkFirst;
                const std::uint64_t mask = 1ull << (bit % 64);
                const bool written = it->second.written[bit / 64] & mask;
                const bool read = it->second.read[bit / 64] & mask;
                if (written || (x.write && read)) return x.base + std::max(x.begin, sector * 32);
            }
        }
        return 0;
    };
    for (const Footprint::Range& x : a.ranges)
        if (const std::uintptr_t at = rangeAgainstChunks(x, b)) return at;
    for (const Footprint::Range& y : b.ranges)
        if (const std::uintptr_t at = rangeAgainstChunks(y, a)) return at;
    const Footprint& small = a.chunks.size() <= b.chunks.size() ? a : b;
    const Footprint& large = &small == &a ? b : a;
    for (const auto& [key, mine] : small.chunks) {
        const auto other = large.chunks.find(key);
        if (other == large.chunks.end()) continue;
        for (std::size_t w = 0; w < 32; ++w) {
            const std::uint64_t clash = (mine.written[w] & (other->second.read[w] | other->second.written[w])) |
                                        (other->second.written[w] & mine.read[w]);
            if (clash)
                return small.bases.at(key.first) +
                       (key.second * Footprint::kChunkSectors + w * 64 + std::size_t(__builtin_ctzll(clash))) * 32;
        }
    }
    return 0;
}

// Called on the stream's thread when an operation ends: fails it when an
// operation of another stream that nothing orders against it wrote what it
// touched or touched what it wrote; else keeps it for those to come.
void finish(Device* d, Record record) {
    Runtime& r = rt();
    std::lock_guard lock(r.m);
    for (const Record& p : d->history) {
        if (p.stream == record.stream || covers(record.clock, p.stream, p.seq) ||
            covers(p.clock, record.stream, record.seq))
            continue;
        if (const std::uintptr_t at = conflict(*p.footprint, *record.footprint)) {
            char text[120];
            std::snprintf(text, sizeof text, "0x%" PRIxPTR, at);
            throw Fault{cudaErrorLaunchFailure,
                        record.what + " on stream " + std::to_string(record.stream) + " and " + p.what +
                            " on stream " + std::to_string(p.stream) + " both touch the bytes at " + text +
                            ", one writing them, and nothing orders them: one may still be writing while the other "
                            "runs"};
        }
    }
    // What every stream of the device has waited for is over for the checks.
    std::vector<const Stream*> live;
    for (const auto& s : d->streams) live.push_back(s.get());
    if (d->legacy) live.push_back(d->legacy.get());
    d->history.push_back(std::move(record));
    const auto settled = [&](const Record& p) {
        return std::all_of(live.begin(), live.end(), [&](const Stream* s) {
            return s->id == p.stream ? s->completed >= p.seq : covers(s->clock, p.stream, p.seq);
        });
    };
    d->history.erase(std::remove_if(d->history.begin(), d->history.end(), settled), d->history.end());
    while (d->history.size() > 64) d->history.pop_front();
}

// The footprint of the grid running on this thread, with the chunk last used.
thread_local Footprint* tlFootprint = nullptr;
thread_local Footprint::Chunk* tlChunk = nullptr;
thread_local std::pair<std::uint64_t, std::size_t> tlChunkKey;

bool isPinned(const void* p, std::size_t bytes) {
    Runtime& r = rt();
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    auto it = r.pinned.upper_bound(a);
    if (it == r.pinned.begin()) return false;
    --it;
    return a + bytes <= it->first + it->second;
}

struct Copy {
    Allocation* dst = nullptr;  // device side, when there is one
    Allocation* src = nullptr;
};

// Checks the pointers of a copy against its kind; fills the device sides.
cudaError_t classify(void* dst, const void* src, std::size_t dstSpan, std::size_t srcSpan, cudaMemcpyKind kind,
                     Copy& c) {
    c.dst = findAllocation(dst, dstSpan);
    c.src = findAllocation(src, srcSpan);
    const bool dstDevice = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
    const bool srcDevice = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
    if (kind == cudaMemcpyDefault) return cudaSuccess;
    if (kind > cudaMemcpyDefault) return cudaErrorInvalidMemcpyDirection;
    if ((dstDevice && !c.dst) || (srcDevice && !c.src)) return cudaErrorInvalidValue;
    if (!dstDevice) c.dst = nullptr;
    if (!srcDevice) c.src = nullptr;
    return cudaSuccess;
}

// Called with the lock held. Enqueues a copy of `height` rows and returns its
// sequence number; `staged` holds the source bytes when they were taken
// from pageable memory at the call.
std::uint64_t enqueueCopy(const std::shared_ptr<Stream>& s, const Copy& c, void* dst, std::size_t dpitch,
                          const void* src, std::size_t spitch, std::size_t width, std::size_t height,
                          std::shared_ptr<std::vector<unsigned char>> staged) {
    Runtime& r = rt();
    const void* from = staged ? staged->data() : src;
    if (staged) spitch = width;
    Allocation* target = c.dst;
    // A copy to the host lands when the host synchronises with it; until
    // then its destination holds poison.
    std::shared_ptr<std::vector<unsigned char>> landing;
    std::shared_ptr<std::atomic<bool>> ran;
    if (c.src && !c.dst) {
        landing = std::make_shared<std::vector<unsigned char>>(width * height);
        ran = std::make_shared<std::atomic<bool>>(false);
        for (std::size_t row = 0; row < height; ++row)
            std::memset(static_cast<unsigned char*>(dst) + row * dpitch, kPoison, width);
    }
    auto footprint = std::make_shared<Footprint>();
    const auto touch = [&](const Allocation* a, const void* p, std::size_t pitch, bool write) {
        if (!a) return;
        const std::size_t begin = reinterpret_cast<std::uintptr_t>(p) - a->base;
        for (std::size_t row = 0; row < height; ++row)
            footprint->ranges.push_back({a->id, a->base, begin + row * pitch, begin + row * pitch + width, write});
    };
    touch(c.src, src, spitch, false);
    touch(c.dst, dst, dpitch, true);
    const char* what = !c.src ? "a copy to the device" : !c.dst ? "a copy to the host" : "a copy on the device";
    Device* d = s->device;
    const std::uint64_t streamId = s->id;
    const std::uint64_t seq = enqueue(s, [=](const Clock& clock) {
        const auto* in = static_cast<const unsigned char*>(staged ? staged->data() : from);
        auto* out = landing ? landing->data() : static_cast<unsigned char*>(dst);
        const std::size_t outPitch = landing ? width : dpitch;
        for (std::size_t row = 0; row < height; ++row) {
            std::memcpy(out + row * outPitch, in + row * spitch, width);
            if (target) target->markWritten(reinterpret_cast<std::uintptr_t>(out + row * dpitch) - target->base, width);
        }
        if (ran) ran->store(true);
        finish(d, Record{what, streamId, ownSeq(clock, streamId), clock, footprint});
    });
    if (landing)
        r.downloads.push_back(Download{d->index, streamId, seq, static_cast<unsigned char*>(dst), dpitch, width, height,
                                       landing, ran});
    if (!c.src && c.dst && !staged && height > 0) {
        PinnedRead pinned{d->index, streamId, seq, static_cast<const unsigned char*>(src), spitch, width, height, {}};
        pinned.snapshot.resize(width * height);
        for (std::size_t row = 0; row < height; ++row)
            std::memcpy(pinned.snapshot.data() + row * width, static_cast<const unsigned char*>(src) + row * spitch, width);
        r.pinnedReads.push_back(std::move(pinned));
        if (r.pinnedReads.size() > 256) r.pinnedReads.pop_front();
    }
    if (target && height > 0) {
        CopyWrite w;
        w.begin = reinterpret_cast<std::uintptr_t>(dst) - target->base;
        w.end = w.begin + (height - 1) * dpitch + width;
        w.stream = s->id;
        w.seq = seq;
        w.clock = s->queue.back().clock;
        std::lock_guard g(target->copiesMutex);
        target->copies.push_back(std::move(w));
        if (target->copies.size() > 16) target->copies.pop_front();
    }
    return seq;
}

cudaError_t copy2D(void* dst, std::size_t dpitch, const void* src, std::size_t spitch, std::size_t width,
                   std::size_t height, cudaMemcpyKind kind, cudaStream_t handle, bool async) {
    Runtime& r = rt();
    std::unique_lock lock(r.m);
    Device* d = currentDevice();
    if (!d) return fail(cudaErrorInvalidDevice);
    if (d->sticky) return d->sticky;
    if (width > dpitch || width > spitch) return fail(cudaErrorInvalidPitchValue);
    const std::size_t dstSpan = height ? (height - 1) * dpitch + width : 0;
    const std::size_t srcSpan = height ? (height - 1) * spitch + width : 0;
    Copy c;
    if (const cudaError_t e = classify(dst, src, dstSpan, srcSpan, kind, c)) return fail(e);
    const std::shared_ptr<Stream> s = resolve(handle, d);
    if (!s) return fail(cudaErrorInvalidResourceHandle);
    // Pageable host memory: the runtime takes the bytes into a staging buffer
    // at the call; a synchronous copy from it may return before they land.
    const bool pageableSource = !c.src && !isPinned(src, srcSpan);
    std::shared_ptr<std::vector<unsigned char>> staged;
    if (pageableSource && c.dst) {
        staged = std::make_shared<std::vector<unsigned char>>(width * height);
        for (std::size_t row = 0; row < height; ++row)
            std::memcpy(staged->data() + row * width, static_cast<const unsigned char*>(src) + row * spitch, width);
    }
    const std::uint64_t seq = enqueueCopy(s, c, dst, dpitch, src, spitch, width, height, staged);
    const bool pageableTarget = !c.dst && !isPinned(dst, dstSpan);
    const bool returnsEarly = async ? !pageableTarget : (staged != nullptr);
    if (!returnsEarly) hostWait(lock, s, seq, s->clock);
    return d->sticky;
}

}  // namespace

Allocation* findAllocation(const void* p, std::size_t bytes) {
    Runtime& r = rt();
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    std::shared_lock lock(r.allocationsMutex);
    auto it = r.allocations.upper_bound(a);
    if (it == r.allocations.begin()) return nullptr;
    --it;
    return it->second->contains(a, bytes) ? it->second.get() : nullptr;
}

std::uint64_t seed() { return rt().seed; }

bool blockSkipped(const LaunchInfo& l, unsigned x) {
    if (l.sampleFirst == 0 && l.sampleLast == 0) return false;
    return x >= l.sampleFirst && x + l.sampleLast < l.grid.x;
}

void recordAccess(const Allocation& a, std::size_t offset, std::size_t bytes, bool write) {
    Footprint* f = tlFootprint;
    if (!f || bytes == 0) return;
    for (std::size_t sector = offset / 32, last = (offset + bytes - 1) / 32; sector <= last; ++sector) {
        const std::pair<std::uint64_t, std::size_t> key{a.id, sector / Footprint::kChunkSectors};
        if (!tlChunk || key != tlChunkKey) {
            tlChunk = &f->chunks[key];
            tlChunkKey = key;
            f->bases.emplace(a.id, a.base);
        }
        const std::size_t bit = sector % Footprint::kChunkSectors;
        (write ? tlChunk->written : tlChunk->read)[bit / 64] |= 1ull << (bit % 64);
    }
}

void sampleBlocks(unsigned first, unsigned last) {
    rt().sampleFirst = first;
    rt().sampleLast = last;
}

void boundKernel(const char* name, int maxThreads) {
    KernelBounds& k = kernelBounds();
    std::lock_guard lock(k.m);
    k.byName[name] = maxThreads;
}

bool nameKernel(const void* func, const char* name, int registers) {
    KernelNames& k = kernelNames();
    std::lock_guard lock(k.m);
    k.names[func] = {name, registers};
    return true;
}

// Declared dead: the bits that say what was written are cleared (whole pages
// handed back, as are the contents' whole pages).
void forget(Allocation& a, std::size_t offset, std::size_t bytes) {
    if (bytes == 0) return;
    const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
    const auto giveBack = [page](std::uintptr_t from, std::uintptr_t to) {
        const std::uintptr_t first = (from + page - 1) / page * page, last = to / page * page;
        if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
    };
    giveBack(a.base + offset, a.base + offset + bytes);
    markUndefined(reinterpret_cast<void*>(a.base + offset), bytes);
    const std::size_t firstUnit = (offset + 3) / 4, endUnit = (offset + bytes) / 4;  // whole units only
    std::size_t unit = firstUnit;
    for (; unit < endUnit && unit % 32 != 0; ++unit) a.written[unit / 32].fetch_and(~(1u << (unit % 32)));
    const std::size_t wordsFrom = unit / 32, wordsTo = endUnit / 32;
    if (wordsFrom < wordsTo) {
        // Whole pages of bits are handed back (they read as zeros again);
        // the words before and after them are cleared one by one.
        // The bits have a mapping of their own: word w starts a page when
        // w is a multiple of wordsPerPage.
        const std::size_t wordsPerPage = page / sizeof(std::uint32_t);
        const std::size_t pagedFrom = std::min(wordsTo, (wordsFrom + wordsPerPage - 1) / wordsPerPage * wordsPerPage);
        const std::size_t pagedTo = std::max(pagedFrom, wordsTo / wordsPerPage * wordsPerPage);
        for (std::size_t w = wordsFrom; w < pagedFrom; ++w) a.written[w].store(0, std::memory_order_relaxed);
        if (pagedFrom < pagedTo)
            madvise(static_cast<void*>(a.written + pagedFrom), (pagedTo - pagedFrom) * sizeof(std::uint32_t),
                    MADV_DONTNEED);
        for (std::size_t w = pagedTo; w < wordsTo; ++w) a.written[w].store(0, std::memory_order_relaxed);
        unit = wordsTo * 32;
    }
    for (; unit < endUnit; ++unit) a.written[unit / 32].fetch_and(~(1u << (unit % 32)));
}

cudaError_t declareDead(void* p, std::size_t bytes, cudaStream_t handle) {
    Runtime& r = rt();
    std::lock_guard lock(r.m);
    Device* d = currentDevice();
    if (!d) return fail(cudaErrorInvalidDevice);
    if (d->sticky) return d->sticky;
    if (bytes == 0) return cudaSuccess;
    Allocation* a = findAllocation(p, bytes);
    if (!a) return fail(cudaErrorInvalidValue);
    const std::shared_ptr<Stream> s = resolve(handle, d);
    if (!s) return fail(cudaErrorInvalidResourceHandle);
    const std::size_t offset = reinterpret_cast<std::uintptr_t>(p) - a->base;
    auto footprint = std::make_shared<Footprint>();
    footprint->ranges.push_back({a->id, a->base, offset, offset + bytes, true});
    const std::uint64_t streamId = s->id;
    enqueue(s, [=](const Clock& clock) {
        forget(*a, offset, bytes);
        finish(d, Record{"a discard", streamId, ownSeq(clock, streamId), clock, footprint});
    });
    return cudaSuccess;
}

const char* lastFault() { return rt().fault.c_str(); }

namespace {

// The name a kernel was launched or named with ("" when none).
std::string kernelName(const void* func, const char* name) {
    KernelNames& k = kernelNames();
    std::lock_guard lock(k.m);
    if (const auto it = k.names.find(func); it != k.names.end()) return it->second.first;
    return name ? name : "";
}

// The most threads a block of the kernel may have.
int launchBound(const void* func, const char* name) {
    const std::string known = kernelName(func, name);
    {
        KernelBounds& k = kernelBounds();
        std::lock_guard lock(k.m);
        if (const auto it = k.byName.find(known); it != k.byName.end()) return it->second;
    }
    for (const KernelBound& b : kKernelBounds)
        if (known == b.kernel) return b.maxThreads;
    return 1024;
}

// A kernel's registers per thread on a device.
int registersOf(const void* func, const char* name, const Device& d) {
    KernelNames& k = kernelNames();
    std::string known = name ? name : "";
    int registers = 0;
    {
        std::lock_guard lock(k.m);
        if (const auto it = k.names.find(func); it != k.names.end()) {
            known = it->second.first;
            registers = it->second.second;
        } else if (name) {
            k.names[func] = {name, 0};
        }
    }
    if (registers > 0) return registers;
    const int arch = d.profile->major * 10 + d.profile->minor;
    for (const KernelRegisters& k : kKernelRegisters)
        if (k.arch == arch && known == k.kernel) return k.registers;
    return kDefaultRegisters;
}

}  // namespace

cudaError_t launch(const char* name, const void* func, dim3 grid, dim3 block, std::size_t sharedBytes,
                   cudaStream_t handle, KernelBody* body) {
    std::shared_ptr<KernelBody> owned(body);
    Runtime& r = rt();
    std::unique_lock lock(r.m);
    Device* d = currentDevice();
    if (!d) return fail(cudaErrorInvalidDevice);
    if (d->sticky) return d->sticky;
    const unsigned long long threads = 1ull * block.x * block.y * block.z;
    if (threads == 0 || threads > 1024 || block.z > 64 || grid.x == 0 || grid.y == 0 || grid.z == 0 ||
        grid.y > 65535 || grid.z > 65535 || grid.x > 0x7fffffffu)
        return fail(cudaErrorInvalidConfiguration);
    if (sharedBytes > 48 * 1024) return fail(cudaErrorInvalidValue);
    if (blockRegisters(registersOf(func, name, *d), threads) > kRegistersPerBlock ||
        threads > (unsigned long long)launchBound(func, name))
        return fail(cudaErrorLaunchOutOfResources);
    const std::shared_ptr<Stream> s = resolve(handle, d);
    if (!s) return fail(cudaErrorInvalidResourceHandle);
    const std::uint64_t serial = ++r.launches;
    const std::uint64_t streamId = s->id;
    const unsigned sampleFirst = r.sampleFirst, sampleLast = r.sampleLast;
    enqueue(s, [=](const Clock& clock) {
        LaunchInfo info{name, grid, block, sharedBytes, streamId, ownSeq(clock, streamId), clock, serial, owned.get(),
                        sampleFirst, sampleLast};
        Footprint footprint;
        tlFootprint = &footprint;
        tlChunk = nullptr;
        try {
            runGrid(info);
        } catch (...) {
            tlFootprint = nullptr;
            throw;
        }
        tlFootprint = nullptr;
        finish(d, Record{std::string("kernel ") + name, streamId, info.seq, clock,
                         std::make_shared<const Footprint>(std::move(footprint))});
    });
    return cudaSuccess;
}

}  // namespace cudasim

using namespace cudasim;

namespace {

const char* errorText(cudaError_t e) {
    switch (e) {
        case cudaSuccess: return "no error";
        case cudaErrorInvalidValue: return "invalid argument";
        case cudaErrorMemoryAllocation: return "out of memory";
        case cudaErrorInitializationError: return "initialization error";
        case cudaErrorInvalidConfiguration: return "invalid configuration argument";
        case cudaErrorInvalidPitchValue: return "invalid pitch argument";
        case cudaErrorInvalidMemcpyDirection: return "invalid copy direction for memcpy";
        case cudaErrorInsufficientDriver: return "CUDA driver version is insufficient for CUDA runtime version";
        case cudaErrorInvalidDeviceFunction: return "invalid device function";
        case cudaErrorNoDevice: return "no CUDA-capable device is detected";
        case cudaErrorInvalidDevice: return "invalid device ordinal";
        case cudaErrorNoKernelImageForDevice: return "no kernel image is available for execution on the device";
        case cudaErrorInvalidResourceHandle: return "invalid resource handle";
        case cudaErrorNotReady: return "device not ready";
        case cudaErrorIllegalAddress: return "an illegal memory access was encountered";
        case cudaErrorLaunchOutOfResources: return "too many resources requested for launch";
        case cudaErrorLaunchFailure: return "unspecified launch failure";
        case cudaErrorMisalignedAddress: return "misaligned address";
        default: return "unrecognized error code";
    }
}

}  // namespace

extern "C" {

const char* cudaGetErrorString(cudaError_t error) {
    // A failed check's own text, for the error it left behind.
    thread_local std::string text;
    Runtime& r = rt();
    std::lock_guard lock(r.m);
    Device* d = currentDevice();
    if (d && d->sticky == error && error != cudaSuccess && !r.fault.empty()) {
        text = std::string(errorText(error)) + " (" + r.fault + ")";
        return text.c_str();
    }
    return errorText(error);
}

const char* cudaGetErrorName(cudaError_t error) { return errorText(error); }

cudaError_t cudaGetLastError(void) {
    Runtime& r = rt();
    std::lock_guard lock(r.m);
    Device* d = currentDevice();
    if (d && d->sticky) return d->sticky;
    const cudaError_t e = tlLastError;
    tlLastError = cudaSuccess;
    return e;
}

cudaError_t cudaPeekAtLastError(void) {
    Runtime& r = rt();
    std::lock_guard lock(r.m);
    Device* d = currentDevice();
    return d && d->sticky ? d->sticky : tlLastError;
}

cudaError_t cudaDriverGetVersion(int* version) {
    *version = 13000;
    return cudaSuccess;
}

cudaError_t cudaRuntimeGetVersion(int* version) {
    *version = 13000;
    return cudaSuccess;
}

cudaError_t cudaGetDeviceCount(int* count) {
    *count = int(rt().devices.size());
    if (*count == 0) return fail(cudaErrorNoDevice);
    return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) {
    if (device < 0 || std::size_t(device) >= rt().devices.size()) return fail(cudaErrorInvalidDevice);
    tlDevice = device;
    return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device) {
    *device = tlDevice;
    return cudaSuccess;
}

cudaError_t cudaSetDeviceFlags(unsigned) { return currentDevice() ? cudaSuccess : fail(cudaErrorInvalidDevice); }

cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
    Runtime& r = rt();
    if (device < 0 || std::size_t(device) >= r.devices.size()) return fail(cudaErrorInvalidDevice);
    const Device& d = *r.devices[std::size_t(device)];
    const Profile& p = *d.profile;
    *prop = cudaDeviceProp{};
    std::snprintf(prop->name, sizeof prop->name, "%s", p.name);
    prop->totalGlobalMem = d.budget;
    prop->sharedMemPerBlock = 48 * 1024;
    prop->regsPerBlock = 65536;
    prop->warpSize = 32;
    prop->maxThreadsPerBlock = 1024;
    prop->maxThreadsDim[0] = 1024, prop->maxThreadsDim[1] = 1024, prop->maxThreadsDim[2] = 64;
    prop->maxGridSize[0] = 0x7fffffff, prop->maxGridSize[1] = 65535, prop->maxGridSize[2] = 65535;
    prop->clockRate = p.clockKHz;
    prop->major = p.major;
    prop->minor = p.minor;
    prop->multiProcessorCount = p.sms;
    prop->memoryClockRate = p.memoryClockKHz;
    prop->memoryBusWidth = p.busBits;
    prop->maxThreadsPerMultiProcessor = p.maxThreadsPerSm;
    prop->sharedMemPerMultiprocessor = p.sharedPerSm * 1024;
    prop->regsPerMultiprocessor = 65536;
    prop->sharedMemPerBlockOptin = p.sharedOptin * 1024;
    prop->reservedSharedMemPerBlock = 1024;
    prop->maxBlocksPerMultiProcessor = p.maxBlocksPerSm;
    return cudaSuccess;
}

cudaError_t cudaDeviceGetPCIBusId(char* pciBusId, int len, int device) {
    Runtime& r = rt();
    if (device < 0 || std::size_t(device) >= r.devices.size()) return fail(cudaErrorInvalidDevice);
    char id[32];
    const int n = std::snprintf(id, sizeof id, "0000:%02x:00.0", device + 1);
    if (!pciBusId || len <= n) return fail(cudaErrorInvalidValue);
    std::memcpy(pciBusId, id, std::size_t(n) + 1);
    return cudaSuccess;
}

cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attr, int device) {
    cudaDeviceProp p;
    if (const cudaError_t e = cudaGetDeviceProperties(&p, device)) return e;
    switch (attr) {
        case cudaDevAttrMaxThreadsPerBlock: *value = p.maxThreadsPerBlock; break;
        case cudaDevAttrMaxSharedMemoryPerBlock: *value = int(p.sharedMemPerBlock); break;
        case cudaDevAttrWarpSize: *value = p.warpSize; break;
        case cudaDevAttrClockRate: *value = p.clockRate; break;
        case cudaDevAttrMultiProcessorCount: *value = p.multiProcessorCount; break;
        case cudaDevAttrMemoryClockRate: *value = p.memoryClockRate; break;
        case cudaDevAttrGlobalMemoryBusWidth: *value = p.memoryBusWidth; break;
        case cudaDevAttrMaxThreadsPerMultiProcessor: *value = p.maxThreadsPerMultiProcessor; break;
        case cudaDevAttrComputeCapabilityMajor: *value = p.major; break;
        case cudaDevAttrComputeCapabilityMinor: *value = p.minor; break;
        case cudaDevAttrMaxSharedMemoryPerMultiprocessor: *value = int(p.sharedMemPerMultiprocessor); break;
        case cudaDevAttrMaxRegistersPerMultiprocessor: *value = p.regsPerMultiprocessor; break;
        case cudaDevAttrMaxBlocksPerMultiprocessor: *value = p.maxBlocksPerMultiProcessor; break;
        default: return fail(cudaErrorInvalidValue);
    }
    return cudaSuccess;
}

cudaError_t cudaDeviceSynchronize(void) {
    Runtime& r = rt();
    std::unique_lock lock(r.m);
    Device* d = currentDevice();
    if (!d) return fail(cudaErrorInvalidDevice);
    std::vector<std::shared_ptr<Stream>> all = d->streams;
    if (d->legacy) all.push_back(d->legacy);
    for (const auto& s : all) hostWait(lock, s, s->enqueued, s->clock);
    return d->sticky;
}

cudaError_t cudaDeviceReset(void) {
    Runtime& r = rt();
    std::unique_lock lock(r.m);
    Device* d = currentDevice();
    if (!d) return fail(cudaErrorInvalidDevice);
    std::vector<std::shared_ptr<Stream>> all = d->streams;
    if (d->legacy) all.push_back(d->legacy);
    for (const auto& s : all) {
        r.cv.wait(lock, [&] { return s->completed >= s->enqueued; });
        s->stopping = true;
    }
    d->history.clear();
    const auto mine = [&](const auto& pending) { return pending.device == d->index; };
    r.downloads.erase(std::remove_if(r.downloads.begin(), r.downloads.end(), mine), r.downloads.end());
    r.pinnedReads.erase(std::remove_if(r.pinnedReads.begin(), r.pinnedReads.end(), mine), r.pinnedReads.end());
    r.cv.notify_all();
    lock.unlock();
    for (const auto& s : all) s->worker.join();
    lock.lock();
    for (auto it = r.streamHandles.begin(); it != r.streamHandles.end();)
        it = it->second->device == d ? r.streamHandles.erase(it) : std::next(it);
    d->streams.clear();
    d->legacy.reset();
    {
        std::unique_lock g(r.allocationsMutex);
        for (auto it = r.allocations.begin(); it != r.allocations.end();) {
            if (it->second->device != d->index) {
                ++it;
                continue;
            }
            munmap(reinterpret_cast<void*>(it->second->base), it->second->size);
            munmap(it->second->written, it->second->writtenWords * 4);
            it = r.allocations.erase(it);
        }
    }
    d->used = 0;
    d->sticky = cudaSuccess;
    r.fault.clear();
    tlLastError = cudaSuccess;
    return cudaSuccess;
}

cudaError_t cudaMemGetInfo(std::size_t* free, std::size_t* total) {
    Runtime& r = rt();
    std::lock_guard lock(r.m);
    Device* d = currentDevice();
    if (!d) return fail(cudaErrorInvalidDevice);
    if (d->sticky) return d->sticky;
    *free = d->budget - d->used;
    *total = d->budget;
    return cudaSuccess;
}

cudaError_t cudaMalloc(void** devPtr, std::size_t size) {
    Runtime& r = rt();
    std::lock_guard lock(r.m);
    Device* d = currentDevice();
    if (!d) return fail(cudaErrorInvalidDevice);
    if (d->sticky) return d->sticky;
    *devPtr = nullptr;
    if (size == 0) return cudaSuccess;
    const std::size_t rounded = (size + 255) / 256 * 256;
    if (rounded > d->budget - d->used) return fail(cudaErrorMemoryAllocation);
    // Host memory, committed only where touched; a bit per 4 bytes says
    // whether anything wrote there.
    void* p = mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return fail(cudaErrorMemoryAllocation);
    markUndefined(p, rounded);  // fresh pages read as zeros; a card's hold what was there
    auto a = std::make_unique<Allocation>();
    a->writtenWords = (rounded / 4 + 31) / 32;
    void* bits = mmap(nullptr, a->writtenWords * 4, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (bits == MAP_FAILED) {
        munmap(p, rounded);
        return fail(cudaErrorMemoryAllocation);
    }
    a->written = static_cast<std::atomic<std::uint32_t>*>(bits);
    a->base = reinterpret_cast<std::uintptr_t>(p);
    a->size = size;
    a->id = r.nextAllocation++;
    a->device = d->index;
    d->used += rounded;
    std::unique_lock g(r.allocationsMutex);
    r.allocations.emplace(a->base, std::move(a));
    *devPtr = p;
    return cudaSuccess;
}

cudaError_t cudaFree(void* devPtr) {
    Runtime& r = rt();
    std::lock_guard lock(r.m);
    Device* d = currentDevice();
    if (!d) return fail(cudaErrorInvalidDevice);
    if (d->sticky) return d->sticky;
    if (!devPtr) return cudaSuccess;  // makes the context, which always exists here
    std::unique_lock g(r.allocationsMutex);
    const auto it = r.allocations.find(reinterpret_cast<std::uintptr_t>(devPtr));
    if (it == r.allocations.end()) return fail(cudaErrorInvalidValue);
    const std::size_t rounded = (it->second->size + 255) / 256 * 256;
    munmap(devPtr, rounded);
    munmap(it->second->written, it->second->writtenWords * 4);
    r.devices[std::size_t(it->second->device)]->used -= rounded;
    r.allocations.erase(it);
    return cudaSuccess;
}

cudaError_t cudaMallocHost(void** ptr, std::size_t size) {
    *ptr = std::aligned_alloc(4096, std::max<std::size_t>(4096, (size + 4095) / 4096 * 4096));
    if (!*ptr) return fail(cudaErrorMemoryAllocation);
    Runtime& r = rt();
    std::lock_guard lock(r.m);
    r.pinned[reinterpret_cast<std::uintptr_t>(*ptr)] = size;
    return cudaSuccess;
}

cudaError_t cudaFreeHost(void* ptr) {
    Runtime& r = rt();
    std::lock_guard lock(r.m);
    if (!ptr) return cudaSuccess;
    const auto it = r.pinned.find(reinterpret_cast<std::uintptr_t>(ptr));
    if (it == r.pinned.end()) return fail(cudaErrorInvalidValue);
    // Copies still pending on it are the caller's fault; they no longer land or get checked.
    const auto* begin = static_cast<const unsigned char*>(ptr);
    const auto* end = begin + it->second;
    r.downloads.erase(std::remove_if(r.downloads.begin(), r.downloads.end(),
                                     [&](const Download& x) { return x.dst >= begin && x.dst < end; }),
                      r.downloads.end());
    r.pinnedReads.erase(std::remove_if(r.pinnedReads.begin(), r.pinnedReads.end(),
                                       [&](const PinnedRead& x) { return x.src >= begin && x.src < end; }),
                        r.pinnedReads.end());
    r.pinned.erase(it);
    std::free(ptr);
    return cudaSuccess;
}

cudaError_t cudaMemset(void* devPtr, int value, std::size_t count) {
    Runtime& r = rt();
    std::unique_lock lock(r.m);
    Device* d = currentDevice();
    if (!d) return fail(cudaErrorInvalidDevice);
    if (d->sticky) return d->sticky;
    Allocation* a = findAllocation(devPtr, count);
    if (!a) return fail(cudaErrorInvalidValue);
    const std::shared_ptr<Stream> s = resolve(nullptr, d);
    const std::size_t offset = reinterpret_cast<std::uintptr_t>(devPtr) - a->base;
    auto footprint = std::make_shared<Footprint>();
    footprint->ranges.push_back({a->id, a->base, offset, offset + count, true});
    const std::uint64_t streamId = s->id;
    // Asynchronous with the host, as on a card: the caller must order what
    // reads the bytes after it (the legacy stream's rules do that for
    // blocking streams only).
    enqueue(s, [=](const Clock& clock) {
        std::memset(devPtr, value, count);
        a->markWritten(offset, count);
        finish(d, Record{"a memset", streamId, ownSeq(clock, streamId), clock, footprint});
    });
    return cudaSuccess;
}

cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind) {
    return copy2D(dst, count, src, count, count, 1, kind, nullptr, false);
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind, cudaStream_t stream) {
    return copy2D(dst, count, src, count, count, 1, kind, stream, true);
}

cudaError_t cudaMemcpy2DAsync(void* dst, std::size_t dpitch, const void* src, std::size_t spitch, std::size_t width,
                              std::size_t height, cudaMemcpyKind kind, cudaStream_t stream) {
    return copy2D(dst, dpitch, src, spitch, width, height, kind, stream, true);
}

cudaError_t cudaStreamCreate(cudaStream_t* stream) { return cudaStreamCreateWithFlags(stream, cudaStreamDefault); }

cudaError_t cudaStreamCreateWithFlags(cudaStream_t* stream, unsigned flags) {
    Runtime& r = rt();
    std::lock_guard lock(r.m);
    Device* d = currentDevice();
    if (!d) return fail(cudaErrorInvalidDevice);
    if (d->sticky) return d->sticky;
    auto s = newStream(d, false, !(flags & cudaStreamNonBlocking));
    d->streams.push_back(s);
    r.streamHandles[s.get()] = s;
    *stream = s.get();
    return cudaSuccess;
}

cudaError_t cudaStreamDestroy(cudaStream_t stream) {
    Runtime& r = rt();
    std::unique_lock lock(r.m);
    const auto it = r.streamHandles.find(stream);
    if (!stream || it == r.streamHandles.end()) return fail(cudaErrorInvalidResourceHandle);
    std::shared_ptr<Stream> s = it->second;
    r.streamHandles.erase(it);
    // Its work still runs to the end; the handle is gone at once.
    s->stopping = true;
    r.cv.notify_all();
    Device* d = s->device;
    d->streams.erase(std::remove(d->streams.begin(), d->streams.end(), s), d->streams.end());
    lock.unlock();
    s->worker.join();
    return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
    argon2::test_hang::wait_point();
    Runtime& r = rt();
    std::unique_lock lock(r.m);
    Device* d = currentDevice();
    if (!d) return fail(cudaErrorInvalidDevice);
    const std::shared_ptr<Stream> s = resolve(stream, d);
    if (!s) return fail(cudaErrorInvalidResourceHandle);
    hostWait(lock, s, s->enqueued, s->clock);
    return s->device->sticky;
}

cudaError_t cudaStreamWaitEvent(cudaStream_t stream, cudaEvent_t event, unsigned) {
    Runtime& r = rt();
    std::lock_guard lock(r.m);
    Device* d = currentDevice();
    if (!d) return fail(cudaErrorInvalidDevice);
    if (d->sticky) return d->sticky;
    const std::shared_ptr<Stream> s = resolve(stream, d);
    if (!s || !r.events.count(event)) return fail(cudaErrorInvalidResourceHandle);
    enqueue(s, nullptr, event);
    return cudaSuccess;
}

cudaError_t cudaEventCreate(cudaEvent_t* event) { return cudaEventCreateWithFlags(event, cudaEventDefault); }

cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned) {
    Runtime& r = rt();
    std::lock_guard lock(r.m);
    *event = new Event;
    r.events.insert(*event);
    return cudaSuccess;
}

cudaError_t cudaEventDestroy(cudaEvent_t event) {
    Runtime& r = rt();
    std::lock_guard lock(r.m);
    if (!r.events.erase(event)) return fail(cudaErrorInvalidResourceHandle);
    delete event;
    return cudaSuccess;
}

cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream) {
    Runtime& r = rt();
    std::lock_guard lock(r.m);
    Device* d = currentDevice();
    if (!d) return fail(cudaErrorInvalidDevice);
    if (d->sticky) return d->sticky;
    const std::shared_ptr<Stream> s = resolve(stream, d);
    if (!s || !r.events.count(event)) return fail(cudaErrorInvalidResourceHandle);
    event->seq = enqueue(s, nullptr);
    event->stream = s;
    event->clock = s->clock;
    return cudaSuccess;
}

cudaError_t cudaEventSynchronize(cudaEvent_t event) {
    argon2::test_hang::wait_point();
    Runtime& r = rt();
    std::unique_lock lock(r.m);
    if (!r.events.count(event)) return fail(cudaErrorInvalidResourceHandle);
    if (!event->stream) return cudaSuccess;
    const std::shared_ptr<Stream> s = event->stream;
    hostWait(lock, s, event->seq, event->clock);
    return s->device->sticky;
}

cudaError_t cudaEventQuery(cudaEvent_t event) {
    Runtime& r = rt();
    std::lock_guard lock(r.m);
    if (!r.events.count(event)) return fail(cudaErrorInvalidResourceHandle);
    if (!event->stream) return cudaSuccess;
    if (event->stream->device->sticky) return event->stream->device->sticky;
    if (event->stream->completed < event->seq) return cudaErrorNotReady;
    // Done, and now the host knows it: as good as a synchronisation.
    join(tlHostClock, event->clock);
    tlHostClock[event->stream->id] = std::max(tlHostClock[event->stream->id], event->seq);
    settle();
    return event->stream->device->sticky;
}

}  // extern "C"

cudaError_t cudasimFuncGetAttributes(cudaFuncAttributes* attr, const void* func) {
    if (!func) return fail(cudaErrorInvalidDeviceFunction);
    Device* d = currentDevice();
    if (!d) return fail(cudaErrorInvalidDevice);
    *attr = cudaFuncAttributes{};
    attr->numRegs = registersOf(func, nullptr, *d);
    attr->maxThreadsPerBlock = std::min(1024, launchBound(func, nullptr));
    while (blockRegisters(attr->numRegs, attr->maxThreadsPerBlock) > kRegistersPerBlock) attr->maxThreadsPerBlock -= 32;
    attr->ptxVersion = d->profile->major * 10 + d->profile->minor;
    attr->binaryVersion = attr->ptxVersion;
    attr->maxDynamicSharedSizeBytes = 48 * 1024;
    return cudaSuccess;
}

cudaError_t cudasimOccupancy(int* blocks, const void* func, int blockSize, std::size_t dynamicSharedBytes) {
    Device* d = currentDevice();
    if (!d) return fail(cudaErrorInvalidDevice);
    if (!func || blockSize <= 0 || blockSize > 1024) return fail(cudaErrorInvalidValue);
    cudaDeviceProp p;
    cudaGetDeviceProperties(&p, d->index);
    const int registers = registersOf(func, nullptr, *d);
    const int warps = (blockSize + 31) / 32;
    const int regsPerWarp = (registers * 32 + 255) / 256 * 256;
    const int byRegisters = (p.regsPerMultiprocessor / regsPerWarp) / warps;
    const int byThreads = p.maxThreadsPerMultiProcessor / (warps * 32);
    const std::size_t sharedPerBlock = dynamicSharedBytes + p.reservedSharedMemPerBlock;
    const int byShared = int(p.sharedMemPerMultiprocessor / sharedPerBlock);
    *blocks = std::min({p.maxBlocksPerMultiProcessor, byRegisters, byThreads, byShared});
    return cudaSuccess;
}
