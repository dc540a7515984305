#include "worker/rewards.h"

#include <cmath>

std::uint64_t block_reward(std::uint64_t height) {
    const long double x = static_cast<long double>(height) * -0.000001L;
    const long double e = expl(x);
    return static_cast<std::uint64_t>(e * 10000000.0L + 0.5L);
}

std::pair<std::uint64_t, std::uint64_t> split_reward(std::uint64_t total) {
    // 7 %, halves rounded up; written so that no total can overflow.
    const std::uint64_t dev = (total / 100) * 7 + ((total % 100) * 7 + 50) / 100;
    return {dev, total - dev};
}
