#include "block_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

std::runtime_error systemError(const std::string& what) { return std::runtime_error(what + ": " + std::strerror(errno)); }

}  // namespace

BlockStore::BlockStore(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) throw systemError("cannot open " + path);
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        ::close(fd_);
        fd_ = -1;
        if (held) throw std::runtime_error(path + " is in use by another node");
        throw systemError("cannot lock " + path);
    }
    try {
        std::string content;
        char buf[65536];
        for (ssize_t n; (n = ::read(fd_, buf, sizeof buf)) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) throw systemError("cannot read " + path);
            content.append(buf, size_t(n));
        }
        size_t start = 0;
        for (size_t end; (end = content.find('\n', start)) != std::string::npos; start = end + 1)
            lines_.push_back({lines_.size() + 1, content.substr(start, end - start)});
        tornBytes_ = content.size() - start;
        if (tornBytes_ && ::ftruncate(fd_, off_t(start)) != 0) throw systemError("cannot truncate " + path);
        if (::lseek(fd_, 0, SEEK_END) < 0) throw systemError("cannot seek " + path);
    } catch (...) {
        ::close(fd_);
        throw;
    }
}

BlockStore::~BlockStore() {
    if (fd_ >= 0) ::close(fd_);
}

void BlockStore::append(const std::string& text) {
    const std::string line = text + "\n";
    const off_t before = ::lseek(fd_, 0, SEEK_END);
    if (before < 0) throw systemError("cannot seek " + path_);
    // A failed write leaves no part of its line behind for the next to follow.
    auto fail = [&](const char* what) {
        const auto error = systemError(what);
        if (::ftruncate(fd_, before) == 0) ::lseek(fd_, before, SEEK_SET);
        return error;
    };
    size_t written = 0;
    while (written < line.size()) {
        ssize_t n = ::write(fd_, line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw fail("cannot write block");
        written += size_t(n);
    }
    if (::fdatasync(fd_) != 0) throw fail("cannot flush block");
}
