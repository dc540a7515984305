// Built kernels kept on disk, one binary per device, driver and source, so
// that a start after the first skips the driver's compiler (seconds on some
// drivers). The cache lives in $XDG_CACHE_HOME/quorlen-gpu-miner/opencl (or
// ~/.cache/...); when there is none, or it cannot be written, programs are
// simply built from source every time.
#pragma once

#include <string>
#include <vector>

namespace argon2::opencl {

class ProgramCache {
public:
    // `key`: everything the binary depends on (device, driver, source, options).
    explicit ProgramCache(const std::string& key);
    const std::string& path() const { return path_; }  // empty: no cache
    std::vector<unsigned char> load() const;           // empty when absent
    void store(const std::vector<unsigned char>& binary) const;

private:
    std::string path_;
};

}  // namespace argon2::opencl
