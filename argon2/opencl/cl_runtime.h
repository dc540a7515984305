// The OpenCL devices of this process, enumerated once, and OpenCL results as
// exceptions. Like the CUDA runtime this flavour stands in for, the device
// list and each device's state (lost or not, memory our units hold) are one
// per process: the runtime stand-ins (cudaSetDevice, cudaMemGetInfo) reach
// them without any object of the library's classes at hand.
#pragma once

#include <CL/cl.h>

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace argon2::opencl {

struct ClDevice {
    cl_platform_id platform;
    cl_device_id id;
    cl_device_type type;
    std::string name, vendor, platformName, platformVersion, deviceVersion, driverVersion, extensions,
        openclCVersion;
    cl_ulong globalMemory = 0, maxAllocation = 0, localMemory = 0;
    cl_uint computeUnits = 0;
    std::size_t maxWorkGroup = 0;

    bool isCpu() const { return (type & CL_DEVICE_TYPE_CPU) != 0; }
    bool hasExtension(const std::string& name) const;
};

class ClRuntime {
public:
    static ClRuntime& instance();

    // GPUs and accelerators in platform order; CPU devices only when there is
    // neither (a CPU device beside GPUs would take the cores their workers need).
    const std::vector<ClDevice>& devices() const { return devices_; }
    // Why the list is empty, when the user can do something about it.
    const std::string& problem() const { return problem_; }

    bool lost(int index) const;
    void markLost(int index);
    // Whether this binary of a fill kernel path (ARGON2_SHUFFLE) passed the
    // known-answer check in this process, so that later program contexts
    // made from the same binary skip it.
    bool verified(int index, int path, const std::vector<unsigned char>& binary) const;
    void markVerified(int index, int path, const std::vector<unsigned char>& binary);
    // Builds refused in this process, by their cache key: without a cache on
    // disk, a refused fast path costs no compile at every program context.
    std::string refusal(const std::string& key) const;  // empty: none
    void setRefusal(const std::string& key, const std::string& why);  // empty `why` clears it
    // True the first time it is called for a device: the path it ended on is
    // reported once a process.
    bool firstReport(int index);
    // Bytes our units hold on a device, for the free-memory estimate.
    void hold(int index, long long bytes);
    std::size_t held(int index) const;
    // Free and total memory of a device as well as OpenCL lets us know them.
    bool memoryInfo(int index, std::size_t& free, std::size_t& total) const;

private:
    ClRuntime();
    std::vector<ClDevice> devices_;
    std::string problem_;
    std::unique_ptr<std::atomic<bool>[]> lost_;
    std::unique_ptr<std::atomic<long long>[]> held_;
    mutable std::mutex verifiedMutex_;
    std::vector<std::string> verified_;  // per device and path: the binary's digest
    std::map<std::string, std::string> refusals_;
    std::unique_ptr<std::atomic<bool>[]> reported_;
};

const char* errorName(cl_int code);

// What a failed call means for the caller.
enum class Stage {
    Setup,    // allocations and builds: CL_OUT_OF_RESOURCES is a shortage
    Enqueue,  // handing work over: CL_OUT_OF_RESOURCES is a refusal, tried again later
    Wait,     // waiting for work handed over: CL_OUT_OF_RESOURCES is a device fault
};

// The codes after which a device is lost, with whether only from a wait
// (CL_OUT_OF_RESOURCES refuses an enqueue, but from a wait it is a kernel
// that faulted); and every vendor code at or below kVendorFaultCodes.
struct LostDeviceCode {
    cl_int code;
    bool whileWaiting;
};
extern const LostDeviceCode kLostDeviceCodes[5];
constexpr cl_int kVendorFaultCodes = -9999;
bool deviceLostCode(cl_int code, Stage stage);

// Throws when `code` is an error: cuda::DeviceLost when the device faulted
// (and marks it lost, so that every later call on it fails too), else
// std::runtime_error; a shortage of memory reads "out of memory". A queue
// or context the driver no longer knows is a lost device at any stage.
void check(cl_int code, const char* what, int device, Stage stage);

// The same for an event's execution status: a negative one is the status of
// a command the device failed, so the device is lost.
void checkEventStatus(cl_int status, const char* what, int device);

// Throws cuda::DeviceLost when the device was lost before.
void checkNotLost(int device);

}  // namespace argon2::opencl
