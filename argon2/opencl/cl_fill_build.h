// The fill kernel's code paths (ARGON2_SHUFFLE: how values cross the group
// of 32) and their builds for one device, through the program cache: which
// paths a device may take, with which options, and the program of one path
// from the cache or from source.
#pragma once

#include <CL/cl.h>

#include <string>
#include <vector>

#include "cl_program_cache.h"
#include "cl_runtime.h"

namespace argon2::opencl {

enum FillPath { kLocalPath = 0, kPermutePath = 1, kSubGroupPath = 2 };
constexpr const char* kFillPathNames[] = {"opencl-local", "opencl-amd-permute", "opencl-subgroup"};

// What a device tells that decides a path's build options.
struct PathFacts {
    bool cpu = false;
    bool amdGpu = false;
    unsigned gfxMajor = 0;      // an AMD chip's graphics IP version; 0: the driver does not tell
    int openclC = 12;           // the device's OpenCL C version, 12 for 1.2
    std::string extensions;     // as the device lists them
    bool subGroupsOf32 = false; // cl_intel_required_subgroup_size lists sub-groups of 32
};
PathFacts pathFacts(const ClDevice& d);

// The options the library builds `path` with for a device of these facts,
// as passed to the driver; empty, with `why`, when the device cannot take
// the path. The kernel modes are kernel arguments: one build serves them all.
std::string fillBuildOptions(const PathFacts& facts, int path, std::string& why);

// The paths worth trying on the device, fastest first; the local-memory
// path, which every device takes, last.
std::vector<int> preferredPaths(const ClDevice& d);

// Whether the device could take `path` at all; `why` says why not.
bool pathPossible(const ClDevice& d, int path, std::string& why);

// One path's program for one device and context.
class FillBuild {
public:
    FillBuild(cl_context context, const ClDevice& d, int path);

    // The program from the cache when it holds one, else built from source
    // (`fromSource` skips the cache). Null, with `why`, when the driver
    // refuses it, now or (remembered in the cache) at an earlier start.
    // `cached` says where the program came from; `binary` is its binary.
    cl_program build(bool fromSource, bool& cached, std::vector<unsigned char>& binary, std::string& why);
    // Keeps the program's binary for the next start.
    void remember(const std::vector<unsigned char>& binary) const;
    // Remembers that the path is refused on this device and driver.
    void refuse(const std::string& why) const;
    // Forgets the path's binary or refusal.
    void forget() const;

private:
    cl_program fromSource(std::string& why);
    cl_context context_;
    const ClDevice& d_;
    int path_;
    std::string options_, key_;
    ProgramCache cache_;
    bool ruled_;  // built under a test's exchange rule: nothing kept
};

}  // namespace argon2::opencl
