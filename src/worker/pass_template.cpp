#include "worker/pass_template.h"

#include <cstdlib>

#include "block/canonical.h"
#include "block/hex.h"
#include "block/json_text.h"
#include "worker/identity.h"

namespace quorlen::worker {

namespace {

void quoted(std::string& out, const std::string& text) {
    out.push_back('"');
    json_escape(out, text);
    out.push_back('"');
}

// A reward transaction up to and including `"nonce":`.
void rewardUntilNonce(std::string& out, const std::string& receiver, std::uint64_t amount) {
    out += "{\"sender\":\"network\",\"receiver\":";
    quoted(out, receiver);
    out += ",\"amount\":";
    block::canonical::append_unsigned(out, amount);
    out += ",\"signature\":\"\",\"nonce\":";
}

}  // namespace

PassTemplate::PassTemplate(const ChainView& view, const std::string& proposer, std::uint64_t ts) {
    std::string stamp;
    block::canonical::append_unsigned(stamp, ts);
    const std::string txEnd = ",\"timestamp\":" + stamp + "}";

    head_ = "{\"timestamp\":" + stamp + ",\"transactions\":[";
    head_.reserve(head_.size() + view.mempoolText.size() + 256);
    head_ += view.mempoolText;
    if (!view.mempoolText.empty()) head_.push_back(',');
    rewardUntilNonce(head_, DEV_WALLET_JS, view.devAmount);

    mid1_ = txEnd + ",";
    rewardUntilNonce(mid1_, proposer, view.minerAmount);

    mid2_ = txEnd + "],\"prev_hash\":";
    quoted(mid2_, view.prevHash);
    mid2_ += ",\"nonce\":";

    tail_ = ",\"signature\":\"\",\"proposer\":";
    quoted(tail_, proposer);
    tail_ += ",\"hash\":\"\",\"diff\":";
    quoted(tail_, view.diff);
    tail_.push_back('}');
}

void PassTemplate::write(std::string& out) const {
    out.assign(head_);
    appendRest(out);
}

void PassTemplate::write_rest(std::string& out) const {
    out.clear();
    appendRest(out);
}

void PassTemplate::appendRest(std::string& out) const {
    const std::uint64_t devNonce = static_cast<std::uint64_t>(std::rand() % 1000000);
    const std::uint64_t minerNonce = static_cast<std::uint64_t>(std::rand() % 1000000);
    const std::uint64_t blockNonce = static_cast<std::uint64_t>(std::rand() % 1000000000);
    block::canonical::append_unsigned(out, devNonce);
    out += mid1_;
    block::canonical::append_unsigned(out, minerNonce);
    out += mid2_;
    block::canonical::append_unsigned(out, blockNonce);
    out += tail_;
}

}  // namespace quorlen::worker
