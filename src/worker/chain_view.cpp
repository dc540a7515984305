#include "worker/chain_view.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <tuple>

#include "block/canonical.h"
#include "block/hex.h"
#include "block/json_depth.h"
#include "block/printable.h"
#include "node/node_reply.h"
#include "node/steady_ms.h"
#include "worker/rewards.h"
#include "worker/worker_ctx.h"

namespace quorlen::worker {

namespace {

const char* const kEasiestTarget = "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff";

// The tip's "hash" when it is text; anything else keeps what we have.
void takeTipHash(const nlohmann::json& tip, std::string& prevHash) {
    if (!tip.is_object()) return;
    auto it = tip.find("hash");
    if (it != tip.end() && it->is_string()) prevHash = it->get<std::string>();
}

// The node's target, normalised, when it came and can be used.
bool fetchTarget(NodeApi& api, ChainView& view, std::string& target) {
    std::string raw;
    if (!api.getDiff(raw)) {
        if (!api.cut_short()) view.diffWatch.failed("/diff", api.last_error());
        return false;
    }
    // Read as the chain reads it: leading blanks stay, in the block's "diff"
    // member as in the target test.
    std::string problem;
    if (!node::node_reply::target(raw, target, problem)) {
        view.diffWatch.failed("/diff", problem);
        return false;
    }
    view.diffWatch.answered("/diff");
    return true;
}

// Also notes when the node last answered, for the monitoring API.
bool fetchHeight(WorkerCtx& ctx, ChainView& view, std::uint64_t& height) {
    const bool ok = ctx.api->getBlockHeight(height);
    if (!ok) {
        if (!ctx.api->cut_short()) view.heightWatch.failed("/height", ctx.api->last_error());
        return false;
    }
    view.heightWatch.answered("/height");
    ctx.stats->nodeAnsweredMs.store(node::steady_ms());
    return true;
}

void fetchMempool(NodeApi& api, ChainView& view, nlohmann::json& mempool) {
    api.getMempool(mempool);
    if (api.last_error().empty()) view.mempoolWatch.answered("/mempool");
    else if (!api.cut_short()) view.mempoolWatch.failed("/mempool", api.last_error());
}

void recomputeAmounts(ChainView& view) {
    std::tie(view.devAmount, view.minerAmount) = split_reward(block_reward(view.height));
}

}  // namespace

void adopt_mempool(ChainView& view, nlohmann::json fetched) {
    view.mempool = nlohmann::json::array();
    view.mempoolText.clear();
    if (!fetched.is_array()) return;
    std::size_t dropped = 0;
    std::string firstError, text;
    for (auto& tx : fetched) {
        text.clear();
        try {
            // Written, copied and compared recursively from here on.
            if (tx.is_discarded() || block::json_depth(tx) > node::node_reply::kMaxEntryDepth)
                throw std::runtime_error("nested deeper than " + std::to_string(node::node_reply::kMaxEntryDepth) +
                                         " levels");
            block::canonical::append_transaction(text, tx);
            // The winning text is parsed back before it is submitted: what
            // cannot be parsed back cannot be submitted either.
            if (!nlohmann::json::accept(text)) throw std::runtime_error("text is not valid JSON (bad UTF-8?)");
        } catch (const std::exception& e) {
            if (dropped++ == 0) firstError = e.what();
            continue;
        }
        if (!view.mempoolText.empty()) view.mempoolText.push_back(',');
        view.mempoolText += text;
        view.mempool.push_back(std::move(tx));
    }
    if (dropped)
        std::fprintf(stderr, "\n[mempool] left out %zu of %zu transactions that cannot be written: %s\n", dropped,
                     fetched.size(), block::printable(firstError).c_str());
}

void apply_diff_override(ChainView& view) {
    if (const char* v = std::getenv("DIFF_OVERRIDE")) view.diff = v;
}

}  // namespace quorlen::worker

using namespace quorlen::worker;

void load_chain(WorkerCtx& ctx, ChainView& view) {
    view.mempool = nlohmann::json::array();
    view.mempoolText.clear();
    view.height = 0;
    view.prevHash.clear();
    view.diff.clear();
    NodeApi& api = *ctx.api;
    fetchHeight(ctx, view, view.height);
    if (view.height != 0) {
        nlohmann::json tip;
        if (api.getBlock(view.height - 1, tip)) takeTipHash(tip, view.prevHash);
    }
    view.node = api.switches();
    nlohmann::json mempool = nlohmann::json::array();
    fetchMempool(api, view, mempool);
    adopt_mempool(view, std::move(mempool));
    if (!fetchTarget(api, view, view.diff)) view.diff = kEasiestTarget;
    recomputeAmounts(view);
    view.refreshedMs = 0;
}

void refresh_chain(WorkerCtx& ctx, ChainView& view, std::uint64_t nowMs) {
    NodeApi& api = *ctx.api;
    if (nowMs - view.refreshedMs <= 2000 && view.node == api.switches()) return;
    std::uint64_t h = 0;
    const bool answered = fetchHeight(ctx, view, h);
    // The node that answered (a switch happens before a read or after a failed one).
    const std::uint64_t node = api.switches();
    if (answered && (h != view.height || node != view.node)) {
        view.height = h;
        if (node != view.node) {
            // Another node's tip: nothing of the old one's is kept; until it is
            // read, the view stays marked as the old node's.
            nlohmann::json tip;
            if (h == 0) view.prevHash.clear();
            if (h == 0 || (api.getBlock(h - 1, tip) && tip.is_object() && tip.contains("hash") &&
                           tip["hash"].is_string())) {
                if (h != 0) takeTipHash(tip, view.prevHash);
                view.node = node;
            }
        } else if (h != 0) {
            nlohmann::json tip;
            if (api.getBlock(h - 1, tip)) takeTipHash(tip, view.prevHash);
        }
        nlohmann::json mempool = view.mempool;
        fetchMempool(api, view, mempool);
        adopt_mempool(view, std::move(mempool));
    }
    fetchTarget(api, view, view.diff);
    recomputeAmounts(view);
    view.refreshedMs = nowMs;
}
