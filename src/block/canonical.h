// The canonical block text (what is Argon2-hashed and signed) and the
// submitted block document. Both are compact JSON written by hand in a fixed
// member order; they differ only in the block's "signature" and "hash".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

using json = nlohmann::json;

// The canonical text of a candidate block; the block's own "signature" and
// "hash" are written empty and never read. Throws the JSON library's
// type_error / out_of_range for a missing or mistyped member.
std::string canonical_msg(const json& block);

// The document sent to the node: the canonical text with the block-level
// signature and hash filled in (both JSON-escaped). Throws like canonical_msg.
std::string build_block_for_submit(const json& block, const std::string& signature,
                                   const std::string& hash);

namespace quorlen::block {

// The "block" event envelope around a submitted document.
std::string block_event_message(const std::string& document);

// Building blocks shared with the worker's per-pass template, which must write
// byte for byte what canonical_msg writes.
namespace canonical {

// A member read as an unsigned 64-bit number: integers as they are (negative
// ones modulo 2^64), floats truncated toward zero. Non-numbers throw the
// library's type_error; non-finite or out-of-range floats throw domain_error.
std::uint64_t as_unsigned(const json& value);

void append_unsigned(std::string& out, std::uint64_t value);

// Appends `"` + escaped string + `"`; throws type_error for a non-string.
void append_quoted(std::string& out, const json& value);

// Appends the text of one transaction object.
void append_transaction(std::string& out, const json& tx);

// Appends the transaction texts of `transactions`, comma-separated.
void append_transactions(std::string& out, const json& transactions);

}  // namespace canonical

}  // namespace quorlen::block
