// The last blocks one worker found, for the monitoring API: when, which, and
// what became of them. The worker records a block before sending it, the
// WebSocket reader settles it with the node's verdict, the main thread reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorlen::node {

struct FoundBlock {
    std::uint64_t height = 0;
    std::string hash;          // as submitted
    std::uint64_t timeMs = 0;  // wall clock, milliseconds since the epoch
    std::string verdict = "pending";  // "pending", "accepted", "rejected", "not sent" or "stale"
    std::string reason;        // why the node rejected it, printable
};

class RecentBlocks {
public:
    static constexpr std::size_t kKept = 16;

    void found(std::uint64_t height, const std::string& hash, std::uint64_t timeMs);
    // The newest block with this hash gets `verdict` (and the height the
    // node gives, when it does); unknown hashes change nothing.
    void settle(const std::string& hash, const std::string& verdict, const std::string& reason = "",
                std::optional<std::uint64_t> height = std::nullopt);
    // Newest first.
    std::vector<FoundBlock> list() const;

private:
    mutable std::mutex lock_;
    std::deque<FoundBlock> blocks_;  // newest first, at most kKept
};

}  // namespace quorlen::node
