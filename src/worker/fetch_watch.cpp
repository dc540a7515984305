#include "worker/fetch_watch.h"

#include <cstdio>

#include "block/printable.h"

namespace quorlen::worker {

void FetchWatch::failed(const char* path, const std::string& why) {
    if (failing_) return;
    failing_ = true;
    std::fprintf(stderr, "\n[node] %s failed: %s\n", path, block::printable(why).c_str());
}

void FetchWatch::answered(const char* path) {
    if (!failing_) return;
    failing_ = false;
    std::fprintf(stderr, "\n[node] %s answers again\n", path);
}

}  // namespace quorlen::worker
