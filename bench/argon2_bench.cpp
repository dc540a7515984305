// Hash rate of our host flavour against Debian's reference libargon2, at the
// miner's parameters (Argon2id v0x13, 1 pass, 16 MiB, 2 lanes, 32 bytes).
//
//   build/bench/argon2_bench --benchmark_counters_tabular=true
//
// libargon2 runs one hash per thread on as many threads as there are cores,
// its memory allocated once through its allocation callbacks (and, as it
// always does, wiped after every hash).
#include <argon2.h>
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "argon2gpu/cuda/processing_unit.h"

namespace {

const char kSalt[] = "quorlen-argon2-salt";

void ours(benchmark::State& state, const char* variant, bool bySegment, bool precompute) {
    argon2::cuda::GlobalContext global;
    const auto& dev = global.getAllDevices()[0];
    argon2::cuda::ProgramContext program(&global, {dev}, argon2::ARGON2_ID, argon2::ARGON2_VERSION_13);
    if (variant && !program.selectImplementation(variant)) {
        state.SkipWithError("variant not supported on this CPU");
        return;
    }
    argon2::Argon2Params params(32, kSalt, std::strlen(kSalt), nullptr, 0, nullptr, 0, 1, 16384, 2);
    const std::size_t batch = static_cast<std::size_t>(state.range(0));
    argon2::cuda::ProcessingUnit unit(&program, &params, &dev, batch, bySegment, precompute);
    std::string text = "{\"timestamp\":1700000000123,\"transactions\":[],\"nonce\":0}";
    std::uint64_t hashes = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < batch; ++i) {
            text.back() = char('0' + (hashes + i) % 10);
            unit.setPassword(i, text.data(), text.size());
        }
        unit.beginProcessing();
        unit.endProcessing();
        hashes += batch;
    }
    state.counters["hashes/s"] = benchmark::Counter(double(hashes), benchmark::Counter::kIsRate);
    state.SetLabel(program.getImplementationName());
}

// libargon2 with its memory allocated once per thread.
struct OnceAllocator {
    std::vector<std::uint8_t> memory;
    static int allocate(std::uint8_t** out, std::size_t bytes) {
        OnceAllocator* self = current;
        if (self->memory.size() < bytes) self->memory.resize(bytes);
        *out = self->memory.data();
        return ARGON2_OK;
    }
    static void release(std::uint8_t*, std::size_t) {}
    static thread_local OnceAllocator* current;
};
thread_local OnceAllocator* OnceAllocator::current = nullptr;

void reference(benchmark::State& state) {
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    const int perThread = static_cast<int>(state.range(0));
    std::uint64_t hashes = 0;
    for (auto _ : state) {
        std::vector<std::thread> pool;
        for (unsigned t = 0; t < threads; ++t) {
            pool.emplace_back([perThread, t] {
                OnceAllocator alloc;
                OnceAllocator::current = &alloc;
                for (int i = 0; i < perThread; ++i) {
                    std::string pwd = "{\"nonce\":" + std::to_string(t * 1000 + i) + "}";
                    std::string salt = kSalt;
                    std::uint8_t out[32];
                    argon2_context ctx{};
                    ctx.out = out;
                    ctx.outlen = 32;
                    ctx.pwd = reinterpret_cast<std::uint8_t*>(pwd.data());
                    ctx.pwdlen = static_cast<std::uint32_t>(pwd.size());
                    ctx.salt = reinterpret_cast<std::uint8_t*>(salt.data());
                    ctx.saltlen = static_cast<std::uint32_t>(salt.size());
                    ctx.t_cost = 1;
                    ctx.m_cost = 16384;
                    ctx.lanes = 2;
                    ctx.threads = 1;
                    ctx.version = ARGON2_VERSION_13;
                    ctx.allocate_cbk = OnceAllocator::allocate;
                    ctx.free_cbk = OnceAllocator::release;
                    argon2_ctx(&ctx, Argon2_id);
                }
            });
        }
        for (auto& th : pool) th.join();
        hashes += std::uint64_t(threads) * perThread;
    }
    state.counters["hashes/s"] = benchmark::Counter(double(hashes), benchmark::Counter::kIsRate);
    state.SetLabel("libargon2, " + std::to_string(threads) + " threads");
}

}  // namespace

BENCHMARK_CAPTURE(ours, best, nullptr, false, true)->Arg(8)->Arg(32)->Arg(128)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(ours, best_by_segment, nullptr, true, true)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(ours, best_no_precompute, nullptr, false, false)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(ours, avx2, "avx2", false, true)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(ours, ssse3, "ssse3", false, true)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(ours, portable, "portable", false, true)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(reference)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
