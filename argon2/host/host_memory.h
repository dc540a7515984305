// Large, page-aligned host allocations for the blocks of a batch.
#pragma once

#include <cstddef>

namespace argon2::host {

struct MemoryInfo {
    std::size_t available;  // what the kernel says can be allocated without swapping
    std::size_t total;
};

MemoryInfo hostMemoryInfo();

// One anonymous mapping, asked for transparent huge pages. Throws
// std::runtime_error with "out of memory" in its message when the host
// cannot hold it.
class HostBuffer {
public:
    explicit HostBuffer(std::size_t bytes);
    ~HostBuffer();
    HostBuffer(const HostBuffer&) = delete;
    HostBuffer& operator=(const HostBuffer&) = delete;
    void* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    void* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace argon2::host
