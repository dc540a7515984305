// The devices the library can hash on, enumerated once per process.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace argon2::cuda {

class Device {
public:
    explicit Device(int deviceIndex = 0) : index_(deviceIndex) {}
    int getDeviceIndex() const { return index_; }
    std::string getName() const;

private:
    int index_;
};

class GlobalContext {
public:
    // Lists the usable devices in index order; empty (never an error) when
    // there is none.
    GlobalContext();
    const std::vector<Device>& getAllDevices() const { return devices_; }

private:
    std::vector<Device> devices_;
};

}  // namespace argon2::cuda
