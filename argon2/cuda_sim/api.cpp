// The entry points of the simulated runtime: the CUDA runtime calls the
// flavour makes (errors, devices, memory, copies, streams, events, kernel
// attributes and occupancy) and the runtime's own (launches, discards, test
// hooks), each checking its arguments and the device's sticky error, then
// handing the work to cards.cpp, memory.cpp, streams.cpp and hazards.cpp.
// Also the runtime object itself, and each host thread's device and last
// error.
#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host.h"
#include "../common/test_hang.h"
#include "undefined.h"

namespace cudasim {

Runtime& rt() {
    static Runtime* r = new Runtime;  // never destroyed: stream threads may outlive static destruction
    return *r;
}

thread_local int tlDevice = 0;
thread_local cudaError_t tlLastError = cudaSuccess;
thread_local Clock tlHostClock;

cudaError_t fail(cudaError_t e) {
    if (e != cudaSuccess) tlLastError = e;
    return e;
}

Device* currentDevice() {
    Runtime& r = rt();
    if (tlDevice < 0 || std::size_t(tlDevice) >= r.devices.size()) return nullptr;
    return r.devices[std::size_t(tlDevice)].get();
}

std::uint64_t seed() { return rt().seed; }

bool blockSkipped(const LaunchInfo& l, unsigned x) {
    if (l.sampleFirst == 0 && l.sampleLast == 0) return false;
    return x >= l.sampleFirst && x + l.sampleLast < l.grid.x;
}

void sampleBlocks(unsigned first, unsigned last) {
    rt().sampleFirst = first;
    rt().sampleLast = last;
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
        auto footprint = std::make_shared<const Footprint>(runRecorded(info));
        finish(d, Record{std::string("kernel ") + name, streamId, info.seq, clock, std::move(footprint)});
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

// Called with the lock held: the stream a call on an event names, on a
// device without a sticky error; else the error the call returns.
cudaError_t streamAndEvent(cudaStream_t stream, cudaEvent_t event, std::shared_ptr<Stream>& s) {
    Device* d = currentDevice();
    if (!d) return fail(cudaErrorInvalidDevice);
    if (d->sticky) return d->sticky;
    s = resolve(stream, d);
    if (!s || !rt().events.count(event)) return fail(cudaErrorInvalidResourceHandle);
    return cudaSuccess;
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
    argon2::test_hang::waitPoint();
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
    for (const auto& s : streamsOf(*d)) hostWait(lock, s, s->enqueued, s->clock);
    return d->sticky;
}

cudaError_t cudaDeviceReset(void) {
    Runtime& r = rt();
    std::unique_lock lock(r.m);
    Device* d = currentDevice();
    if (!d) return fail(cudaErrorInvalidDevice);
    const std::vector<std::shared_ptr<Stream>> all = streamsOf(*d);
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
    argon2::test_hang::waitPoint();
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
    std::lock_guard lock(rt().m);
    std::shared_ptr<Stream> s;
    if (const cudaError_t e = streamAndEvent(stream, event, s)) return e;
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
    std::lock_guard lock(rt().m);
    std::shared_ptr<Stream> s;
    if (const cudaError_t e = streamAndEvent(stream, event, s)) return e;
    event->seq = enqueue(s, nullptr);
    event->stream = s;
    event->clock = s->clock;
    return cudaSuccess;
}

cudaError_t cudaEventSynchronize(cudaEvent_t event) {
    argon2::test_hang::waitPoint();
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
    hostLearns(*event->stream, event->seq, event->clock);
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
