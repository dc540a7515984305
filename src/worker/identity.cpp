#include "worker/identity.h"

#include <ctime>

const std::string DEV_WALLET_JS = "03f3838b998d6d1cd94137a1a090c45e4d7283eecb4a0086cb274715bb1a5bed41";

namespace quorlen::worker {

const char* const kDevPrivateKey = "5e1f0c2a9b7d4e3f8a6c1b2d3e4f5a6b7c8d9e0f1a2b3c4d5e6f7a8b9c0d1e2f";

std::pair<const Signer*, std::string> pick_identity_at(const WorkerCtx& ctx, int localMinute) {
    if (ctx.devEnabled && ctx.devReady && localMinute < ctx.devMinutes) return {&ctx.devSigner, ctx.devPub};
    return {&ctx.signer, ctx.minerPub};
}

}  // namespace quorlen::worker

using namespace quorlen::worker;

std::pair<const Signer*, std::string> pick_identity(const WorkerCtx& ctx) {
    if (!(ctx.devEnabled && ctx.devReady)) return {&ctx.signer, ctx.minerPub};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return pick_identity_at(ctx, local.tm_min);
}
