// The thread group the fill kernel is written over: 32 lanes that each hold a
// few 64-bit words and exchange them with shuffles or through a scratch block
// of the warp's own. On the device a lane is a thread of a warp (registers,
// __shfl_sync, shared memory); on the host all 32 lanes run in lockstep as
// arrays, so the very same kernel source can be tested anywhere. Under the
// simulated CUDA runtime (ARGON2GPU_CUDA_SIM) the device code is compiled as
// C++, each thread a fiber, and its memory accesses are checked.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../common/index.h"

#if defined(ARGON2GPU_CUDA_SIM)
#include <cuda_runtime_api.h>
#endif

namespace argon2::kernel {

constexpr int kLanes = 32;

#if defined(__CUDACC__) || defined(ARGON2GPU_CUDA_SIM)

// The kernels' accesses to global and shared memory: plain ones under nvcc,
// seen by the simulated runtime's checks otherwise.
template <class T>
__device__ __forceinline__ T deviceRead(const T* p) {
#if defined(ARGON2GPU_CUDA_SIM)
    ::cudasim::access(p, sizeof(T), false, sizeof(T));
#endif
    return *p;
}
// A read through the read-only data path (__ldg): only of memory that no
// thread writes during the launch, since that path's cache does not see the
// launch's own stores.
template <class T>
__device__ __forceinline__ T deviceReadOnly(const T* p) {
#if defined(ARGON2GPU_CUDA_SIM)
    ::cudasim::accessReadOnly(p, sizeof(T));
    return *p;
#else
    return __ldg(p);
#endif
}
template <class T>
__device__ __forceinline__ void deviceWrite(T* p, T v) {
#if defined(ARGON2GPU_CUDA_SIM)
    ::cudasim::access(p, sizeof(T), true, sizeof(T));
#endif
    *p = v;
}
// A range that code shared with the host (the BLAKE2b of whole blocks) is
// about to read or write with plain accesses of 64-bit words.
__device__ __forceinline__ void deviceTouch([[maybe_unused]] const void* p, [[maybe_unused]] std::size_t bytes,
                                            [[maybe_unused]] bool write) {
#if defined(ARGON2GPU_CUDA_SIM)
    ::cudasim::access(p, bytes, write, sizeof(std::uint64_t));
#endif
}

// The block's dynamic shared memory as an array of `type` named `name`.
#if defined(ARGON2GPU_CUDA_SIM)
#define ARGON2GPU_DYNAMIC_SHARED(type, name) type* const name = static_cast<type*>(::cudasim::dynamicShared())
#else
#define ARGON2GPU_DYNAMIC_SHARED(type, name) extern __shared__ type name[]
#endif

struct DeviceWarp {
    using U64 = std::uint64_t;
    using U32 = std::uint32_t;
    using Bool = bool;
    static __device__ __forceinline__ U64 shfl(U64 v, U32 src) { return __shfl_sync(0xffffffffu, v, int(src)); }
    static __device__ __forceinline__ U64 select(Bool c, U64 a, U64 b) { return c ? a : b; }
    static __device__ __forceinline__ std::uint64_t uniform(U64 v) { return v; }
    static __device__ __forceinline__ U64 splat(std::uint64_t v) { return v; }
    static __device__ __forceinline__ U64 load(const std::uint64_t* p) { return deviceRead(p + (threadIdx.x & 31u)); }
    static __device__ __forceinline__ void store(std::uint64_t* p, U64 v) { deviceWrite(p + (threadIdx.x & 31u), v); }
    // A value every lane reads alike (a table entry).
    static __device__ __forceinline__ std::uint32_t read(const std::uint32_t* p) { return deviceRead(p); }
    // The warp's scratch block: each lane writes or reads the word it names.
    static __device__ __forceinline__ void scatter(std::uint64_t* s, U32 pos, U64 v) { deviceWrite(s + pos, v); }
    static __device__ __forceinline__ U64 gather(const std::uint64_t* s, U32 pos) { return deviceRead(s + pos); }
    // Orders the scratch accesses before it against those after it.
    static __device__ __forceinline__ void syncScratch() { __syncwarp(); }
    static __device__ __forceinline__ U64 mulLo(U64 a, U64 b) {
        return std::uint64_t(std::uint32_t(a)) * std::uint32_t(b);
    }
    static __device__ __forceinline__ U64 rotr(U64 x, int n) { return (x >> n) | (x << (64 - n)); }
    // A per-lane value computed from the lane's index.
    template <class F>
    static __device__ __forceinline__ U64 mapLane64(F f) { return f(threadIdx.x & 31u); }
    template <class F>
    static __device__ __forceinline__ U32 mapLane32(F f) { return f(threadIdx.x & 31u); }
};

#define ARGON2GPU_WARP __device__ __forceinline__

#else

// 32 values, one per lane, with the arithmetic applied lane by lane.
template <class T>
struct LaneArray {
    T v[kLanes];
};

#define ARGON2GPU_LANEWISE(op)                                                              \
    template <class T>                                                                      \
    inline LaneArray<T> operator op(const LaneArray<T>& a, const LaneArray<T>& b) {         \
        LaneArray<T> r;                                                                     \
        for (int l = 0; l < kLanes; ++l) r.v[l] = a.v[l] op b.v[l];                         \
        return r;                                                                           \
    }
ARGON2GPU_LANEWISE(+)
ARGON2GPU_LANEWISE(^)
ARGON2GPU_LANEWISE(&)
ARGON2GPU_LANEWISE(|)
#undef ARGON2GPU_LANEWISE

template <class T>
inline LaneArray<T> operator^(const LaneArray<T>& a, T b) {
    LaneArray<T> r;
    for (int l = 0; l < kLanes; ++l) r.v[l] = a.v[l] ^ b;
    return r;
}
template <class T>
inline LaneArray<T> operator&(const LaneArray<T>& a, T b) {
    LaneArray<T> r;
    for (int l = 0; l < kLanes; ++l) r.v[l] = a.v[l] & b;
    return r;
}
template <class T>
inline LaneArray<T> operator|(const LaneArray<T>& a, T b) {
    LaneArray<T> r;
    for (int l = 0; l < kLanes; ++l) r.v[l] = a.v[l] | b;
    return r;
}
template <class T>
inline LaneArray<T> operator+(const LaneArray<T>& a, T b) {
    LaneArray<T> r;
    for (int l = 0; l < kLanes; ++l) r.v[l] = a.v[l] + b;
    return r;
}
template <class T>
inline LaneArray<T> operator>>(const LaneArray<T>& a, int n) {
    LaneArray<T> r;
    for (int l = 0; l < kLanes; ++l) r.v[l] = a.v[l] >> n;
    return r;
}
template <class T>
inline LaneArray<bool> operator==(const LaneArray<T>& a, T b) {
    LaneArray<bool> r;
    for (int l = 0; l < kLanes; ++l) r.v[l] = a.v[l] == b;
    return r;
}
template <class T>
inline LaneArray<bool> operator<(const LaneArray<T>& a, T b) {
    LaneArray<bool> r;
    for (int l = 0; l < kLanes; ++l) r.v[l] = a.v[l] < b;
    return r;
}

struct HostWarp {
    using U64 = LaneArray<std::uint64_t>;
    using U32 = LaneArray<std::uint32_t>;
    using Bool = LaneArray<bool>;
    static U64 shfl(const U64& v, const U32& src) {
        U64 r;
        for (int l = 0; l < kLanes; ++l) r.v[l] = v.v[src.v[l] & 31u];
        return r;
    }
    static U64 select(const Bool& c, const U64& a, const U64& b) {
        U64 r;
        for (int l = 0; l < kLanes; ++l) r.v[l] = c.v[l] ? a.v[l] : b.v[l];
        return r;
    }
    // A value every lane holds alike.
    static std::uint64_t uniform(const U64& v) { return v.v[0]; }
    static U64 splat(std::uint64_t x) {
        U64 r;
        for (int l = 0; l < kLanes; ++l) r.v[l] = x;
        return r;
    }
    static U64 load(const std::uint64_t* p) {
        U64 r;
        for (int l = 0; l < kLanes; ++l) r.v[l] = p[l];
        return r;
    }
    static void store(std::uint64_t* p, const U64& x) {
        for (int l = 0; l < kLanes; ++l) p[l] = x.v[l];
    }
    static std::uint32_t read(const std::uint32_t* p) { return *p; }
    static void scatter(std::uint64_t* s, const U32& pos, const U64& x) {
        for (int l = 0; l < kLanes; ++l) s[pos.v[l]] = x.v[l];
    }
    static U64 gather(const std::uint64_t* s, const U32& pos) {
        U64 r;
        for (int l = 0; l < kLanes; ++l) r.v[l] = s[pos.v[l]];
        return r;
    }
    static void syncScratch() {}  // lockstep: every access is complete before the next
    static U64 mulLo(const U64& a, const U64& b) {
        U64 r;
        for (int l = 0; l < kLanes; ++l) r.v[l] = std::uint64_t(std::uint32_t(a.v[l])) * std::uint32_t(b.v[l]);
        return r;
    }
    static U64 rotr(const U64& x, int n) {
        U64 r;
        for (int l = 0; l < kLanes; ++l) r.v[l] = (x.v[l] >> n) | (x.v[l] << (64 - n));
        return r;
    }
    template <class F>
    static U64 mapLane64(F f) {
        U64 r;
        for (int l = 0; l < kLanes; ++l) r.v[l] = f(std::uint32_t(l));
        return r;
    }
    template <class F>
    static U32 mapLane32(F f) {
        U32 r;
        for (int l = 0; l < kLanes; ++l) r.v[l] = f(std::uint32_t(l));
        return r;
    }
};

#define ARGON2GPU_WARP inline

#endif

}  // namespace argon2::kernel
