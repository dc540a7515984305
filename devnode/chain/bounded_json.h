// JSON from peers and files, refused before parsing when it nests deeper than
// the chain's documents ever need: the JSON library walks values recursively
// (copy, compare, dump), so depth is a stack-size question.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// A block event is event > data > transactions > transaction > mint; this
// leaves a mint value a few levels of its own.
constexpr int kMaxJsonDepth = 16;

// A transaction sits this much deeper in a block event than on its own
// (event > data > transactions), so a pending transaction may nest only
// what is left: deeper, and no block could carry it.
constexpr int kMaxTransactionDepth = kMaxJsonDepth - 3;

// The nesting of a parsed value: 0 for a scalar, 1 for a flat array or object.
int json_value_depth(const nlohmann::json& value);

// The deepest nesting of arrays and objects in `text` (strings skipped),
// counted without building anything; stops early past `limit`.
int json_depth(std::string_view text, int limit = kMaxJsonDepth);

// The parsed document, or nothing with the reason in `why`.
[[nodiscard]] std::optional<nlohmann::json> parse_bounded(std::string_view text, std::string* why = nullptr);
