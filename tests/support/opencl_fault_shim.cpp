// Preloaded into the miner (LD_PRELOAD) in front of the OpenCL loader, it
// makes one OpenCL call fail the way a faulting or busy device does.
// QUORLEN_CL_FAULT="<call>:<code>[:<times>]" picks the call and the code
// (times: how many calls fail, 0 or absent for every one); every other call
// passes through. Only calls from the workers' threads fail, so that the
// self-test and the tuning pass and a worker meets the fault.
//
// Calls: clEnqueueNDRangeKernel and clWaitForEvents return the code;
// clGetEventInfo reports it as the command's execution status.
//
// QUORLEN_TEST_HANG (argon2/common/test_hang.h) makes clWaitForEvents and
// clFinish, and for the main thread clGetDeviceIDs, block as a driver that
// stops answering.
//
// QUORLEN_CL_FAKE_SUBGROUPS=1 makes every device a GPU that claims sub-group
// shuffles (OpenCL C 2.0, cl_khr_subgroup_shuffle), which PoCL's CPU device
// then fails to build: the way to a fast path the driver refuses.
//
// QUORLEN_CL_LIMITS="alloc-mib:<n>,work-group:<n>,kernel-work-group:<n>,
// sparse,memory-gib:<n>" (any of them): limits on every thread, as GPU
// drivers keep them where PoCL's CPU device is generous. alloc-mib states a
// largest allocation (CL_DEVICE_MAX_MEM_ALLOC_SIZE) and clCreateBuffer
// refuses a larger buffer with CL_INVALID_BUFFER_SIZE. work-group states the
// device's work-group limit (CL_DEVICE_MAX_WORK_GROUP_SIZE) and
// kernel-work-group the kernel's (CL_KERNEL_WORK_GROUP_SIZE), which on AMD's
// drivers is often the lower one; clEnqueueNDRangeKernel refuses a group
// over either with CL_INVALID_WORK_GROUP_SIZE. sparse runs only the first
// and the last work-group along dimension 0 of a launch of more than two (a
// batch past 4 GiB in the time of two hashes; the kernel must find its hash
// from its global id, which counts the offset). memory-gib states a GPU of
// that much memory, which is also its largest allocation; a buffer larger
// than the driver's own largest is address space reserved by the shim and
// committed only where touched, which PoCL's kernels use as the buffer's
// memory (the host's copies to and from it are done here, in queue order):
// with sparse, one buffer past 32 GiB costs the pages of two hashes.
#include <CL/cl.h>
#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "../../argon2/common/test_hang.h"

namespace {

struct Fault {
    std::string call;
    cl_int code = 0;
    long times = 0;
};

Fault readFault() {
    Fault f;
    const char* setting = std::getenv("QUORLEN_CL_FAULT");
    if (!setting) return f;
    const std::string s = setting;
    const std::size_t a = s.find(':');
    if (a == std::string::npos) return f;
    f.call = s.substr(0, a);
    f.code = cl_int(std::strtol(s.c_str() + a + 1, nullptr, 10));
    const std::size_t b = s.find(':', a + 1);
    if (b != std::string::npos) f.times = std::strtol(s.c_str() + b + 1, nullptr, 10);
    return f;
}

const Fault& fault() {
    static const Fault f = readFault();
    return f;
}

std::atomic<long> injected{0};

// Whether this call of `call` fails.
bool failNow(const char* call) {
    const Fault& f = fault();
    if (f.call != call || argon2::test_hang::callingRole() != argon2::test_hang::Role::Mine) return false;
    const long n = injected.fetch_add(1);
    return f.times <= 0 || n < f.times;
}

template <class F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// A setting of QUORLEN_CL_LIMITS: its number, 1 for a bare name, 0 when absent.
unsigned long long limit(const std::string& name) {
    const char* v = std::getenv("QUORLEN_CL_LIMITS");
    const std::string s = v ? v : "";
    for (std::size_t at = 0; at < s.size();) {
        const std::size_t end = std::min(s.find(',', at), s.size());
        const std::string item = s.substr(at, end - at);
        if (item == name) return 1;
        if (item.compare(0, name.size() + 1, name + ":") == 0)
            return std::strtoull(item.c_str() + name.size() + 1, nullptr, 10);
        at = end + 1;
    }
    return 0;
}
unsigned long long maxAllocation() {
    static const unsigned long long bytes = limit("alloc-mib") << 20;
    return bytes;
}
std::size_t deviceWorkGroup() {
    static const std::size_t items = std::size_t(limit("work-group"));
    return items;
}
std::size_t kernelWorkGroup() {
    static const std::size_t items = std::size_t(limit("kernel-work-group"));
    return items;
}
unsigned long long statedMemory() {
    static const unsigned long long bytes = limit("memory-gib") << 30;
    return bytes;
}

// Buffers of reserved address space (memory-gib): the reservation, by the
// driver's buffer that stands for it.
struct Reserved {
    unsigned char* base;
    std::size_t size;
};
std::mutex reservedMutex;
std::map<cl_mem, Reserved> reserved;

const Reserved* reservedBuffer(cl_mem buffer) {
    std::lock_guard<std::mutex> lock(reservedMutex);
    const auto it = reserved.find(buffer);
    return it == reserved.end() ? nullptr : &it->second;
}

// A host copy to or from a reserved buffer, done here after the work queued
// before it; an event asked for is a marker behind it.
template <class Copy>
cl_int inQueueOrder(cl_command_queue queue, cl_event* event, Copy copy) {
    static const auto finish = next<decltype(&clFinish)>("clFinish");
    if (const cl_int r = finish(queue); r != CL_SUCCESS) return r;
    copy();
    return event ? clEnqueueMarkerWithWaitList(queue, 0, nullptr, event) : CL_SUCCESS;
}

// Lowers a value the driver gave to the shim's limit.
template <class T>
void cap(void* value, std::size_t size, unsigned long long most) {
    if (!value || size < sizeof(T) || most == 0) return;
    T v;
    std::memcpy(&v, value, sizeof v);
    if (v > most) v = T(most);
    std::memcpy(value, &v, sizeof v);
}

// Rows of a rectangular copy between a reserved buffer and the host.
template <class Row>
void eachRow(const size_t* bufferOrigin, const size_t* hostOrigin, const size_t* region, size_t bufferRow,
             size_t bufferSlice, size_t hostRow, size_t hostSlice, Row row) {
    if (!bufferRow) bufferRow = region[0];
    if (!bufferSlice) bufferSlice = region[1] * bufferRow;
    if (!hostRow) hostRow = region[0];
    if (!hostSlice) hostSlice = region[1] * hostRow;
    for (std::size_t z = 0; z < region[2]; ++z)
        for (std::size_t y = 0; y < region[1]; ++y)
            row((bufferOrigin[2] + z) * bufferSlice + (bufferOrigin[1] + y) * bufferRow + bufferOrigin[0],
                (hostOrigin[2] + z) * hostSlice + (hostOrigin[1] + y) * hostRow + hostOrigin[0], region[0]);
}

}  // namespace

extern "C" {

cl_int clEnqueueNDRangeKernel(cl_command_queue queue, cl_kernel kernel, cl_uint dims, const size_t* offset,
                              const size_t* global, const size_t* local, cl_uint waits, const cl_event* waitList,
                              cl_event* event) {
    if (failNow("clEnqueueNDRangeKernel")) return fault().code;
    static const auto real = next<decltype(&clEnqueueNDRangeKernel)>("clEnqueueNDRangeKernel");
    if (local) {
        std::size_t items = 1;
        for (cl_uint d = 0; d < dims; ++d) items *= local[d];
        for (const std::size_t most : {deviceWorkGroup(), kernelWorkGroup()})
            if (most && items > most) return CL_INVALID_WORK_GROUP_SIZE;
    }
    static const bool sparse = limit("sparse") == 1;
    if (!sparse || !local || offset || dims > 3 || global[0] <= 2 * local[0])
        return real(queue, kernel, dims, offset, global, local, waits, waitList, event);
    std::size_t at[3] = {0, 0, 0}, one[3] = {local[0], 1, 1};
    for (cl_uint d = 1; d < dims; ++d) one[d] = global[d];
    const cl_int first = real(queue, kernel, dims, at, one, local, waits, waitList, nullptr);
    if (first != CL_SUCCESS) return first;
    at[0] = global[0] - local[0];
    return real(queue, kernel, dims, at, one, local, 0, nullptr, event);
}

cl_mem clCreateBuffer(cl_context context, cl_mem_flags flags, size_t size, void* host, cl_int* err) {
    static const auto real = next<decltype(&clCreateBuffer)>("clCreateBuffer");
    if (maxAllocation() && size > maxAllocation()) {
        if (err) *err = CL_INVALID_BUFFER_SIZE;
        return nullptr;
    }
    cl_device_id device = nullptr;
    cl_ulong own = 0;
    if (!statedMemory() || host || size <= (1u << 20) ||
        clGetContextInfo(context, CL_CONTEXT_DEVICES, sizeof device, &device, nullptr) != CL_SUCCESS ||
        next<decltype(&clGetDeviceInfo)>("clGetDeviceInfo")(device, CL_DEVICE_MAX_MEM_ALLOC_SIZE, sizeof own, &own,
                                                            nullptr) != CL_SUCCESS ||
        size <= own)
        return real(context, flags, size, host, err);
    if (size > statedMemory()) {
        if (err) *err = CL_INVALID_BUFFER_SIZE;
        return nullptr;
    }
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) {
        if (err) *err = CL_MEM_OBJECT_ALLOCATION_FAILURE;
        return nullptr;
    }
    // The driver's buffer is the reservation's first MiB; a CPU device's
    // kernels address the rest through its pointer.
    cl_mem buffer = real(context, flags | CL_MEM_USE_HOST_PTR, 1u << 20, base, err);
    if (!buffer) {
        munmap(base, size);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(reservedMutex);
    reserved[buffer] = {static_cast<unsigned char*>(base), size};
    return buffer;
}

cl_int clReleaseMemObject(cl_mem buffer) {
    static const auto real = next<decltype(&clReleaseMemObject)>("clReleaseMemObject");
    const cl_int result = real(buffer);
    std::lock_guard<std::mutex> lock(reservedMutex);
    if (const auto it = reserved.find(buffer); result == CL_SUCCESS && it != reserved.end()) {
        munmap(it->second.base, it->second.size);
        reserved.erase(it);
    }
    return result;
}

cl_int clEnqueueFillBuffer(cl_command_queue queue, cl_mem buffer, const void* pattern, size_t patternSize,
                           size_t offset, size_t size, cl_uint waits, const cl_event* waitList, cl_event* event) {
    static const auto real = next<decltype(&clEnqueueFillBuffer)>("clEnqueueFillBuffer");
    const Reserved* r = reservedBuffer(buffer);
    if (!r) return real(queue, buffer, pattern, patternSize, offset, size, waits, waitList, event);
    if (patternSize == 0 || offset + size > r->size) return CL_INVALID_VALUE;
    return inQueueOrder(queue, event, [&] {
        for (std::size_t at = 0; at < size; at += patternSize)
            std::memcpy(r->base + offset + at, pattern, std::min(patternSize, size - at));
    });
}

cl_int clEnqueueWriteBufferRect(cl_command_queue queue, cl_mem buffer, cl_bool blocking, const size_t* bufferOrigin,
                                const size_t* hostOrigin, const size_t* region, size_t bufferRow, size_t bufferSlice,
                                size_t hostRow, size_t hostSlice, const void* host, cl_uint waits,
                                const cl_event* waitList, cl_event* event) {
    static const auto real = next<decltype(&clEnqueueWriteBufferRect)>("clEnqueueWriteBufferRect");
    const Reserved* r = reservedBuffer(buffer);
    if (!r)
        return real(queue, buffer, blocking, bufferOrigin, hostOrigin, region, bufferRow, bufferSlice, hostRow,
                    hostSlice, host, waits, waitList, event);
    return inQueueOrder(queue, event, [&] {
        eachRow(bufferOrigin, hostOrigin, region, bufferRow, bufferSlice, hostRow, hostSlice,
                [&](std::size_t to, std::size_t from, std::size_t n) {
                    if (to + n <= r->size) std::memcpy(r->base + to, static_cast<const char*>(host) + from, n);
                });
    });
}

cl_int clEnqueueReadBufferRect(cl_command_queue queue, cl_mem buffer, cl_bool blocking, const size_t* bufferOrigin,
                               const size_t* hostOrigin, const size_t* region, size_t bufferRow, size_t bufferSlice,
                               size_t hostRow, size_t hostSlice, void* host, cl_uint waits, const cl_event* waitList,
                               cl_event* event) {
    static const auto real = next<decltype(&clEnqueueReadBufferRect)>("clEnqueueReadBufferRect");
    const Reserved* r = reservedBuffer(buffer);
    if (!r)
        return real(queue, buffer, blocking, bufferOrigin, hostOrigin, region, bufferRow, bufferSlice, hostRow,
                    hostSlice, host, waits, waitList, event);
    return inQueueOrder(queue, event, [&] {
        eachRow(bufferOrigin, hostOrigin, region, bufferRow, bufferSlice, hostRow, hostSlice,
                [&](std::size_t from, std::size_t to, std::size_t n) {
                    if (from + n <= r->size) std::memcpy(static_cast<char*>(host) + to, r->base + from, n);
                });
    });
}

cl_int clGetKernelWorkGroupInfo(cl_kernel kernel, cl_device_id device, cl_kernel_work_group_info what, size_t size,
                                void* value, size_t* sizeRet) {
    static const auto real = next<decltype(&clGetKernelWorkGroupInfo)>("clGetKernelWorkGroupInfo");
    const cl_int result = real(kernel, device, what, size, value, sizeRet);
    if (result == CL_SUCCESS && what == CL_KERNEL_WORK_GROUP_SIZE) cap<std::size_t>(value, size, kernelWorkGroup());
    return result;
}

cl_int clWaitForEvents(cl_uint count, const cl_event* events) {
    argon2::test_hang::waitPoint();
    static const auto real = next<decltype(&clWaitForEvents)>("clWaitForEvents");
    const cl_int result = real(count, events);  // the work is done either way
    return failNow("clWaitForEvents") ? fault().code : result;
}

cl_int clFinish(cl_command_queue queue) {
    argon2::test_hang::waitPoint();
    static const auto real = next<decltype(&clFinish)>("clFinish");
    return real(queue);
}

cl_int clGetDeviceIDs(cl_platform_id platform, cl_device_type type, cl_uint entries, cl_device_id* devices,
                      cl_uint* count) {
    argon2::test_hang::waitPoint();
    static const auto real = next<decltype(&clGetDeviceIDs)>("clGetDeviceIDs");
    return real(platform, type, entries, devices, count);
}

cl_int clGetDeviceInfo(cl_device_id device, cl_device_info what, size_t size, void* value, size_t* sizeRet) {
    static const auto real = next<decltype(&clGetDeviceInfo)>("clGetDeviceInfo");
    if (statedMemory() && (what == CL_DEVICE_TYPE || what == CL_DEVICE_GLOBAL_MEM_SIZE ||
                           what == CL_DEVICE_MAX_MEM_ALLOC_SIZE)) {
        const cl_device_type gpu = CL_DEVICE_TYPE_GPU;
        const cl_ulong bytes = statedMemory();
        const std::size_t n = what == CL_DEVICE_TYPE ? sizeof gpu : sizeof bytes;
        if (sizeRet) *sizeRet = n;
        if (!value) return CL_SUCCESS;
        if (size < n) return CL_INVALID_VALUE;
        std::memcpy(value, what == CL_DEVICE_TYPE ? static_cast<const void*>(&gpu) : &bytes, n);
        return CL_SUCCESS;
    }
    if (what == CL_DEVICE_MAX_MEM_ALLOC_SIZE || what == CL_DEVICE_MAX_WORK_GROUP_SIZE) {
        const cl_int result = real(device, what, size, value, sizeRet);
        if (result != CL_SUCCESS) return result;
        if (what == CL_DEVICE_MAX_MEM_ALLOC_SIZE) cap<cl_ulong>(value, size, maxAllocation());
        else cap<std::size_t>(value, size, deviceWorkGroup());
        return result;
    }
    const char* fake = std::getenv("QUORLEN_CL_FAKE_SUBGROUPS");
    if (!fake || std::strcmp(fake, "1") != 0) return real(device, what, size, value, sizeRet);
    std::string text;
    if (what == CL_DEVICE_TYPE) {
        const cl_device_type gpu = CL_DEVICE_TYPE_GPU;
        if (sizeRet) *sizeRet = sizeof gpu;
        if (value && size >= sizeof gpu) std::memcpy(value, &gpu, sizeof gpu);
        return value && size < sizeof gpu ? CL_INVALID_VALUE : CL_SUCCESS;
    }
    if (what == CL_DEVICE_OPENCL_C_VERSION) {
        text = "OpenCL C 2.0 ";
    } else if (what == CL_DEVICE_EXTENSIONS) {
        std::size_t n = 0;
        if (const cl_int r = real(device, what, 0, nullptr, &n); r != CL_SUCCESS) return r;
        text.resize(n);
        if (const cl_int r = real(device, what, n, text.data(), nullptr); r != CL_SUCCESS) return r;
        text.resize(std::strlen(text.c_str()));
        text += " cl_khr_subgroups cl_khr_subgroup_shuffle";
    } else {
        return real(device, what, size, value, sizeRet);
    }
    if (sizeRet) *sizeRet = text.size() + 1;
    if (!value) return CL_SUCCESS;
    if (size < text.size() + 1) return CL_INVALID_VALUE;
    std::memcpy(value, text.c_str(), text.size() + 1);
    return CL_SUCCESS;
}

cl_int clGetEventInfo(cl_event event, cl_event_info what, size_t size, void* value, size_t* sizeRet) {
    static const auto real = next<decltype(&clGetEventInfo)>("clGetEventInfo");
    const cl_int result = real(event, what, size, value, sizeRet);
    if (result == CL_SUCCESS && what == CL_EVENT_COMMAND_EXECUTION_STATUS && size >= sizeof(cl_int) &&
        failNow("clGetEventInfo"))
        std::memcpy(value, &fault().code, sizeof(cl_int));
    return result;
}
}
