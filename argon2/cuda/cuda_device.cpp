// The CUDA flavour's device list and program context.
#include "argon2gpu/cuda/device.h"
#include "argon2gpu/cuda/program_context.h"
#include "cuda_check.h"

namespace argon2::cuda_detail {
// From the kernels' file: whether the device has an image of the fill kernel
// it can run, and how many of its blocks fit on one multiprocessor.
cudaError_t fillKernelImage(int device);
int fillKernelBlocksPerSm(int device, std::uint32_t lanes);
}  // namespace argon2::cuda_detail

namespace argon2::cuda {

std::string Device::getName() const {
    cudaDeviceProp prop{};
    if (cudaGetDeviceProperties(&prop, index_) == cudaSuccess) return prop.name;
    cudaGetLastError();
    return "CUDA device " + std::to_string(index_);
}

std::string Device::getPciBusId() const {
    char id[32] = {};
    if (cudaDeviceGetPCIBusId(id, int(sizeof id), index_) == cudaSuccess) return id;
    cudaGetLastError();
    return "";
}

std::string Device::getDriverVersion() const {
    int driver = 0, runtime = 0;
    if (cudaDriverGetVersion(&driver) != cudaSuccess) cudaGetLastError();
    if (cudaRuntimeGetVersion(&runtime) != cudaSuccess) cudaGetLastError();
    return "driver " + std::to_string(driver) + ", runtime " + std::to_string(runtime);
}

std::string Device::getSupportProblem() const {
    const cudaError_t image = cuda_detail::fillKernelImage(index_);
    if (image == cudaSuccess) return "";
    cudaGetLastError();
    cudaDeviceProp prop{};
    std::string capability = "unknown";
    if (cudaGetDeviceProperties(&prop, index_) == cudaSuccess)
        capability = std::to_string(prop.major) + "." + std::to_string(prop.minor);
    cudaGetLastError();
    return getName() + ", compute capability " + capability + ": " + cudaGetErrorString(image) +
           " (this build has kernels for " ARGON2GPU_CUDA_ARCHITECTURES ")";
}

double Device::getPeakBandwidth() const {
    int clockKHz = 0, busBits = 0;
    if (cudaDeviceGetAttribute(&clockKHz, cudaDevAttrMemoryClockRate, index_) != cudaSuccess ||
        cudaDeviceGetAttribute(&busBits, cudaDevAttrGlobalMemoryBusWidth, index_) != cudaSuccess) {
        cudaGetLastError();
        return 0;
    }
    // Double data rate: two transfers per clock over the whole bus.
    return 2.0 * clockKHz * 1000.0 * (busBits / 8.0);
}

std::size_t Device::getResidentHashes(std::uint32_t lanes) const {
    int sms = 0;
    if (cudaDeviceGetAttribute(&sms, cudaDevAttrMultiProcessorCount, index_) != cudaSuccess) {
        cudaGetLastError();
        return 0;
    }
    return std::size_t(sms) * std::size_t(cuda_detail::fillKernelBlocksPerSm(index_, lanes));
}

GlobalContext::GlobalContext() {
    int count = 0;
    // No driver, no device, a driver too old: all mean an empty list; only
    // the last is something the user can mend, so only it is told.
    const cudaError_t result = cudaGetDeviceCount(&count);
    if (result != cudaSuccess) {
        if (result == cudaErrorInsufficientDriver) {
            int driver = 0;
            cudaDriverGetVersion(&driver);
            if (driver != 0) problem_ = cudaGetErrorString(result);  // 0: no driver at all
        }
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

bool ProgramContext::selectImplementation(const std::string& name) { return name == getImplementationName(); }

}  // namespace argon2::cuda

namespace argon2::cuda_detail {
int programDevice(const cuda::ProgramContext& program) { return program.impl().device; }
}  // namespace argon2::cuda_detail
