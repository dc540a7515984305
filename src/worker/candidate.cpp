#include "worker/candidate.h"

#include <cstdlib>

#include "worker/identity.h"

nlohmann::json make_candidate(const ChainView& view, const std::string& proposer, std::uint64_t ts) {
    nlohmann::json txs = nlohmann::json::array();
    if (view.mempool.is_array())
        for (const auto& tx : view.mempool) txs.push_back(tx);
    auto reward = [&](const std::string& receiver, std::uint64_t amount) {
        return nlohmann::json{{"sender", "network"},
                              {"receiver", receiver},
                              {"amount", amount},
                              {"signature", ""},
                              {"nonce", static_cast<std::uint64_t>(std::rand() % 1000000)},
                              {"timestamp", ts}};
    };
    txs.push_back(reward(DEV_WALLET_JS, view.devAmount));
    txs.push_back(reward(proposer, view.minerAmount));
    return {{"timestamp", ts},
            {"transactions", std::move(txs)},
            {"prev_hash", view.prevHash},
            {"nonce", static_cast<std::uint64_t>(std::rand() % 1000000000)},
            {"signature", ""},
            {"proposer", proposer},
            {"hash", ""},
            {"diff", view.diff}};
}
