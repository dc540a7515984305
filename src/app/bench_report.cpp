#include "app/bench_report.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "gpu/chain_pow.h"

namespace quorlen::app {

std::string mode_name(const BenchRun& run) {
    return std::string(run.bySegment ? "by-segment" : "whole-pass") + (run.precompute ? "+precompute" : "");
}

namespace {

std::string row(const char* format, auto... values) {
    char line[256];
    std::snprintf(line, sizeof line, format, values...);
    return line;
}

}  // namespace

std::string bench_table(const std::vector<BenchRun>& runs) {
    std::string out = row("%-4s %-24.24s %-22s %-10s %7s %10s %9s %7s\n", "GPU", "name", "mode", "self-test",
                          "batch", "H/s", "GB/s", "% peak");
    for (const BenchRun& run : runs) {
        const std::string mode = mode_name(run);
        const char* selfTest = run.selfTest.empty() ? "ok" : "FAILED";
        if (!run.selfTest.empty() || run.points.empty()) {
            out += row("%-4d %-24.24s %-22s %-10s %7s %10s %9s %7s\n", run.gpu, run.name.c_str(), mode.c_str(),
                       selfTest, "-", "-", "-", "-");
            if (!run.selfTest.empty()) out += "     self-test: " + run.selfTest + "\n";
            continue;
        }
        for (const BenchPoint& p : run.points) {
            if (!p.error.empty()) {
                out += row("%-4d %-24.24s %-22s %-10s %7lld %10s %9s %7s\n", run.gpu, run.name.c_str(), mode.c_str(),
                           selfTest, static_cast<long long>(p.batch), "error", "-", "-");
                out += "     B=" + std::to_string(p.batch) + ": " + p.error + "\n";
                continue;
            }
            const double bandwidth = p.rate * gpu::chain_pow::kBytesMovedPerHash;
            const std::string share = run.peakBandwidth > 0 ? row("%.1f", 100.0 * bandwidth / run.peakBandwidth) : "n/a";
            out += row("%-4d %-24.24s %-22s %-10s %7lld %10.1f %9.1f %7s\n", run.gpu, run.name.c_str(), mode.c_str(),
                       selfTest, static_cast<long long>(p.batch), p.rate, bandwidth / 1e9, share.c_str());
        }
    }
    return out;
}

std::string bench_json(const std::vector<BenchRun>& runs) {
    nlohmann::json all = nlohmann::json::array();
    for (const BenchRun& run : runs) {
        nlohmann::json points = nlohmann::json::array();
        for (const BenchPoint& p : run.points) {
            nlohmann::json point = {{"batch", p.batch}};
            if (!p.error.empty()) {
                point["error"] = p.error;
            } else {
                point["hashes_per_second"] = p.rate;
                point["bandwidth_bytes_per_second"] = p.rate * gpu::chain_pow::kBytesMovedPerHash;
                point["share_of_peak"] =
                    run.peakBandwidth > 0 ? nlohmann::json(p.rate * gpu::chain_pow::kBytesMovedPerHash / run.peakBandwidth) : nullptr;
            }
            points.push_back(point);
        }
        all.push_back({{"gpu", run.gpu},
                       {"name", run.name},
                       {"by_segment", run.bySegment},
                       {"precompute", run.precompute},
                       {"self_test", run.selfTest.empty() ? "ok" : run.selfTest},
                       {"peak_bandwidth_bytes_per_second",
                        run.peakBandwidth > 0 ? nlohmann::json(run.peakBandwidth) : nullptr},
                       {"points", points}});
    }
    return all.dump(2) + "\n";
}

}  // namespace quorlen::app
