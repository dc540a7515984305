// Built kernels kept on disk, one file per device, driver, source and
// options, so that a start after the first skips the driver's compiler
// (seconds on some drivers). The cache lives in
// $XDG_CACHE_HOME/quorlen-gpu-miner/opencl (or ~/.cache/...). Its folders
// must be this user's and writable by nobody else: otherwise, or when they
// cannot be made, one line says so and programs are built from source every
// time. Files are read without following links or waiting on FIFOs, and
// only regular files are read at all.
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

// A text read from the cache (a refusal's reason), as it may be shown on a
// console: every byte outside printable ASCII, and the backslash, as "\xNN",
// the way the miner shows any text it did not write itself.
std::string printable(const std::string& text);

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
    int openFolder() const;
    std::string path_;
    std::string base_;                  // opened as named
    std::vector<std::string> folders_;  // ours under it, walked link by link
    std::string name_;
};

}  // namespace argon2::opencl
