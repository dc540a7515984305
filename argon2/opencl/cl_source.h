// The OpenCL C source of the fill kernel (fill.cl), compiled into the library.
#pragma once

namespace argon2::opencl {
extern const char* const kFillSource;
}
