// What a block or transaction document may hold: the members the chain
// hashes, each of its own type, and nothing else. A document that passes is
// stored and served exactly as it was checked.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// The first fault found, or "" when the document is well formed.
[[nodiscard]] std::string block_shape_fault(const nlohmann::json& block);
std::string transaction_shape_fault(const nlohmann::json& tx);

// A JSON integer from 0 to 2^64 - 1 (no fraction, no exponent, no sign).
bool is_unsigned_integer(const nlohmann::json& v);
