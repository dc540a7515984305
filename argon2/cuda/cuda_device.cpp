// The CUDA flavour's device list and program context.
#include "argon2gpu/cuda/device.h"
#include "argon2gpu/cuda/program_context.h"
#include "cuda_check.h"

namespace argon2::cuda {

std::string Device::getName() const {
    cudaDeviceProp prop{};
    if (cudaGetDeviceProperties(&prop, index_) == cudaSuccess) return prop.name;
    cudaGetLastError();
    return "CUDA device " + std::to_string(index_);
}

GlobalContext::GlobalContext() {
    int count = 0;
    // No driver, no device, a driver too old: all mean an empty list.
    if (cudaGetDeviceCount(&count) != cudaSuccess) {
        cudaGetLastError();
        count = 0;
    }
    for (int i = 0; i < count; ++i) devices_.emplace_back(i);
}

struct ProgramContext::Impl {
    int device;
};

// The kernels are compiled into the library for every supported
// architecture (and as PTX for newer ones); preparing them for a device means
// making its context, so that a device that cannot run them says so here.
ProgramContext::ProgramContext(const GlobalContext*, const std::vector<Device>& devices, Type type, Version version)
    : type_(type), version_(version), impl_(new Impl{devices.empty() ? 0 : devices.front().getDeviceIndex()}) {
    check(cudaSetDevice(impl_->device), "cudaSetDevice");
    // Waits on the device block the thread instead of spinning, so the core
    // stays free for the node client and the other devices' workers. Where
    // the context already exists this may be refused; the units' events
    // block anyway.
    if (cudaSetDeviceFlags(cudaDeviceScheduleBlockingSync) != cudaSuccess) cudaGetLastError();
    check(cudaFree(nullptr), "creating the device context");
}

ProgramContext::~ProgramContext() = default;

const char* ProgramContext::getImplementationName() const { return "cuda"; }

}  // namespace argon2::cuda

namespace argon2::cuda_detail {
int programDevice(const cuda::ProgramContext& program) { return program.impl().device; }
}  // namespace argon2::cuda_detail
