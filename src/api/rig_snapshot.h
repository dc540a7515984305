// What the monitoring API shows: the rig's figures as the supervision loop
// last read them. A plain value, copied out of the program's own counters
// once a second; requests read a snapshot and never touch a worker.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "telemetry/gpu_telemetry.h"

namespace quorlen::api {

struct Rates {
    double s10 = 0, s60 = 0, m15 = 0;  // hashes per second over 10 s, 60 s, 15 min
};

struct GpuSnapshot {
    int gpu = 0;
    std::string name;
    int batch = 0;
    Rates rates;
    std::uint64_t hashes = 0, found = 0, sent = 0, failed = 0, hwErrors = 0, stale = 0;
    std::uint64_t accepted = 0, rejected = 0, unrecognised = 0;
    bool lost = false;    // its device became unusable and its worker stopped
    bool paused = false;  // held by the thermal guard
    // Its device stopped answering: no batch finished for stalledSeconds.
    bool stalled = false;
    std::uint64_t stalledSeconds = 0;
    bool onBackup = false;                // its worker mines against the backup node
    std::uint64_t switches = 0;           // how often its serving node changed
    std::optional<quorlen::telemetry::GpuReading> telemetry;  // the latest reading, however old
    bool telemetryStale = false;          // the management library has not answered for it in time
    bool unguarded = false;               // the thermal guard is on and has no temperature for it
    std::vector<double> history;  // 10 s rates, one every kHistoryStep seconds, oldest first
};

struct BlockSnapshot {
    int gpu = 0;
    std::uint64_t height = 0;
    std::string hash;
    std::uint64_t timeMs = 0;  // wall clock
    std::string verdict;       // "pending", "accepted", "rejected", "not sent", "stale"
    std::string reason;
};

struct RigSnapshot {
    static constexpr int kHistoryStep = 10;     // seconds between history points
    static constexpr std::size_t kHistoryPoints = 90;  // 15 minutes

    std::string version;
    std::string nodeHttp, nodeWs;
    std::string backupHttp, backupWs;  // empty without a backup node
    // Seconds since the node last answered; nothing before its first answer.
    std::optional<double> nodeAnsweredAgo;
    // False when no worker can ask the node (every GPU lost or stalled): the
    // node's silence is then no sign of the node's health.
    bool nodeAsked = true;
    bool starting = true;  // GPUs are still being brought up
    // GPUs left out at start because they stopped answering, one line each.
    std::vector<std::string> startProblems;
    Rates rates;           // the rig's
    std::vector<double> history;
    std::vector<GpuSnapshot> gpus;
    std::vector<BlockSnapshot> blocks;  // newest first
};

// Hashes per second per watt over the last 60 s, when the power is known.
std::optional<double> hashes_per_watt(const GpuSnapshot& gpu);

// Whether the rig is healthy for a watchdog: at least one GPU mining and the
// node answering within the last minute. Empty when it is, else the reasons.
std::vector<std::string> health_problems(const RigSnapshot& rig);
// What does not make the rig unhealthy but should be seen: stale telemetry,
// a GPU the thermal guard cannot watch.
std::vector<std::string> health_warnings(const RigSnapshot& rig);

}  // namespace quorlen::api
