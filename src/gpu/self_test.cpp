#include "gpu/self_test.h"

#include <exception>
#include <vector>

#include "gpu/gpu_hasher.h"

namespace quorlen::gpu {

namespace {

// The empty text, the tuner's text, and one long enough to take H0 through
// many BLAKE2b blocks; three slots so that the device runs more than one hash
// at a time.
const std::vector<std::string>& selfTestTexts() {
    static const std::vector<std::string> kTexts = [] {
        std::string longText;
        for (int i = 0; i < 1500; ++i) longText += char(' ' + (i * 37) % 95);
        return std::vector<std::string>{"", "{\"msg\":\"warmup\"}", longText};
    }();
    return kTexts;
}

}  // namespace

std::string self_test(GpuHasher& hasher) {
    const std::vector<std::string>& texts = selfTestTexts();
    std::string failure;
    try {
        std::vector<std::string> digests;
        hasher.hash_batch(texts, digests);
        if (digests.size() != texts.size()) {
            failure = std::to_string(digests.size()) + " digests for " + std::to_string(texts.size()) + " texts";
        } else {
            for (std::size_t i = 0; i < texts.size() && failure.empty(); ++i) {
                const std::string expected = hasher.cpu_hash(texts[i]);
                if (digests[i] != expected)
                    failure = "text " + std::to_string(i) + " (" + std::to_string(texts[i].size()) +
                              " bytes): device " + digests[i] + ", CPU " + expected;
            }
        }
    } catch (const std::exception& e) {
        failure = std::string("error: ") + e.what();
    }
    try {
        hasher.reset();
    } catch (const std::exception& e) {
        if (failure.empty()) failure = std::string("error: ") + e.what();
    }
    return failure;
}

}  // namespace quorlen::gpu
