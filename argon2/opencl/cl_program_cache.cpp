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
#include <utility>

#include "../common/blake2b.h"
#include "argon2gpu/private_path.h"

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

// The user's cache base, and the folders of ours under it.
struct CacheRoot {
    std::string base;
    std::vector<std::string> folders;
};

CacheRoot cacheRoot() {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg && *xdg == '/') return {xdg, {"quorlen-gpu-miner", "opencl"}};
    const char* home = std::getenv("HOME");
    if (home && *home == '/') return {std::string(home) + "/.cache", {"quorlen-gpu-miner", "opencl"}};
    return {};
}

bool makeDirs(const std::string& path) {
    for (std::size_t at = 1; at != std::string::npos;) {
        at = path.find('/', at + 1);
        const std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

// Files in a folder that someone else owns, or may write, could be planted
// or swapped by that someone: a driver handed their binary, a fast path
// refused at their word, a FIFO that stalls the start.
std::string notOurs(int fd, const std::string& path) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return path + ": " + std::strerror(errno);
    return whyNotPrivate(st, path);
}

// Said once a process: every program built after it is built from source.
void reportUnusable(const std::string& why) {
    static std::atomic<bool> said{false};
    if (said.exchange(true)) return;
    std::fprintf(stderr, "OpenCL program cache not used: %s; kernels are built from source\n", why.c_str());
}

// An open descriptor of a folder, closed with it.
class Dir {
public:
    explicit Dir(int fd = -1) : fd_(fd) {}
    ~Dir() {
        if (fd_ >= 0) ::close(fd_);
    }
    Dir(const Dir&) = delete;
    Dir& operator=(const Dir&) = delete;
    Dir& operator=(Dir&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int fd() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

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

std::string printable(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += char(c);
        } else {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

ProgramCache::ProgramCache(const std::string& key) {
    const CacheRoot root = cacheRoot();
    if (root.base.empty()) return;
    unsigned char digest[20];
    detail::Blake2b h(sizeof digest);
    h.update(key.data(), key.size());
    h.final(digest);
    static const char hex[] = "0123456789abcdef";
    std::string name = "fill-";
    for (unsigned char b : digest) {
        name += hex[b >> 4];
        name += hex[b & 15];
    }
    base_ = root.base;
    folders_ = root.folders;
    name_ = name + ".bin";
    path_ = base_;
    for (const std::string& f : folders_) path_ += "/" + f;
    path_ += "/" + name_;
}

ProgramCache ProgramCache::atPath(const std::string& path) {
    ProgramCache cache;
    const std::size_t slash = path.rfind('/');
    cache.base_ = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    cache.name_ = path.substr(slash == std::string::npos ? 0 : slash + 1);
    cache.path_ = path;
    return cache;
}

// The cache's folder, made when missing, and each of ours on the way walked
// without following links and checked to be this user's alone; -1 (said
// once) when it cannot be used.
int ProgramCache::openFolder() const {
    if (path_.empty()) return -1;
    Dir dir(::open(base_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd() < 0 && errno == ENOENT && makeDirs(base_))
        dir = Dir(::open(base_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd() < 0) {
        reportUnusable(base_ + ": " + std::strerror(errno));
        return -1;
    }
    std::string at = base_;
    // The user's own base is theirs to choose; a file's folder named directly
    // is checked like ours.
    std::string problem = folders_.empty() ? notOurs(dir.fd(), at) : "";
    for (const std::string& folder : folders_) {
        if (!problem.empty()) break;
        at += "/" + folder;
        if (mkdirat(dir.fd(), folder.c_str(), 0700) != 0 && errno != EEXIST) {
            problem = at + ": " + std::strerror(errno);
            break;
        }
        Dir next(::openat(dir.fd(), folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (next.fd() < 0) {
            problem = at + ": " + (errno == ENOTDIR || errno == ELOOP ? "not a folder" : std::strerror(errno));
            break;
        }
        dir = std::move(next);
        problem = notOurs(dir.fd(), at);
    }
    if (!problem.empty()) {
        reportUnusable(problem);
        return -1;
    }
    return dir.release();
}

CacheEntry ProgramCache::load() const {
    CacheEntry entry;
    const Dir dir(openFolder());
    if (dir.fd() < 0) return entry;
    // Neither a link followed nor a FIFO waited on: only a regular file of
    // our own folder is read.
    const int fd = ::openat(dir.fd(), name_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno != ENOENT) drop();
        return entry;
    }
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
        // Damaged or cut short, or no file at all: never handed to the
        // driver, and gone so that the program built now takes its place.
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
    const Dir dir(openFolder());
    if (dir.fd() >= 0) unlinkat(dir.fd(), name_.c_str(), 0);
}

void ProgramCache::write(CacheEntry::Kind kind, const unsigned char* bytes, std::size_t size) const {
    if (size > kMaxPayload) return;
    const Dir dir(openFolder());
    if (dir.fd() < 0) return;
    unsigned char header[kHeaderSize] = {};
    std::memcpy(header, kMagic, sizeof kMagic);
    putLE(header + 8, kind == CacheEntry::Kind::Binary ? 1 : 2, 4);
    putLE(header + 16, size, 8);
    checksum(header, bytes, size, header + kChecksumAt);
    // Written aside, synced and renamed into place, so that a reader
    // (another miner starting at the same time) and a crash or power cut
    // leave a whole file or none.
    static std::atomic<unsigned> serial{0};
    const std::string temp = name_ + ".tmp" + std::to_string(getpid()) + "." + std::to_string(serial++);
    const int fd = ::openat(dir.fd(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return;
    bool ok = writeAll(fd, header, kHeaderSize) && writeAll(fd, bytes, size) && fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;  // a late write error (NFS, quota) shows at close
    if (!ok || renameat(dir.fd(), temp.c_str(), dir.fd(), name_.c_str()) != 0) {
        unlinkat(dir.fd(), temp.c_str(), 0);
        return;
    }
    // The rename itself survives a power cut once the folder is synced.
    fsync(dir.fd());
}

}  // namespace argon2::opencl
