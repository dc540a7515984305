#include "node/recent_blocks.h"

namespace quorlen::node {

void RecentBlocks::found(std::uint64_t height, const std::string& hash, std::uint64_t timeMs) {
    std::lock_guard<std::mutex> g(lock_);
    blocks_.push_front({height, hash, timeMs, "pending", ""});
    if (blocks_.size() > kKept) blocks_.pop_back();
}

void RecentBlocks::settle(const std::string& hash, const std::string& verdict, const std::string& reason,
                          std::optional<std::uint64_t> height) {
    std::lock_guard<std::mutex> g(lock_);
    for (FoundBlock& b : blocks_) {
        if (b.hash != hash) continue;
        b.verdict = verdict;
        b.reason = reason;
        if (height) b.height = *height;
        return;
    }
}

std::vector<FoundBlock> RecentBlocks::list() const {
    std::lock_guard<std::mutex> g(lock_);
    return {blocks_.begin(), blocks_.end()};
}

}  // namespace quorlen::node
