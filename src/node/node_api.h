// One worker's client of the node: four HTTP GET endpoints over a single
// libcurl handle, and the worker's WebSocket connection.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "block/json_depth.h"
#include "node/failover.h"
#include "node/node_verdict.h"
#include "node/stop_grace.h"
#include "node/ws_plain.h"

typedef void CURL;
typedef void CURLM;

// Owns one libcurl easy handle together with one pair of libcurl's global
// initialisation and clean-up calls, and the multi handle its transfers run
// in (which keeps its connections from one request to the next).
class CurlHandle {
public:
    CurlHandle();
    ~CurlHandle();
    CurlHandle(const CurlHandle&) = delete;
    CurlHandle& operator=(const CurlHandle&) = delete;
    CURL* get() const { return handle_; }
    CURLM* multi() const { return multi_; }

private:
    CURL* handle_;
    CURLM* multi_;
};

// The tip a block was built on: the chain's height and its last block's hash
// as a node reported them, and which node that was (the client's count of
// switches at the time).
struct BuiltOn {
    std::uint64_t height = 0;
    std::string prevHash;
    std::uint64_t node = 0;
};

class NodeApi {
public:
    // The most a reply may hold: beyond it the fetch fails and what came so
    // far is dropped, so a node cannot make the miner hold more than this.
    static constexpr std::size_t kMaxSmallReply = 1u << 20;    // /height, /diff
    static constexpr std::size_t kMaxLargeReply = 8u << 20;    // /block/N, /mempool

    // Connects the WebSocket when `wsUrl` is not empty and says so on
    // standard error ("[ws] connected: " / "[ws] connect failed: ").
    // Once `stop` is requested, connects, handshakes, transfers and sends
    // under way go on until its grace ends; then they are cut short and none
    // starts, and what was cut short is not reported as a failure. The
    // node's frames go to `verdicts` when one is given. `trust` says whose
    // certificates an https:// or wss:// node may present.
    NodeApi(const std::string& baseUrl, const std::string& wsUrl, StopGrace stop = {},
            std::shared_ptr<VerdictReporter> verdicts = nullptr, TlsTrust trust = {});
    ~NodeApi();
    NodeApi(const NodeApi&) = delete;
    NodeApi& operator=(const NodeApi&) = delete;

    // Each read returns false and leaves its out-parameter alone when the
    // node cannot be read, except where a fallback says otherwise.
    bool getBlockHeight(std::uint64_t& height);
    bool getBlock(std::uint64_t n, nlohmann::json& block);
    bool getDiff(std::string& diff);
    void getMempool(nlohmann::json& mempool);
    // Why the last of the reads above failed; empty after one that worked.
    const std::string& last_error() const { return lastError_; }
    // The last read failed only because a stop's grace ran out.
    bool cut_short() const { return cutShort_; }

    // Sends one `block` event message as a text frame. A missing or dropped
    // connection is repaired once first ("[ws] reconnected: " / "[ws]
    // reconnect failed: "), and a failed send is retried once on a fresh
    // connection. True when the frame was handed to the socket. `hash`, the
    // block's submitted hash text, lets the node's verdict be matched to it.
    // With a backup, a block that this node cannot take goes to the other one
    // (see add_backup); `builtOn` keeps it off a node whose tip is not the
    // one it was found on, and `hash` off a node whose target it does not
    // meet.
    bool send_block_event(const std::string& message, const std::string& hash = {},
                          const BuiltOn* builtOn = nullptr);
    // The last block was not sent because no node that answered has the tip
    // it was found on.
    bool last_block_stale() const { return lastBlockStale_; }
    // Why the last block was kept off the only node that answered on its tip
    // (its hash is above that node's target); empty otherwise.
    const std::string& last_block_refusal() const { return lastBlockRefusal_; }
    // A WebSocket client exists and its connection is up (on the node that serves).
    bool ws_connected() const { return serving().ws && serving().ws->fd.load() >= 0; }

    // A second node, for when this one fails. It must have a verdict
    // reporter of its own (or none): a node answers only for its own blocks. From then on reads and sends go
    // to the node that serves: this one until three height reads (one a
    // refresh) fail in a row or a block cannot be sent to it, then the backup
    // (if it answers), until this one has answered its probes for a while or
    // the backup fails in the same way. Each switch writes one "[node]
    // switched …" line. The backup has no backup of its own.
    void add_backup(std::unique_ptr<NodeApi> backup, FailoverTimes times = {});
    bool has_backup() const { return backup_ != nullptr; }
    // Readable from any thread: whether the backup serves, and how often the
    // serving node changed.
    bool on_backup() const { return onBackup_.load(); }
    std::uint64_t switches() const { return switches_.load(); }
    // A stop was requested and its grace is over: nothing reaches the node.
    bool past_stop_grace() const { return stop_.over(); }

    // A new, unconnected WebSocket client whose frames go to `verdicts`.
    std::unique_ptr<WsPlain> make_ws() const;

    const std::string base_url;
    const std::string ws_url;
    const std::shared_ptr<VerdictReporter> verdicts;  // may be null

private:
    // This node's own reads and send, whoever serves.
    bool read_height(std::uint64_t& height);
    bool read_block(std::uint64_t n, nlohmann::json& block);
    bool read_diff(std::string& diff);
    bool read_mempool(nlohmann::json& mempool);
    bool send_here(const std::string& message, const std::string& hash);
    // This node's tip; false when it does not say.
    bool read_tip(BuiltOn& tip);
    // Whether this node would take a block found on `builtOn` (any tip when
    // null) whose submitted hash is `hash` (no target test when empty): its
    // tip and its target are read.
    enum class Admits { Yes, OtherTip, AboveTarget, NoAnswer };
    Admits admits(const BuiltOn* builtOn, const std::string& hash, std::string& why);
    // Before a new connection is used: no answer to a block sent over the
    // old one will come over it.
    void connection_replaced() const;

    NodeApi& serving() { return backup_ && failover_.on_backup() ? *backup_ : *this; }
    const NodeApi& serving() const { return backup_ && failover_.on_backup() ? *backup_ : *this; }
    // Runs a read on the node that serves; its outcome becomes this client's.
    template <class Read>
    bool on_serving(Read read);
    void switch_node(bool toBackup, const std::string& why);

    // The reply body of a GET with status 200 and at most `cap` bytes, or
    // false with the reason in lastError_.
    bool fetch(const std::string& path, std::size_t cap, std::string& body);
    // Reads succeed or fail with a reason; this records it.
    bool result(bool ok, const char* whyNot);

    // Runs the transfer set up on the handle; false when the stop's grace
    // ran out first.
    bool perform(int& curlCode);

    // The connect line's text, with the reason when the client gave one.
    std::string wsFailure(const char* what) const;

    const StopGrace stop_;
    const TlsTrust trust_;
    std::string lastError_;
    bool cutShort_ = false;
    CurlHandle curl;
    std::unique_ptr<WsPlain> ws;  // replaced when the connection is repaired
    bool lastBlockStale_ = false;
    std::string lastBlockRefusal_;
    std::unique_ptr<NodeApi> backup_;
    Failover failover_;
    std::atomic<bool> onBackup_{false};
    std::atomic<std::uint64_t> switches_{0};
};

// How the node's replies are read: pure functions of the body, shared by the
// endpoints above and their tests.
namespace node_reply {
// How deep one pending transaction may nest: in a block it sits two levels
// down (the block, its transaction list), and the block as a whole must stay
// within kMaxJsonDepth to be read back when it is submitted.
constexpr std::size_t kMaxEntryDepth = quorlen::block::kMaxJsonDepth - 2;

bool height(const std::string& body, std::uint64_t& height);
bool block(const std::string& body, nlohmann::json& block);
bool diff(const std::string& body, std::string& diff);
// The target a /diff text gives, read as the chain reads it: one leading
// "0x" dropped, lowercased, leading zeros removed, blanks kept (each pair of
// characters is converted by itself, so blanks are read as the hex rules
// read them). "" when it can be mined against, otherwise why not (then
// `target` is untouched).
std::string target(const std::string& diff, std::string& target);
// True when the body was a readable document (it then replaces `mempool`).
// Entries nested too deeply to be written into a block are kept as
// discarded values, so that whoever adopts the list can name them.
bool mempool(const std::string& body, nlohmann::json& mempool);
}  // namespace node_reply
