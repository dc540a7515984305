#include "telemetry/gpu_telemetry.h"

#include <dlfcn.h>

#include <cstdlib>
#include <memory>

namespace quorlen::telemetry {

namespace {

// The C interface, as the library exports it: every call returns 0 on
// success; a device is an opaque handle.
using NvmlDevice = struct NvmlDeviceOpaque*;
constexpr int kSuccess = 0;
constexpr int kTemperatureGpu = 0;
constexpr int kClockGraphics = 0;
constexpr int kClockMemory = 2;

}  // namespace

struct GpuTelemetry::Api {
    int (*init)();
    int (*shutdown)();
    int (*byBusId)(const char*, NvmlDevice*);
    int (*temperature)(NvmlDevice, int, unsigned*);
    int (*power)(NvmlDevice, unsigned*);  // milliwatts
    int (*fan)(NvmlDevice, unsigned*);    // percent
    int (*clock)(NvmlDevice, int, unsigned*);  // MHz
};

namespace {

template <class F>
bool bind(void* handle, const char* name, F& f, std::string& missing) {
    f = reinterpret_cast<F>(dlsym(handle, name));
    if (!f && missing.empty()) missing = name;
    return f != nullptr;
}

}  // namespace

std::string GpuTelemetry::library_from_environment() {
    const char* v = std::getenv(kNvmlLibraryEnv);
    return v && *v ? v : kNvmlLibrary;
}

GpuTelemetry::GpuTelemetry(const std::string& library) {
    handle_ = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = dlerror();
        problem_ = why ? why : "cannot load " + library;
        return;
    }
    auto api = std::make_unique<Api>();
    std::string missing;
    bind(handle_, "nvmlInit_v2", api->init, missing);
    bind(handle_, "nvmlShutdown", api->shutdown, missing);
    bind(handle_, "nvmlDeviceGetHandleByPciBusId_v2", api->byBusId, missing);
    bind(handle_, "nvmlDeviceGetTemperature", api->temperature, missing);
    bind(handle_, "nvmlDeviceGetPowerUsage", api->power, missing);
    bind(handle_, "nvmlDeviceGetFanSpeed", api->fan, missing);
    bind(handle_, "nvmlDeviceGetClockInfo", api->clock, missing);
    if (!missing.empty()) problem_ = library + " lacks " + missing;
    else if (const int status = api->init(); status != kSuccess)
        problem_ = library + ": initialisation failed (status " + std::to_string(status) + ")";
    if (!problem_.empty()) {
        dlclose(handle_);
        handle_ = nullptr;
        return;
    }
    api_ = api.release();
}

GpuTelemetry::~GpuTelemetry() {
    if (!api_) return;
    api_->shutdown();
    delete api_;
    dlclose(handle_);
}

std::optional<GpuReading> GpuTelemetry::read(const std::string& pciBusId) const {
    if (!api_ || pciBusId.empty()) return std::nullopt;
    NvmlDevice device = nullptr;
    if (api_->byBusId(pciBusId.c_str(), &device) != kSuccess) return std::nullopt;
    GpuReading r;
    unsigned v = 0;
    if (api_->temperature(device, kTemperatureGpu, &v) == kSuccess) r.temperatureC = v;
    if (api_->power(device, &v) == kSuccess) r.powerW = v / 1000.0;
    if (api_->fan(device, &v) == kSuccess) r.fanPercent = v;
    if (api_->clock(device, kClockGraphics, &v) == kSuccess) r.coreMHz = v;
    if (api_->clock(device, kClockMemory, &v) == kSuccess) r.memoryMHz = v;
    return r;
}

}  // namespace quorlen::telemetry
