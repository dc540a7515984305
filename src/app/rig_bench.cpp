// quorlen-bench: the first thing to run on a new rig. With no node and no
// key, for every selected device and kernel mode: the self-test, then the
// hash rate over a sweep of batch sizes and, where the device tells its
// memory clock and bus width, the share of its peak memory bandwidth. On the
// simulated runtime, also the memory traffic of one batch, per kernel and
// per hash, against the floor of one pass over the hash's memory.
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "app/bench_report.h"
#include "app/stop_flag.h"
#include "argon2gpu/cuda/device.h"
#include "gpu/autotune.h"
#include "gpu/chain_pow.h"
#include "gpu/gpu_hasher.h"
#include "gpu/self_test.h"

#if defined(ARGON2GPU_CUDA_SIM)
#include <cuda_runtime_api.h>
#endif

// The programs stand outside the layers' namespaces, beside the globals the
// system's interfaces name (g_stop, on_sigint, main's PerGpu), and use their
// own layer's names as their own; the other layers' by their namespace.
using namespace quorlen;
using namespace quorlen::app;

namespace {

constexpr int kExitUsage = 1, kExitNoDevices = 3, kExitNoUsableDevices = 4, kExitSelfTestFailed = 5;

const char* const kUsage =
    "usage: quorlen-bench [--devices LIST] [--batches LIST] [--seconds N] [--warmup N]\n"
    "                     [--by-segment 0|1] [--precompute 0|1] [--json]\n"
    "  --devices LIST   device indexes, comma-separated (default: all)\n"
    "  --batches LIST   batch sizes to measure (default: around what the device holds at once)\n"
    "  --seconds N      measured seconds per size (default 3)\n"
    "  --warmup N       unmeasured seconds before each size (default 1)\n"
    "  --by-segment B   only this kernel mode (default: both)\n"
    "  --precompute B   precomputed reference indices (default 1)\n"
    "  --json           results as JSON on standard output instead of a table\n";

struct Options {
    std::vector<int> devices;
    std::vector<long long> batches;
    int seconds = 3;
    int warmup = 1;
    std::vector<bool> modes = {false, true};
    bool precompute = true;
    bool json = false;
};

// A whole number in [lo, hi], nothing else.
bool parseNumber(const std::string& text, long long lo, long long hi, long long& out) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && !text.empty() && out >= lo && out <= hi;
}

bool parseList(const std::string& text, long long lo, long long hi, std::vector<long long>& out) {
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        long long v = 0;
        if (!parseNumber(text.substr(start, comma - start), lo, hi, v)) return false;
        out.push_back(v);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

bool parseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--json") {
            o.json = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const std::string value = argv[++i];
        long long n = 0;
        std::vector<long long> list;
        if (arg == "--devices" && parseList(value, 0, 1023, list)) {
            o.devices.assign(list.begin(), list.end());
        } else if (arg == "--batches" && parseList(value, 1, 1 << 20, list)) {
            o.batches = list;
        } else if (arg == "--seconds" && parseNumber(value, 1, 3600, n)) {
            o.seconds = int(n);
        } else if (arg == "--warmup" && parseNumber(value, 0, 3600, n)) {
            o.warmup = int(n);
        } else if (arg == "--by-segment" && parseNumber(value, 0, 1, n)) {
            o.modes = {n == 1};
        } else if (arg == "--precompute" && parseNumber(value, 0, 1, n)) {
            o.precompute = n == 1;
        } else {
            return false;
        }
    }
    return true;
}

// Around the number of hashes the device works on at once: half of it (to
// show the cost of idle units), one, two and four waves; never more than 85 %
// of the free memory holds.
std::vector<long long> defaultSweep(const argon2::cuda::Device& dev) {
    const long long resident = std::max<long long>(1, static_cast<long long>(dev.getResidentHashes(2)));
    long long cap = 1 << 20;
    if (const std::optional<std::size_t> free = gpu::free_device_memory(dev.getDeviceIndex()))
        cap = std::max<long long>(1, static_cast<long long>(double(*free) * 0.85 / double(gpu::chain_pow::kMemoryBytes)));
    std::vector<long long> sizes;
    for (long long b : {resident / 2, resident, 2 * resident, 4 * resident}) {
        b = std::min(std::max(b, 1LL), cap);
        if (sizes.empty() || b > sizes.back()) sizes.push_back(b);
    }
    return sizes;
}

void progress(const std::string& text) {
    std::fprintf(stderr, "\r%-78.78s", text.c_str());
    std::fflush(stderr);
}

void onSignal(int) { g_stop.exchange(true); }

#if defined(ARGON2GPU_CUDA_SIM)
// The global-memory traffic of one batch of `batch` hashes, as the simulated
// runtime counts it: bytes the lanes asked for and 32-byte sectors the warps
// moved, per kernel and per hash; the DRAM bytes assume that every sector
// moved comes from (or goes to) DRAM once.
std::string trafficReport(GpuHasher& hasher, const std::string& mode, int batch) {
    hasher.bind_thread();
    std::vector<std::string> inputs(std::size_t(batch), "{\"msg\":\"traffic\"}"), outputs;
    cudasim::resetTraffic();
    hasher.hash_batch(inputs, outputs);
    const double mib = 1024.0 * 1024.0, n = batch;
    std::string text = "traffic per hash, " + mode + ", batch " + std::to_string(batch) + " (simulated):\n";
    char line[200];
    std::snprintf(line, sizeof line, "  %-18s %8s %12s %12s %12s %12s\n", "kernel", "launches", "read MiB",
                  "written MiB", "sectors rd", "sectors wr");
    text += line;
    double sectors = 0;
    for (const cudasim::KernelTraffic& k : cudasim::traffic()) {
        std::snprintf(line, sizeof line, "  %-18s %8llu %12.3f %12.3f %12.0f %12.0f\n", k.kernel.c_str(),
                      static_cast<unsigned long long>(k.launches), double(k.bytesRead) / n / mib, double(k.bytesWritten) / n / mib,
                      double(k.sectorsRead) / n, double(k.sectorsWritten) / n);
        text += line;
        sectors += double(k.sectorsRead + k.sectorsWritten) / n;
    }
    std::snprintf(line, sizeof line, "  DRAM %.3f MiB per hash = %.4f x the floor of %.0f MiB (written once, each reference read once)\n",
                  sectors * 32 / mib, sectors * 32 / gpu::chain_pow::kBytesMovedPerHash, gpu::chain_pow::kBytesMovedPerHash / mib);
    return text + line;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    Options o;
    if (!parseOptions(argc, argv, o)) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    try {
        argon2::cuda::GlobalContext global;
        const auto& all = global.getAllDevices();
        if (all.empty()) {
            if (!global.getProblem().empty()) std::fprintf(stderr, "%s\n", global.getProblem().c_str());
            std::fprintf(stderr, "no %s devices\n", argon2::cuda::GlobalContext::getBackendName());
            return kExitNoDevices;
        }
        std::vector<int> selected;
        for (std::size_t i = 0; i < all.size(); ++i)
            if (o.devices.empty()) selected.push_back(int(i));
        for (int d : o.devices)
            if (std::size_t(d) < all.size()) selected.push_back(d);
        if (selected.empty()) {
            std::fputs("no usable devices\n", stderr);
            return kExitNoUsableDevices;
        }

        std::vector<BenchRun> runs;
        std::string traffic;
        bool failed = false;
        for (int g : selected) {
            const argon2::cuda::Device& dev = all[std::size_t(g)];
            const std::vector<long long> sizes = o.batches.empty() ? defaultSweep(dev) : o.batches;
            for (bool bySegment : o.modes) {
                BenchRun run;
                run.gpu = g;
                run.name = dev.getName();
                run.bySegment = bySegment;
                run.precompute = o.precompute;
                run.peakBandwidth = dev.getPeakBandwidth();
                progress("[bench] GPU#" + std::to_string(g) + " " + mode_name(run) + ": self-test");
                const std::string unsupported = dev.getSupportProblem();
                GpuHasher hasher(&dev, bySegment, o.precompute);
                hasher.init(global);
                run.selfTest = unsupported.empty() ? gpu::self_test(hasher) : "not supported: " + unsupported;
                failed = failed || !run.selfTest.empty();
#if defined(ARGON2GPU_CUDA_SIM)
                if (run.selfTest.empty()) traffic += trafficReport(hasher, mode_name(run), 2);
#endif
                for (std::size_t k = 0; k < sizes.size() && run.selfTest.empty() && !g_stop.load(); ++k) {
                    progress("[bench] GPU#" + std::to_string(g) + " " + mode_name(run) + ": B=" +
                             std::to_string(sizes[k]) + " (" + std::to_string(k + 1) + " of " +
                             std::to_string(sizes.size()) + ")");
                    BenchPoint point;
                    point.batch = sizes[k];
                    bool lost = false;
                    try {
                        point.rate = measure(hasher, int(sizes[k]), o.seconds, o.warmup, &g_stop);
                        hasher.reset();
                    } catch (const argon2::cuda::DeviceLost& e) {
                        point.error = e.what();
                        lost = true;
                    } catch (const std::exception& e) {
                        point.error = e.what();
                    }
                    run.points.push_back(point);
                    if (lost || point.error.find("out of memory") != std::string::npos) break;
                }
                runs.push_back(run);
            }
        }
        progress("");
        std::fputs("\r", stderr);
        std::fputs((o.json ? bench_json(runs) : bench_table(runs)).c_str(), stdout);
        std::fputs(traffic.c_str(), o.json ? stderr : stdout);
        return failed ? kExitSelfTestFailed : 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "\nfatal: %s\n", e.what());
        return kExitSelfTestFailed;
    }
}
