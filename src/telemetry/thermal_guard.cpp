#include "telemetry/thermal_guard.h"

namespace quorlen::telemetry {

ThermalGuard::Change ThermalGuard::observe(std::size_t slot, std::optional<unsigned> temperatureC) {
    if (limit_ == 0 || !temperatureC) return Change::None;
    if (paused_.size() <= slot) paused_.resize(slot + 1, false);
    if (!paused_[slot] && *temperatureC >= limit_) {
        paused_[slot] = true;
        return Change::Pause;
    }
    if (paused_[slot] && *temperatureC <= resume_at()) {
        paused_[slot] = false;
        return Change::Resume;
    }
    return Change::None;
}

}  // namespace quorlen::telemetry
