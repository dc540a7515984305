// The simulated runtime's internals, shared by its host side (host.h: cards,
// memory, streams, events, copies, the checks between streams, the entry
// points) and its device side (threads.cpp: fibers, rendezvous, checks).
#pragma once

#include <cuda_runtime_api.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace cudasim {

// What a stream has waited for, directly or not: for each stream (by id) the
// last of its operations ordered before.
using Clock = std::map<std::uint64_t, std::uint64_t>;
void join(Clock& into, const Clock& other);
inline bool covers(const Clock& c, std::uint64_t stream, std::uint64_t seq) {
    const auto it = c.find(stream);
    return it != c.end() && it->second >= seq;
}

// A check that failed, or a fault of the kernel: fails the launch.
struct Fault {
    cudaError_t code;
    std::string what;
};

// A copy into device memory, kept so that kernels on other streams can be
// checked against it: it may be writing until the kernel is ordered after it.
struct CopyWrite {
    std::size_t begin, end;  // offsets into the allocation
    std::uint64_t stream, seq;
    Clock clock;  // what the copy itself is ordered after
};

// Per 32-byte sector of an allocation, the global-memory race check's
// records (threads.cpp): mapped on a kernel's first access, unmapped with
// the allocation.
struct SectorRecord;
struct SectorMap {
    std::once_flag mapped;
    SectorRecord* records = nullptr;
    std::size_t bytes = 0;
    SectorMap() = default;
    SectorMap(const SectorMap&) = delete;
    SectorMap& operator=(const SectorMap&) = delete;
    ~SectorMap();
};

struct Allocation {
    std::uintptr_t base = 0;
    std::size_t size = 0;
    std::uint64_t id = 0;  // never reused, unlike addresses
    int device = 0;
    std::atomic<std::uint32_t>* written = nullptr;  // a bit per 4 bytes: has a copy or kernel written it
    std::size_t writtenWords = 0;
    std::mutex copiesMutex;
    std::deque<CopyWrite> copies;  // the latest few
    SectorMap sectors;

    bool contains(std::uintptr_t a, std::size_t bytes) const { return a >= base && a + bytes <= base + size; }
    void markWritten(std::size_t offset, std::size_t bytes);
    // The first offset in [offset, offset + bytes) nothing wrote, or SIZE_MAX.
    std::size_t firstUnwritten(std::size_t offset, std::size_t bytes) const;
};

// The allocation holding [p, p + bytes), or null.
Allocation* findAllocation(const void* p, std::size_t bytes);

// A kernel's grid as the stream runs it.
struct LaunchInfo {
    const char* name;
    dim3 grid, block;
    std::size_t sharedBytes;
    std::uint64_t stream, seq;
    Clock clock;
    std::uint64_t serial;  // for the order of threads
    KernelBody* body;
    unsigned sampleFirst = 0, sampleLast = 0;  // a sparse grid's blocks (0 and 0: all)
};
void runGrid(const LaunchInfo& launch);  // throws Fault

// Host-side bookkeeping the device side calls into: whether a sparse grid
// skips block x; every global access of the running grid (for the checks
// against other streams).
bool blockSkipped(const LaunchInfo& launch, unsigned x);
void recordAccess(const Allocation& a, std::size_t offset, std::size_t bytes, bool write);

std::uint64_t seed();

}  // namespace cudasim
