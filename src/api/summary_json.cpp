#include "api/summary_json.h"

#include <nlohmann/json.hpp>

namespace quorlen::api {

namespace {

using nlohmann::json;

json ratesJson(const Rates& r) { return {{"10s", r.s10}, {"60s", r.s60}, {"15m", r.m15}}; }

template <class T>
json orNull(const std::optional<T>& v) {
    return v ? json(*v) : json(nullptr);
}

json telemetryJson(const GpuSnapshot& g) {
    if (!g.telemetry) return nullptr;
    const telemetry::GpuReading& t = *g.telemetry;
    return {{"temperature_c", orNull(t.temperatureC)}, {"power_w", orNull(t.powerW)},
            {"fan_percent", orNull(t.fanPercent)},     {"core_clock_mhz", orNull(t.coreMHz)},
            {"memory_clock_mhz", orNull(t.memoryMHz)}, {"hashes_per_watt", orNull(hashes_per_watt(g))}};
}

}  // namespace

std::optional<double> hashes_per_watt(const GpuSnapshot& gpu) {
    if (!gpu.telemetry || !gpu.telemetry->powerW || *gpu.telemetry->powerW <= 0) return std::nullopt;
    return gpu.rates.s60 / *gpu.telemetry->powerW;
}

std::vector<std::string> health_problems(const RigSnapshot& rig) {
    std::vector<std::string> problems;
    bool mining = false;
    for (const GpuSnapshot& g : rig.gpus) mining = mining || (!g.lost && !g.paused && !g.stalled && g.rates.s60 > 0);
    if (!mining) problems.push_back(rig.starting ? "no GPU is mining yet" : "no GPU is mining");
    problems.insert(problems.end(), rig.startProblems.begin(), rig.startProblems.end());
    for (const GpuSnapshot& g : rig.gpus)
        if (g.stalled)
            problems.push_back("GPU#" + std::to_string(g.gpu) + " stopped answering: no batch finished for " +
                               std::to_string(g.stalledSeconds) + " s");
    // Workers that cannot ask say nothing of the node.
    if (!rig.nodeAsked) return problems;
    if (!rig.nodeAnsweredAgo) problems.push_back("the node has not answered yet");
    else if (*rig.nodeAnsweredAgo > 60)
        problems.push_back("the node has not answered for " + std::to_string(long(*rig.nodeAnsweredAgo)) + " s");
    return problems;
}

std::vector<std::string> health_warnings(const RigSnapshot& rig) {
    std::vector<std::string> warnings;
    for (const GpuSnapshot& g : rig.gpus) {
        const std::string gpu = "GPU#" + std::to_string(g.gpu);
        if (g.telemetryStale) warnings.push_back(gpu + ": telemetry is stale (the management library has not answered)");
        if (g.unguarded)
            warnings.push_back(gpu + (g.paused ? ": no temperature reading; the thermal guard keeps it paused until one "
                                                 "shows it cool"
                                               : ": no temperature reading; it mines without the thermal guard"));
    }
    return warnings;
}

std::string summary_json(const RigSnapshot& rig, double uptimeSeconds) {
    json gpus = json::array();
    json totals = {{"hashes", 0}, {"found", 0}, {"sent", 0}, {"failed", 0}, {"hw_errors", 0}, {"stale", 0},
                   {"accepted", 0}, {"rejected", 0}, {"unrecognised", 0}};
    double power = 0;
    bool anyPower = false;
    for (const GpuSnapshot& g : rig.gpus) {
        json counts = {{"hashes", g.hashes},     {"found", g.found},       {"sent", g.sent},
                       {"failed", g.failed},     {"hw_errors", g.hwErrors}, {"stale", g.stale},
                       {"accepted", g.accepted}, {"rejected", g.rejected}, {"unrecognised", g.unrecognised}};
        for (auto& [key, value] : counts.items())
            totals[key] = totals[key].get<std::uint64_t>() + value.get<std::uint64_t>();
        const char* state = g.lost ? "lost" : g.stalled ? "stalled" : g.paused ? "paused" : "mining";
        json gpu = {{"worker", gpus.size()}, {"gpu", g.gpu}, {"name", g.name}, {"batch", g.batch},
                    {"state", state},   {"rates", ratesJson(g.rates)}, {"telemetry", telemetryJson(g)},
                    {"telemetry_stale", g.telemetryStale}};
        gpu.update(counts);
        if (!rig.backupHttp.empty()) {
            gpu["node"] = g.onBackup ? "backup" : "primary";
            gpu["node_switches"] = g.switches;
        }
        gpus.push_back(std::move(gpu));
        if (g.telemetry && g.telemetry->powerW) {
            power += *g.telemetry->powerW;
            anyPower = true;
        }
    }
    totals["rates"] = ratesJson(rig.rates);
    totals["gpus"] = rig.gpus.size();
    totals["power_w"] = anyPower ? json(power) : json(nullptr);
    json blocks = json::array();
    for (const BlockSnapshot& b : rig.blocks)
        blocks.push_back({{"gpu", b.gpu}, {"height", b.height}, {"hash", b.hash}, {"time_ms", b.timeMs},
                          {"verdict", b.verdict}, {"reason", b.reason}});
    json history = {{"step_seconds", RigSnapshot::kHistoryStep}, {"rig", rig.history}, {"gpus", json::array()}};
    for (const GpuSnapshot& g : rig.gpus) history["gpus"].push_back(g.history);  // in the order of "gpus"
    const std::vector<std::string> problems = health_problems(rig);
    json doc = {
        {"version", rig.version},
        {"uptime_seconds", uptimeSeconds},
        {"node", {{"http", rig.nodeHttp},
                  {"ws", rig.nodeWs},
                  {"answering", rig.nodeAnsweredAgo && *rig.nodeAnsweredAgo <= 60},
                  {"asked", rig.nodeAsked},
                  {"last_answer_seconds_ago", orNull(rig.nodeAnsweredAgo)}}},
        {"healthy", problems.empty()},
        {"health_problems", problems},
        {"health_warnings", health_warnings(rig)},
        {"gpus", gpus},
        {"totals", totals},
        {"blocks", blocks},
        {"history", history},
    };
    if (!rig.backupHttp.empty()) {
        std::size_t onBackup = 0;
        std::uint64_t switches = 0;
        for (const GpuSnapshot& g : rig.gpus) {
            onBackup += g.onBackup ? 1 : 0;
            switches += g.switches;
        }
        json& node = doc["node"];
        node["backup_http"] = rig.backupHttp;
        node["backup_ws"] = rig.backupWs;
        node["active"] = onBackup == 0 ? "primary" : onBackup == rig.gpus.size() ? "backup" : "mixed";
        node["switches"] = switches;
        doc["totals"]["node_switches"] = switches;
    }
    // Text from the node (rejection reasons) may hold any bytes: never throw on them.
    return doc.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace quorlen::api
