// Pauses a GPU while it is at or above a temperature limit and lets it go
// again once it has cooled by kHysteresisC: each GPU on its own, never the
// others.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace quorlen::telemetry {

class ThermalGuard {
public:
    static constexpr unsigned kHysteresisC = 5;
    enum class Change { None, Pause, Resume };

    // `limitC` 0: the guard never pauses anything.
    explicit ThermalGuard(unsigned limitC) : limit_(limitC) {}

    // One reading of the GPU in `slot`. Without a temperature nothing
    // changes: a paused GPU stays paused until a reading clears it.
    Change observe(std::size_t slot, std::optional<unsigned> temperatureC);
    bool paused(std::size_t slot) const { return slot < paused_.size() && paused_[slot]; }
    unsigned limit() const { return limit_; }
    unsigned resume_at() const { return limit_ > kHysteresisC ? limit_ - kHysteresisC : 0; }

private:
    unsigned limit_;
    std::vector<bool> paused_;
};

}  // namespace quorlen::telemetry
