// A worker's view of the chain: tip, target, pending transactions and the
// reward split, fetched from the node at most every 2 seconds.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "worker/fetch_watch.h"

struct WorkerCtx;

struct ChainView {
    std::uint64_t height = 0;
    std::string prevHash;
    std::string diff;
    nlohmann::json mempool = nlohmann::json::array();
    std::uint64_t devAmount = 0;
    std::uint64_t minerAmount = 0;
    std::uint64_t refreshedMs = 0;
    // Which node the tip came from: the node client's count of switches
    // then. When the client has switched since, the next pass refreshes at
    // once and reads the new node's tip.
    std::uint64_t node = 0;
    // The canonical texts of the mempool's transactions, comma-separated:
    // the same in every candidate, so written once per fetch.
    std::string mempoolText;
    // Whether each endpoint the view depends on is failing right now.
    quorlen::worker::FetchWatch heightWatch, diffWatch, mempoolWatch;
};

// The view's first fetch, at thread start.
void load_chain(WorkerCtx& ctx, ChainView& view);
// Refreshes the view when more than 2000 ms have passed since the last time,
// or at once when the node client has switched nodes.
void refresh_chain(WorkerCtx& ctx, ChainView& view, std::uint64_t nowMs);

namespace quorlen::worker {

// DIFF_OVERRIDE, when set, replaces the target as it stands.
void apply_diff_override(ChainView& view);

// Keeps the mempool entries that the canonical text can write and sets
// view.mempoolText; reports dropped entries in one line on standard error.
void adopt_mempool(ChainView& view, nlohmann::json fetched);

}  // namespace quorlen::worker
