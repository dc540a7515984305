// Preloaded (LD_PRELOAD) into the tests that run under Oclgrind
// (scripts/oclgrind-check.sh): every clEnqueueWriteBufferRect becomes a
// write of the rows to a staging buffer from its start and a small kernel
// that copies each row to its place in the destination. Same bytes, same
// places.
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
// marked. docs/opencl-kernel.md has the minimal case. Only this call
// changes: every byte the fill reads is still checked, and bytes that no
// write covers stay unwritten.
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
)CL";

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
    cl_device_id device = nullptr;
    cl_int err = clGetCommandQueueInfo(queue, CL_QUEUE_CONTEXT, sizeof context, &context, nullptr);
    if (err == CL_SUCCESS) err = clGetCommandQueueInfo(queue, CL_QUEUE_DEVICE, sizeof device, &device, nullptr);
    if (err != CL_SUCCESS) return err;
    cl_mem staging = clCreateBuffer(context, CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR, packed.size(), packed.data(), &err);
    if (err != CL_SUCCESS) return err;
    const char* source = kCopyRows;
    cl_program program = clCreateProgramWithSource(context, 1, &source, nullptr, &err);
    if (err == CL_SUCCESS) err = clBuildProgram(program, 1, &device, "", nullptr, nullptr);
    cl_kernel kernel = err == CL_SUCCESS ? clCreateKernel(program, "copyRows", &err) : nullptr;
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
        // Done before returning, asked to or not: Oclgrind frees a released
        // buffer at once, under the copy still queued.
        if (err == CL_SUCCESS) err = clFinish(queue);
    }
    if (kernel) clReleaseKernel(kernel);
    if (program) clReleaseProgram(program);
    clReleaseMemObject(staging);
    return err;
}
