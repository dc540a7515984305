// Built kernels kept on disk, one file per device, driver, source and
// options, so that a start after the first skips the driver's compiler
// (seconds on some drivers). The cache lives in
// $XDG_CACHE_HOME/quorlen-gpu-miner/opencl (or ~/.cache/...); when there is
// none, or it cannot be written, programs are simply built from source every
// time.
//
// A file holds either the driver's binary or the driver's refusal of that
// build (so that a path the device cannot take costs no compile at every
// start). It starts with a header giving the kind, the payload's length and
// its checksum; a file the header does not vouch for (cut short by a crash or
// a full disk, or damaged) is deleted unread: a driver handed a broken binary
// may crash rather than refuse it.
#pragma once

#include <string>
#include <vector>

namespace argon2::opencl {

struct CacheEntry {
    enum class Kind { None, Binary, Refused };
    Kind kind = Kind::None;
    std::vector<unsigned char> bytes;  // the binary, or the refusal's reason as text
};

class ProgramCache {
public:
    // `key`: everything the binary depends on (device, driver, source, options).
    explicit ProgramCache(const std::string& key);
    // The file at `path` itself (tests plant and inspect entries with it).
    static ProgramCache atPath(const std::string& path);

    const std::string& path() const { return path_; }  // empty: no cache
    CacheEntry load() const;                           // None when absent or not vouched for
    void store(const std::vector<unsigned char>& binary) const;
    void storeRefusal(const std::string& reason) const;
    void drop() const;

private:
    ProgramCache() = default;
    void write(CacheEntry::Kind kind, const unsigned char* bytes, std::size_t size) const;
    std::string path_;
};

}  // namespace argon2::opencl
