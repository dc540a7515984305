# The OpenCL flavour: the same classes over any OpenCL 1.2 (or later) driver
# through the ICD loader: AMD's ROCm, Intel's, and PoCL on the CPU, which is
# what runs it where there is no GPU. The kernel is OpenCL C, built by the
# driver for the device it runs on, from source compiled into the library.
find_package(OpenCL REQUIRED)

# fill.cl becomes a string constant of the library; editing it re-runs CMake.
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/opencl/fill.cl QUORLEN_FILL_CL)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/opencl/fill.cl)
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/opencl_fill_source.cpp
  CONTENT "// Generated from argon2/opencl/fill.cl.\n#include \"cl_source.h\"\nnamespace argon2::opencl {\nconst char* const kFillSource = R\"FILLCL(@QUORLEN_FILL_CL@)FILLCL\";\n}\n"
  @ONLY)

add_library(argon2-cuda SHARED
  opencl/cl_runtime.cpp
  opencl/cl_device.cpp
  opencl/cl_program_cache.cpp
  opencl/cl_fill_build.cpp
  opencl/cl_processing_unit.cpp
  host/host_memory.cpp
  ${CMAKE_CURRENT_BINARY_DIR}/opencl_fill_source.cpp
)
target_include_directories(argon2-cuda PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/opencl)
target_compile_definitions(argon2-cuda PUBLIC ARGON2GPU_FLAVOUR_OPENCL
  PRIVATE CL_TARGET_OPENCL_VERSION=300 CL_USE_DEPRECATED_OPENCL_1_2_APIS)
target_compile_options(argon2-cuda PRIVATE -O2)
target_link_libraries(argon2-cuda PUBLIC argon2-gpu-common Threads::Threads PRIVATE OpenCL::OpenCL)
