#include "node/node_verdict.h"

#include <nlohmann/json.hpp>

namespace quorlen::node {

namespace {

// A block hash as the miner submits it: hex, lowercase, no leading zeros.
std::optional<std::string> blockHash(const nlohmann::json& v) {
    if (!v.is_string()) return std::nullopt;
    std::string h = v.get<std::string>();
    if (h.empty() || h.size() > 64) return std::nullopt;
    for (char& c : h) {
        if (c >= 'A' && c <= 'F') c = char(c - 'A' + 'a');
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
    }
    const size_t first = h.find_first_not_of('0');
    return first == std::string::npos ? "0" : h.substr(first);
}

std::string shorten(std::string_view text, size_t limit) {
    return std::string(text.substr(0, limit)) + (text.size() > limit ? "..." : "");
}

}  // namespace

std::optional<NodeVerdict> parse_verdict(std::string_view frame) {
    if (frame.size() > kMaxVerdictBytes) return std::nullopt;
    const nlohmann::json doc = nlohmann::json::parse(frame.begin(), frame.end(), nullptr, false);
    if (!doc.is_object()) return std::nullopt;
    const auto event = doc.find("event");
    if (event == doc.end() || !event->is_string()) return std::nullopt;
    NodeVerdict v;
    const auto hash = doc.find("hash");
    if (hash != doc.end()) {
        auto h = blockHash(*hash);
        if (!h) return std::nullopt;
        v.hash = *h;
    }
    if (*event == "accepted") {
        if (v.hash.empty()) return std::nullopt;  // an acceptance must name its block
        v.accepted = true;
        const auto height = doc.find("height");
        if (height != doc.end()) {
            if (!height->is_number_unsigned()) return std::nullopt;
            v.height = height->get<std::uint64_t>();
        }
        return v;
    }
    if (*event == "rejected") {
        const auto reason = doc.find("reason");
        if (reason == doc.end() || !reason->is_string()) return std::nullopt;
        v.reason = shorten(block::printable(reason->get<std::string>()), kMaxReasonBytes);
        return v;
    }
    return std::nullopt;
}

VerdictReporter::VerdictReporter(int gpu, std::shared_ptr<VerdictCounts> counts, std::FILE* out, Clock clock,
                                 const char* lineLead, std::shared_ptr<RecentBlocks> recent)
    : gpu_(gpu), counts_(std::move(counts)), recent_(std::move(recent)), out_(out), lead_(lineLead),
      clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })) {}

std::shared_ptr<VerdictReporter> VerdictReporter::for_another_node() const {
    auto other = std::make_shared<VerdictReporter>(gpu_, counts_, out_, clock_, lead_, recent_);
    other->sampling_ = sampling_;
    return other;
}

void VerdictReporter::connection_replaced() {
    std::lock_guard<std::mutex> g(lock_);
    waiting_.clear();
}

void VerdictReporter::block_sent(const std::string& hash) {
    std::lock_guard<std::mutex> g(lock_);
    if (waiting_.size() == kMaxWaiting) waiting_.pop_front();
    waiting_.push_back(hash);
}

void VerdictReporter::block_not_sent(const std::string& hash) {
    std::lock_guard<std::mutex> g(lock_);
    for (auto it = waiting_.rbegin(); it != waiting_.rend(); ++it) {
        if (*it != hash) continue;
        waiting_.erase(std::next(it).base());
        return;
    }
}

bool VerdictReporter::match(NodeVerdict& v) {
    std::lock_guard<std::mutex> g(lock_);
    if (v.hash.empty()) {
        if (waiting_.empty()) return false;
        v.hash = waiting_.front();
        waiting_.pop_front();
        return true;
    }
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
        if (*it != v.hash) continue;
        waiting_.erase(it);
        return true;
    }
    return false;
}

void VerdictReporter::on_frame(bool text, std::string_view payload) {
    std::optional<NodeVerdict> v;
    if (text) v = parse_verdict(payload);
    // A verdict on no block of ours is as good as noise: printing it would
    // let the node write to our console at will.
    if (!v || !match(*v)) return unrecognised(payload);
    if (recent_) recent_->settle(v->hash, v->accepted ? "accepted" : "rejected", v->reason, v->height);
    if (v->accepted) {
        counts_->accepted.fetch_add(1);
        const std::string height = v->height ? " height=" + std::to_string(*v->height) : "";
        std::fprintf(out_, "%s[verdict] GPU#%d accepted hash=%s%s\n", lead_, gpu_, v->hash.c_str(), height.c_str());
    } else {
        counts_->rejected.fetch_add(1);
        std::fprintf(out_, "%s[verdict] GPU#%d rejected hash=%s reason: %s\n", lead_, gpu_, v->hash.c_str(),
                     v->reason.c_str());
    }
    std::fflush(out_);
}

void VerdictReporter::unrecognised(std::string_view payload) {
    const std::uint64_t n = counts_->unrecognised.fetch_add(1) + 1;
    const auto now = clock_();
    {
        std::lock_guard<std::mutex> g(sampling_->lock);
        if (sampling_->last && now - *sampling_->last < kSampleEvery) return;
        sampling_->last = now;
    }
    std::fprintf(out_, "%s[ws] GPU#%d unrecognised frame from the node (%llu so far; at most one shown a minute): %s\n",
                 lead_, gpu_, static_cast<unsigned long long>(n),
                 (block::printable(payload.substr(0, kFrameSampleBytes)) + (payload.size() > kFrameSampleBytes ? "..." : ""))
                    .c_str());
    std::fflush(out_);
}

}  // namespace quorlen::node
