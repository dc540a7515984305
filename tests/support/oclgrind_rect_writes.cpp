// Preloaded (LD_PRELOAD) into the tests that run under Oclgrind
// (scripts/oclgrind-check.sh), for three blind spots of its --uninitialized
// check (Oclgrind 21.10). Each changes where a byte's written-mark is kept,
// never a byte's value: every byte the kernels read is still checked.
//
// 1. Every clEnqueueWriteBufferRect becomes a write of the rows to a
// staging buffer from its start and a small kernel that copies each row to
// its place in the destination. Same bytes, same places.
//
// Why: Oclgrind 21.10 stores what the host writes at an offset into a buffer
// (clEnqueueWriteBuffer with an offset, clEnqueueWriteBufferRect, a mapped
// range, clEnqueueCopyBuffer to an offset) without marking those bytes as
// written, so its --uninitialized check takes the first blocks the library
// uploads for memory nothing wrote and reports every value the fill derives
// from them: 475 "Controlflow depends on uninitialized value" at the
// rotations of G (it checks a built-in's arguments as it checks a branch)
// and ~500 "Uninitialized value written to local memory" at the first
// exchange. A write from a buffer's start, and a kernel's stores, are
// marked. docs/opencl-kernel.md has the minimal case. Bytes that no write
// covers stay unwritten.
//
// 2. clReleaseMemObject keeps the buffer. Oclgrind gives a new buffer the
// number of one released before and keeps the old buffer's written-marks
// for it, at the old size: kernel stores beyond that size are not marked.
// A batch allocated after the known-answer check read as written where the
// check's 8 KiB staging buffer had been and as unwritten beyond it, whatever
// the copy kernel then stored (reports at the first G of lane 1). Minimal
// case: a 1 KiB buffer written and released, a 64 KiB one written whole by a
// kernel: 8,064 reports from byte 1024 on; none if the first is kept. Kept
// buffers get fresh numbers; the tests under Oclgrind allocate a few MiB.
//
// 3. clEnqueueFillBuffer becomes a kernel that stores the pattern. A host
// write of part of a buffer (the library touches a batch's last 64 bytes
// at allocation) leaves the buffer's written-marks as large as that write:
// kernel stores past it are not marked afterwards, and the whole batch read
// as unwritten. Minimal case: 8 bytes written at offset 0 by the host, the
// first half stored by a kernel: 8,191 of 8,192 words reported.
#include <CL/cl.h>
#include <dlfcn.h>

#include <cstddef>
#include <vector>

namespace {

const char* const kCopyRows = R"CL(
__kernel void copyRows(__global uchar* to, __global const uchar* from, ulong width, ulong toFirst,
                       ulong toRowPitch, ulong toSlicePitch) {
    const ulong y = get_global_id(0), z = get_global_id(1);
    __global uchar* out = to + toFirst + z * toSlicePitch + y * toRowPitch;
    __global const uchar* in = from + (z * get_global_size(0) + y) * width;
    for (ulong i = 0; i < width; ++i) out[i] = in[i];
}
__kernel void fillPattern(__global uchar* to, __global const uchar* pattern, ulong patternBytes, ulong first) {
    const ulong i = get_global_id(0);
    for (ulong b = 0; b < patternBytes; ++b) to[first + i * patternBytes + b] = pattern[b];
}
)CL";

// The copy kernels' program, built for the queue's device.
cl_kernel copyKernel(cl_command_queue queue, const char* name, cl_context& context, cl_int& err) {
    cl_device_id device = nullptr;
    err = clGetCommandQueueInfo(queue, CL_QUEUE_CONTEXT, sizeof context, &context, nullptr);
    if (err == CL_SUCCESS) err = clGetCommandQueueInfo(queue, CL_QUEUE_DEVICE, sizeof device, &device, nullptr);
    if (err != CL_SUCCESS) return nullptr;
    const char* source = kCopyRows;
    cl_program program = clCreateProgramWithSource(context, 1, &source, nullptr, &err);
    if (err == CL_SUCCESS) err = clBuildProgram(program, 1, &device, "", nullptr, nullptr);
    cl_kernel kernel = err == CL_SUCCESS ? clCreateKernel(program, name, &err) : nullptr;
    if (program) clReleaseProgram(program);
    return kernel;
}

}  // namespace

extern "C" cl_int clEnqueueWriteBufferRect(cl_command_queue queue, cl_mem buffer, cl_bool,
                                           const size_t* bufferOrigin, const size_t* hostOrigin,
                                           const size_t* region, size_t bufferRowPitch, size_t bufferSlicePitch,
                                           size_t hostRowPitch, size_t hostSlicePitch, const void* ptr,
                                           cl_uint waits, const cl_event* waitList, cl_event* event) {
    if (bufferRowPitch == 0) bufferRowPitch = region[0];
    if (bufferSlicePitch == 0) bufferSlicePitch = region[1] * bufferRowPitch;
    if (hostRowPitch == 0) hostRowPitch = region[0];
    if (hostSlicePitch == 0) hostSlicePitch = region[1] * hostRowPitch;
    const size_t rows = region[1] * region[2], width = region[0];
    std::vector<unsigned char> packed(rows * width);
    const auto* host = static_cast<const unsigned char*>(ptr);
    for (size_t z = 0; z < region[2]; ++z)
        for (size_t y = 0; y < region[1]; ++y) {
            const size_t from =
                (hostOrigin[2] + z) * hostSlicePitch + (hostOrigin[1] + y) * hostRowPitch + hostOrigin[0];
            for (size_t i = 0; i < width; ++i) packed[(z * region[1] + y) * width + i] = host[from + i];
        }
    cl_context context = nullptr;
    cl_int err = CL_SUCCESS;
    cl_kernel kernel = copyKernel(queue, "copyRows", context, err);
    if (err != CL_SUCCESS) return err;
    cl_mem staging = clCreateBuffer(context, CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR, packed.size(), packed.data(), &err);
    if (err != CL_SUCCESS) {
        clReleaseKernel(kernel);
        return err;
    }
    if (err == CL_SUCCESS) {
        const cl_ulong args[] = {width,
                                 bufferOrigin[2] * bufferSlicePitch + bufferOrigin[1] * bufferRowPitch + bufferOrigin[0],
                                 bufferRowPitch, bufferSlicePitch};
        err = clSetKernelArg(kernel, 0, sizeof buffer, &buffer);
        err |= clSetKernelArg(kernel, 1, sizeof staging, &staging);
        for (cl_uint i = 0; i < 4; ++i) err |= clSetKernelArg(kernel, 2 + i, sizeof args[i], &args[i]);
        const size_t global[2] = {region[1], region[2]};
        if (err == CL_SUCCESS)
            err = clEnqueueNDRangeKernel(queue, kernel, 2, nullptr, global, nullptr, waits, waitList, event);
        if (err == CL_SUCCESS) err = clFinish(queue);
    }
    clReleaseKernel(kernel);
    clReleaseMemObject(staging);
    return err;
}

// See 3. above: the pattern copied into place by a kernel.
extern "C" cl_int clEnqueueFillBuffer(cl_command_queue queue, cl_mem buffer, const void* pattern, size_t patternBytes,
                                      size_t offset, size_t bytes, cl_uint waits, const cl_event* waitList,
                                      cl_event* event) {
    if (!pattern || patternBytes == 0 || bytes % patternBytes != 0 || offset % patternBytes != 0)
        return CL_INVALID_VALUE;
    cl_context context = nullptr;
    cl_int err = CL_SUCCESS;
    cl_kernel kernel = copyKernel(queue, "fillPattern", context, err);
    if (err != CL_SUCCESS) return err;
    cl_mem staging = clCreateBuffer(context, CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR, patternBytes,
                                    const_cast<void*>(pattern), &err);
    if (err == CL_SUCCESS) {
        const cl_ulong args[] = {patternBytes, offset};
        err = clSetKernelArg(kernel, 0, sizeof buffer, &buffer);
        err |= clSetKernelArg(kernel, 1, sizeof staging, &staging);
        for (cl_uint i = 0; i < 2; ++i) err |= clSetKernelArg(kernel, 2 + i, sizeof args[i], &args[i]);
        const size_t global = bytes / patternBytes;
        if (err == CL_SUCCESS)
            err = clEnqueueNDRangeKernel(queue, kernel, 1, nullptr, &global, nullptr, waits, waitList, event);
        if (err == CL_SUCCESS) err = clFinish(queue);
        clReleaseMemObject(staging);
    }
    clReleaseKernel(kernel);
    return err;
}

// See 2. above: never handed back, so that no later buffer takes its number.
extern "C" cl_int clReleaseMemObject(cl_mem memory) { return memory ? CL_SUCCESS : CL_INVALID_MEM_OBJECT; }
