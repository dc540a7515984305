// Stand-ins for the CUDA runtime calls: one device (the CPU), whose memory is
// the host's. Nothing runs asynchronously outside a processing unit, so
// there is nothing to wait for.
#include "argon2gpu/cuda/runtime.h"
#include "host_memory.h"

extern "C" {

cudaError_t cudaSetDevice(int device) { return device == 0 ? cudaSuccess : 101; }

cudaError_t cudaFree(void*) { return cudaSuccess; }

cudaError_t cudaMemGetInfo(std::size_t* free, std::size_t* total) {
    const argon2::host::MemoryInfo info = argon2::host::hostMemoryInfo();
    if (free) *free = info.available;
    if (total) *total = info.total;
    return cudaSuccess;
}

cudaError_t cudaDeviceSynchronize(void) { return cudaSuccess; }
}
