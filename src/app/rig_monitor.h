// Monitoring beside the supervision loop: GPU telemetry, the thermal guard
// and the HTTP API. Everything here runs on the main thread once a tick and
// reads what the workers already count; the API's own thread only ever sees
// the snapshots published here, and the management library is called on a
// thread of its own, waited for briefly, never for long.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "api/rig_snapshot.h"
#include "cli/cli.h"
#include "telemetry/gpu_telemetry.h"
#include "telemetry/telemetry_reader.h"
#include "telemetry/thermal_guard.h"

struct WorkerCtx;
namespace quorlen::api {
class ApiServer;
}

namespace quorlen::app {

class RigSummary;

class RigMonitor {
public:
    // Loads the telemetry library (waiting a second at most, less when a
    // stop comes) and, with --api, starts the API (throws when its address
    // cannot be bound). Lines go to `out`.
    RigMonitor(const Cli& cli, std::FILE* out = stderr);
    ~RigMonitor();
    RigMonitor(const RigMonitor&) = delete;
    RigMonitor& operator=(const RigMonitor&) = delete;

    // A worker that has started, with its device's name and PCI bus id.
    void add(WorkerCtx& ctx, const std::string& name, const std::string& pciBusId);
    // Once a tick: telemetry, the guard, and a new snapshot for the API.
    // `summary` is the supervision loop's, once every GPU is up.
    void tick(const RigSummary* summary);
    // Every worker is up: from now on a GPU that does not mine is a problem.
    void started() { starting_ = false; }
    // The API's view at once, between ticks (`summary` as for `tick`).
    void publish(const RigSummary* summary);
    // A GPU left out at start, and why (shown by /health and /summary).
    void start_problem(const std::string& problem);
    // For the periodic summary: one line per GPU with telemetry.
    std::string telemetry_lines(const RigSummary& summary) const;
    // The port the API listens on (0 without --api).
    unsigned short api_port() const;

private:
    struct Gpu {
        WorkerCtx* ctx;
        std::string name;
        std::string pciBusId;
        std::optional<telemetry::GpuReading> reading;  // the latest the library gave
        bool stale = false;                  // the library has not answered for it in time
        bool blind = false;                  // the guard has no temperature for it, and has said so
        std::vector<double> history;
    };
    // How long a tick waits for the library, and the age at which a
    // reading no longer counts.
    static constexpr std::chrono::milliseconds kReadWait{250};
    static constexpr std::chrono::seconds kStaleAfter{3};
    void read(Gpu& g);
    static std::optional<unsigned> temperature(const Gpu& g);  // a fresh one only
    void guard(std::size_t slot);
    api::RigSnapshot snapshot(const RigSummary* summary) const;

    std::FILE* out_;
    std::string nodeHttp_, nodeWs_, backupHttp_, backupWs_;
    telemetry::TelemetryReader telemetry_;
    telemetry::ThermalGuard guard_;
    std::unique_ptr<api::ApiServer> api_;
    std::vector<Gpu> gpus_;
    std::vector<double> history_;
    std::chrono::steady_clock::time_point nextHistory_;
    bool starting_ = true;
    std::vector<std::string> startProblems_;
};

}  // namespace quorlen::app
