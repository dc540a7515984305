// What the rig benchmark found, and its two renderings: a table for people
// and JSON for scripts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorlen::app {

struct BenchPoint {
    std::int64_t batch = 0;
    double rate = 0;         // hashes per second; meaningful when error is empty
    std::string error;       // why this size could not be measured
};

struct BenchRun {
    int gpu = 0;
    std::string name;
    bool bySegment = false;
    bool precompute = true;
    std::string selfTest;    // empty: passed
    double peakBandwidth = 0;  // bytes per second; 0 when the device does not say
    std::vector<BenchPoint> points;
};

std::string mode_name(const BenchRun& run);
// One row per measured size; bandwidth and share of peak only where known.
std::string bench_table(const std::vector<BenchRun>& runs);
std::string bench_json(const std::vector<BenchRun>& runs);

}  // namespace quorlen::app
