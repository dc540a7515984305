#include "support/recording_ws_server.h"

RecordingWsServer::RecordingWsServer(unsigned short port, const quorlen::net::ServerTls& tls, const std::string& address)
    : tls_(tls.enabled()),
      server_{address,
              port,
              {nullptr,
               [this](const auto&, const std::string& m) {
                   std::lock_guard<std::mutex> g(lock_);
                   messages_.push_back(m);
               },
               [this](const auto&, const std::string& p) {
                   std::lock_guard<std::mutex> g(lock_);
                   pongs_.push_back(p);
               },
               nullptr},
              {},
              tls} {}

std::string RecordingWsServer::url(const std::string& path, const std::string& host) const {
    return (tls_ ? "wss://" : "ws://") + host + ":" + std::to_string(server_.port()) + path;
}

std::vector<std::string> RecordingWsServer::messages() {
    std::lock_guard<std::mutex> g(lock_);
    return messages_;
}

std::vector<std::string> RecordingWsServer::pongs() {
    std::lock_guard<std::mutex> g(lock_);
    return pongs_;
}

std::size_t RecordingWsServer::count() {
    std::lock_guard<std::mutex> g(lock_);
    return messages_.size();
}
