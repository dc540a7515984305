#include "cli/key_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quorlen::cli {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Closes the descriptor whatever way the read ends.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

std::string trim_blanks(std::string_view text) {
    size_t begin = 0, end = text.size();
    while (begin < end && isBlank(text[begin])) ++begin;
    while (end > begin && isBlank(text[end - 1])) --end;
    return std::string(text.substr(begin, end - begin));
}

bool read_key_file(const std::string& path, std::string& key, std::string& error, std::string& warning) {
    // O_NONBLOCK: a FIFO given by mistake must not hang the start.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.get() < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat st{};
    if (fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "not a regular file";
        return false;
    }
    if (st.st_mode & (S_IRGRP | S_IROTH)) warning = "readable by group or others; chmod 600 it";
    // One byte more than allowed tells a file that is too large, whatever
    // its size said (it may grow while we read).
    char buf[kMaxKeyFileBytes + 1];
    size_t got = 0;
    while (got < sizeof buf) {
        const ssize_t n = ::read(file.get(), buf + got, sizeof buf - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = std::strerror(errno);
            explicit_bzero(buf, got);
            return false;
        }
        if (n == 0) break;
        got += size_t(n);
    }
    if (got > kMaxKeyFileBytes) {
        explicit_bzero(buf, sizeof buf);
        error = "larger than " + std::to_string(kMaxKeyFileBytes) + " bytes, not a key file";
        return false;
    }
    key = trim_blanks(std::string_view(buf, got));
    explicit_bzero(buf, sizeof buf);
    if (key.empty()) {
        error = "holds no key";
        return false;
    }
    return true;
}

int resolve_secret(std::string& value, const SecretSource& source) {
    if (!source.file.empty()) {
        if (!value.empty()) {
            std::fprintf(stderr, "%s and %s both given; use one\n", source.valueOption, source.fileOption);
            return 1;
        }
        std::string error, warning;
        const bool ok = read_key_file(source.file, value, error, warning);
        if (!warning.empty())
            std::fprintf(stderr, "warning: %s %s: %s\n", source.fileOption, source.file.c_str(), warning.c_str());
        if (!ok) {
            std::fprintf(stderr, "%s %s: %s\n", source.fileOption, source.file.c_str(), error.c_str());
            return 1;
        }
        return 0;
    }
    if (value.empty() && source.envName)
        if (const char* v = std::getenv(source.envName)) value = source.trimEnv ? trim_blanks(v) : std::string(v);
    return 0;
}

int resolve_priv(Cli& cli) {
    return resolve_secret(cli.priv, {"--priv", "--priv-file", cli.privFile, kPrivEnv, false});
}

void wipe_text(std::string& text) {
    explicit_bzero(text.data(), text.size());
    text.clear();
}

}  // namespace quorlen::cli
