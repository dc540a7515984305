#include "cl_program_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../common/blake2b.h"

namespace argon2::opencl {
namespace {

// Header: magic, kind (32-bit), zero (32-bit), payload length (64-bit), then
// the BLAKE2b-256 of everything before it and of the payload. Little-endian.
constexpr char kMagic[8] = {'Q', 'C', 'L', 'P', 'R', 'O', 'G', '1'};
constexpr std::size_t kChecksumAt = 24, kHeaderSize = kChecksumAt + 32;
// A binary is a few hundred KiB; anything past 64 MiB is not one of ours.
constexpr std::uint64_t kMaxPayload = std::uint64_t(64) << 20;

void putLE(unsigned char* at, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) at[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint64_t getLE(const unsigned char* at, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | at[i];
    return v;
}

void checksum(const unsigned char* header, const unsigned char* payload, std::size_t size, unsigned char* out) {
    detail::Blake2b h(32);
    h.update(header, kChecksumAt);
    if (size) h.update(payload, size);
    h.final(out);
}

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

bool writeAll(int fd, const unsigned char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= std::size_t(n);
    }
    return true;
}

bool readAll(int fd, unsigned char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::read(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= std::size_t(n);
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

ProgramCache ProgramCache::atPath(const std::string& path) {
    ProgramCache cache;
    cache.path_ = path;
    return cache;
}

CacheEntry ProgramCache::load() const {
    CacheEntry entry;
    if (path_.empty()) return entry;
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return entry;
    struct stat st {};
    unsigned char header[kHeaderSize];
    bool vouched = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && std::uint64_t(st.st_size) >= kHeaderSize &&
                   std::uint64_t(st.st_size) - kHeaderSize <= kMaxPayload && readAll(fd, header, kHeaderSize) &&
                   std::memcmp(header, kMagic, sizeof kMagic) == 0 && getLE(header + 12, 4) == 0 &&
                   getLE(header + 16, 8) == std::uint64_t(st.st_size) - kHeaderSize;
    const std::uint64_t kind = vouched ? getLE(header + 8, 4) : 0;
    vouched = vouched && (kind == 1 || kind == 2);
    if (vouched) {
        entry.bytes.resize(std::size_t(st.st_size) - kHeaderSize);
        unsigned char sum[32] = {};
        vouched = readAll(fd, entry.bytes.data(), entry.bytes.size());
        if (vouched) checksum(header, entry.bytes.data(), entry.bytes.size(), sum);
        vouched = vouched && std::memcmp(sum, header + kChecksumAt, sizeof sum) == 0;
    }
    ::close(fd);
    if (!vouched) {
        // Damaged or cut short: never handed to the driver, and gone so that
        // the program built now takes its place.
        drop();
        return {};
    }
    entry.kind = kind == 1 ? CacheEntry::Kind::Binary : CacheEntry::Kind::Refused;
    return entry;
}

void ProgramCache::store(const std::vector<unsigned char>& binary) const {
    if (!binary.empty()) write(CacheEntry::Kind::Binary, binary.data(), binary.size());
}

void ProgramCache::storeRefusal(const std::string& reason) const {
    write(CacheEntry::Kind::Refused, reinterpret_cast<const unsigned char*>(reason.data()), reason.size());
}

void ProgramCache::drop() const {
    if (!path_.empty()) std::remove(path_.c_str());
}

void ProgramCache::write(CacheEntry::Kind kind, const unsigned char* bytes, std::size_t size) const {
    if (path_.empty() || size > kMaxPayload) return;
    const std::string dir = path_.substr(0, path_.rfind('/'));
    if (!makeDirs(dir)) return;
    unsigned char header[kHeaderSize] = {};
    std::memcpy(header, kMagic, sizeof kMagic);
    putLE(header + 8, kind == CacheEntry::Kind::Binary ? 1 : 2, 4);
    putLE(header + 16, size, 8);
    checksum(header, bytes, size, header + kChecksumAt);
    // Written aside, synced and renamed into place, so that a reader
    // (another miner starting at the same time) and a crash or power cut
    // leave a whole file or none.
    static std::atomic<unsigned> serial{0};
    const std::string temp = path_ + ".tmp" + std::to_string(getpid()) + "." + std::to_string(serial++);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return;
    bool ok = writeAll(fd, header, kHeaderSize) && writeAll(fd, bytes, size) && fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;  // a late write error (NFS, quota) shows at close
    if (!ok || std::rename(temp.c_str(), path_.c_str()) != 0) {
        std::remove(temp.c_str());
        return;
    }
    // The rename itself survives a power cut once the directory is synced.
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        ::close(dirFd);
    }
}

}  // namespace argon2::opencl
