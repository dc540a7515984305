// Prints the build options the OpenCL library gives each path of the fill
// kernel on a device described by the arguments, one line a path the device
// may take: "<path name>\t<options>". scripts/opencl-check.sh compiles
// each with clang for the matching target before any driver sees them.
//
//   fill_build_options [--cpu] [--amd-gfx N] [--opencl-c X.Y]
//                      [--extensions NAME,...] [--sub-groups-of-32]
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "opencl/cl_fill_build.h"

int main(int argc, char** argv) {
    using namespace argon2::opencl;
    PathFacts facts;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--cpu") {
            facts.cpu = true;
        } else if (arg == "--sub-groups-of-32") {
            facts.subGroupsOf32 = true;
        } else if (arg == "--amd-gfx" && hasValue) {
            facts.amdGpu = true;
            facts.gfxMajor = unsigned(std::stoul(argv[++i]));
        } else if (arg == "--opencl-c" && hasValue) {
            unsigned major = 0, minor = 0;
            if (std::sscanf(argv[++i], "%u.%u", &major, &minor) != 2) {
                std::fprintf(stderr, "fill_build_options: --opencl-c takes X.Y, not %s\n", argv[i]);
                return 2;
            }
            facts.openclC = int(major * 10 + minor);
        } else if (arg == "--extensions" && hasValue) {
            facts.extensions = argv[++i];
            std::replace(facts.extensions.begin(), facts.extensions.end(), ',', ' ');
        } else {
            std::fprintf(stderr, "fill_build_options: unknown argument %s\n", arg.c_str());
            return 2;
        }
    }
    for (int path : {kLocalPath, kPermutePath, kSubGroupPath}) {
        std::string why;
        const std::string options = fillBuildOptions(facts, path, why);
        if (!options.empty()) std::printf("%s\t%s\n", kFillPathNames[path], options.c_str());
    }
    return 0;
}
