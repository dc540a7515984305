// The OpenCL flavour's device list and program context: the fill kernel
// built from the source in the library, or taken from the binary cache.
#include <CL/cl_ext.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "argon2gpu/cuda/device.h"
#include "argon2gpu/cpu_hash.h"
#include "argon2gpu/cuda/processing_unit.h"
#include "cl_fill_build.h"
#include "cl_program.h"

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

// A few hashes of a small memory in two passes, each lane's reference
// rules and the group's exchanges all taken, against the CPU: a binary that
// is not what it claims to be (a stale or damaged cache, a miscompiled fast
// path) fails here rather than in every batch. Empty when they agree;
// `wrong` tells hashes that differ from a failure to run them.
std::string knownAnswerFailure(const ProgramContext& program, const opencl::ClDevice& d, bool& wrong) {
    wrong = false;
    static const char salt[] = "opencl-known-answer";
    const std::size_t lanes = d.maxWorkGroup >= 64 ? 2 : 1;
    const Argon2Params params(32, salt, sizeof salt - 1, nullptr, 0, nullptr, 0, 2, 32, lanes);
    const std::string passwords[] = {"", "the quick brown fox jumps over the lazy dog"};
    try {
        ProcessingUnit unit(&program, &params, nullptr, 2, false, false);
        for (std::size_t i = 0; i < 2; ++i) unit.setPassword(i, passwords[i].data(), passwords[i].size());
        unit.beginProcessing();
        unit.endProcessing();
        for (std::size_t i = 0; i < 2; ++i) {
            unsigned char got[32], want[32];
            unit.getHash(i, got);
            cpuHash(params, program.getArgon2Type(), program.getArgon2Version(), passwords[i].data(),
                    passwords[i].size(), want);
            if (std::memcmp(got, want, sizeof got) != 0) {
                wrong = true;
                return "the known-answer hashes differ from the CPU's";
            }
        }
    } catch (const DeviceLost&) {
        throw;
    } catch (const std::exception& e) {
        return std::string("the known-answer hashes failed: ") + e.what();
    }
    return "";
}

std::string firstLine(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    return line.size() > 160 ? line.substr(0, 157) + "..." : line;
}

}  // namespace

// The path's program, from the cache or built, once it computes right: a
// cached one that does not is dropped and the path built from source and
// checked again; a fast path that still hashes wrong is remembered as
// refused. Until then the program in use stays.
bool ProgramContext::Impl::use(int path, const ProgramContext& owner, std::string& why) {
    opencl::FillBuild build(context, *cl, path);
    const cl_program previous = program;
    const int previousPath = shuffle;
    for (bool fromSource : {false, true}) {
        bool cached = false;
        std::vector<unsigned char> binary;
        const cl_program built = build.build(fromSource, cached, binary, why);
        if (!built) break;
        program = built;
        shuffle = path;
        const bool trusted = ClRuntime::instance().verified(device, path, binary);
        std::string failure;
        bool wrong = false;
        try {
            failure = trusted ? "" : knownAnswerFailure(owner, *cl, wrong);
        } catch (...) {
            clReleaseProgram(built);
            program = previous;
            shuffle = previousPath;
            throw;
        }
        if (failure.empty()) {
            ClRuntime::instance().markVerified(device, path, binary);
            if (!cached) build.remember(binary);
            if (previous) clReleaseProgram(previous);
            return true;
        }
        why = failure;
        clReleaseProgram(built);
        program = previous;
        shuffle = previousPath;
        if (!cached) {
            // A fast path built afresh that hashes wrong does so at every start.
            if (wrong && path != opencl::kLocalPath) build.refuse(why);
            break;
        }
        build.forget();
    }
    program = previous;
    shuffle = previousPath;
    return false;
}

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

std::string Device::getDriverVersion() const {
    const auto& all = ClRuntime::instance().devices();
    if (index_ < 0 || std::size_t(index_) >= all.size()) return "";
    const opencl::ClDevice& d = all[std::size_t(index_)];
    return "driver " + d.driverVersion + ", " + d.platformName + " " + d.platformVersion;
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
    std::string skipped;
    bool built = false;
    for (int path : opencl::preferredPaths(d)) {
        std::string why;
        if ((built = impl_->use(path, *this, why))) break;
        skipped += std::string(skipped.empty() ? "" : "; ") + opencl::kFillPathNames[path] + ": " + firstLine(why);
    }
    if (!built) throw std::runtime_error("building the OpenCL fill kernel for " + d.name + ": " + skipped);
    if (ClRuntime::instance().firstReport(impl_->device))
        std::fprintf(stderr, "OpenCL device %d (%s): fill kernel path %s%s%s\n", impl_->device, d.name.c_str(),
                     opencl::kFillPathNames[impl_->shuffle], skipped.empty() ? "" : "; not taken: ",
                     skipped.c_str());
}

ProgramContext::~ProgramContext() = default;

const char* ProgramContext::getImplementationName() const { return opencl::kFillPathNames[impl_->shuffle]; }

bool ProgramContext::selectImplementation(const std::string& name) {
    const auto* at = std::find(std::begin(opencl::kFillPathNames), std::end(opencl::kFillPathNames), name);
    if (at == std::end(opencl::kFillPathNames)) return false;
    const int path = int(at - std::begin(opencl::kFillPathNames));
    if (path == impl_->shuffle) return true;
    std::string why;
    if (!opencl::pathPossible(*impl_->cl, path, why)) return false;
    return impl_->use(path, *this, why);  // when refused, the path in use stays
}

}  // namespace argon2::cuda
