// What building a pass's candidate texts costs next to hashing them, for a
// batch of 128 and mempools of 0, 100 and 1000 typical transactions.
//
//   build/bench/candidate_bench
//
// "build" is the worker's path (one template per pass, three nonces per
// slot); "documents" is the same texts built as one document per slot, for
// comparison; "share_%" is the build time as a share of hashing the batch
// with the host flavour.
#include <benchmark/benchmark.h>

#include <chrono>

#include "argon2gpu/cuda/device.h"
#include "block/canonical.h"
#include "gpu/gpu_hasher.h"
#include "worker/candidate.h"
#include "worker/chain_view.h"
#include "worker/pass_template.h"
#include "sample_view.h"

using namespace quorlen::worker;

namespace {

constexpr int kBatch = 128;

ChainView viewWith(int transactions) {
    return sample_view(transactions, "00000fffffffffffffffffffffffffffffffffffffffffffffffffffffffffff");
}

double hashSeconds(const std::vector<std::string>& texts) {
    static argon2::cuda::GlobalContext global;
    static GpuHasher hasher(&global.getAllDevices()[0], false, true);
    static bool ready = (hasher.init(global), true);
    (void)ready;
    std::vector<std::string> out;
    hasher.hash_batch(texts, out);  // builds the unit
    auto start = std::chrono::steady_clock::now();
    hasher.hash_batch(texts, out);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void build(benchmark::State& state) {
    const ChainView view = viewWith(int(state.range(0)));
    const std::string proposer = "02" + std::string(64, 'e');
    std::vector<std::string> texts(kBatch);
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        quorlen::worker::PassTemplate pass(view, proposer, 1700000000123ULL);
        for (auto& t : texts) pass.write(t);
        benchmark::DoNotOptimize(texts.data());
    }
    const double perPass = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                           double(state.iterations());
    const double hash = hashSeconds(texts);
    state.counters["text_KiB"] = double(texts[0].size()) / 1024;
    state.counters["hash_ms"] = hash * 1000;
    state.counters["share_%"] = 100.0 * perPass / hash;
}

void documents(benchmark::State& state) {
    const ChainView view = viewWith(int(state.range(0)));
    const std::string proposer = "02" + std::string(64, 'e');
    std::vector<std::string> texts(kBatch);
    for (auto _ : state) {
        for (auto& t : texts) t = canonical_msg(make_candidate(view, proposer, 1700000000123ULL));
        benchmark::DoNotOptimize(texts.data());
    }
}

}  // namespace

BENCHMARK(build)->Arg(0)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(documents)->Arg(0)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
