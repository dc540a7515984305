// Files the tests write and read back: a scratch directory removed with its
// files, and the whole contents of a stdio stream.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>

class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // Writes `text` to `name` in the directory with the given mode; its path.
    std::string write(const std::string& name, const std::string& text, mode_t mode = 0600) const;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Everything written to `f` so far (flushed, then read from the start).
std::string read_back(std::FILE* f);
