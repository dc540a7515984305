// The chain's rules as the development node checks them, written apart from
// the miner so that it can catch the miner's mistakes: the block text, the
// proof of work (Debian's libargon2), the target, the rewards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace consensus {

extern const char* const kDeveloperWallet;

// The text that is hashed and signed: the block with "signature" and "hash"
// empty, members in the chain's fixed order. Empty when the document is
// malformed (the reason then goes to `why`).
[[nodiscard]] std::optional<std::string> block_text(const nlohmann::json& block, std::string* why = nullptr);
// The same for one transaction.
[[nodiscard]] std::optional<std::string> transaction_text(const nlohmann::json& tx, std::string* why = nullptr);

// Argon2id v0x13, 1 pass, 16 MiB, 2 lanes, 32 bytes, the chain's salt; hex.
std::string pow_hash(const std::string& text);

// A hash as blocks carry it: lowercase, no leading zeros, "0" for zero.
std::string normalised(const std::string& hex);

// 1 to 64 hex digits: the form of a target, a block's diff and its hash.
[[nodiscard]] bool is_target_text(const std::string& text);

// Both strict hex (leading zeros allowed); false when either is not hex.
[[nodiscard]] bool hash_within_target(const std::string& hash, const std::string& target);

// The block reward at a height and its developer share.
std::uint64_t reward(std::uint64_t height);
std::uint64_t developer_share(std::uint64_t total);

// A new 64-digit target after a block came `seconds` after the previous one,
// for a wanted block time: scaled by actual/wanted, at most 2x either way.
std::string retarget(const std::string& target, double seconds, double wantedSeconds);

}  // namespace consensus
