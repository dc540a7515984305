// The device code for one device, Argon2 variant and version.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "argon2gpu/cuda/device.h"
#include "argon2gpu/params.h"

namespace argon2::cuda {

class ProgramContext {
public:
    // The device list is read, not kept; the first device is the one used.
    ProgramContext(const GlobalContext* global, const std::vector<Device>& devices, Type type, Version version);
    ~ProgramContext();
    ProgramContext(const ProgramContext&) = delete;
    ProgramContext& operator=(const ProgramContext&) = delete;

    Type getArgon2Type() const { return type_; }
    Version getArgon2Version() const { return version_; }
    // Name of the code path in use (for logs and benchmarks).
    const char* getImplementationName() const;
    // Chooses the code path by that name for the units made afterwards (the
    // host flavour: one of its fill variants; the OpenCL flavour: one of its
    // fill paths; the CUDA flavour has only "cuda"). False, and the choice
    // stays, when it is unknown or the device cannot run it. Without a call,
    // the fastest this machine runs.
    bool selectImplementation(const std::string& name);

    struct Impl;
    const Impl& impl() const { return *impl_; }

private:
    Type type_;
    Version version_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace argon2::cuda
