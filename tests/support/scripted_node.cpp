#include "support/scripted_node.h"

ScriptedNode::ScriptedNode(const quorlen::net::ServerTls& tls) : https_(tls.enabled()) {
    http_ = std::make_unique<quorlen::net::HttpServer>(
        "127.0.0.1", 0,
        [this](const std::string&, const std::string& target, const std::string&) {
            std::lock_guard<std::mutex> g(lock_);
            targets_.push_back(target);
            auto it = replies_.find(target);
            return it == replies_.end() ? quorlen::net::HttpReply{404, "not found"} : it->second;
        },
        quorlen::net::ServerLimits{}, tls);
    ws_ = std::make_unique<RecordingWsServer>();
}

void ScriptedNode::set(const std::string& path, unsigned status, const std::string& body) {
    std::lock_guard<std::mutex> g(lock_);
    replies_[path] = {status, body};
}

void ScriptedNode::clear(const std::string& path) {
    std::lock_guard<std::mutex> g(lock_);
    replies_.erase(path);
}

std::vector<std::string> ScriptedNode::targets() {
    std::lock_guard<std::mutex> g(lock_);
    return targets_;
}

std::vector<std::string> ScriptedNode::messages() { return ws_->messages(); }

std::string ScriptedNode::httpUrl() const {
    return (https_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(http_->port());
}
std::string ScriptedNode::wsUrl() const { return ws_->url(); }
