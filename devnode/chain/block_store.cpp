#include "block_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

std::runtime_error systemError(const std::string& what) { return std::runtime_error(what + ": " + std::strerror(errno)); }

}  // namespace

BlockStore::BlockStore(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd_ < 0) throw systemError("cannot open " + path);
    std::string content;
    char buf[65536];
    for (ssize_t n; (n = ::read(fd_, buf, sizeof buf)) != 0;) {
        if (n < 0) throw systemError("cannot read " + path);
        content.append(buf, size_t(n));
    }
    size_t good = 0;  // bytes of whole, readable lines
    for (size_t start = 0; start < content.size();) {
        const size_t end = content.find('\n', start);
        const bool last = end == std::string::npos || end + 1 == content.size();
        nlohmann::json block;
        bool ok = end != std::string::npos;
        if (ok) {
            try {
                block = nlohmann::json::parse(content.substr(start, end - start));
                ok = block.is_object();
            } catch (const std::exception&) {
                ok = false;
            }
        }
        if (!ok) {
            if (!last) throw std::runtime_error(path + ": unreadable block line at byte " + std::to_string(start));
            droppedTorn_ = true;
            break;
        }
        loaded_.push_back(std::move(block));
        good = end + 1;
        start = end + 1;
    }
    if (good != content.size() && ::ftruncate(fd_, off_t(good)) != 0) throw systemError("cannot truncate " + path);
    if (::lseek(fd_, 0, SEEK_END) < 0) throw systemError("cannot seek " + path);
}

BlockStore::~BlockStore() {
    if (fd_ >= 0) ::close(fd_);
}

void BlockStore::append(const nlohmann::json& block) {
    const std::string line = block.dump() + "\n";
    size_t written = 0;
    while (written < line.size()) {
        ssize_t n = ::write(fd_, line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw systemError("cannot write block");
        written += size_t(n);
    }
    if (::fdatasync(fd_) != 0) throw systemError("cannot flush block");
}
