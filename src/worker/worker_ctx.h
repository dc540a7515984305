// What one mining thread owns and knows: its context, filled by main before
// the thread starts, and its private view of the chain.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "block/signer.h"
#include "node/node_api.h"
#include "worker/fetch_watch.h"
#include "worker/gpu_stats.h"

class GpuHasher;

// The receiver of the developer share: the compressed public key of the
// built-in developer key.
extern const std::string DEV_WALLET_JS;
// The built-in developer key, mined for during the developer minutes.
extern const char* const DEV_PRIVATE_KEY;

struct WorkerCtx {
    std::int32_t gpu = 0;
    std::int32_t batch = 128;
    std::atomic<std::uint64_t> hashes{0};
    std::atomic<std::uint64_t> hwErrors{0};  // hits the CPU did not confirm
    // Set by the worker when its device became unusable and it stopped.
    std::atomic<bool> deviceLost{false};
    std::unique_ptr<NodeApi> api;
    Signer signer;
    Signer devSigner;
    bool devReady = false;
    bool devEnabled = true;
    std::int32_t devMinutes = 5;
    std::string devPub;
    GpuHasher* hasher = nullptr;
    std::string minerPub;
    std::shared_ptr<GpuStats> stats = std::make_shared<GpuStats>();  // shared with the node's verdict reader
};

struct ChainView {
    std::uint64_t height = 0;
    std::string prevHash;
    std::string diff;
    nlohmann::json mempool = nlohmann::json::array();
    std::uint64_t devAmount = 0;
    std::uint64_t minerAmount = 0;
    std::uint64_t refreshedMs = 0;
    // The canonical texts of the mempool's transactions, comma-separated:
    // the same in every candidate, so written once per fetch.
    std::string mempoolText;
    // Whether each endpoint the view depends on is failing right now.
    FetchWatch heightWatch, diffWatch, mempoolWatch;
};

// The view's first fetch, at thread start.
void load_chain(WorkerCtx& ctx, ChainView& view);
// Refreshes the view when more than 2000 ms have passed since the last time.
void refresh_chain(WorkerCtx& ctx, ChainView& view, std::uint64_t nowMs);
// DIFF_OVERRIDE, when set, replaces the target as it stands.
void apply_diff_override(ChainView& view);

std::uint64_t block_reward(std::uint64_t height);
// (developer share, miner share) of a block reward.
std::pair<std::uint64_t, std::uint64_t> split_reward(std::uint64_t total);

// The signer and proposer of a pass: the developer's during the first
// devMinutes of every local hour (when enabled and ready), else the user's.
std::pair<const Signer*, std::string> pick_identity(const WorkerCtx& ctx);
std::pair<const Signer*, std::string> pick_identity_at(const WorkerCtx& ctx, int localMinute);

// One candidate block; draws three rand() numbers (developer-share nonce,
// miner-reward nonce, block nonce).
nlohmann::json make_candidate(const ChainView& view, const std::string& proposer, std::uint64_t ts);

// Why a target (normalised hex) cannot be mined against, or "": more than
// 64 hex digits or anything but hex digits.
std::string target_problem(const std::string& target);

// Keeps the mempool entries that the canonical text can write and sets
// view.mempoolText; reports dropped entries in one line on standard error.
void adopt_mempool(ChainView& view, nlohmann::json fetched);
