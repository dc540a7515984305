// The node's frames as verdicts: any bytes either give no verdict or one
// whose hash and reason are safe to print.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "node/node_verdict.h"

using namespace quorlen::node;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view frame(reinterpret_cast<const char*>(data), size);
    const auto v = parse_verdict(frame);
    if (!v) return 0;
    if (size > kMaxVerdictBytes) std::abort();
    if (v->accepted && v->hash.empty()) std::abort();  // an acceptance always names its block
    if (v->hash.size() > 64 || (v->hash.size() > 1 && v->hash[0] == '0')) std::abort();
    for (char c : v->hash)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) std::abort();
    if (v->reason.size() > kMaxReasonBytes + 3) std::abort();
    for (unsigned char c : v->reason)
        if (c < 0x20 || c >= 0x7f) std::abort();

    static std::FILE* sink = std::fopen("/dev/null", "w");
    static VerdictReporter reporter(0, std::make_shared<VerdictCounts>(), sink);
    reporter.block_sent(v->hash.empty() ? "ab" : v->hash);
    reporter.on_frame(true, frame);
    return 0;
}
