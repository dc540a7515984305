// Nesting limits for JSON that comes from outside (the node's replies). The
// JSON library writes, copies and compares values recursively, so a value
// nested deeply enough overflows the stack of whichever thread touches it
// next; nothing deeper than a small fixed limit is let in.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace quorlen::block {

constexpr std::size_t kMaxJsonDepth = 64;

// The most arrays and objects open at once in a JSON text (0 for a scalar),
// found by a scan of the bytes that honours strings. Garbage gives some
// number; it only has to be a bound, not a verdict on validity.
std::size_t json_text_depth(std::string_view text);

// The same for a value, without recursion.
std::size_t json_depth(const nlohmann::json& value);

// A strict parse that first refuses texts nested deeper than `maxDepth`
// (std::runtime_error naming the limit); parse errors as json::parse.
[[nodiscard]] nlohmann::json parse_untrusted(std::string_view text, std::size_t maxDepth = kMaxJsonDepth);

// The texts of the elements of a top-level JSON array, or false when the
// text is not an array as far as a byte scan can tell.
[[nodiscard]] bool split_json_array(std::string_view text, std::vector<std::string_view>& elements);

}  // namespace quorlen::block
