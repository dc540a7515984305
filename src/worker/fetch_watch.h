// Says when a node endpoint starts failing, with the reason, and when it
// answers again: one line each, not one per failed request, so that a node
// that is down is visible without flooding the console.
#pragma once

#include <string>

namespace quorlen::worker {

class FetchWatch {
public:
    void failed(const char* path, const std::string& why);
    void answered(const char* path);
    bool failing() const { return failing_; }

private:
    bool failing_ = false;
};

}  // namespace quorlen::worker
