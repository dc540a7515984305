// The host flavour's device list: the CPU is the one device, index 0.
#include <algorithm>
#include <thread>

#include "argon2gpu/cuda/device.h"
#include "argon2gpu/cuda/program_context.h"
#include "../common/test_hang.h"
#include "fill.h"

namespace argon2::cuda {

std::string Device::getName() const { return "host CPU"; }

std::string Device::getSupportProblem() const { return ""; }

std::string Device::getPciBusId() const { return ""; }

// The library itself is the driver here: the program's version covers it.
std::string Device::getDriverVersion() const { return "host"; }

double Device::getPeakBandwidth() const { return 0; }

// At most: one group of up to kMaxLockstep hashes per thread of the unit.
std::size_t Device::getResidentHashes(std::uint32_t) const {
    return std::size_t(std::max(1u, std::thread::hardware_concurrency())) * host::kMaxLockstep;
}

GlobalContext::GlobalContext() {
    test_hang::waitPoint();  // a driver may hang while its devices are listed
    devices_.emplace_back(0);
}

struct ProgramContext::Impl {
    const host::FillVariant* fill;
};

ProgramContext::ProgramContext(const GlobalContext*, const std::vector<Device>&, Type type, Version version)
    : type_(type), version_(version), impl_(new Impl{&host::fastestFillVariant()}) {}

ProgramContext::~ProgramContext() = default;

const char* ProgramContext::getImplementationName() const { return impl_->fill->name; }

bool ProgramContext::selectImplementation(const std::string& name) {
    const host::FillVariant* chosen = host::supportedFillVariant(name);
    if (chosen) impl_->fill = chosen;
    return chosen != nullptr;
}

}  // namespace argon2::cuda

namespace argon2::host {
// For the processing unit, which lives in another file of this flavour.
FillSegmentFn programFill(const cuda::ProgramContext& program) { return program.impl().fill->fill; }
}  // namespace argon2::host
