// How long the device waits for the host between batches: the worker's real
// host work (candidate texts, H0, hex digests, target test) against a
// simulated device that fills a batch of 1,216 in a fixed 45 ms, for
// mempools of 0, 100 and 1,000 transactions.
//
//   build/bench/pipeline_bench --benchmark_counters_tabular=true
//
// "synchronous" is the one-call path: build every text, H0 of every whole
// text on all cores, fill, read, test. "pipelined" is the worker's path:
// BatchPipeline with two batches in flight, texts as one shared start and a
// rest per slot, H0 from one midstate per distinct length. "idle_%" is the
// share of the period in which the device had nothing to fill; "host_ms" the
// host's wall time per batch outside waiting for the device.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "argon2gpu/params.h"
#include "block/hex.h"
#include "gpu/batch_pipeline.h"
#include "gpu/chain_pow.h"
#include "sample_view.h"
#include "worker/chain_view.h"
#include "worker/pass_template.h"
#include "worker/worker.h"

using namespace quorlen::gpu;
using namespace quorlen::worker;

namespace {

constexpr std::size_t kBatch = 1216;
constexpr auto kFill = std::chrono::milliseconds(45);
using Clock = std::chrono::steady_clock;

const argon2::Argon2Params& params() {
    static const auto p = chain_pow::params();
    return *p;
}

// Nothing is a hit: every batch is tested to its end.
ChainView viewWith(int transactions) { return sample_view(transactions, "0"); }

const std::string kProposer = "02" + std::string(64, 'e');

std::size_t pipeline_text_bytes(const ChainView& view) {
    std::string text;
    PassTemplate(view, kProposer, 1700000000123ULL).write(text);
    return text.size();
}

// The synchronous path as one call does it: passwords copied into the unit,
// H0 of each whole text on threads made for the batch, the fill, the tags
// read back as hex, the target test.
void synchronous(benchmark::State& state) {
    const ChainView view = viewWith(int(state.range(0)));
    std::vector<std::string> texts(kBatch), passwords(kBatch), results(kBatch);
    std::vector<std::uint64_t> h0s(kBatch * 8);
    double idle = 0, busy = 0;
    std::uint64_t ts = 1700000000123ULL, hits = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        const PassTemplate pass(view, kProposer, ts++);
        for (auto& t : texts) pass.write(t);
        for (std::size_t i = 0; i < kBatch; ++i) passwords[i].assign(texts[i]);
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        std::vector<std::thread> threads;
        for (unsigned t = 0; t < cores; ++t)
            threads.emplace_back([&, t] {
                for (std::size_t i = t; i < kBatch; i += cores)
                    params().initialHash(&h0s[i * 8], passwords[i].data(), passwords[i].size(), argon2::ARGON2_ID,
                                         argon2::ARGON2_VERSION_13);
            });
        for (auto& th : threads) th.join();
        const auto launched = Clock::now();
        std::this_thread::sleep_until(launched + kFill);
        const auto filled = Clock::now();
        for (std::size_t i = 0; i < kBatch; ++i)
            results[i] = hexLower(reinterpret_cast<const unsigned char*>(&h0s[i * 8]), 32);
        for (const auto& r : results)
            if (meets_target(r, view.diff)) ++hits;
        const auto tested = Clock::now();
        idle += std::chrono::duration<double>((launched - start) + (tested - filled)).count();
        busy += std::chrono::duration<double>(filled - launched).count();
    }
    benchmark::DoNotOptimize(hits);
    state.counters["idle_%"] = 100.0 * idle / (idle + busy);
    state.counters["host_ms"] = 1000.0 * idle / double(state.iterations());
    state.counters["text_KiB"] = double(texts[0].size()) / 1024;
}

// A device that takes kFill for every round, whatever it holds, and runs the
// rounds begun one after the other, as the real unit does. Its tags are the
// first 32 bytes of each slot's H0, so the host's work stays real.
class SimulatedDevice : public BatchDevice {
public:
    SimulatedDevice() : thread_([this] { run(); }) {}
    ~SimulatedDevice() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    void setInitialHash(std::size_t slot, const void* h0) override {
        std::memcpy(&rounds_[begun_ % 2][slot * 32], h0, 32);
    }
    void beginProcessing() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++begun_;
        changed_.notify_all();
    }
    void endProcessing() override {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return filled_ > ended_; });
        collected_.swap(rounds_[ended_ % 2]);
        ++ended_;
    }
    void getHash(std::size_t slot, void* tag32) override { std::memcpy(tag32, &collected_[slot * 32], 32); }

    // Time between the end of one fill and the start of the next, and time
    // filling, since the first fill began.
    double idleSeconds() const { return idle_; }
    double busySeconds() const { return busy_; }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        Clock::time_point lastEnd{};
        for (;;) {
            changed_.wait(lock, [&] { return stopping_ || begun_ > filled_; });
            if (begun_ <= filled_) return;
            const auto start = Clock::now();
            if (filled_ > 0) idle_ += std::chrono::duration<double>(start - lastEnd).count();
            lock.unlock();
            std::this_thread::sleep_until(start + kFill);
            lock.lock();
            lastEnd = Clock::now();
            busy_ += std::chrono::duration<double>(lastEnd - start).count();
            ++filled_;
            changed_.notify_all();
        }
    }

    std::vector<std::uint8_t> rounds_[2] = {std::vector<std::uint8_t>(kBatch * 32),
                                            std::vector<std::uint8_t>(kBatch * 32)};
    std::vector<std::uint8_t> collected_ = std::vector<std::uint8_t>(kBatch * 32);
    std::uint64_t begun_ = 0, filled_ = 0, ended_ = 0;
    double idle_ = 0, busy_ = 0;
    bool stopping_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
};

// The worker's loop over the pipeline: build and submit pass k+1, then
// collect and test pass k.
void pipelined(benchmark::State& state) {
    const ChainView view = viewWith(int(state.range(0)));
    SimulatedDevice device;
    std::vector<std::string> results;
    std::uint64_t ts = 1700000000123ULL, hits = 0;
    double waiting = 0;
    {
        BatchPipeline pipeline(device, kBatch, params());
        auto build = [&] {
            const PassTemplate pass(view, kProposer, ts++);
            SharedPrefixBatch& texts = pipeline.next();
            texts.prefix = pass.prefix();
            texts.rests.resize(kBatch);
            for (std::string& rest : texts.rests) pass.write_rest(rest);
            pipeline.submit();
        };
        build();
        for (auto _ : state) {
            build();
            const auto before = Clock::now();
            const SharedPrefixBatch& texts = pipeline.collect(results);
            waiting += std::chrono::duration<double>(Clock::now() - before).count();
            for (const auto& r : results)
                if (meets_target(r, view.diff)) ++hits;
            benchmark::DoNotOptimize(texts.prefix.data());
        }
    }
    benchmark::DoNotOptimize(hits);
    const double idle = device.idleSeconds(), busy = device.busySeconds();
    state.counters["idle_%"] = 100.0 * idle / (idle + busy);
    state.counters["host_ms"] = 1000.0 * ((idle + busy) - waiting) / double(state.iterations());
    state.counters["text_KiB"] = double(pipeline_text_bytes(view)) / 1024;
}

}  // namespace

BENCHMARK(pipelined)->ArgName("txs")->Arg(0)->Arg(100)->Arg(1000)->Iterations(40)->Unit(benchmark::kMillisecond);
BENCHMARK(synchronous)->ArgName("txs")->Arg(0)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(synchronous)->ArgName("txs")->Arg(100)->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(synchronous)->ArgName("txs")->Arg(1000)->Iterations(3)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
