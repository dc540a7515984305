#include "node/node_client.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "block/hex.h"
#include "block/printable.h"
#include "node/node_reply.h"

namespace quorlen::node {

NodeClient::NodeClient(const std::string& baseUrl, const std::string& wsUrl, StopGrace stop,
                       std::shared_ptr<VerdictReporter> verdicts, TlsTrust trust)
    : baseUrl_(baseUrl), wsUrl_(wsUrl), verdicts_(std::move(verdicts)), stop_(std::move(stop)),
      trust_(std::move(trust)) {
    if (wsUrl_.empty()) return;
    ws_ = makeWs();
    if (ws_->connect_url(wsUrl_)) {
        std::fprintf(stderr, "[ws] connected: %s\n", wsUrl_.c_str());
    } else {
        if (!stop_.over()) std::fputs(wsFailure("connect failed").c_str(), stderr);
        ws_.reset();
    }
}

std::string NodeClient::wsFailure(const char* what) const {
    const std::string why = ws_ ? ws_->last_problem() : std::string();
    return "[ws] " + std::string(what) + ": " + wsUrl_ + (why.empty() ? "" : " (" + block::printable(why) + ")") + "\n";
}

NodeClient::~NodeClient() { ws_.reset(); }

bool NodeClient::result(bool ok, const char* whyNot) {
    if (ok) lastError_.clear();
    else if (lastError_.empty()) lastError_ = whyNot;
    return ok;
}

std::unique_ptr<WsPlain> NodeClient::makeWs() const {
    if (!verdicts_) return std::make_unique<WsPlain>(stop_, WsPlain::FrameHandler{}, trust_);
    // The reporter is shared, so it outlives every reader that calls it.
    return std::make_unique<WsPlain>(
        stop_, [reporter = verdicts_](bool text, std::string_view payload) { reporter->on_frame(text, payload); },
        trust_);
}

bool NodeClient::fetch(const std::string& path, std::size_t cap, std::string& body) {
    lastError_.clear();
    cutShort_ = false;
    const CurlHandle::Outcome got = curl_.get(baseUrl_ + path, cap, tls_store(trust_), stop_, body);
    if (!got.problem.empty()) {
        lastError_ = got.problem;
        cutShort_ = got.cutShort;
        return false;
    }
    if (got.status != 200) lastError_ = "HTTP status " + std::to_string(got.status);
    return got.status == 200;
}

bool NodeClient::read_height(std::uint64_t& height) {
    std::string body;
    return result(fetch("/height", kMaxSmallReply, body) && node_reply::height(body, height), "unreadable reply");
}

bool NodeClient::read_block(std::uint64_t n, nlohmann::json& block) {
    std::string body;
    return result(fetch("/block/" + std::to_string(n), kMaxLargeReply, body) && node_reply::block(body, block),
                  "unreadable reply");
}

bool NodeClient::read_diff(std::string& diff) {
    std::string body;
    return result(fetch("/diff", kMaxSmallReply, body) && node_reply::diff(body, diff), "unreadable reply");
}

bool NodeClient::read_mempool(nlohmann::json& mempool) {
    std::string body;
    return result(fetch("/mempool", kMaxLargeReply, body) && node_reply::mempool(body, mempool), "unreadable reply");
}

bool NodeClient::read_tip(BuiltOn& tip) {
    std::uint64_t height = 0;
    if (!read_height(height)) return false;
    tip.height = height;
    tip.prevHash.clear();
    if (height == 0) return true;
    nlohmann::json block;
    if (!read_block(height - 1, block) || !block.is_object()) return false;
    auto it = block.find("hash");
    if (it == block.end() || !it->is_string()) return false;
    tip.prevHash = it->get<std::string>();
    return true;
}

NodeClient::Admits NodeClient::admits(const BuiltOn* builtOn, const std::string& hash, std::string& why) {
    BuiltOn tip;
    if (!read_tip(tip)) return Admits::NoAnswer;
    if (builtOn && (tip.height != builtOn->height || tip.prevHash != builtOn->prevHash)) return Admits::OtherTip;
    if (hash.empty()) return Admits::Yes;
    std::string diff, target, unusable;
    if (!read_diff(diff) || !node_reply::target(diff, target, unusable)) return Admits::NoAnswer;
    if (block::hex_at_most(hash, target)) return Admits::Yes;
    why = "its hash is above the target of " + baseUrl_ + " (" + target + ")";
    return Admits::AboveTarget;
}

void NodeClient::connectionReplaced() const {
    if (verdicts_) verdicts_->connection_replaced();
}

bool NodeClient::send_block(const std::string& message, const std::string& hash) {
    if (!ws_connected()) {
        ws_ = makeWs();  // the old client, if any, joins its reader here
        if (ws_->connect_url(wsUrl_)) {
            std::fprintf(stderr, "[ws] reconnected: %s\n", wsUrl_.c_str());
            connectionReplaced();
        } else {
            if (!stop_.over()) std::fputs(wsFailure("reconnect failed").c_str(), stderr);
            ws_.reset();
            return false;
        }
    }
    const bool named = verdicts_ && !hash.empty();
    // Named before the send: the node's answer may come before send returns.
    if (named) verdicts_->block_sent(hash);
    bool sent = ws_->send_frame(1, message);
    if (!sent) {
        if (named) verdicts_->block_not_sent(hash);
        ws_->close();
        if (ws_->connect_url(wsUrl_)) {
            connectionReplaced();
            if (named) verdicts_->block_sent(hash);
            sent = ws_->send_frame(1, message);
            if (!sent && named) verdicts_->block_not_sent(hash);
        }
    }
    return sent;
}

}  // namespace quorlen::node
