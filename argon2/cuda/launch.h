// The one place kernels are launched: under nvcc the triple-chevron launch;
// under the simulated runtime the same kernel, compiled as C++, handed to it
// with its arguments copied as a launch copies them. Returns the launch's
// error, as cudaGetLastError does after a launch.
//
// Also here: what only the simulated runtime needs to be told. `discard`
// declares a range's contents dead in stream order (a no-op on a card), so
// that a later read of it before a write is a fault there;
// ARGON2GPU_KERNEL_NAME names a kernel for the runtime's register table
// before its first launch.
#pragma once

#include <cuda_runtime_api.h>

#include <cstddef>
#include <tuple>
#include <type_traits>

namespace argon2::cuda {

struct LaunchShape {
    dim3 grid, block;
    std::size_t sharedBytes;
    cudaStream_t stream;
};

#if defined(ARGON2GPU_CUDA_SIM)

template <class... Params, class... Args>
cudaError_t launch(const char* name, void (*kernel)(Params...), const LaunchShape& s, Args&&... args) {
    struct Body : ::cudasim::KernelBody {
        void (*kernel)(Params...);
        std::tuple<std::decay_t<Params>...> args;
        Body(void (*k)(Params...), Args&&... a) : kernel(k), args(std::forward<Args>(a)...) {}
        void run() override { std::apply(kernel, args); }
    };
    return ::cudasim::launch(name, reinterpret_cast<const void*>(kernel), s.grid, s.block, s.sharedBytes, s.stream,
                             new Body(kernel, std::forward<Args>(args)...));
}

inline void discard(void* p, std::size_t bytes, cudaStream_t stream) { ::cudasim::declareDead(p, bytes, stream); }

#define ARGON2GPU_KERNEL_NAME(kernel) \
    [[maybe_unused]] const bool kernel##Named = ::cudasim::nameKernel(reinterpret_cast<const void*>(kernel), #kernel)

#else

template <class... Params, class... Args>
cudaError_t launch(const char*, void (*kernel)(Params...), const LaunchShape& s, Args&&... args) {
    kernel<<<s.grid, s.block, s.sharedBytes, s.stream>>>(std::forward<Args>(args)...);
    return cudaGetLastError();
}

inline void discard(void*, std::size_t, cudaStream_t) {}

#define ARGON2GPU_KERNEL_NAME(kernel) static_assert(true)

#endif

}  // namespace argon2::cuda
