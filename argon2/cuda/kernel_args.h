// The records the CUDA flavour's kernels take by value. nvcc compiles a .cu
// twice, once for the host and once for the device, and a launch copies the
// host's bytes into the device's parameter space: a member, padding or type
// that differs between the passes shifts every field after it, silently. The
// layout is pinned here, so that either pass refuses to compile when it
// differs (scripts/cuda-check.sh compiles this header alone in both passes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "../common/index.h"
#include "argon2gpu/params.h"

namespace argon2::cuda {

static_assert(std::is_trivially_copyable_v<detail::Geometry> && std::is_standard_layout_v<detail::Geometry>);
static_assert(sizeof(detail::Geometry) == 16 && alignof(detail::Geometry) == 4, "kernel argument Geometry");
static_assert(offsetof(detail::Geometry, lanes) == 0 && offsetof(detail::Geometry, segmentBlocks) == 4 &&
                  offsetof(detail::Geometry, laneBlocks) == 8 && offsetof(detail::Geometry, passes) == 12,
              "kernel argument Geometry");

static_assert(std::is_trivially_copyable_v<detail::LaneModulus> && std::is_standard_layout_v<detail::LaneModulus>);
static_assert(sizeof(detail::LaneModulus) == 16 && alignof(detail::LaneModulus) == 8, "kernel argument LaneModulus");
static_assert(offsetof(detail::LaneModulus, m) == 0 && offsetof(detail::LaneModulus, d) == 8,
              "kernel argument LaneModulus");

// Enums passed by value: the same underlying size on both sides.
static_assert(sizeof(Type) == 4 && sizeof(Version) == 4, "kernel arguments Type and Version");

}  // namespace argon2::cuda
