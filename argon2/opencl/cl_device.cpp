// The OpenCL flavour's device list and program context: the fill kernel
// built from the source in the library, or taken from the binary cache.
#include <CL/cl_ext.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "argon2gpu/cuda/device.h"
#include "cl_program.h"
#include "cl_program_cache.h"
#include "cl_source.h"

namespace argon2::cuda {
namespace {

using opencl::ClRuntime;
using opencl::Stage;

const opencl::ClDevice& clDevice(int index) {
    const auto& all = ClRuntime::instance().devices();
    if (index < 0 || std::size_t(index) >= all.size())
        throw std::invalid_argument("no OpenCL device " + std::to_string(index));
    return all[std::size_t(index)];
}

// The code paths, by ARGON2_SHUFFLE: how values cross the group of 32.
constexpr const char* kShuffleNames[] = {"opencl-local", "opencl-amd-permute", "opencl-subgroup"};

// For tests: QUORLEN_OPENCL_EXCHANGE_RULE names a card's cross-lane rule,
// which fill.cl's permute or sub-group path then follows through local
// memory (its ARGON2_EXCHANGE_RULE), so that those paths run on any device.
// The device is then taken to offer that path, with the rule's sub-group
// size. Unset, as it always is outside the tests, nothing changes.
struct ExchangeRule {
    const char* name;
    int shuffle;
    std::size_t subGroupSize;
};
constexpr ExchangeRule kExchangeRules[] = {{"gcn-wave64", 1, 0},   {"rdna-wave32", 1, 0},  {"rdna-wave64", 1, 0},
                                           {"subgroup-16", 2, 16}, {"subgroup-32", 2, 32}, {"subgroup-64", 2, 64},
                                           {"wrong-wave64", 1, 0}};

const ExchangeRule* exchangeRule() {
    const char* name = std::getenv("QUORLEN_OPENCL_EXCHANGE_RULE");
    if (!name || !*name) return nullptr;
    for (const ExchangeRule& r : kExchangeRules)
        if (std::strcmp(r.name, name) == 0) return &r;
    throw std::invalid_argument(std::string("QUORLEN_OPENCL_EXCHANGE_RULE: no rule ") + name);
}

bool isAmdGpu(const opencl::ClDevice& d) {
    return !d.isCpu() && (d.vendor.find("Advanced Micro Devices") != std::string::npos ||
                          d.vendor.find("AMD") == 0 || d.platformName.find("AMD") != std::string::npos);
}

// The fastest path the device may offer; the build proves it.
int preferredShuffle(const opencl::ClDevice& d) {
    if (const ExchangeRule* rule = exchangeRule()) return rule->shuffle;
    if (isAmdGpu(d)) return 1;
    if (!d.isCpu() && d.hasExtension("cl_khr_subgroup_shuffle")) return 2;
    return 0;
}

std::string buildLog(cl_program program, cl_device_id device) {
    std::size_t size = 0;
    clGetProgramBuildInfo(program, device, CL_PROGRAM_BUILD_LOG, 0, nullptr, &size);
    std::string log(size, '\0');
    if (size) clGetProgramBuildInfo(program, device, CL_PROGRAM_BUILD_LOG, size, log.data(), nullptr);
    log.resize(std::min<std::size_t>(strnlen(log.c_str(), log.size()), 2000));
    return log;
}

cl_program fromBinary(cl_context context, const opencl::ClDevice& d, const std::vector<unsigned char>& binary,
                      const std::string& options) {
    if (binary.empty()) return nullptr;
    const std::size_t size = binary.size();
    const unsigned char* bytes = binary.data();
    cl_int status = CL_SUCCESS, err = CL_SUCCESS;
    cl_program program = clCreateProgramWithBinary(context, 1, &d.id, &size, &bytes, &status, &err);
    if (err != CL_SUCCESS || status != CL_SUCCESS) {
        if (program) clReleaseProgram(program);
        return nullptr;
    }
    if (clBuildProgram(program, 1, &d.id, options.c_str(), nullptr, nullptr) != CL_SUCCESS) {
        clReleaseProgram(program);
        return nullptr;
    }
    return program;
}

std::vector<unsigned char> binaryOf(cl_program program) {
    std::size_t size = 0;
    if (clGetProgramInfo(program, CL_PROGRAM_BINARY_SIZES, sizeof size, &size, nullptr) != CL_SUCCESS || size == 0)
        return {};
    std::vector<unsigned char> binary(size);
    unsigned char* out = binary.data();
    if (clGetProgramInfo(program, CL_PROGRAM_BINARIES, sizeof out, &out, nullptr) != CL_SUCCESS) return {};
    return binary;
}

bool holdsWholeGroups(std::size_t subGroupSize) { return subGroupSize >= 32 && subGroupSize % 32 == 0; }

// Whether the program's sub-groups hold whole groups of 32, as the
// sub-group path assumes.
bool wholeGroupsPerSubGroup(cl_program program, const opencl::ClDevice& d) {
    cl_int err = CL_SUCCESS;
    cl_kernel kernel = clCreateKernel(program, "fill", &err);
    if (err != CL_SUCCESS) return false;
    const std::size_t local[2] = {32, 2};
    std::size_t size = 0;
    err = clGetKernelSubGroupInfo(kernel, d.id, CL_KERNEL_MAX_SUB_GROUP_SIZE_FOR_NDRANGE, sizeof local, local,
                                  sizeof size, &size, nullptr);
    clReleaseKernel(kernel);
    return err == CL_SUCCESS && holdsWholeGroups(size);
}

// The fill program with the given path, from the cache or built from source
// (and then cached). Null, with `log` saying why, when the driver refuses it.
cl_program buildFill(cl_context context, const opencl::ClDevice& d, int shuffle, std::string& log) {
    static const char* const kPartialGroups = "sub-groups do not hold whole groups of 32 work-items";
    std::string options = "-cl-std=CL1.2 -DARGON2_SHUFFLE=" + std::to_string(shuffle);
    const ExchangeRule* rule = exchangeRule();
    if (rule && rule->shuffle != shuffle) rule = nullptr;
    if (rule) {
        if (shuffle == 2 && !holdsWholeGroups(rule->subGroupSize)) {
            log = kPartialGroups;
            return nullptr;
        }
        options += " -DARGON2_EXCHANGE_RULE=" + std::to_string(rule - kExchangeRules + 1);
    }
    const opencl::ProgramCache cache(d.platformName + '\n' + d.platformVersion + '\n' + d.name + '\n' +
                                     d.deviceVersion + '\n' + d.driverVersion + '\n' + options + '\n' +
                                     opencl::kFillSource);
    // A build under a test's exchange rule stays out of the cache.
    cl_program program = rule ? nullptr : fromBinary(context, d, cache.load(), options);
    const bool cached = program != nullptr;
    if (!program) {
        cl_int err = CL_SUCCESS;
        const char* source = opencl::kFillSource;
        program = clCreateProgramWithSource(context, 1, &source, nullptr, &err);
        opencl::check(err, "clCreateProgramWithSource", -1, Stage::Setup);
        err = clBuildProgram(program, 1, &d.id, options.c_str(), nullptr, nullptr);
        if (err != CL_SUCCESS) {
            log = std::string(opencl::errorName(err)) + ": " + buildLog(program, d.id);
            clReleaseProgram(program);
            return nullptr;
        }
    }
    if (shuffle == 2 && !rule && !wholeGroupsPerSubGroup(program, d)) {
        log = kPartialGroups;
        clReleaseProgram(program);
        return nullptr;
    }
    if (!cached && !rule) cache.store(binaryOf(program));
    return program;
}

}  // namespace

std::string Device::getName() const {
    const auto& all = ClRuntime::instance().devices();
    if (index_ < 0 || std::size_t(index_) >= all.size()) return "OpenCL device " + std::to_string(index_);
    const opencl::ClDevice& d = all[std::size_t(index_)];
    // AMD's drivers name the chip (gfx1030) and keep the card's name apart.
    std::string board(256, '\0');
    constexpr cl_device_info kBoardNameAmd = 0x4038;
    std::string name = d.name;
    if (d.hasExtension("cl_amd_device_attribute_query") &&
        clGetDeviceInfo(d.id, kBoardNameAmd, board.size(), board.data(), nullptr) == CL_SUCCESS && board[0])
        name = board.c_str() + (" (" + d.name + ")");
    if (d.isCpu()) name += " (OpenCL CPU device, " + d.platformName + ")";
    return name;
}

// The telemetry matches cards by this id; a driver without the query (PoCL's
// CPU device among them) gives none, and its device then has no telemetry.
std::string Device::getPciBusId() const {
    const auto& all = ClRuntime::instance().devices();
    if (index_ < 0 || std::size_t(index_) >= all.size()) return "";
    const opencl::ClDevice& d = all[std::size_t(index_)];
    cl_device_pci_bus_info_khr bus{};
    if (!d.hasExtension("cl_khr_pci_bus_info") ||
        clGetDeviceInfo(d.id, CL_DEVICE_PCI_BUS_INFO_KHR, sizeof bus, &bus, nullptr) != CL_SUCCESS)
        return "";
    char id[32];
    std::snprintf(id, sizeof id, "%08x:%02x:%02x.%x", bus.pci_domain, bus.pci_bus, bus.pci_device, bus.pci_function);
    return id;
}

std::string Device::getSupportProblem() const {
    return ClRuntime::instance().lost(index_) ? getName() + ": lost after an earlier fault" : "";
}

// OpenCL has no query for the memory clock or bus width.
double Device::getPeakBandwidth() const { return 0; }

// A CPU device runs one work-group per core at a time. On a GPU, OpenCL gives
// no occupancy query: from the compiler's figures for RDNA 2 and 3 (10
// waves of 32 per SIMD, docs/opencl-kernel.md) a compute unit as AMD's
// driver counts it (a workgroup processor: four SIMDs) holds about 40
// groups of 32; 32 a unit is the estimate, which the autotuner refines.
std::size_t Device::getResidentHashes(std::uint32_t lanes) const {
    const auto& all = ClRuntime::instance().devices();
    if (index_ < 0 || std::size_t(index_) >= all.size() || lanes == 0) return 0;
    const opencl::ClDevice& d = all[std::size_t(index_)];
    if (d.isCpu()) return d.computeUnits;
    return std::size_t(d.computeUnits) * std::max<std::size_t>(1, 32 / lanes);
}

GlobalContext::GlobalContext() {
    const ClRuntime& runtime = ClRuntime::instance();
    for (std::size_t i = 0; i < runtime.devices().size(); ++i) devices_.emplace_back(int(i));
    if (devices_.empty()) problem_ = runtime.problem();
}

ProgramContext::ProgramContext(const GlobalContext*, const std::vector<Device>& devices, Type type, Version version)
    : type_(type), version_(version), impl_(std::make_unique<Impl>()) {
    impl_->device = devices.empty() ? 0 : devices.front().getDeviceIndex();
    opencl::checkNotLost(impl_->device);
    const opencl::ClDevice& d = clDevice(impl_->device);
    impl_->cl = &d;
    cl_int err = CL_SUCCESS;
    const cl_context_properties props[] = {CL_CONTEXT_PLATFORM, cl_context_properties(d.platform), 0};
    impl_->context = clCreateContext(props, 1, &d.id, nullptr, nullptr, &err);
    opencl::check(err, "clCreateContext", impl_->device, Stage::Setup);
    std::string log;
    impl_->shuffle = preferredShuffle(d);
    impl_->program = buildFill(impl_->context, d, impl_->shuffle, log);
    if (!impl_->program && impl_->shuffle != 0) {
        impl_->shuffle = 0;
        impl_->program = buildFill(impl_->context, d, 0, log);
    }
    if (!impl_->program) throw std::runtime_error("building the OpenCL fill kernel for " + d.name + ": " + log);
}

ProgramContext::~ProgramContext() = default;

const char* ProgramContext::getImplementationName() const { return kShuffleNames[impl_->shuffle]; }

bool ProgramContext::selectImplementation(const std::string& name) {
    const auto* at = std::find(std::begin(kShuffleNames), std::end(kShuffleNames), name);
    if (at == std::end(kShuffleNames)) return false;
    const int shuffle = int(at - std::begin(kShuffleNames));
    if (shuffle == impl_->shuffle) return true;
    if (shuffle == 1 && preferredShuffle(*impl_->cl) != 1) return false;  // its builtin exists only for amdgcn
    std::string log;
    cl_program program = buildFill(impl_->context, *impl_->cl, shuffle, log);
    if (!program) return false;
    clReleaseProgram(impl_->program);
    impl_->program = program;
    impl_->shuffle = shuffle;
    return true;
}

}  // namespace argon2::cuda
