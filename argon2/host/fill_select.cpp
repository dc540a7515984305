#include "fill.h"

namespace argon2::host {
namespace {

bool always() { return true; }
bool hasSsse3() { return __builtin_cpu_supports("ssse3"); }
bool hasAvx2() { return __builtin_cpu_supports("avx2"); }
bool hasAvx512() { return __builtin_cpu_supports("avx512f"); }

}  // namespace

const std::vector<FillVariant>& fillVariants() {
    static const std::vector<FillVariant> kVariants = {
        {"portable", fillSegmentPortable, always},
        {"ssse3", fillSegmentSsse3, hasSsse3},
        {"avx2", fillSegmentAvx2, hasAvx2},
        {"avx512f", fillSegmentAvx512, hasAvx512},
    };
    return kVariants;
}

const FillVariant* supportedFillVariant(const std::string& name) {
    for (const auto& v : fillVariants())
        if (name == v.name && v.supported()) return &v;
    return nullptr;
}

const FillVariant& fastestFillVariant() {
    const auto& all = fillVariants();
    for (auto it = all.rbegin(); it != all.rend(); ++it)
        if (it->supported()) return *it;
    return all.front();
}

}  // namespace argon2::host
