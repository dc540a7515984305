// The simulated runtime's host side, shared by its files: the runtime object
// and its devices (cards.cpp names the cards), streams and events
// (streams.cpp), device memory and copies (memory.cpp), the checks between
// streams (hazards.cpp), and the API entry points over them (api.cpp).
#pragma once

#include <set>

#include "sim.h"

namespace cudasim {

// ---- Cards (cards.cpp)

// A card the runtime can stand for, with the figures it reports.
struct Profile {
    const char* key;
    const char* name;
    int major, minor, sms, clockKHz, memoryClockKHz, busBits, maxBlocksPerSm, maxThreadsPerSm;
    std::size_t sharedPerSm, sharedOptin;  // KiB
    std::size_t memory;
};

constexpr int kRegistersPerBlock = 65536;
// Registers a block of `threads` takes: per warp, in units of 256.
long long blockRegisters(int registers, long long threads);

struct Device;
// The most threads a block of the kernel may have.
int launchBound(const void* func, const char* name);
// A kernel's registers per thread on a device.
int registersOf(const void* func, const char* name, const Device& d);

// ---- Streams and events (streams.cpp)

struct Op {
    std::uint64_t seq = 0;
    std::vector<std::pair<std::shared_ptr<Stream>, std::uint64_t>> waits;
    Clock clock;
    std::function<void(const Clock&)> work;
};

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

// ---- What the checks between streams keep (hazards.cpp)

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

// ---- The runtime

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

    Runtime();  // the cards, budget and seed the environment asks for (cards.cpp)
};

Runtime& rt();

extern thread_local int tlDevice;
extern thread_local cudaError_t tlLastError;
extern thread_local Clock tlHostClock;  // what this host thread has waited for

// Keeps a failure as the thread's last error and returns it.
cudaError_t fail(cudaError_t e);
// The calling thread's device, or null when it names none.
Device* currentDevice();

// ---- Streams and events (streams.cpp); all called with the lock held

std::shared_ptr<Stream> newStream(Device* d, bool legacy, bool blocking);
// The stream a handle names (null: the legacy one).
std::shared_ptr<Stream> resolve(cudaStream_t handle, Device* d);
// Every live stream of the device, the legacy one last.
std::vector<std::shared_ptr<Stream>> streamsOf(const Device& d);
// Adds an operation in the runtime's order and returns its sequence number.
std::uint64_t enqueue(const std::shared_ptr<Stream>& s, std::function<void(const Clock&)> work,
                      const Event* waitFor = nullptr);
// The host waits for operation `seq` of `s`.
void hostWait(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Stream>& s, std::uint64_t seq,
              const Clock& clock);
// The host now knows that operation `seq` of `s` is done.
void hostLearns(const Stream& s, std::uint64_t seq, const Clock& clock);

// ---- Checks between streams (hazards.cpp)

// An operation's own sequence number on its stream, from the clock it runs
// with (which holds the one before it).
std::uint64_t ownSeq(const Clock& clock, std::uint64_t stream);
// Called on the stream's thread when an operation ends; throws Fault.
void finish(Device* d, Record record);
// Runs the grid on this thread and returns what it touched; throws Fault.
Footprint runRecorded(const LaunchInfo& launch);
// Called with the lock held, when the host has fallen into a sticky fault
// of its own making.
void hostFault(Device& d, const std::string& what);

// ---- Memory and copies (memory.cpp)

// Called with the lock held: the copies the host now knows are done take
// effect on the host's side.
void settle();
// Every cudaMemcpy*: checks the copy, enqueues it, and waits for it where the
// runtime's call would.
cudaError_t copy2D(void* dst, std::size_t dpitch, const void* src, std::size_t spitch, std::size_t width,
                   std::size_t height, cudaMemcpyKind kind, cudaStream_t handle, bool async);
// Runs a discard: the range reads as never written.
void forget(Allocation& a, std::size_t offset, std::size_t bytes);

}  // namespace cudasim
