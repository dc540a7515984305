// One candidate block as a document: the pending transactions, the two
// reward transactions and the block's own members.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "worker/chain_view.h"

// Draws three rand() numbers (developer-share nonce, miner-reward nonce,
// block nonce).
nlohmann::json make_candidate(const ChainView& view, const std::string& proposer, std::uint64_t ts);
