// The four runtime calls the miner makes besides the library's classes. The
// CUDA flavour takes them from the CUDA runtime (cuda-sim: from the simulated
// one); the host and OpenCL flavours provide stand-ins. Host: the CPU is
// device 0 and memory figures are the host's. OpenCL: the devices are the
// flavour's list, memory figures as far as OpenCL tells them, and on a lost
// device cudaSetDevice, cudaFree and cudaDeviceSynchronize fail.
#pragma once

#include <cstddef>

#if defined(ARGON2GPU_FLAVOUR_CUDA)
#include <cuda_runtime_api.h>
#else
using cudaError_t = int;
constexpr cudaError_t cudaSuccess = 0;
extern "C" {
cudaError_t cudaSetDevice(int device);
cudaError_t cudaFree(void* devPtr);
cudaError_t cudaMemGetInfo(std::size_t* free, std::size_t* total);
cudaError_t cudaDeviceSynchronize(void);
}
#endif
