#include "node/node_api.h"

#include <cstdio>
#include <stdexcept>

#include "block/printable.h"
#include "node/steady_ms.h"

using namespace quorlen;
using namespace quorlen::node;

NodeApi::NodeApi(const std::string& baseUrl, const std::string& wsUrl, StopGrace stop,
                 std::shared_ptr<VerdictReporter> verdicts, TlsTrust trust)
    : primary_(std::make_unique<NodeClient>(baseUrl, wsUrl, std::move(stop), std::move(verdicts), std::move(trust))),
      lastRead_(primary_.get()) {}

NodeApi::~NodeApi() = default;

template <class Read>
bool NodeApi::onServing(Read read) {
    NodeClient& node = serving();
    lastRead_ = &node;
    return read(node);
}

// Every refresh reads the height once: its outcome is the refresh's, and the
// moment to ask the primary again while the backup serves.
bool NodeApi::getBlockHeight(std::uint64_t& height) {
    if (!backup_) return onServing([&](NodeClient& n) { return n.read_height(height); });
    const long long now = steady_ms();
    if (failover_.probe_due(now)) {
        std::uint64_t probed = 0;
        const bool answered = primary_->read_height(probed);
        if (!primary_->cut_short() && failover_.probe(answered, now)) switchNode(false, "it answers again");
    }
    const bool onBackup = failover_.on_backup();
    const bool ok = onServing([&](NodeClient& n) { return n.read_height(height); });
    if (cut_short() || !failover_.refresh(ok)) return ok;
    // Three in a row: the other node serves from now on, if it answers. The
    // outcome stays this read's, not the other node's.
    std::uint64_t probed = 0;
    NodeClient& other = onBackup ? *primary_ : *backup_;
    if (!past_stop_grace() && other.read_height(probed))
        switchNode(!onBackup,
                    std::to_string(Failover::kFailedRefreshes) + " refreshes in a row failed: " + last_error());
    return false;
}

bool NodeApi::getBlock(std::uint64_t n, nlohmann::json& block) {
    return onServing([&](NodeClient& node) { return node.read_block(n, block); });
}

bool NodeApi::getDiff(std::string& diff) {
    return onServing([&](NodeClient& node) { return node.read_diff(diff); });
}

void NodeApi::getMempool(nlohmann::json& mempool) {
    onServing([&](NodeClient& node) { return node.read_mempool(mempool); });
}

void NodeApi::add_backup(std::unique_ptr<NodeClient> backup, FailoverTimes times) {
    if (backup && backup->shares_verdicts_with(*primary_))
        throw std::invalid_argument("the backup node needs a verdict reporter of its own");
    lastRead_ = primary_.get();  // never a backup that is let go here
    backup_ = std::move(backup);
    failover_ = Failover(times);
}

void NodeApi::switchNode(bool toBackup, const std::string& why) {
    if (toBackup) failover_.to_backup(steady_ms());
    else failover_.to_primary();
    onBackup_.store(failover_.on_backup());
    switches_.store(failover_.switches());
    const NodeClient& to = serving();
    std::fprintf(stderr, "\n[node] switched %s node: %s %s (%s)\n", toBackup ? "to the backup" : "back to the primary",
                 to.base_url().c_str(), to.ws_url().c_str(), block::printable(why).c_str());
}

bool NodeApi::send_block_event(const std::string& message, const std::string& hash, const BuiltOn* builtOn) {
    using Admits = NodeClient::Admits;
    lastBlockStale_ = false;
    lastBlockRefusal_.clear();
    if (!backup_) return primary_->send_block(message, hash);
    const bool onBackup = failover_.on_backup();
    NodeClient& here = serving();
    NodeClient& there = onBackup ? *primary_ : *backup_;
    bool sent = false;
    Admits hereAdmits = Admits::Yes;
    std::string whyHere, whyThere;
    if (!builtOn || builtOn->node == switches()) {
        sent = here.send_block(message, hash);
    } else {
        // Found on what the other node showed: it goes out here only if this
        // node's tip and target admit it.
        hereAdmits = here.admits(builtOn, hash, whyHere);
        if (hereAdmits == Admits::Yes) sent = here.send_block(message, hash);
    }
    if (sent || past_stop_grace()) return sent;
    // The other node gets it if it answers, on its own tip and within its
    // own target; when this one failed, it serves from now on.
    const bool hereDeclined = hereAdmits == Admits::OtherTip || hereAdmits == Admits::AboveTarget;
    const Admits thereAdmits = there.admits(builtOn, hash, whyThere);
    if (Failover::send_failed(hereDeclined, thereAdmits != Admits::NoAnswer))
        switchNode(!onBackup, std::string("a block could not be sent to the ") + (onBackup ? "backup" : "primary"));
    if (thereAdmits == Admits::NoAnswer) {
        lastBlockStale_ = hereAdmits == Admits::OtherTip;
        if (hereAdmits == Admits::AboveTarget) lastBlockRefusal_ = whyHere;
        return false;
    }
    if (thereAdmits == Admits::OtherTip) {
        lastBlockStale_ = true;
        return false;
    }
    if (thereAdmits == Admits::AboveTarget) {
        lastBlockRefusal_ = whyThere;
        return false;
    }
    return there.send_block(message, hash);
}
