#include "cl_fill_build.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "cl_source.h"

namespace argon2::opencl {
namespace {

// cl_amd_device_attribute_query: the chip's graphics IP version.
constexpr cl_device_info kGfxIpMajorAmd = 0x404A;

bool isAmdGpu(const ClDevice& d) {
    return !d.isCpu() && (d.vendor.find("Advanced Micro Devices") != std::string::npos || d.vendor.find("AMD") == 0 ||
                          d.platformName.find("AMD") != std::string::npos);
}

bool listed(const std::string& extensions, const std::string& name) {
    std::istringstream words(extensions);
    for (std::string w; words >> w;)
        if (w == name) return true;
    return false;
}

// ds_bpermute, behind the permute path, came with GCN 3 (gfx8); GCN 1 and 2
// lack it and the compiler stops on it rather than refusing the build.
bool hasPermute(const PathFacts& f, std::string& why) {
    if (!f.amdGpu) {
        why = "not an AMD GPU";
        return false;
    }
    if (f.gfxMajor == 0) {
        why = "the driver does not tell the chip's graphics IP version";
        return false;
    }
    if (f.gfxMajor < 8) {
        why = "gfx" + std::to_string(f.gfxMajor) + " has no cross-lane permute";
        return false;
    }
    return true;
}

// For tests: QUORLEN_OPENCL_EXCHANGE_RULE names a card's cross-lane rule,
// which fill.cl's permute or sub-group path then follows through local
// memory (its ARGON2_EXCHANGE_RULE), so that those paths run on any device.
// The device is then taken to offer that path alone beside local memory,
// with the rule's sub-group size, and nothing of it enters the cache.
// Unset, as it always is outside the tests, nothing changes.
struct ExchangeRule {
    const char* name;
    int path;
    std::size_t subGroupSize;
};
constexpr ExchangeRule kExchangeRules[] = {{"gcn-wave64", kPermutePath, 0},   {"rdna-wave32", kPermutePath, 0},
                                           {"rdna-wave64", kPermutePath, 0},   {"subgroup-16", kSubGroupPath, 16},
                                           {"subgroup-32", kSubGroupPath, 32}, {"subgroup-64", kSubGroupPath, 64},
                                           {"wrong-wave64", kPermutePath, 0}};

const ExchangeRule* exchangeRule() {
    const char* name = std::getenv("QUORLEN_OPENCL_EXCHANGE_RULE");
    if (!name || !*name) return nullptr;
    for (const ExchangeRule& r : kExchangeRules)
        if (std::strcmp(r.name, name) == 0) return &r;
    throw std::invalid_argument(std::string("QUORLEN_OPENCL_EXCHANGE_RULE: no rule ") + name);
}

bool holdsWholeGroups(std::size_t subGroupSize) { return subGroupSize >= 32 && subGroupSize % 32 == 0; }

// The options of a fast path under a test's exchange rule.
std::string ruleOptions(const ExchangeRule& rule, int path, std::string& why) {
    if (path != rule.path) {
        why = std::string("not the path of the exchange rule ") + rule.name;
        return "";
    }
    if (path == kSubGroupPath && !holdsWholeGroups(rule.subGroupSize)) {
        why = "sub-groups do not hold whole groups of 32 work-items";
        return "";
    }
    return "-cl-std=CL1.2 -DARGON2_SHUFFLE=" + std::to_string(path) +
           " -DARGON2_EXCHANGE_RULE=" + std::to_string(&rule - kExchangeRules + 1);
}

// cl_intel_required_subgroup_size: a kernel may ask for sub-groups of 32,
// the width of the fill's groups, where the device lists that size. Intel's
// devices default to narrower ones (8 or 16 on its GPUs, the vector width on
// its CPU runtime), which would split every group of 32.
bool offersSubGroupsOf32(const ClDevice& d) {
    constexpr cl_device_info kSubGroupSizesIntel = 0x4108;  // CL_DEVICE_SUB_GROUP_SIZES_INTEL
    if (!d.hasExtension("cl_intel_required_subgroup_size")) return false;
    std::size_t bytes = 0;
    if (clGetDeviceInfo(d.id, kSubGroupSizesIntel, 0, nullptr, &bytes) != CL_SUCCESS || bytes == 0) return false;
    std::vector<std::size_t> sizes(bytes / sizeof(std::size_t));
    if (clGetDeviceInfo(d.id, kSubGroupSizesIntel, bytes, sizes.data(), nullptr) != CL_SUCCESS) return false;
    return std::find(sizes.begin(), sizes.end(), std::size_t(32)) != sizes.end();
}

// For tests: QUORLEN_OPENCL_CPU_SUBGROUPS=1 lets a CPU device take the
// sub-group path, so that a CPU runtime with real sub-groups (Intel's) runs
// it against the reference. Outside the tests CPU devices mine on the
// local-memory path, the faster of the two there (docs/opencl-kernel.md).
bool cpuSubGroupsAllowed() {
    const char* v = std::getenv("QUORLEN_OPENCL_CPU_SUBGROUPS");
    return v && std::strcmp(v, "1") == 0;
}

// "OpenCL C 2.0 ..." -> 20.
int openclCVersion(const ClDevice& d) {
    unsigned major = 0, minor = 0;
    if (std::sscanf(d.openclCVersion.c_str(), "OpenCL C %u.%u", &major, &minor) != 2) return 12;
    return int(major * 10 + minor);
}

// The options under which the sub-group path's builtins are declared:
// sub_group_shuffle comes with cl_khr_subgroup_shuffle on OpenCL C 2.0 and
// later; Intel's cl_intel_subgroups has it under another name, at any version.
std::string subGroupOptions(const PathFacts& f, std::string& why) {
    std::string std = f.openclC >= 30 ? "-cl-std=CL3.0" : f.openclC >= 20 ? "-cl-std=CL2.0" : "-cl-std=CL1.2";
    if (f.subGroupsOf32) std += " -DARGON2_SUB_GROUP_32";
    if (listed(f.extensions, "cl_khr_subgroup_shuffle") && f.openclC >= 20) return std;
    if (listed(f.extensions, "cl_intel_subgroups")) return std + " -Dsub_group_shuffle=intel_sub_group_shuffle";
    why = "no sub-group shuffle (cl_khr_subgroup_shuffle on OpenCL C 2.0, or cl_intel_subgroups)";
    return "";
}

std::string pathOptions(const ClDevice& d, int path, std::string& why) {
    return fillBuildOptions(pathFacts(d), path, why);
}

std::string buildLog(cl_program program, cl_device_id device) {
    std::size_t size = 0;
    clGetProgramBuildInfo(program, device, CL_PROGRAM_BUILD_LOG, 0, nullptr, &size);
    std::string log(size, '\0');
    if (size) clGetProgramBuildInfo(program, device, CL_PROGRAM_BUILD_LOG, size, log.data(), nullptr);
    log.resize(std::min<std::size_t>(strnlen(log.c_str(), log.size()), 2000));
    return log;
}

cl_program fromBinary(cl_context context, const ClDevice& d, const std::vector<unsigned char>& binary,
                      const std::string& options) {
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

// Each work-item of every group of 32 fetches, through the sub-group path's
// own index rule (its sub-group local id with the low five bits cleared,
// or'd with a lane of the group), a value from its group's work-item five
// lanes on. cl_khr_subgroups leaves the mapping of work-items to sub-groups
// to the driver; the fill relies on this one.
// Built with the fill's own options, so it asks for the same sub-group size.
const char* const kSubGroupProbe = R"CL(
#pragma OPENCL EXTENSION cl_khr_subgroups : enable
#pragma OPENCL EXTENSION cl_khr_subgroup_shuffle : enable
#ifdef ARGON2_SUB_GROUP_32
__attribute__((intel_reqd_sub_group_size(32)))
#endif
__kernel void probe(__global ulong* out) {
    const uint t = (uint)get_local_id(0);
    const uint item = (uint)(get_local_id(1) * 32 + t);
    const uint base = get_sub_group_local_id() & ~31u;
    const ulong mine = ((ulong)(item + 1) << 32) | item;
    out[get_group_id(0) * get_local_size(0) * get_local_size(1) + item] =
        sub_group_shuffle(mine, base | ((t + 5u) & 31u));
}
)CL";

// Runs the probe for every work-group shape the fill may use: (32, lanes).
bool subGroupMappingHolds(cl_context context, const ClDevice& d, const std::string& options, std::string& why) {
    cl_int err = CL_SUCCESS;
    const char* source = kSubGroupProbe;
    cl_program program = clCreateProgramWithSource(context, 1, &source, nullptr, &err);
    if (err != CL_SUCCESS) {
        why = std::string("the sub-group probe: ") + errorName(err);
        return false;
    }
    bool holds = false;
    cl_kernel kernel = nullptr;
    cl_command_queue queue = nullptr;
    cl_mem out = nullptr;
    // Every shape up to the lesser of the device's and the probe kernel's
    // work-group limits: a kernel's is often the lower one.
    std::size_t maxLanes = std::max<std::size_t>(1, std::min<std::size_t>(d.maxWorkGroup / 32, 32));
    std::size_t kernelLimit = 0;
    const std::size_t items = 2 * 32 * maxLanes;
    if ((err = clBuildProgram(program, 1, &d.id, options.c_str(), nullptr, nullptr)) != CL_SUCCESS) {
        why = "the sub-group probe does not build: " + buildLog(program, d.id);
    } else if (!(kernel = clCreateKernel(program, "probe", &err)) ||
               (err = clGetKernelWorkGroupInfo(kernel, d.id, CL_KERNEL_WORK_GROUP_SIZE, sizeof kernelLimit,
                                               &kernelLimit, nullptr)) != CL_SUCCESS ||
               !(queue = clCreateCommandQueue(context, d.id, 0, &err)) ||
               !(out = clCreateBuffer(context, CL_MEM_WRITE_ONLY, items * sizeof(cl_ulong), nullptr, &err)) ||
               (err = clSetKernelArg(kernel, 0, sizeof out, &out)) != CL_SUCCESS) {
        why = std::string("the sub-group probe: ") + errorName(err);
    } else {
        holds = true;
        maxLanes = std::max<std::size_t>(1, std::min(maxLanes, kernelLimit / 32));
        std::vector<cl_ulong> got(items);
        for (std::size_t lanes = 1; lanes <= maxLanes && holds; ++lanes) {
            const std::size_t global[2] = {64, lanes}, local[2] = {32, lanes};
            err = clEnqueueNDRangeKernel(queue, kernel, 2, nullptr, global, local, 0, nullptr, nullptr);
            if (err == CL_SUCCESS)
                err = clEnqueueReadBuffer(queue, out, CL_TRUE, 0, 2 * 32 * lanes * sizeof(cl_ulong), got.data(), 0,
                                          nullptr, nullptr);
            if (err != CL_SUCCESS) {
                why = std::string("the sub-group probe: ") + errorName(err);
                holds = false;
                break;
            }
            for (std::size_t group = 0; group < 2 && holds; ++group)
                for (std::size_t item = 0; item < 32 * lanes; ++item) {
                    const cl_ulong from = (item & ~std::size_t(31)) | ((item + 5) & 31);
                    if (got[group * 32 * lanes + item] != ((from + 1) << 32 | from)) {
                        why = "sub-groups do not hold the groups of 32 as the path assumes (work-groups of 32 x " +
                              std::to_string(lanes) + ")";
                        holds = false;
                        break;
                    }
                }
        }
    }
    if (out) clReleaseMemObject(out);
    if (queue) clReleaseCommandQueue(queue);
    if (kernel) clReleaseKernel(kernel);
    clReleaseProgram(program);
    return holds;
}

std::string optionsOf(const ClDevice& d, int path) {
    std::string why;
    return pathOptions(d, path, why);
}

std::string cacheKey(const ClDevice& d, const std::string& options) {
    return d.platformName + '\n' + d.platformVersion + '\n' + d.name + '\n' + d.deviceVersion + '\n' +
           d.driverVersion + '\n' + options + '\n' + kFillSource;
}

}  // namespace

PathFacts pathFacts(const ClDevice& d) {
    PathFacts f;
    f.cpu = d.isCpu();
    f.amdGpu = isAmdGpu(d);
    cl_uint major = 0;
    if (f.amdGpu && d.hasExtension("cl_amd_device_attribute_query") &&
        clGetDeviceInfo(d.id, kGfxIpMajorAmd, sizeof major, &major, nullptr) == CL_SUCCESS)
        f.gfxMajor = major;
    f.openclC = openclCVersion(d);
    f.extensions = d.extensions;
    f.subGroupsOf32 = offersSubGroupsOf32(d);
    return f;
}

std::string fillBuildOptions(const PathFacts& f, int path, std::string& why) {
    if (path != kLocalPath)
        if (const ExchangeRule* rule = exchangeRule()) return ruleOptions(*rule, path, why);
    std::string std = "-cl-std=CL1.2";
    if (path == kPermutePath && !hasPermute(f, why)) return "";
    if (path == kSubGroupPath) {
        if (f.cpu && !cpuSubGroupsAllowed()) {
            why = "a CPU device";
            return "";
        }
        std = subGroupOptions(f, why);
        if (std.empty()) return "";
    }
    return std + " -DARGON2_SHUFFLE=" + std::to_string(path);
}

std::vector<int> preferredPaths(const ClDevice& d) {
    std::vector<int> paths;
    std::string why;
    for (int path : {kPermutePath, kSubGroupPath})
        if (pathPossible(d, path, why)) paths.push_back(path);
    paths.push_back(kLocalPath);
    return paths;
}

bool pathPossible(const ClDevice& d, int path, std::string& why) { return !pathOptions(d, path, why).empty(); }

FillBuild::FillBuild(cl_context context, const ClDevice& d, int path)
    : context_(context), d_(d), path_(path), options_(optionsOf(d, path)), key_(cacheKey(d, options_)),
      cache_(key_), ruled_(exchangeRule() != nullptr) {}

void FillBuild::remember(const std::vector<unsigned char>& binary) const {
    if (!ruled_) cache_.store(binary);
}

cl_program FillBuild::build(bool sourceOnly, bool& cached, std::vector<unsigned char>& binary, std::string& why) {
    cached = false;
    binary.clear();
    if (options_.empty()) {
        pathPossible(d_, path_, why);
        return nullptr;
    }
    // The local-memory path is the last fallback: no refusal, remembered or
    // found in the cache, keeps it from being built.
    const bool mayBeRefused = path_ != kLocalPath;
    if (!sourceOnly && !ruled_) {
        if (std::string earlier = ClRuntime::instance().refusal(key_); mayBeRefused && !earlier.empty()) {
            why = "refused earlier: " + printable(earlier);
            return nullptr;
        }
        // A cached sub-group binary was kept only once the probe had passed.
        const CacheEntry entry = cache_.load();
        if (entry.kind == CacheEntry::Kind::Refused && mayBeRefused) {
            why = "refused at an earlier start: " + printable(std::string(entry.bytes.begin(), entry.bytes.end()));
            return nullptr;
        }
        if (entry.kind == CacheEntry::Kind::Binary) {
            if (cl_program program = fromBinary(context_, d_, entry.bytes, options_)) {
                cached = true;
                binary = entry.bytes;
                return program;
            }
            cache_.drop();  // another driver's, or one this driver no longer takes
        }
    }
    cl_program program = fromSource(why);
    if (program) binary = binaryOf(program);
    return program;
}

void FillBuild::refuse(const std::string& why) const {
    if (ruled_ || path_ == kLocalPath) return;
    cache_.storeRefusal(why);
    ClRuntime::instance().setRefusal(key_, why);
}

void FillBuild::forget() const {
    cache_.drop();
    ClRuntime::instance().setRefusal(key_, "");
}

cl_program FillBuild::fromSource(std::string& why) {
    cl_int err = CL_SUCCESS;
    const char* source = kFillSource;
    cl_program program = clCreateProgramWithSource(context_, 1, &source, nullptr, &err);
    check(err, "clCreateProgramWithSource", -1, Stage::Setup);
    err = clBuildProgram(program, 1, &d_.id, options_.c_str(), nullptr, nullptr);
    if (err != CL_SUCCESS) {
        why = std::string(errorName(err)) + ": " + buildLog(program, d_.id);
        clReleaseProgram(program);
        // A fast path the driver refuses is refused at the next start too, so
        // it costs no compile there; the local-memory path is always tried.
        if (path_ != kLocalPath && (err == CL_BUILD_PROGRAM_FAILURE || err == CL_INVALID_BUILD_OPTIONS)) refuse(why);
        return nullptr;
    }
    if (path_ == kSubGroupPath && !ruled_ && !subGroupMappingHolds(context_, d_, options_, why)) {
        clReleaseProgram(program);
        refuse(why);
        return nullptr;
    }
    return program;
}


}  // namespace argon2::opencl
