// CUDA runtime results as exceptions.
#pragma once

#include <cuda_runtime_api.h>

#include <stdexcept>
#include <string>

namespace argon2::cuda {

// Throws when `result` is an error. A memory shortage reads "out of memory",
// which callers look for.
inline void check(cudaError_t result, const char* what) {
    if (result == cudaSuccess) return;
    cudaGetLastError();  // clear it, so that later calls do not see it again
    throw std::runtime_error(std::string(what) + ": " + cudaGetErrorString(result));
}

}  // namespace argon2::cuda
