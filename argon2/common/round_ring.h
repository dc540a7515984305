// The rounds of a processing unit: begun and ended in order, at most N in
// flight, each with its own buffers, so that the caller sets the next round
// while the device still works on the one before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace argon2::detail {

template <class Round, std::size_t N>
class RoundRing {
public:
    // The round whose slots are being set: the next one to begin.
    Round& staging() {
        if (begun_ - ended_ == N) throw std::logic_error("both rounds are in flight");
        return rounds_[begun_ % N];
    }
    void markBegun() { ++begun_; }
    // The oldest round begun and not ended; null when there is none.
    Round* oldest() { return ended_ == begun_ ? nullptr : &rounds_[ended_ % N]; }
    void markEnded() { ++ended_; }

    Round* begin() { return rounds_; }
    Round* end() { return rounds_ + N; }

private:
    Round rounds_[N];
    std::uint64_t begun_ = 0, ended_ = 0;
};

}  // namespace argon2::detail
