// One node as the miner reaches it: four HTTP GET endpoints over a single
// libcurl handle (CurlHandle), and the WebSocket connection that blocks go
// out on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "node/curl_handle.h"
#include "node/node_verdict.h"
#include "node/stop_grace.h"
#include "node/ws_plain.h"

namespace quorlen::node {

// The tip a block was built on: the chain's height and its last block's hash
// as a node reported them, and which node that was (the client's count of
// switches at the time).
struct BuiltOn {
    std::uint64_t height = 0;
    std::string prevHash;
    std::uint64_t node = 0;
};

class NodeClient {
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
    NodeClient(const std::string& baseUrl, const std::string& wsUrl, StopGrace stop = {},
               std::shared_ptr<VerdictReporter> verdicts = nullptr, TlsTrust trust = {});
    ~NodeClient();
    NodeClient(const NodeClient&) = delete;
    NodeClient& operator=(const NodeClient&) = delete;

    // Each read returns false and leaves its out-parameter alone when the
    // node cannot be read, except where a fallback says otherwise.
    [[nodiscard]] bool read_height(std::uint64_t& height);
    [[nodiscard]] bool read_block(std::uint64_t n, nlohmann::json& block);
    [[nodiscard]] bool read_diff(std::string& diff);
    [[nodiscard]] bool read_mempool(nlohmann::json& mempool);
    // Why the last of the reads above failed; empty after one that worked.
    const std::string& last_error() const { return lastError_; }
    // The last read failed only because a stop's grace ran out.
    bool cut_short() const { return cutShort_; }

    // This node's tip; false when it does not say.
    [[nodiscard]] bool read_tip(BuiltOn& tip);
    // Whether this node would take a block found on `builtOn` (any tip when
    // null) whose submitted hash is `hash` (no target test when empty): its
    // tip and its target are read.
    enum class Admits { Yes, OtherTip, AboveTarget, NoAnswer };
    [[nodiscard]] Admits admits(const BuiltOn* builtOn, const std::string& hash, std::string& why);

    // Sends one message as a text frame over this node's connection. A
    // missing or dropped connection is repaired once first ("[ws]
    // reconnected: " / "[ws] reconnect failed: "), and a failed send is
    // retried once on a fresh connection. True when the frame was handed to
    // the socket. `hash`, the block's submitted hash text, lets the node's
    // verdict be matched to it.
    [[nodiscard]] bool send_block(const std::string& message, const std::string& hash);
    // A WebSocket client exists and its connection is up.
    bool ws_connected() const { return ws_ && ws_->fd.load() >= 0; }
    // A stop was requested and its grace is over: nothing reaches the node.
    bool past_stop_grace() const { return stop_.over(); }

    const std::string& base_url() const { return baseUrl_; }
    const std::string& ws_url() const { return wsUrl_; }
    // Both nodes' frames would go to one verdict reporter, which can match a
    // verdict only to the blocks of the node that gives it.
    bool shares_verdicts_with(const NodeClient& other) const { return verdicts_ && verdicts_ == other.verdicts_; }

private:
    // A new, unconnected WebSocket client whose frames go to verdicts_.
    std::unique_ptr<WsPlain> makeWs() const;
    // Before a new connection is used: no answer to a block sent over the
    // old one will come over it.
    void connectionReplaced() const;

    // The reply body of a GET with status 200 and at most `cap` bytes, or
    // false with the reason in lastError_.
    [[nodiscard]] bool fetch(const std::string& path, std::size_t cap, std::string& body);
    // Reads succeed or fail with a reason; this records it.
    bool result(bool ok, const char* whyNot);

    // The connect line's text, with the reason when the client gave one.
    std::string wsFailure(const char* what) const;

    const std::string baseUrl_;
    const std::string wsUrl_;
    const std::shared_ptr<VerdictReporter> verdicts_;  // may be null
    const StopGrace stop_;
    const TlsTrust trust_;
    std::string lastError_;
    bool cutShort_ = false;
    CurlHandle curl_;
    std::unique_ptr<WsPlain> ws_;  // replaced when the connection is repaired
};

}  // namespace quorlen::node
