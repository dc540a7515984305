# The CUDA flavour: the same classes, with real kernels. Machine code for every
# architecture this toolkit builds from Turing on (Jetson and Thor parts
# included, Blackwell's 10.x and 12.x), and PTX of the newest so that a later
# card can still take the kernels. This toolkit no longer builds for Pascal or
# Volta; a CUDA 12 toolkit can, by adding 60 and 70 here.
enable_language(CUDA)
find_package(CUDAToolkit REQUIRED)
set(QUORLEN_CUDA_ARCHITECTURES "75-real;80-real;86-real;87-real;88-real;89-real;90-real;100-real;103-real;110-real;120-real;121-real;121-virtual"
    CACHE STRING "CUDA architectures of the fill kernel")
set(CMAKE_CUDA_STANDARD 17)  # what this CMake knows for nvcc; the kernel needs no more

add_library(argon2-cuda SHARED cuda/cuda_device.cpp cuda/cuda_processing_unit.cu)
set_target_properties(argon2-cuda PROPERTIES
  CUDA_ARCHITECTURES "${QUORLEN_CUDA_ARCHITECTURES}"
  CUDA_RUNTIME_LIBRARY Shared)
# ptxas reports every kernel's registers and spills in the build log.
target_compile_options(argon2-cuda PRIVATE $<$<COMPILE_LANGUAGE:CUDA>:-O3 -Xptxas=-v --expt-relaxed-constexpr>)
target_compile_definitions(argon2-cuda PUBLIC ARGON2GPU_FLAVOUR_CUDA)
# What the build covers, for the message naming a device it cannot run.
set(QUORLEN_CUDA_ARCH_TEXT "")
foreach(arch IN LISTS QUORLEN_CUDA_ARCHITECTURES)
  string(REGEX REPLACE "^([0-9a-z]+)-real$" "sm_\\1" arch "${arch}")
  string(REGEX REPLACE "^([0-9a-z]+)-virtual$" "PTX compute_\\1" arch "${arch}")
  string(REGEX REPLACE "^([0-9a-z]+)$" "sm_\\1 + PTX compute_\\1" arch "${arch}")
  string(APPEND QUORLEN_CUDA_ARCH_TEXT "${QUORLEN_CUDA_ARCH_TEXT_SEP}${arch}")
  set(QUORLEN_CUDA_ARCH_TEXT_SEP ", ")
endforeach()
set_source_files_properties(cuda/cuda_device.cpp PROPERTIES
  COMPILE_DEFINITIONS "ARGON2GPU_CUDA_ARCHITECTURES=\"${QUORLEN_CUDA_ARCH_TEXT}\"")
# The miner makes four runtime calls itself, so it and this library share one
# copy of the runtime: the shared one, placed in lib/ beside ours so that a
# machine with a driver but no toolkit runs the miner as built.
target_include_directories(argon2-cuda PUBLIC ${CUDAToolkit_INCLUDE_DIRS})
target_link_libraries(argon2-cuda PUBLIC argon2-gpu-common Threads::Threads CUDA::cudart)
get_target_property(CUDART_LINKED CUDA::cudart IMPORTED_LOCATION)
file(REAL_PATH "${CUDART_LINKED}" CUDART_REAL)
set(CUDART_SONAME "libcudart.so.${CUDAToolkit_VERSION_MAJOR}")
add_custom_command(TARGET argon2-cuda POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different "${CUDART_REAL}" "${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/${CUDART_SONAME}"
  COMMENT "Placing the CUDA runtime beside the miner's libraries")
