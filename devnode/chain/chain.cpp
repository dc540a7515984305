#include "chain.h"

#include <algorithm>
#include <set>

#include "consensus.h"
#include "ecdsa_verify.h"

using nlohmann::json;

json Chain::genesis() {
    json g = {{"timestamp", 0},  {"transactions", json::array()}, {"prev_hash", ""}, {"nonce", 0},
              {"signature", ""}, {"proposer", ""},                {"hash", ""},      {"diff", ""}};
    g["hash"] = consensus::normalised(consensus::pow_hash(*consensus::block_text(g)));
    return g;
}

Chain::Chain(ChainSettings settings) : settings_(std::move(settings)), target_(settings_.initialTarget) {
    if (settings_.developerWallet.empty()) settings_.developerWallet = consensus::kDeveloperWallet;
    blocks_.push_back(genesis());
    if (!settings_.dataFile.empty()) {
        store_ = std::make_unique<BlockStore>(settings_.dataFile);
        for (const json& b : store_->loaded()) blocks_.push_back(b);
        if (blocks_.size() > 1 && blocks_.back().contains("diff") && blocks_.back()["diff"].is_string()) {
            const std::string last = blocks_.back()["diff"];
            if (!last.empty() && consensus::hash_within_target("0", last)) target_ = last;
        }
    }
    lastBlockAt_ = std::chrono::steady_clock::now();
}

std::uint64_t Chain::height() const {
    std::lock_guard<std::mutex> g(lock_);
    return blocks_.size();
}

std::optional<json> Chain::block(std::uint64_t n) const {
    std::lock_guard<std::mutex> g(lock_);
    if (n >= blocks_.size()) return std::nullopt;
    return blocks_[n];
}

std::string Chain::target() const {
    std::lock_guard<std::mutex> g(lock_);
    return target_;
}

json Chain::mempool() const {
    std::lock_guard<std::mutex> g(lock_);
    return json(mempool_);
}

std::optional<std::string> Chain::addTransaction(const json& tx) {
    std::string why;
    if (!tx.is_object()) return std::string("a transaction is a JSON object");
    if (!consensus::transaction_text(tx, &why)) return why;
    if (tx["sender"] == "network") return std::string("only blocks pay from the network");
    std::lock_guard<std::mutex> g(lock_);
    mempool_.push_back(tx);
    return std::nullopt;
}

// The reason a block cannot extend the chain, or "" when it can.
std::string Chain::checkBlock(const json& block, std::string& hash) const {
    std::string why;
    const auto text = consensus::block_text(block, &why);
    if (!text) return "malformed block: " + why;
    if (block["prev_hash"] != blocks_.back()["hash"]) return "stale prev_hash";
    if (!block["hash"].is_string() || !block["signature"].is_string()) return "malformed block: hash or signature";
    hash = block["hash"];
    if (consensus::normalised(consensus::pow_hash(*text)) != hash) return "hash does not match the block";
    if (!consensus::hash_within_target(hash, target_)) return "hash above target";
    if (!openssl_verify(block["proposer"], *text, block["signature"])) return "bad signature";

    const json& txs = block["transactions"];
    if (txs.size() < 2) return "missing reward transactions";
    const std::uint64_t total = consensus::reward(blocks_.size());
    const std::uint64_t dev = consensus::developer_share(total);
    auto pays = [](const json& tx, const std::string& to, std::uint64_t amount) {
        return tx["sender"] == "network" && tx["receiver"] == to && tx["amount"].is_number() &&
               tx["amount"].get<std::uint64_t>() == amount;
    };
    if (!pays(txs[txs.size() - 2], settings_.developerWallet, dev)) return "wrong developer reward";
    if (!pays(txs[txs.size() - 1], block["proposer"], total - dev)) return "wrong miner reward";

    std::multiset<std::string> pending;
    for (const json& tx : mempool_) pending.insert(*consensus::transaction_text(tx));
    for (size_t i = 0; i + 2 < txs.size(); ++i) {
        auto it = pending.find(*consensus::transaction_text(txs[i]));
        if (it == pending.end()) return "transaction " + std::to_string(i) + " is not pending";
        pending.erase(it);
    }
    return "";
}

Verdict Chain::submit(const json& block) {
    std::lock_guard<std::mutex> g(lock_);
    std::string hash;
    const std::string why = checkBlock(block, hash);
    if (!why.empty()) return {false, why, blocks_.size(), hash};

    if (store_) store_->append(block);  // on the disk before anyone hears of it
    blocks_.push_back(block);
    const json& txs = block["transactions"];
    for (size_t i = 0; i + 2 < txs.size(); ++i) {
        const std::string text = *consensus::transaction_text(txs[i]);
        auto it = std::find_if(mempool_.begin(), mempool_.end(),
                               [&](const json& tx) { return *consensus::transaction_text(tx) == text; });
        if (it != mempool_.end()) mempool_.erase(it);
    }
    const auto now = std::chrono::steady_clock::now();
    target_ = consensus::retarget(target_, std::chrono::duration<double>(now - lastBlockAt_).count(),
                                  settings_.blockSeconds);
    lastBlockAt_ = now;
    return {true, "", blocks_.size(), hash};
}
