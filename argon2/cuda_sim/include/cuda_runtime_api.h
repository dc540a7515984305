// A simulated CUDA runtime: the subset of the runtime API that the CUDA
// flavour calls, with the semantics the runtime documents, on a machine
// without a GPU. Device memory is host memory with a budget; every stream runs
// its work on a thread of its own, in the runtime's order and no stronger
// one; every CUDA thread of a kernel is a fiber, warps of 32, with shuffles
// and syncs as real rendezvous points. Kernels are the same source compiled
// as C++: the device-side names below (threadIdx, __shfl_sync, __syncwarp,
// __syncthreads, ...) stand in for nvcc's.
//
// Checks made while kernels run (each fails the launch: the device reports a
// sticky error whose text says what was seen): a shared-memory word written
// by one thread and accessed by another with no sync between them; a global
// access outside every allocation; a read of device memory no copy or kernel
// wrote since the range was last declared dead (cudasim::declareDead); a read
// of bytes that a copy on another stream may still be writing; a read of
// shared memory nothing wrote in the block; a 32-byte sector of global memory
// that one warp writes and another warp of the same block touches with no
// __syncthreads between, or another block of the grid.
//
// Checks between operations: any two on different streams that nothing
// orders (no event wait, no legacy-stream rule, no host sync between the
// call of one and the other) where one writes device memory the other reads
// or writes, kernels and copies alike, fail the later one to finish. Copies
// take effect at the latest moment the runtime allows: a copy to the host
// fills its destination only when the host synchronises with it (an event,
// the stream or the device), and the destination holds poison (0xdb bytes)
// until then (and where a later copy the host has not synchronised with also
// writes, since either may land last); a copy from pinned memory reads it
// when its stream reaches it, and a host write to that memory before the
// host synchronises with the copy is a fault. A launch needing more registers than a block has (the
// flavour's kernels' counts come from ptxas, per architecture), or more
// threads than the kernel's __launch_bounds__ (kept beside the registers, as
// the compiled image keeps them on a card), fails with
// cudaErrorLaunchOutOfResources. An access at an address that is not a
// multiple of its size fails with cudaErrorMisalignedAddress; a read through
// the read-only data path (__ldg) of a sector written earlier in the same
// launch is a fault, since that path's cache is not kept coherent with
// stores. cudaMemset returns before it runs, as on a card.
//
// Two false alarms are known and harmless: shuffles or __syncwarps with
// disjoint masks in one warp at the same time are reported as rendezvous
// points that cannot complete (the flavour never does that), and cudaFree
// does not wait for work still using the memory (the flavour frees only
// after synchronising).
//
// Environment: QUORLEN_CUDA_SIM_DEVICES (comma-separated profiles: t4
// (sm_75), rtx3060 (sm_86), rtx4090 (sm_89), h100 (sm_90, 80 GB); default
// rtx3060), QUORLEN_CUDA_SIM_MEMORY_MIB (the memory budget per device;
// default the card's), QUORLEN_CUDA_SIM_SEED (the order in which a warp's
// threads run between rendezvous points, and the warps of a block; default
// 1). Device memory is reserved, not committed: only the bytes touched cost
// host memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

enum cudaError {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInitializationError = 3,
    cudaErrorInvalidConfiguration = 9,
    cudaErrorInvalidPitchValue = 12,
    cudaErrorInvalidMemcpyDirection = 21,
    cudaErrorInsufficientDriver = 35,
    cudaErrorInvalidDeviceFunction = 98,
    cudaErrorNoDevice = 100,
    cudaErrorInvalidDevice = 101,
    cudaErrorNoKernelImageForDevice = 209,
    cudaErrorECCUncorrectable = 214,
    cudaErrorInvalidResourceHandle = 400,
    cudaErrorNotReady = 600,
    cudaErrorIllegalAddress = 700,
    cudaErrorLaunchOutOfResources = 701,
    cudaErrorLaunchTimeout = 702,
    cudaErrorContextIsDestroyed = 709,
    cudaErrorAssert = 710,
    cudaErrorHardwareStackError = 714,
    cudaErrorIllegalInstruction = 715,
    cudaErrorMisalignedAddress = 716,
    cudaErrorInvalidAddressSpace = 717,
    cudaErrorInvalidPc = 718,
    cudaErrorLaunchFailure = 719,
};
typedef enum cudaError cudaError_t;

enum cudaMemcpyKind {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3,
    cudaMemcpyDefault = 4,
};

enum cudaDeviceAttr {
    cudaDevAttrMaxThreadsPerBlock = 1,
    cudaDevAttrMaxSharedMemoryPerBlock = 8,
    cudaDevAttrWarpSize = 10,
    cudaDevAttrClockRate = 13,
    cudaDevAttrMultiProcessorCount = 16,
    cudaDevAttrMemoryClockRate = 36,
    cudaDevAttrGlobalMemoryBusWidth = 37,
    cudaDevAttrMaxThreadsPerMultiProcessor = 39,
    cudaDevAttrComputeCapabilityMajor = 75,
    cudaDevAttrComputeCapabilityMinor = 76,
    cudaDevAttrMaxSharedMemoryPerMultiprocessor = 81,
    cudaDevAttrMaxRegistersPerMultiprocessor = 82,
    cudaDevAttrMaxBlocksPerMultiprocessor = 106,
};

constexpr unsigned cudaStreamDefault = 0x0;
constexpr unsigned cudaStreamNonBlocking = 0x1;
constexpr unsigned cudaEventDefault = 0x0;
constexpr unsigned cudaEventBlockingSync = 0x1;
constexpr unsigned cudaEventDisableTiming = 0x2;
constexpr unsigned cudaDeviceScheduleAuto = 0x0;
constexpr unsigned cudaDeviceScheduleBlockingSync = 0x4;

struct uint3 {
    unsigned x, y, z;
};

struct dim3 {
    unsigned x, y, z;
    constexpr dim3(unsigned vx = 1, unsigned vy = 1, unsigned vz = 1) : x(vx), y(vy), z(vz) {}
};

struct cudaDeviceProp {
    char name[256];
    std::size_t totalGlobalMem;
    std::size_t sharedMemPerBlock;
    int regsPerBlock;
    int warpSize;
    int maxThreadsPerBlock;
    int maxThreadsDim[3];
    int maxGridSize[3];
    int clockRate;
    int major;
    int minor;
    int multiProcessorCount;
    int memoryClockRate;
    int memoryBusWidth;
    int maxThreadsPerMultiProcessor;
    std::size_t sharedMemPerMultiprocessor;
    int regsPerMultiprocessor;
    std::size_t sharedMemPerBlockOptin;
    std::size_t reservedSharedMemPerBlock;
    int maxBlocksPerMultiProcessor;
};

struct cudaFuncAttributes {
    std::size_t sharedSizeBytes;
    std::size_t constSizeBytes;
    std::size_t localSizeBytes;
    int maxThreadsPerBlock;
    int numRegs;
    int ptxVersion;
    int binaryVersion;
    int maxDynamicSharedSizeBytes;
};

namespace cudasim {
struct Stream;
struct Event;
}  // namespace cudasim
typedef cudasim::Stream* cudaStream_t;
typedef cudasim::Event* cudaEvent_t;

extern "C" {
const char* cudaGetErrorString(cudaError_t error);
const char* cudaGetErrorName(cudaError_t error);
cudaError_t cudaGetLastError(void);
cudaError_t cudaPeekAtLastError(void);
cudaError_t cudaDriverGetVersion(int* version);
cudaError_t cudaRuntimeGetVersion(int* version);
cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDevice(int* device);
cudaError_t cudaSetDeviceFlags(unsigned flags);
cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device);
cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attr, int device);
// "0000:BB:00.0", the simulated cards sitting on buses 1, 2, ... in index order.
cudaError_t cudaDeviceGetPCIBusId(char* pciBusId, int len, int device);
cudaError_t cudaDeviceSynchronize(void);
cudaError_t cudaDeviceReset(void);
cudaError_t cudaMemGetInfo(std::size_t* free, std::size_t* total);
cudaError_t cudaMalloc(void** devPtr, std::size_t size);
cudaError_t cudaFree(void* devPtr);
cudaError_t cudaMallocHost(void** ptr, std::size_t size);
cudaError_t cudaFreeHost(void* ptr);
cudaError_t cudaMemset(void* devPtr, int value, std::size_t count);
cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind);
cudaError_t cudaMemcpyAsync(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind, cudaStream_t stream);
cudaError_t cudaMemcpy2DAsync(void* dst, std::size_t dpitch, const void* src, std::size_t spitch, std::size_t width,
                              std::size_t height, cudaMemcpyKind kind, cudaStream_t stream);
cudaError_t cudaStreamCreate(cudaStream_t* stream);
cudaError_t cudaStreamCreateWithFlags(cudaStream_t* stream, unsigned flags);
cudaError_t cudaStreamDestroy(cudaStream_t stream);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);
cudaError_t cudaStreamWaitEvent(cudaStream_t stream, cudaEvent_t event, unsigned flags);
cudaError_t cudaEventCreate(cudaEvent_t* event);
cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned flags);
cudaError_t cudaEventDestroy(cudaEvent_t event);
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream);
cudaError_t cudaEventSynchronize(cudaEvent_t event);
cudaError_t cudaEventQuery(cudaEvent_t event);
}

// The runtime's C++ conveniences.
template <class T>
cudaError_t cudaMalloc(T** devPtr, std::size_t size) {
    return cudaMalloc(reinterpret_cast<void**>(devPtr), size);
}
template <class T>
cudaError_t cudaMallocHost(T** ptr, std::size_t size) {
    return cudaMallocHost(reinterpret_cast<void**>(ptr), size);
}

// Kernels: functions are identified by address.
cudaError_t cudasimFuncGetAttributes(cudaFuncAttributes* attr, const void* func);
cudaError_t cudasimOccupancy(int* blocks, const void* func, int blockSize, std::size_t dynamicSharedBytes);

template <class F>
cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attr, F* func) {
    return cudasimFuncGetAttributes(attr, reinterpret_cast<const void*>(func));
}
template <class F>
cudaError_t cudaOccupancyMaxActiveBlocksPerMultiprocessor(int* blocks, F* func, int blockSize,
                                                          std::size_t dynamicSharedBytes) {
    return cudasimOccupancy(blocks, reinterpret_cast<const void*>(func), blockSize, dynamicSharedBytes);
}

namespace cudasim {

// The launch itself: `body` runs once per CUDA thread, as a fiber.
struct KernelBody {
    virtual ~KernelBody() = default;
    virtual void run() = 0;
};
cudaError_t launch(const char* name, const void* func, dim3 grid, dim3 block, std::size_t sharedBytes,
                   cudaStream_t stream, KernelBody* body);  // takes ownership

// Device side: the running thread's coordinates, rendezvous and checked
// accesses (to global or shared memory, told apart by address).
uint3 threadIndex();
uint3 blockIndex();
dim3 blockDimension();
dim3 gridDimension();
void* dynamicShared();
std::uint64_t shuffle(unsigned mask, std::uint64_t value, int srcLane, int width);
void syncWarp(unsigned mask);
void syncThreads();
// `alignment`: what the address must be a multiple of (the size of the
// words the access moves).
void access(const void* p, std::size_t bytes, bool write, std::size_t alignment = 1);
// A read through the read-only data path (__ldg).
void accessReadOnly(const void* p, std::size_t bytes);

// The text of the last check that failed a launch (empty when none did since
// the last cudaDeviceReset).
const char* lastFault();

// Global-memory traffic per kernel (by name) since the last resetTraffic():
// a warp-wide access is the same access of every lane of a warp between two
// rendezvous points, and it moves each 32-byte sector it touches once.
struct KernelTraffic {
    std::string kernel;
    std::uint64_t launches = 0, blocks = 0;
    std::uint64_t bytesRead = 0, bytesWritten = 0;      // as the lanes asked
    std::uint64_t sectorsRead = 0, sectorsWritten = 0;  // as warps move them
};
std::vector<KernelTraffic> traffic();
void resetTraffic();

// Declares the contents of [p, p + bytes) dead, in the stream's order: a
// kernel's read there of bytes nothing wrote after is a fault, as a stale
// read from an earlier round is on a card. (No counterpart on a card, where
// the program simply does nothing.)
cudaError_t declareDead(void* p, std::size_t bytes, cudaStream_t stream);

// Names a kernel for its registers: the flavour's kernels have ptxas's count
// per architecture; any other name has `registers` (default 32).
bool nameKernel(const void* func, const char* name, int registers = 0);
// The most threads a block of the named kernel may have, as its
// __launch_bounds__ say: the flavour's kernels have the table's; any other
// name 1024, or what this sets.
void boundKernel(const char* name, int maxThreads);

// Sparse grids: grids launched from now on run only their first `first` and
// last `last` blocks along x (0 and 0: every block). With the memory
// reserved but not committed, a batch of many large hashes runs in the time
// of a few.
void sampleBlocks(unsigned first, unsigned last);

}  // namespace cudasim

#define __global__
#define __device__
#define __host__
#define __forceinline__ inline
#define __launch_bounds__(...)
#define threadIdx (::cudasim::threadIndex())
#define blockIdx (::cudasim::blockIndex())
#define blockDim (::cudasim::blockDimension())
#define gridDim (::cudasim::gridDimension())

template <class T>
inline T __shfl_sync(unsigned mask, T value, int srcLane, int width = 32) {
    static_assert(sizeof(T) <= 8 && std::is_trivially_copyable_v<T>, "shuffles move up to 64 bits");
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof(T));
    bits = ::cudasim::shuffle(mask, bits, srcLane, width);
    std::memcpy(&value, &bits, sizeof(T));
    return value;
}
inline void __syncwarp(unsigned mask = 0xffffffffu) { ::cudasim::syncWarp(mask); }
inline void __syncthreads() { ::cudasim::syncThreads(); }
