#include "chain.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <stdexcept>

#include "block_shape.h"
#include "bounded_json.h"
#include "consensus.h"
#include "ecdsa_verify.h"

using nlohmann::json;

namespace {

std::uint64_t nowMs() {
    return std::uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count());
}

const std::string& str(const json& v) { return v.get_ref<const std::string&>(); }

}  // namespace

json Chain::genesis() {
    json g = {{"timestamp", 0},  {"transactions", json::array()}, {"prev_hash", ""}, {"nonce", 0},
              {"signature", ""}, {"proposer", ""},                {"hash", ""},      {"diff", ""}};
    g["hash"] = consensus::normalised(consensus::pow_hash(*consensus::block_text(g)));
    return g;
}

Chain::Chain(ChainSettings settings) : settings_(std::move(settings)), target_(settings_.initialTarget) {
    if (!consensus::is_target_text(target_)) throw std::invalid_argument("a target is 1 to 64 hex digits");
    if (!(settings_.blockSeconds > 0)) throw std::invalid_argument("the block time must be positive");
    if (settings_.developerWallet.empty()) settings_.developerWallet = consensus::kDeveloperWallet;
    blocks_.push_back(genesis());
    if (!settings_.dataFile.empty()) load();
}

// Every stored line must be the block the node accepted there: it is checked
// as a submission is, apart from the pending transactions (gone with the
// process) and the clock.
void Chain::load() {
    store_ = std::make_unique<BlockStore>(settings_.dataFile);
    tornBytes_ = store_->torn_bytes();
    for (const BlockStore::Line& line : store_->lines()) {
        std::string why, text;
        const auto block = parse_bounded(line.text, &why);
        if (block) why = faultAgainstTip(*block, text);
        if (why.empty() && settings_.checkStoredWork &&
            consensus::normalised(consensus::pow_hash(text)) != str((*block)["hash"]))
            why = "hash does not match the block";
        if (why == "stale prev_hash") why = "prev_hash is not the hash of the block before it";
        if (why.rfind("diff ", 0) == 0) why += " (was the chain made with other --target or --block-seconds?)";
        if (!why.empty())
            throw std::runtime_error(settings_.dataFile + " line " + std::to_string(line.number) + ": " + why);
        extend(*block);
    }
    store_->forget();
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
    json out = json::array();
    for (const Pending& p : mempool_)
        if (!expired(p)) out.push_back(p.tx);
    return out;
}

void Chain::dropExpired() {
    const auto gone = std::remove_if(mempool_.begin(), mempool_.end(), [&](const Pending& p) { return expired(p); });
    for (auto it = gone; it != mempool_.end(); ++it) mempoolBytes_ -= it->text.size();
    mempool_.erase(gone, mempool_.end());
}

std::uint64_t Chain::medianTimePast() const {
    const size_t n = std::min(blocks_.size(), kMedianTimeBlocks);
    std::vector<std::uint64_t> times;
    for (size_t i = blocks_.size() - n; i < blocks_.size(); ++i) times.push_back(blocks_[i]["timestamp"].get<std::uint64_t>());
    std::nth_element(times.begin(), times.begin() + long(n / 2), times.end());
    return times[n / 2];
}

std::string Chain::add_transaction(const json& tx) {
    if (std::string why = transaction_shape_fault(tx); !why.empty()) return why;
    if (tx["sender"] == "network") return "only blocks pay from the network";
    if (json_value_depth(tx) > kMaxTransactionDepth)
        return "nested deeper than " + std::to_string(kMaxTransactionDepth) + " levels (a block carrying it would nest deeper than " +
               std::to_string(kMaxJsonDepth) + ")";
    std::string why;
    auto text = consensus::transaction_text(tx, &why);
    if (!text) return why.empty() ? "malformed transaction" : why;
    std::lock_guard<std::mutex> g(lock_);
    dropExpired();
    if (mempool_.size() >= kMaxPendingTransactions || mempoolBytes_ + text->size() > kMaxPendingBytes)
        return std::string(kMempoolFull) + " (" + std::to_string(kMaxPendingTransactions) + " transactions or " +
               std::to_string(kMaxPendingBytes >> 20) + " MiB); try again after the next block";
    mempoolBytes_ += text->size();
    mempool_.push_back({tx, std::move(*text), std::chrono::steady_clock::now() + settings_.pendingLifetime});
    return "";
}

// The reason `block` cannot follow the tip, or "" when it can; the Argon2
// hash is left to the caller, being the one costly check. `text` receives the
// text that is hashed and signed.
std::string Chain::faultAgainstTip(const json& block, std::string& text) const {
    if (std::string why = block_shape_fault(block); !why.empty()) return "malformed block: " + why;
    std::string why;
    const auto t = consensus::block_text(block, &why);
    if (!t) return "malformed block: " + why;
    if (block["prev_hash"] != blocks_.back()["hash"]) return "stale prev_hash";
    const std::string& diff = str(block["diff"]);
    if (!consensus::is_target_text(diff) || consensus::normalised(diff) != consensus::normalised(target_))
        return "diff " + diff.substr(0, 70) + " is not the target " + consensus::normalised(target_);
    const std::string& hash = str(block["hash"]);
    if (!consensus::is_target_text(hash) || consensus::normalised(hash) != hash) return "hash does not match the block";
    if (!consensus::hash_within_target(hash, target_)) return "hash above target";

    const json& txs = block["transactions"];
    if (txs.size() < 2) return "missing reward transactions";
    const std::uint64_t total = consensus::reward(blocks_.size());
    const std::uint64_t dev = consensus::developer_share(total);
    auto pays = [](const json& tx, const json& to, std::uint64_t amount) {
        return tx["sender"] == "network" && tx["receiver"] == to && tx["amount"].get<std::uint64_t>() == amount;
    };
    if (!pays(txs[txs.size() - 2], settings_.developerWallet, dev)) return "wrong developer reward";
    if (!pays(txs[txs.size() - 1], block["proposer"], total - dev)) return "wrong miner reward";
    for (size_t i = 0; i + 2 < txs.size(); ++i)
        if (txs[i]["sender"] == "network") return "transaction " + std::to_string(i) + " pays from the network";
    if (!openssl_verify(str(block["proposer"]), *t, str(block["signature"]))) return "bad signature";
    text = *t;
    return "";
}

// The reason a well-formed block's transactions are not all pending, or "".
std::string Chain::pendingFault(const json& block) const {
    std::multiset<std::string> pending;
    for (const Pending& p : mempool_)
        if (!expired(p)) pending.insert(p.text);
    const json& txs = block["transactions"];
    for (size_t i = 0; i + 2 < txs.size(); ++i) {
        auto it = pending.find(*consensus::transaction_text(txs[i]));
        if (it == pending.end()) return "transaction " + std::to_string(i) + " is not pending";
        pending.erase(it);
    }
    return "";
}

// Appends a checked block and retunes the target by the time between the
// last two blocks' own timestamps: the chain alone decides every target, so
// a restarted node derives the same one.
void Chain::extend(const json& block) {
    const double seconds =
        (double(block["timestamp"].get<std::uint64_t>()) - double(blocks_.back()["timestamp"].get<std::uint64_t>())) /
        1000;
    blocks_.push_back(block);
    target_ = consensus::retarget(target_, seconds, settings_.blockSeconds);
}

Verdict Chain::submit(const json& block, const WorkGate& mayCheckWork) {
    std::lock_guard<std::mutex> one(submitting_);
    std::string text;
    {
        std::lock_guard<std::mutex> g(lock_);
        dropExpired();
        std::string why = faultAgainstTip(block, text);
        if (why.empty()) why = pendingFault(block);
        const std::uint64_t ts = why.empty() ? block["timestamp"].get<std::uint64_t>() : 0;
        if (why.empty() && ts > nowMs() + kMaxFutureMs)
            why = "timestamp more than " + std::to_string(kMaxFutureMs / 1000) + " s ahead of the node's clock";
        if (why.empty() && ts <= medianTimePast())
            why = "timestamp " + std::to_string(ts) + " is not after " + std::to_string(medianTimePast()) +
                  ", the median of the last " + std::to_string(std::min(blocks_.size(), kMedianTimeBlocks)) + " blocks";
        if (why.empty() && mayCheckWork) why = mayCheckWork();
        if (!why.empty()) return {false, why, blocks_.size(), ""};
    }
    // The costly check runs outside the state lock, so readers are not held
    // up; nothing else changes the tip meanwhile.
    const std::string hash = str(block["hash"]);
    if (consensus::normalised(consensus::pow_hash(text)) != hash)
        return {false, "hash does not match the block", height(), hash};

    std::lock_guard<std::mutex> g(lock_);
    if (store_) store_->append(block.dump());  // on the disk before anyone hears of it
    extend(block);
    const json& txs = block["transactions"];
    for (size_t i = 0; i + 2 < txs.size(); ++i) {
        const std::string tx = *consensus::transaction_text(txs[i]);
        auto it = std::find_if(mempool_.begin(), mempool_.end(), [&](const Pending& p) { return p.text == tx; });
        if (it != mempool_.end()) {
            mempoolBytes_ -= it->text.size();
            mempool_.erase(it);
        }
    }
    return {true, "", blocks_.size(), hash};
}
