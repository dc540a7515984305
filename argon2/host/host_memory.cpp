#include "host_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

namespace argon2::host {

MemoryInfo hostMemoryInfo() {
    MemoryInfo info{0, 0};
    if (FILE* f = std::fopen("/proc/meminfo", "r")) {
        char key[64];
        unsigned long long kib;
        while (std::fscanf(f, "%63s %llu kB\n", key, &kib) == 2) {
            if (std::strcmp(key, "MemTotal:") == 0) info.total = kib * 1024;
            if (std::strcmp(key, "MemAvailable:") == 0) info.available = kib * 1024;
        }
        std::fclose(f);
    }
    if (info.total == 0) {
        info.total = std::size_t(sysconf(_SC_PHYS_PAGES)) * std::size_t(sysconf(_SC_PAGE_SIZE));
        info.available = std::size_t(sysconf(_SC_AVPHYS_PAGES)) * std::size_t(sysconf(_SC_PAGE_SIZE));
    }
    return info;
}

HostBuffer::HostBuffer(std::size_t bytes) : size_(bytes) {
    if (bytes == 0) return;
    // The kernel overcommits, so a mapping larger than memory would succeed
    // and fail later, page by page; refuse it here instead.
    const MemoryInfo mem = hostMemoryInfo();
    if (bytes > mem.available)
        throw std::runtime_error("out of memory: " + std::to_string(bytes >> 20) + " MiB requested, " +
                                 std::to_string(mem.available >> 20) + " MiB available");
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED)
        throw std::runtime_error("out of memory: cannot map " + std::to_string(bytes >> 20) + " MiB");
    madvise(p, bytes, MADV_HUGEPAGE);
    // Fault every page in now, so that the first batch does not pay for it
    // and a shortage shows here rather than in the middle of hashing.
    madvise(p, bytes, MADV_POPULATE_WRITE);
    data_ = p;
}

HostBuffer::~HostBuffer() {
    if (data_) munmap(data_, size_);
}

}  // namespace argon2::host
