// One worker's counts of blocks, for the summary line. The worker adds to
// them, the WebSocket reader adds the node's verdicts, main only reads.
#pragma once

#include <atomic>
#include <cstdint>

#include "node/node_verdict.h"
#include "node/recent_blocks.h"

namespace quorlen::worker {

struct GpuStats {
    std::atomic<std::uint64_t> found{0};   // hashes that met the target
    std::atomic<std::uint64_t> sent{0};    // blocks handed to the socket
    std::atomic<std::uint64_t> failed{0};  // blocks that could not be sent
    std::atomic<std::uint64_t> stale{0};   // hits on a tip a refresh had replaced: not sent
    node::VerdictCounts verdicts;                // what the node said of them
    node::RecentBlocks recent;                   // the last blocks found, for the monitoring API
    // Monotonic milliseconds (steady clock) of the node's last answer to
    // /height; 0 before the first.
    std::atomic<std::uint64_t> nodeAnsweredMs{0};
};

}  // namespace quorlen::worker
