// The mining thread: passes of candidates, hashed in one batch, tested
// against the target, the first hit signed and pushed to the node.
#pragma once

#include <cstdint>
#include <string>

#include "worker/worker_ctx.h"

void worker_thread(WorkerCtx* ctx);

// hash <= target, both read as big-endian numbers (hex, see hexToBytes).
[[nodiscard]] bool meets_target(const std::string& hash, const std::string& target);

// Signs, builds and sends the block of a winning text; writes the
// "[submit]" line. Throws when the text cannot be turned into a block.
// `height`: the block's place in the chain, as the pass saw it (for the list
// of blocks found). `builtOn`, when given, keeps the block off a node whose
// tip is not the one it was found on; it is then counted stale.
void submit_hit(WorkerCtx& ctx, const std::string& text, const std::string& hash, const Signer& signer,
                std::uint64_t height = 0, const quorlen::node::BuiltOn* builtOn = nullptr);

namespace quorlen::worker {

// A hash as submitted: lowercase, leading '0's removed, "0" if none remain.
std::string submitted_hash_text(const std::string& hash);

// Whether the CPU computes the same digest for `text` as the device did.
// On a mismatch writes one line naming the GPU and both digests to standard
// error and counts a hardware error.
[[nodiscard]] bool confirm_hit(WorkerCtx& ctx, const std::string& text, const std::string& hash);

// Sleeps `ms` milliseconds, resuming after signals.
void sleep_ms(long ms);

}  // namespace quorlen::worker
