// The development node's chain: blocks from a genesis block, pending
// transactions, the target retuned toward a block time, and the validation
// of every block submitted or read back from the data file. Safe to use from
// several threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "block_store.h"

struct ChainSettings {
    std::string initialTarget = "0fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff";
    double blockSeconds = 10;
    std::string developerWallet;  // empty: the chain's developer wallet
    std::string dataFile;         // empty: nothing kept on disk
    // Recompute every stored block's Argon2 hash when loading (about 80 ms a
    // block here); without it a stored hash is trusted, everything else is
    // still checked.
    bool checkStoredWork = true;
    // A pending transaction no block has carried by then is dropped, so
    // that nothing stays in the mempool for good.
    std::chrono::milliseconds pendingLifetime{std::chrono::minutes(10)};
};

struct Verdict {
    bool accepted;
    std::string reason;       // why not, when rejected
    std::uint64_t height = 0; // the chain's height after an accepted block
    std::string hash;
};

// The pending transactions are capped so that a block carrying all of them
// (and its rewards) always fits well inside one WebSocket message.
constexpr size_t kMaxPendingTransactions = 1000;
constexpr size_t kMaxPendingBytes = 2 << 20;  // of transaction text
// A block's timestamp may run ahead of the node's clock by this much.
constexpr std::uint64_t kMaxFutureMs = 120'000;
// ... and must be later than the median of this many blocks before it: a
// miner whose clock is a little behind the last block's miner still gets
// through, a block stamped far in the past does not.
constexpr size_t kMedianTimeBlocks = 11;
// How a refusal for a full mempool begins (the node answers it with 429).
constexpr std::string_view kMempoolFull = "mempool full";

class Chain {
public:
    // Throws std::invalid_argument for a target that is not 1 to 64 hex
    // digits, std::runtime_error when the data file cannot be used or holds
    // anything but a valid chain (the message names the line and the reason).
    explicit Chain(ChainSettings settings);

    std::uint64_t height() const;
    [[nodiscard]] std::optional<nlohmann::json> block(std::uint64_t n) const;
    std::string target() const;
    nlohmann::json mempool() const;
    // Bytes of a torn last line cut from the data file at start (0: none).
    size_t dropped_torn_bytes() const { return tornBytes_; }

    // Adds a pending transaction: "" when it is taken, else the reason (it is
    // malformed or the mempool is full).
    [[nodiscard]] std::string add_transaction(const nlohmann::json& tx);
    // Asked once a block has passed every cheap check, just before its
    // Argon2 hash is computed: "" lets the check run, anything else is the
    // reason it is refused.
    using WorkGate = std::function<std::string()>;
    // Checks a submitted block and appends it when it is valid.
    Verdict submit(const nlohmann::json& block, const WorkGate& mayCheckWork = {});

    static nlohmann::json genesis();

private:
    struct Pending {
        nlohmann::json tx;
        std::string text;
        std::chrono::steady_clock::time_point expires;
    };
    bool expired(const Pending& p) const { return p.expires <= std::chrono::steady_clock::now(); }
    void dropExpired();
    std::uint64_t medianTimePast() const;
    [[nodiscard]] std::string faultAgainstTip(const nlohmann::json& block, std::string& text) const;
    [[nodiscard]] std::string pendingFault(const nlohmann::json& block) const;
    void extend(const nlohmann::json& block);
    void load();

    ChainSettings settings_;
    std::mutex submitting_;  // one submission at a time, held through the hashing
    mutable std::mutex lock_;  // the state below
    std::vector<nlohmann::json> blocks_;
    std::vector<Pending> mempool_;
    size_t mempoolBytes_ = 0;
    std::string target_;
    std::unique_ptr<BlockStore> store_;
    size_t tornBytes_ = 0;
};
