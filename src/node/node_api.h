// One worker's client of the node: the node it was made for and, when one is
// added, a backup, each a NodeClient of its own. Reads and sends go to the
// node that serves; the worker sees one client either way.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "node/failover.h"
#include "node/node_client.h"

class NodeApi {
public:
    // The client of the node at `baseUrl` and `wsUrl` (see NodeClient).
    NodeApi(const std::string& baseUrl, const std::string& wsUrl, quorlen::node::StopGrace stop = {},
            std::shared_ptr<quorlen::node::VerdictReporter> verdicts = nullptr, quorlen::node::TlsTrust trust = {});
    ~NodeApi();
    NodeApi(const NodeApi&) = delete;
    NodeApi& operator=(const NodeApi&) = delete;

    // The reads of NodeClient, on the node that serves; their outcome is
    // this client's.
    [[nodiscard]] bool getBlockHeight(std::uint64_t& height);
    [[nodiscard]] bool getBlock(std::uint64_t n, nlohmann::json& block);
    [[nodiscard]] bool getDiff(std::string& diff);
    void getMempool(nlohmann::json& mempool);
    // Why the last read failed, on the node it went to; empty after one
    // that worked.
    const std::string& last_error() const { return lastRead_->last_error(); }
    // The last read failed only because a stop's grace ran out.
    bool cut_short() const { return lastRead_->cut_short(); }

    // Sends one `block` event message as a text frame over the serving
    // node's connection (NodeClient::send_block). With a backup, a block
    // that this node cannot take goes to the other one (see add_backup);
    // `builtOn` keeps it off a node whose tip is not the one it was found
    // on, and `hash` off a node whose target it does not meet.
    [[nodiscard]] bool send_block_event(const std::string& message, const std::string& hash = {},
                          const quorlen::node::BuiltOn* builtOn = nullptr);
    // The last block was not sent because no node that answered has the tip
    // it was found on.
    bool last_block_stale() const { return lastBlockStale_; }
    // Why the last block was kept off the only node that answered on its tip
    // (its hash is above that node's target); empty otherwise.
    const std::string& last_block_refusal() const { return lastBlockRefusal_; }
    // A WebSocket client exists and its connection is up (on the node that serves).
    bool ws_connected() const { return serving().ws_connected(); }

    // A second node, for when this one fails. Its client must have a verdict
    // reporter of its own (or none): a node answers only for its own blocks.
    // From then on reads and sends go to the node that serves: this one
    // until three height reads (one a refresh) fail in a row or a block
    // cannot be sent to it, then the backup (if it answers), until this one
    // has answered its probes for a while or the backup fails in the same
    // way (the rules are Failover's). Each switch writes one "[node]
    // switched …" line. The backup has no backup of its own.
    void add_backup(std::unique_ptr<quorlen::node::NodeClient> backup, quorlen::node::FailoverTimes times = {});
    bool has_backup() const { return backup_ != nullptr; }
    // Readable from any thread: whether the backup serves, and how often the
    // serving node changed.
    bool on_backup() const { return onBackup_.load(); }
    std::uint64_t switches() const { return switches_.load(); }
    // A stop was requested and its grace is over: nothing reaches the node.
    bool past_stop_grace() const { return primary_->past_stop_grace(); }

private:
    quorlen::node::NodeClient& serving() { return backup_ && failover_.on_backup() ? *backup_ : *primary_; }
    const quorlen::node::NodeClient& serving() const { return backup_ && failover_.on_backup() ? *backup_ : *primary_; }
    // Runs a read on the node that serves; its outcome becomes this client's.
    template <class Read>
    bool onServing(Read read);
    void switchNode(bool toBackup, const std::string& why);

    std::unique_ptr<quorlen::node::NodeClient> primary_;
    // The node the last read went to: its outcome is this client's.
    const quorlen::node::NodeClient* lastRead_;
    bool lastBlockStale_ = false;
    std::string lastBlockRefusal_;
    std::unique_ptr<quorlen::node::NodeClient> backup_;
    quorlen::node::Failover failover_;
    std::atomic<bool> onBackup_{false};
    std::atomic<std::uint64_t> switches_{0};
};
