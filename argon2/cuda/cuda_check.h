// CUDA runtime results as exceptions.
#pragma once

#include <cuda_runtime_api.h>

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <string>

#include "argon2gpu/cuda/device.h"

namespace argon2::cuda {

// Errors after which the context is corrupt: the runtime returns them from
// every later call, so retrying is pointless. The runtime's own list of
// "sticky" errors; tests walk every code against it.
inline constexpr cudaError_t kContextLostErrors[] = {
    cudaErrorECCUncorrectable,  cudaErrorIllegalAddress,     cudaErrorLaunchTimeout,
    cudaErrorContextIsDestroyed, cudaErrorAssert,            cudaErrorHardwareStackError,
    cudaErrorIllegalInstruction, cudaErrorMisalignedAddress, cudaErrorInvalidAddressSpace,
    cudaErrorInvalidPc,          cudaErrorLaunchFailure,
};

inline bool contextLost(cudaError_t result) {
    return std::find(std::begin(kContextLostErrors), std::end(kContextLostErrors), result) !=
           std::end(kContextLostErrors);
}

// Throws when `result` is an error: DeviceLost when the context is gone,
// else std::runtime_error. A memory shortage reads "out of memory", which
// callers look for.
inline void check(cudaError_t result, const char* what) {
    if (result == cudaSuccess) return;
    cudaGetLastError();  // clear it, so that later calls do not see it again
    const std::string message = std::string(what) + ": " + cudaGetErrorString(result);
    if (contextLost(result)) throw DeviceLost(message);
    throw std::runtime_error(message);
}

}  // namespace argon2::cuda
