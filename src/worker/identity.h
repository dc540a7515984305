// Whose block a pass mines: the built-in developer key during the developer
// minutes of every hour, the user's key otherwise.
#pragma once

#include <string>
#include <utility>

#include "block/signer.h"
#include "worker/worker_ctx.h"

// The receiver of the developer share: the compressed public key of the
// built-in developer key.
extern const std::string DEV_WALLET_JS;

// The signer and proposer of a pass: the developer's during the first
// devMinutes of every local hour (when enabled and ready), else the user's.
std::pair<const Signer*, std::string> pick_identity(const WorkerCtx& ctx);

namespace quorlen::worker {

// The built-in developer key, mined for during the developer minutes.
extern const char* const kDevPrivateKey;

// The same at a given minute of the local hour.
std::pair<const Signer*, std::string> pick_identity_at(const WorkerCtx& ctx, int localMinute);

}  // namespace quorlen::worker
