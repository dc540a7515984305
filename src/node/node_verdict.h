// The node's answers to the blocks we send, read from its WebSocket text
// frames, and what the miner shows and counts of them.
//
// The one verdict format known (the development node's), a JSON object:
//   {"event":"accepted","height":N,"hash":"<hex>"}
//   {"event":"rejected","reason":"<text>"}            ("hash" may be given too)
// "height" is optional. A verdict names the block by its hash, or, for a
// rejection without one, answers the oldest block still waiting for an answer
// on the same connection. Anything else the node sends is an unrecognised
// frame.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "block/printable.h"
#include "node/recent_blocks.h"

namespace quorlen::node {

struct NodeVerdict {
    bool accepted = false;
    std::string hash;                    // lowercase, no leading zeros; empty when not given
    std::string reason;                  // rejections only; printable, at most kMaxReasonBytes
    std::optional<std::uint64_t> height;  // accepted blocks, when given
};

// Longer frames are not parsed at all: no verdict is that long.
constexpr std::size_t kMaxVerdictBytes = 4096;
constexpr std::size_t kMaxReasonBytes = 200;
// How much of an unrecognised frame is shown.
constexpr std::size_t kFrameSampleBytes = 200;

// The verdict in one text frame, or nothing when the frame is not one.
[[nodiscard]] std::optional<NodeVerdict> parse_verdict(std::string_view frame);

struct VerdictCounts {
    std::atomic<std::uint64_t> accepted{0};
    std::atomic<std::uint64_t> rejected{0};
    std::atomic<std::uint64_t> unrecognised{0};
};

// The listener of one worker's connection to one node: the worker names each
// block it sent there, the WebSocket reader hands over every data frame.
// Verdicts are printed (one line each, at most one per block sent) and
// counted; unrecognised frames are counted and one of them shown at most once
// a minute. A node answers only for the blocks sent to it over its current
// connection: each node has a reporter of its own (for_another_node), and
// its waiting blocks are forgotten when the connection is replaced.
class VerdictReporter {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // Blocks remembered while waiting for their verdict; the oldest is
    // forgotten beyond this (the node may never answer).
    static constexpr std::size_t kMaxWaiting = 64;
    static constexpr std::chrono::seconds kSampleEvery{60};

    // Each line starts with `lineLead`: a line feed when it may interrupt the
    // hash-rate line on a terminal, nothing otherwise.
    // Verdicts also settle the blocks in `recent`, when given.
    VerdictReporter(int gpu, std::shared_ptr<VerdictCounts> counts, std::FILE* out = stderr, Clock clock = {},
                    const char* lineLead = "", std::shared_ptr<RecentBlocks> recent = nullptr);

    // Worker thread: a block with this submitted hash text is about to go
    // out (before the send: the answer may come before send returns), and,
    // when the send failed, that it did not.
    void block_sent(const std::string& hash);
    void block_not_sent(const std::string& hash);
    // Reader thread: one data frame; `text` is false for binary frames and
    // fragments.
    void on_frame(bool text, std::string_view payload);
    // Owner's thread, before a new connection is used: no answer to a block
    // sent over the old one can come over it.
    void connection_replaced();

    // A reporter for the worker's other node: the same lines, counters and
    // sampling of unrecognised frames, its own waiting blocks.
    std::shared_ptr<VerdictReporter> for_another_node() const;

private:
    struct Sampling {
        std::mutex lock;
        std::optional<std::chrono::steady_clock::time_point> last;
    };
    void unrecognised(std::string_view payload);
    // Takes the block the verdict answers off the waiting list.
    bool match(NodeVerdict& v);

    const int gpu_;
    const std::shared_ptr<VerdictCounts> counts_;
    const std::shared_ptr<RecentBlocks> recent_;
    std::FILE* const out_;
    const char* const lead_;
    const Clock clock_;
    std::shared_ptr<Sampling> sampling_ = std::make_shared<Sampling>();  // shared by a worker's reporters
    std::mutex lock_;
    std::deque<std::string> waiting_;
};

}  // namespace quorlen::node
