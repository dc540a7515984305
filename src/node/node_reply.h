// How the node's replies are read: pure functions of the body, shared by the
// node client's endpoints and their tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "block/json_depth.h"

namespace quorlen::node {

namespace node_reply {
// How deep one pending transaction may nest: in a block it sits two levels
// down (the block, its transaction list), and the block as a whole must stay
// within kMaxJsonDepth to be read back when it is submitted.
constexpr std::size_t kMaxEntryDepth = block::kMaxJsonDepth - 2;

[[nodiscard]] bool height(const std::string& body, std::uint64_t& height);
[[nodiscard]] bool block(const std::string& body, nlohmann::json& block);
[[nodiscard]] bool diff(const std::string& body, std::string& diff);
// The target a /diff text gives, read as the chain reads it: one leading
// "0x" dropped, lowercased, leading zeros removed, blanks kept (each pair of
// characters is converted by itself, so blanks are read as the hex rules
// read them). False when it cannot be mined against, with the reason in
// `why` (then `target` is untouched).
[[nodiscard]] bool target(const std::string& diff, std::string& target, std::string& why);
// True when the body was a readable document (it then replaces `mempool`).
// Entries nested too deeply to be written into a block are kept as
// discarded values, so that whoever adopts the list can name them.
[[nodiscard]] bool mempool(const std::string& body, nlohmann::json& mempool);
}  // namespace node_reply

}  // namespace quorlen::node
