#include "support/scratch.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

ScratchDir::ScratchDir() {
    char tmpl[] = "/tmp/quorlen-test-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("cannot make a scratch directory");
    path_ = tmpl;
}

ScratchDir::~ScratchDir() { std::system(("rm -rf " + path_).c_str()); }

std::string ScratchDir::write(const std::string& name, const std::string& text, mode_t mode) const {
    const std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::binary) << text;
    chmod(file.c_str(), mode);
    return file;
}

std::string read_back(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string s;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
    return s;
}
