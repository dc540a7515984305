// The devices the library can hash on, enumerated once per process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace argon2::cuda {

class Device {
public:
    explicit Device(int deviceIndex = 0) : index_(deviceIndex) {}
    int getDeviceIndex() const { return index_; }
    std::string getName() const;
    // The PCI bus id ("0000:01:00.0"), by which other tools (the management
    // library's telemetry) know the device; empty when it has none.
    std::string getPciBusId() const;
    // The driver's and the runtime's versions, as one text; what a change of
    // either (and with it of the code the device runs) can be told by.
    std::string getDriverVersion() const;
    // Empty when this build's kernels run on the device; otherwise why not:
    // its compute capability and the architectures the build covers.
    std::string getSupportProblem() const;
    // Peak memory bandwidth in bytes per second, from the memory clock and bus
    // width; 0 when the device does not say.
    double getPeakBandwidth() const;
    // How many hashes of `lanes` lanes the device works on at once; a larger
    // batch runs in waves.
    std::size_t getResidentHashes(std::uint32_t lanes) const;

private:
    int index_;
};

// An error that leaves the device unusable for the rest of the process (an
// illegal address, a failed launch): every later call on it fails as well.
class DeviceLost : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class GlobalContext {
public:
    // Lists the usable devices in index order; empty (never an error) when
    // there is none.
    GlobalContext();
    const std::vector<Device>& getAllDevices() const { return devices_; }
    // The runtime's own message when it refused to enumerate for a reason the
    // user can act on (a driver older than the runtime needs); else empty.
    const std::string& getProblem() const { return problem_; }
    // The runtime the devices come from, for messages ("no CUDA devices").
    static constexpr const char* getBackendName() {
#if defined(ARGON2GPU_FLAVOUR_CUDA)
        return "CUDA";
#elif defined(ARGON2GPU_FLAVOUR_OPENCL)
        return "OpenCL";
#else
        return "host";
#endif
    }

private:
    std::vector<Device> devices_;
    std::string problem_;
};

}  // namespace argon2::cuda
