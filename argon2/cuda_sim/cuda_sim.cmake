# The CUDA flavour's own source on a simulated CUDA runtime: no nvcc, no GPU.
# The kernels' file is compiled as C++ against the runtime's header; each
# CUDA thread runs as a fiber (Boost.Context), and the runtime checks every
# launch (argon2/cuda_sim/include/cuda_runtime_api.h says what it checks).
find_package(Boost 1.74 REQUIRED COMPONENTS context)

# Host side: cards, memory, streams and events, the checks between streams,
# the entry points (cuda_sim/host.h); device side: cuda_sim/threads.cpp.
add_library(cudasim SHARED cuda_sim/cards.cpp cuda_sim/memory.cpp cuda_sim/streams.cpp cuda_sim/hazards.cpp
            cuda_sim/api.cpp cuda_sim/threads.cpp)
target_include_directories(cudasim PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/cuda_sim/include)
target_link_libraries(cudasim PRIVATE Boost::context PUBLIC Threads::Threads)
target_compile_options(cudasim PRIVATE -O2)

# The .cu file itself, by its path, so that its own includes resolve.
set(QUORLEN_SIM_UNIT ${CMAKE_CURRENT_BINARY_DIR}/cuda_processing_unit_sim.cpp)
file(WRITE ${QUORLEN_SIM_UNIT}.in "#include \"${CMAKE_CURRENT_SOURCE_DIR}/cuda/cuda_processing_unit.cu\"\n")
configure_file(${QUORLEN_SIM_UNIT}.in ${QUORLEN_SIM_UNIT} COPYONLY)
add_library(argon2-cuda SHARED cuda/cuda_device.cpp ${QUORLEN_SIM_UNIT})
# Included, the .cu file counts as a header to GCC, which then warns about its
# anonymous-namespace types inside the unit's Impl.
set_source_files_properties(${QUORLEN_SIM_UNIT} PROPERTIES COMPILE_OPTIONS "-Wno-subobject-linkage")
target_compile_options(argon2-cuda PRIVATE -O2)
target_compile_definitions(argon2-cuda PUBLIC ARGON2GPU_FLAVOUR_CUDA ARGON2GPU_CUDA_SIM
                           PRIVATE ARGON2GPU_CUDA_ARCHITECTURES="the simulated runtime")
target_link_libraries(argon2-cuda PUBLIC argon2-gpu-common cudasim Threads::Threads)
