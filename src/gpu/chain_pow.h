// The chain's proof of work, in one place: Argon2id version 0x13 over the
// block text with a fixed salt, 1 pass over 16 MiB in 2 lanes, 32-byte tag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "argon2gpu/params.h"

namespace quorlen::gpu {

namespace chain_pow {

inline constexpr char kSalt[] = "quorlen-argon2-salt";
inline constexpr std::uint32_t kTagBytes = 32;
inline constexpr std::uint32_t kPasses = 1;
inline constexpr std::uint32_t kMemoryKiB = 16384;
inline constexpr std::uint32_t kLanes = 2;
// The device memory one hash fills.
inline constexpr std::size_t kMemoryBytes = std::size_t(kMemoryKiB) * 1024;
// What one hash moves through device memory: every block written once and
// read once as a reference.
inline constexpr double kBytesMovedPerHash = 2.0 * double(kMemoryBytes);

std::unique_ptr<argon2::Argon2Params> params();

}  // namespace chain_pow

}  // namespace quorlen::gpu
