// The block reward at a height and its split between the developer share and
// the block's proposer.
#pragma once

#include <cstdint>
#include <utility>

std::uint64_t block_reward(std::uint64_t height);
// (developer share, miner share) of a block reward.
std::pair<std::uint64_t, std::uint64_t> split_reward(std::uint64_t total);
