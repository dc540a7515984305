// Enumeration, device state, error mapping, and the four runtime calls the
// miner makes, over OpenCL.
#include "cl_runtime.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "../common/blake2b.h"
#include "../host/host_memory.h"
#include "argon2gpu/cuda/device.h"
#include "argon2gpu/cuda/runtime.h"

namespace argon2::opencl {
namespace {

// AMD's free-memory query (cl_amd_device_attribute_query): KiB free in all
// and in the largest block.
constexpr cl_device_info kFreeMemoryAmd = 0x4039;

template <class T>
T deviceValue(cl_device_id d, cl_device_info what) {
    T v{};
    if (clGetDeviceInfo(d, what, sizeof v, &v, nullptr) != CL_SUCCESS) return T{};
    return v;
}

std::string deviceText(cl_device_id d, cl_device_info what) {
    std::size_t size = 0;
    if (clGetDeviceInfo(d, what, 0, nullptr, &size) != CL_SUCCESS || size == 0) return "";
    std::string s(size, '\0');
    if (clGetDeviceInfo(d, what, size, s.data(), nullptr) != CL_SUCCESS) return "";
    s.resize(s.find('\0') == std::string::npos ? s.size() : s.find('\0'));
    return s;
}

std::string platformText(cl_platform_id p, cl_platform_info what) {
    std::size_t size = 0;
    if (clGetPlatformInfo(p, what, 0, nullptr, &size) != CL_SUCCESS || size == 0) return "";
    std::string s(size, '\0');
    if (clGetPlatformInfo(p, what, size, s.data(), nullptr) != CL_SUCCESS) return "";
    s.resize(s.find('\0') == std::string::npos ? s.size() : s.find('\0'));
    return s;
}

thread_local int currentDevice = 0;

}  // namespace

bool ClDevice::hasExtension(const std::string& ext) const {
    std::istringstream words(extensions);
    for (std::string w; words >> w;)
        if (w == ext) return true;
    return false;
}

ClRuntime& ClRuntime::instance() {
    static ClRuntime runtime;
    return runtime;
}

ClRuntime::ClRuntime() {
    cl_uint count = 0;
    const cl_int result = clGetPlatformIDs(0, nullptr, &count);
    if (result != CL_SUCCESS || count == 0) {
        // -1001: the ICD loader found no driver at all.
        problem_ = "no OpenCL platform is installed (clGetPlatformIDs: " + std::string(errorName(result)) +
                   "); install the GPU's OpenCL driver";
        count = 0;
    }
    std::vector<cl_platform_id> platforms(count);
    if (count) clGetPlatformIDs(count, platforms.data(), nullptr);
    std::vector<ClDevice> gpus, cpus;
    for (cl_platform_id p : platforms) {
        cl_uint n = 0;
        if (clGetDeviceIDs(p, CL_DEVICE_TYPE_ALL, 0, nullptr, &n) != CL_SUCCESS || n == 0) continue;
        std::vector<cl_device_id> ids(n);
        clGetDeviceIDs(p, CL_DEVICE_TYPE_ALL, n, ids.data(), nullptr);
        for (cl_device_id id : ids) {
            ClDevice d{p, id, deviceValue<cl_device_type>(id, CL_DEVICE_TYPE), deviceText(id, CL_DEVICE_NAME),
                       deviceText(id, CL_DEVICE_VENDOR), platformText(p, CL_PLATFORM_NAME),
                       platformText(p, CL_PLATFORM_VERSION), deviceText(id, CL_DEVICE_VERSION),
                       deviceText(id, CL_DRIVER_VERSION), deviceText(id, CL_DEVICE_EXTENSIONS),
                       deviceText(id, CL_DEVICE_OPENCL_C_VERSION)};
            d.globalMemory = deviceValue<cl_ulong>(id, CL_DEVICE_GLOBAL_MEM_SIZE);
            d.maxAllocation = deviceValue<cl_ulong>(id, CL_DEVICE_MAX_MEM_ALLOC_SIZE);
            d.localMemory = deviceValue<cl_ulong>(id, CL_DEVICE_LOCAL_MEM_SIZE);
            d.computeUnits = deviceValue<cl_uint>(id, CL_DEVICE_MAX_COMPUTE_UNITS);
            d.maxWorkGroup = deviceValue<std::size_t>(id, CL_DEVICE_MAX_WORK_GROUP_SIZE);
            // The kernel needs 64-bit integers (every device has them),
            // a compiler and room for one group of 32 work-items.
            if (!deviceValue<cl_bool>(id, CL_DEVICE_AVAILABLE) || !deviceValue<cl_bool>(id, CL_DEVICE_COMPILER_AVAILABLE) ||
                d.maxWorkGroup < 32 || d.maxAllocation < (1u << 20))
                continue;
            (d.isCpu() ? cpus : gpus).push_back(std::move(d));
        }
    }
    devices_ = gpus.empty() ? std::move(cpus) : std::move(gpus);
    lost_ = std::make_unique<std::atomic<bool>[]>(devices_.size());
    held_ = std::make_unique<std::atomic<long long>[]>(devices_.size());
    verified_.resize(devices_.size() * 3);
    reported_ = std::make_unique<std::atomic<bool>[]>(devices_.size());
}

namespace {
std::string digestOf(const std::vector<unsigned char>& binary) {
    std::string digest(32, '\0');
    detail::Blake2b h(digest.size());
    h.update(binary.data(), binary.size());
    h.final(digest.data());
    return digest;
}
}  // namespace

bool ClRuntime::verified(int index, int path, const std::vector<unsigned char>& binary) const {
    if (index < 0 || std::size_t(index) >= devices_.size() || path < 0 || path > 2 || binary.empty()) return false;
    const std::string digest = digestOf(binary);
    const std::lock_guard<std::mutex> lock(verifiedMutex_);
    return verified_[std::size_t(index) * 3 + std::size_t(path)] == digest;
}

void ClRuntime::markVerified(int index, int path, const std::vector<unsigned char>& binary) {
    if (index < 0 || std::size_t(index) >= devices_.size() || path < 0 || path > 2 || binary.empty()) return;
    const std::string digest = digestOf(binary);
    const std::lock_guard<std::mutex> lock(verifiedMutex_);
    verified_[std::size_t(index) * 3 + std::size_t(path)] = digest;
}

std::string ClRuntime::refusal(const std::string& key) const {
    const std::lock_guard<std::mutex> lock(verifiedMutex_);
    const auto at = refusals_.find(key);
    return at == refusals_.end() ? "" : at->second;
}

void ClRuntime::setRefusal(const std::string& key, const std::string& why) {
    const std::lock_guard<std::mutex> lock(verifiedMutex_);
    if (why.empty())
        refusals_.erase(key);
    else
        refusals_[key] = why;
}

bool ClRuntime::firstReport(int index) {
    return index >= 0 && std::size_t(index) < devices_.size() && !reported_[std::size_t(index)].exchange(true);
}

bool ClRuntime::lost(int index) const {
    return index >= 0 && std::size_t(index) < devices_.size() && lost_[std::size_t(index)].load();
}

void ClRuntime::markLost(int index) {
    if (index >= 0 && std::size_t(index) < devices_.size()) lost_[std::size_t(index)].store(true);
}

void ClRuntime::hold(int index, long long bytes) {
    if (index >= 0 && std::size_t(index) < devices_.size()) held_[std::size_t(index)] += bytes;
}

std::size_t ClRuntime::held(int index) const {
    if (index < 0 || std::size_t(index) >= devices_.size()) return 0;
    return std::size_t(std::max(0LL, held_[std::size_t(index)].load()));
}

bool ClRuntime::memoryInfo(int index, std::size_t& free, std::size_t& total) const {
    if (index < 0 || std::size_t(index) >= devices_.size()) return false;
    const ClDevice& d = devices_[std::size_t(index)];
    if (d.isCpu()) {
        // A CPU device's memory is the host's, shared with everything else.
        const host::MemoryInfo mem = host::hostMemoryInfo();
        free = mem.available;
        total = mem.total;
        return true;
    }
    total = std::size_t(d.globalMemory);
    std::size_t amd[2] = {0, 0};
    if (d.hasExtension("cl_amd_device_attribute_query") &&
        clGetDeviceInfo(d.id, kFreeMemoryAmd, sizeof amd, amd, nullptr) == CL_SUCCESS && amd[0] > 0) {
        free = std::min(total, amd[0] * std::size_t(1024));
        return true;
    }
    // Other drivers do not say: what our own units do not hold.
    free = total - std::min(total, held(index));
    return true;
}

const char* errorName(cl_int code) {
    switch (code) {
#define NAME(c) \
    case c: return #c;
        NAME(CL_SUCCESS)
        NAME(CL_DEVICE_NOT_FOUND)
        NAME(CL_DEVICE_NOT_AVAILABLE)
        NAME(CL_COMPILER_NOT_AVAILABLE)
        NAME(CL_MEM_OBJECT_ALLOCATION_FAILURE)
        NAME(CL_OUT_OF_RESOURCES)
        NAME(CL_OUT_OF_HOST_MEMORY)
        NAME(CL_BUILD_PROGRAM_FAILURE)
        NAME(CL_EXEC_STATUS_ERROR_FOR_EVENTS_IN_WAIT_LIST)
        NAME(CL_INVALID_VALUE)
        NAME(CL_INVALID_DEVICE)
        NAME(CL_INVALID_BINARY)
        NAME(CL_INVALID_BUILD_OPTIONS)
        NAME(CL_INVALID_PROGRAM_EXECUTABLE)
        NAME(CL_INVALID_KERNEL_ARGS)
        NAME(CL_INVALID_WORK_GROUP_SIZE)
        NAME(CL_INVALID_BUFFER_SIZE)
        NAME(CL_INVALID_COMMAND_QUEUE)
        NAME(CL_INVALID_CONTEXT)
        NAME(CL_INVALID_MEM_OBJECT)
        NAME(CL_INVALID_EVENT)
        NAME(CL_INVALID_OPERATION)
        NAME(CL_INVALID_ARG_SIZE)
#undef NAME
        case -1001: return "CL_PLATFORM_NOT_FOUND_KHR";
        default: return "OpenCL error";
    }
}

namespace {
bool shortage(cl_int code, Stage stage) {
    return code == CL_MEM_OBJECT_ALLOCATION_FAILURE || code == CL_OUT_OF_HOST_MEMORY ||
           code == CL_INVALID_BUFFER_SIZE || (code == CL_OUT_OF_RESOURCES && stage == Stage::Setup);
}

}  // namespace

// After these the driver has given the device (or its context) up: drivers
// report a kernel that faulted as CL_OUT_OF_RESOURCES from the wait or as a
// failed event, and then drop the queue or the context it ran in. An enqueue
// refused for want of resources is not one of them: the same work may be
// taken later. Codes at or below kVendorFaultCodes are the drivers' own
// (below the standard's and its extensions' range): none is a condition a
// retry could clear.
const LostDeviceCode kLostDeviceCodes[] = {
    {CL_DEVICE_NOT_AVAILABLE, false},
    {CL_EXEC_STATUS_ERROR_FOR_EVENTS_IN_WAIT_LIST, false},
    {CL_INVALID_COMMAND_QUEUE, false},
    {CL_INVALID_CONTEXT, false},
    {CL_OUT_OF_RESOURCES, true},
};

bool deviceLostCode(cl_int code, Stage stage) {
    if (code <= kVendorFaultCodes) return true;
    for (const LostDeviceCode& c : kLostDeviceCodes)
        if (c.code == code) return !c.whileWaiting || stage == Stage::Wait;
    return false;
}

namespace {
[[noreturn]] void deviceLost(const std::string& message, int device) {
    ClRuntime::instance().markLost(device);
    throw cuda::DeviceLost(message + "; the device is lost");
}

std::string describe(const char* what, cl_int code) {
    return std::string(what) + ": " + errorName(code) + " (" + std::to_string(code) + ")";
}
}  // namespace

void check(cl_int code, const char* what, int device, Stage stage) {
    if (code == CL_SUCCESS) return;
    const std::string message = describe(what, code);
    if (shortage(code, stage)) throw std::runtime_error(message + ": out of memory");
    if (deviceLostCode(code, stage)) deviceLost(message, device);
    if (code == CL_OUT_OF_RESOURCES) throw std::runtime_error(message + ": the device refused the work");
    throw std::runtime_error(message);
}

void checkEventStatus(cl_int status, const char* what, int device) {
    if (status < 0) deviceLost(describe(what, status) + " as the work's status", device);
}

void checkNotLost(int device) {
    if (ClRuntime::instance().lost(device))
        throw cuda::DeviceLost("OpenCL device " + std::to_string(device) + " was lost after an earlier fault");
}

}  // namespace argon2::opencl

// The runtime calls the miner makes itself. Devices are this flavour's list;
// every wait happens inside the processing units, whose destructors finish
// their queues, so once they are gone the device is idle.
using argon2::opencl::ClRuntime;

extern "C" {

cudaError_t cudaSetDevice(int device) {
    const std::size_t count = ClRuntime::instance().devices().size();
    if (device < 0 || std::size_t(device) >= count) return 101;  // the CUDA runtime's "invalid device"
    if (ClRuntime::instance().lost(device)) return 999;
    argon2::opencl::currentDevice = device;
    return cudaSuccess;
}

cudaError_t cudaFree(void*) { return ClRuntime::instance().lost(argon2::opencl::currentDevice) ? 999 : cudaSuccess; }

cudaError_t cudaMemGetInfo(std::size_t* free, std::size_t* total) {
    std::size_t f = 0, t = 0;
    if (!ClRuntime::instance().memoryInfo(argon2::opencl::currentDevice, f, t)) return 101;
    if (free) *free = f;
    if (total) *total = t;
    return cudaSuccess;
}

cudaError_t cudaDeviceSynchronize(void) {
    return ClRuntime::instance().lost(argon2::opencl::currentDevice) ? 999 : cudaSuccess;
}
}
