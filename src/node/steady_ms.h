// The miner's one clock for deadlines, waits and "last heard" times.
#pragma once

#include <chrono>

namespace quorlen::node {

// Milliseconds of the monotonic clock. Signed, so that the time left before
// a deadline may come out negative.
inline long long steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace quorlen::node
