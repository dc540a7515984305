// The management library on a thread of its own: loading, initialising and
// every reading happen there, so that a library whose calls hang holds up
// nothing but its own readings. Callers ask for a round of readings and wait
// for it only as long as they choose; what did not come in time is stale.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "telemetry/gpu_telemetry.h"

namespace quorlen::telemetry {

class TelemetryReader {
public:
    using Clock = std::chrono::steady_clock;
    enum class State { Loading, Ready, Unavailable };

    // The latest the library said about one device.
    struct Sample {
        std::optional<GpuReading> reading;    // nothing when no device answers to the id
        std::optional<Clock::time_point> at;  // when it came; nothing before the first answer
    };

    // Starts loading `library` (GpuTelemetry's rules) on the reader's thread.
    explicit TelemetryReader(std::string library);
    // Waits a moment for the thread; one stuck in the library is left to
    // itself, holding all it uses.
    ~TelemetryReader();
    TelemetryReader(const TelemetryReader&) = delete;
    TelemetryReader& operator=(const TelemetryReader&) = delete;

    State state() const;
    // Why the library is unavailable.
    std::string problem() const;
    // Waits up to `timeout` for loading to end, in short slices that end
    // early when `cancel` says so; the state then.
    State wait_loaded(std::chrono::milliseconds timeout, const std::function<bool()>& cancel);
    // A device to read in every round from now on (an empty id is ignored).
    void watch(const std::string& pciBusId);
    // Starts a round of readings of every device watched and waits up to
    // `timeout` for it. A round still under way from before is not waited
    // for again: a library that hangs costs one wait, not one every call.
    // True when the round ended in time.
    bool refresh(std::chrono::milliseconds timeout);
    Sample latest(const std::string& pciBusId) const;

private:
    struct Shared;
    static void serve(const std::shared_ptr<Shared>& shared);
    std::shared_ptr<Shared> shared_;
};

}  // namespace quorlen::telemetry
