#include "cl_program_cache.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "../common/blake2b.h"

namespace argon2::opencl {
namespace {

std::string cacheRoot() {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg && *xdg == '/') return std::string(xdg) + "/quorlen-gpu-miner/opencl";
    const char* home = std::getenv("HOME");
    if (home && *home == '/') return std::string(home) + "/.cache/quorlen-gpu-miner/opencl";
    return "";
}

bool makeDirs(const std::string& path) {
    for (std::size_t at = 1; at != std::string::npos;) {
        at = path.find('/', at + 1);
        const std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

}  // namespace

ProgramCache::ProgramCache(const std::string& key) {
    const std::string root = cacheRoot();
    if (root.empty()) return;
    unsigned char digest[20];
    detail::Blake2b h(sizeof digest);
    h.update(key.data(), key.size());
    h.final(digest);
    static const char hex[] = "0123456789abcdef";
    std::string name;
    for (unsigned char b : digest) {
        name += hex[b >> 4];
        name += hex[b & 15];
    }
    path_ = root + "/fill-" + name + ".bin";
}

std::vector<unsigned char> ProgramCache::load() const {
    if (path_.empty()) return {};
    std::ifstream in(path_, std::ios::binary);
    if (!in) return {};
    // A binary is a few hundred KiB; anything past 64 MiB is not one of ours.
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size <= 0 || size > (std::streamoff(64) << 20)) return {};
    in.seekg(0);
    std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
    if (!in.read(reinterpret_cast<char*>(bytes.data()), size)) return {};
    return bytes;
}

void ProgramCache::store(const std::vector<unsigned char>& binary) const {
    if (path_.empty() || binary.empty()) return;
    if (!makeDirs(path_.substr(0, path_.rfind('/')))) return;
    // Written aside and renamed into place, so that a reader (another miner
    // starting at the same time) sees a whole file or none.
    static std::atomic<unsigned> serial{0};
    const std::string temp = path_ + ".tmp" + std::to_string(getpid()) + "." + std::to_string(serial++);
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out.write(reinterpret_cast<const char*>(binary.data()), std::streamsize(binary.size()))) {
            std::remove(temp.c_str());
            return;
        }
    }
    if (std::rename(temp.c_str(), path_.c_str()) != 0) std::remove(temp.c_str());
}

}  // namespace argon2::opencl
