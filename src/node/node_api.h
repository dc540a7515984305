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
    bool send_block_event(const std::string& message, const std::string& hash = {});
    // A WebSocket client exists and its connection is up.
    bool ws_connected() const { return ws && ws->fd.load() >= 0; }
    // A stop was requested and its grace is over: nothing reaches the node.
    bool past_stop_grace() const { return stop_.over(); }

    // A new, unconnected WebSocket client whose frames go to `verdicts`.
    std::unique_ptr<WsPlain> make_ws() const;

    const std::string base_url;
    const std::string ws_url;
    const std::shared_ptr<VerdictReporter> verdicts;  // may be null

private:
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
};

// How the node's replies are read: pure functions of the body, shared by the
// endpoints above and their tests.
namespace node_reply {
// How deep one pending transaction may nest: in a block it sits two levels
// down (the block, its transaction list), and the block as a whole must stay
// within kMaxJsonDepth to be read back when it is submitted.
constexpr std::size_t kMaxEntryDepth = kMaxJsonDepth - 2;

bool height(const std::string& body, std::uint64_t& height);
bool block(const std::string& body, nlohmann::json& block);
bool diff(const std::string& body, std::string& diff);
// True when the body was a readable document (it then replaces `mempool`).
// Entries nested too deeply to be written into a block are kept as
// discarded values, so that whoever adopts the list can name them.
bool mempool(const std::string& body, nlohmann::json& mempool);
}  // namespace node_reply
