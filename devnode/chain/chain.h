// The development node's chain: blocks from a genesis block, pending
// transactions, the target retuned toward a block time, and the validation
// of every block submitted. Safe to use from several threads.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "block_store.h"

struct ChainSettings {
    std::string initialTarget = "0fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff";
    double blockSeconds = 10;
    std::string developerWallet;  // empty: the chain's developer wallet
    std::string dataFile;         // empty: nothing kept on disk
};

struct Verdict {
    bool accepted;
    std::string reason;       // why not, when rejected
    std::uint64_t height = 0; // the chain's height after an accepted block
    std::string hash;
};

class Chain {
public:
    explicit Chain(ChainSettings settings);

    std::uint64_t height() const;
    std::optional<nlohmann::json> block(std::uint64_t n) const;
    std::string target() const;
    nlohmann::json mempool() const;

    // Adds a pending transaction; the reason when it is malformed.
    std::optional<std::string> addTransaction(const nlohmann::json& tx);
    // Checks a submitted block and appends it when it is valid.
    Verdict submit(const nlohmann::json& block);

    static nlohmann::json genesis();

private:
    std::string checkBlock(const nlohmann::json& block, std::string& hash) const;

    ChainSettings settings_;
    mutable std::mutex lock_;
    std::vector<nlohmann::json> blocks_;
    std::vector<nlohmann::json> mempool_;
    std::string target_;
    std::chrono::steady_clock::time_point lastBlockAt_;
    std::unique_ptr<BlockStore> store_;
};
