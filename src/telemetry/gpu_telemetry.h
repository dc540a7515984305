// GPU telemetry from NVIDIA's management library (NVML), loaded at run time
// with dlopen: no build dependency, and a machine without the library simply
// has no telemetry. Devices are found by PCI bus id, the one name NVML and
// CUDA share.
#pragma once

#include <optional>
#include <string>

namespace quorlen::telemetry {

// One reading of one GPU; each value is missing when the card does not say
// (a passive card has no fan).
struct GpuReading {
    std::optional<unsigned> temperatureC;
    std::optional<double> powerW;
    std::optional<unsigned> fanPercent;
    std::optional<unsigned> coreMHz;
    std::optional<unsigned> memoryMHz;
};

// Names another library to load in place of the system's NVML (a stand-in
// with the same symbols, for tests).
constexpr const char* kNvmlLibraryEnv = "QUORLEN_NVML_LIBRARY";
constexpr const char* kNvmlLibrary = "libnvidia-ml.so.1";

class GpuTelemetry {
public:
    // Loads and initialises `library`; when that fails available() is false
    // and problem() says why.
    explicit GpuTelemetry(const std::string& library);
    // The library kNvmlLibraryEnv names, else kNvmlLibrary.
    static std::string library_from_environment();
    ~GpuTelemetry();
    GpuTelemetry(const GpuTelemetry&) = delete;
    GpuTelemetry& operator=(const GpuTelemetry&) = delete;

    bool available() const { return api_ != nullptr; }
    const std::string& problem() const { return problem_; }
    // The device at `pciBusId` ("0000:01:00.0"), or nothing when the library
    // is absent, the id is empty or no device answers to it.
    [[nodiscard]] std::optional<GpuReading> read(const std::string& pciBusId) const;

private:
    struct Api;
    void* handle_ = nullptr;
    Api* api_ = nullptr;
    std::string problem_;
};

}  // namespace quorlen::telemetry
