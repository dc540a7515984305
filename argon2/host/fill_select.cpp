#include <cstdlib>
#include <cstring>

#include "fill.h"

namespace argon2::host {
namespace {

bool always() { return true; }
bool hasSsse3() { return __builtin_cpu_supports("ssse3"); }
bool hasAvx2() { return __builtin_cpu_supports("avx2"); }
bool hasAvx512() { return __builtin_cpu_supports("avx512f"); }

}  // namespace

const std::vector<FillVariant>& fillVariants() {
    static const std::vector<FillVariant> variants = {
        {"portable", fillSegmentPortable, always},
        {"ssse3", fillSegmentSsse3, hasSsse3},
        {"avx2", fillSegmentAvx2, hasAvx2},
        {"avx512f", fillSegmentAvx512, hasAvx512},
    };
    return variants;
}

const FillVariant& selectFillVariant() {
    const auto& all = fillVariants();
    if (const char* wanted = std::getenv("ARGON2GPU_FILL")) {
        for (const auto& v : all)
            if (std::strcmp(v.name, wanted) == 0 && v.supported()) return v;
    }
    for (auto it = all.rbegin(); it != all.rend(); ++it)
        if (it->supported()) return *it;
    return all.front();
}

}  // namespace argon2::host
