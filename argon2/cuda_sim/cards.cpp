// The cards the simulated runtime stands for: their figures, the devices the
// environment asks for, and what a block of each kernel may take of them
// (registers per thread and launch bounds, as the compiled image keeps them
// on a card).
#include <algorithm>
#include <cstdlib>

#include "host.h"

namespace cudasim {

namespace {

// The figures the runtime reports for these cards.
const Profile kProfiles[] = {
    {"t4", "Tesla T4", 7, 5, 40, 1590000, 5001000, 256, 16, 1024, 64, 64, std::size_t(15360) << 20},
    {"rtx3060", "NVIDIA GeForce RTX 3060", 8, 6, 28, 1777000, 7501000, 192, 16, 1536, 100, 99, std::size_t(12288) << 20},
    {"rtx4090", "NVIDIA GeForce RTX 4090", 8, 9, 128, 2520000, 10501000, 384, 24, 1536, 100, 99,
     std::size_t(24564) << 20},
    {"h100", "NVIDIA H100 PCIe", 9, 0, 114, 1755000, 1593000, 5120, 32, 2048, 228, 227, std::size_t(81559) << 20},
};

// Registers per thread of the flavour's kernels, per architecture, as ptxas
// gives them (scripts/cuda-check.sh regenerates the table and fails when it
// differs from this copy).
struct KernelRegisters {
    const char* kernel;
    int arch;
    int registers;
};
const KernelRegisters kKernelRegisters[] = {
#include "../cuda/kernel_registers.inc"
};
// The most threads a block may have, per kernel, from its __launch_bounds__
// (scripts/cuda-check.sh reads them from the PTX and fails when they differ
// from this copy). A kernel without bounds may have 1024.
struct KernelBound {
    const char* kernel;
    int maxThreads;
};
const KernelBound kKernelBounds[] = {
#include "../cuda/kernel_bounds.inc"
};
// Any other kernel (the runtime's own tests) unless named with a count.
constexpr int kDefaultRegisters = 32;

// Kernels by address: name, registers (0: the table's). Apart from the
// runtime, so that naming kernels as a library loads does not read the
// environment before the program could set it.
struct KernelNames {
    std::mutex m;
    std::map<const void*, std::pair<std::string, int>> names;
};
KernelNames& kernelNames() {
    static KernelNames* k = new KernelNames;
    return *k;
}

// Launch bounds set by the runtime's own tests, by kernel name.
struct KernelBounds {
    std::mutex m;
    std::map<std::string, int> byName;
};
KernelBounds& kernelBounds() {
    static KernelBounds* k = new KernelBounds;
    return *k;
}

// The name a kernel was launched or named with ("" when none).
std::string kernelName(const void* func, const char* name) {
    KernelNames& k = kernelNames();
    std::lock_guard lock(k.m);
    if (const auto it = k.names.find(func); it != k.names.end()) return it->second.first;
    return name ? name : "";
}

}  // namespace

Runtime::Runtime() {
    std::string list = "rtx3060";
    if (const char* e = std::getenv("QUORLEN_CUDA_SIM_DEVICES")) list = e;
    std::size_t budget = 0;
    if (const char* e = std::getenv("QUORLEN_CUDA_SIM_MEMORY_MIB")) budget = std::size_t(std::strtoull(e, nullptr, 10)) << 20;
    if (const char* e = std::getenv("QUORLEN_CUDA_SIM_SEED")) seed = std::strtoull(e, nullptr, 10);
    std::size_t at = 0;
    while (at <= list.size()) {
        std::size_t comma = list.find(',', at);
        if (comma == std::string::npos) comma = list.size();
        const std::string key = list.substr(at, comma - at);
        at = comma + 1;
        if (key.empty()) continue;
        for (const Profile& p : kProfiles) {
            if (key != p.key) continue;
            auto d = std::make_unique<Device>();
            d->index = int(devices.size());
            d->profile = &p;
            d->budget = budget ? std::min(budget, p.memory) : p.memory;
            devices.push_back(std::move(d));
        }
    }
}

long long blockRegisters(int registers, long long threads) {
    return (threads + 31) / 32 * ((registers * 32 + 255) / 256 * 256);
}

void boundKernel(const char* name, int maxThreads) {
    KernelBounds& k = kernelBounds();
    std::lock_guard lock(k.m);
    k.byName[name] = maxThreads;
}

bool nameKernel(const void* func, const char* name, int registers) {
    KernelNames& k = kernelNames();
    std::lock_guard lock(k.m);
    k.names[func] = {name, registers};
    return true;
}

int launchBound(const void* func, const char* name) {
    const std::string known = kernelName(func, name);
    {
        KernelBounds& k = kernelBounds();
        std::lock_guard lock(k.m);
        if (const auto it = k.byName.find(known); it != k.byName.end()) return it->second;
    }
    for (const KernelBound& b : kKernelBounds)
        if (known == b.kernel) return b.maxThreads;
    return 1024;
}

int registersOf(const void* func, const char* name, const Device& d) {
    KernelNames& k = kernelNames();
    std::string known = name ? name : "";
    int registers = 0;
    {
        std::lock_guard lock(k.m);
        if (const auto it = k.names.find(func); it != k.names.end()) {
            known = it->second.first;
            registers = it->second.second;
        } else if (name) {
            k.names[func] = {name, 0};
        }
    }
    if (registers > 0) return registers;
    const int arch = d.profile->major * 10 + d.profile->minor;
    for (const KernelRegisters& k : kKernelRegisters)
        if (k.arch == arch && known == k.kernel) return k.registers;
    return kDefaultRegisters;
}

}  // namespace cudasim
