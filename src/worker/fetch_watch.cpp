#include "worker/fetch_watch.h"

#include <cstdio>

#include "app/console.h"

void FetchWatch::failed(const char* path, const std::string& why) {
    if (failing_) return;
    failing_ = true;
    std::fprintf(stderr, "%s[node] %s failed: %s\n", line_lead(), path, why.c_str());
}

void FetchWatch::answered(const char* path) {
    if (!failing_) return;
    failing_ = false;
    std::fprintf(stderr, "%s[node] %s answers again\n", line_lead(), path);
}
