// The OpenCL flavour's program context: the device's context and the fill
// kernel built for it, shared by the units made from it.
#pragma once

#include <CL/cl.h>

#include <string>

#include "argon2gpu/cuda/program_context.h"
#include "cl_runtime.h"

namespace argon2::cuda {

struct ProgramContext::Impl {
    int device = 0;
    const opencl::ClDevice* cl = nullptr;
    cl_context context = nullptr;
    cl_program program = nullptr;
    int shuffle = 0;  // ARGON2_SHUFFLE of the program: an index into kFillPathNames

    // Takes the path's program (see cl_device.cpp); false, with `why`, when
    // the device refuses it or it does not compute right.
    bool use(int path, const ProgramContext& owner, std::string& why);

    ~Impl() {
        if (program) clReleaseProgram(program);
        if (context) clReleaseContext(context);
    }
};

}  // namespace argon2::cuda
