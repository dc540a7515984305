// A node for tests: real HTTP and WebSocket servers on loopback whose HTTP
// replies are scripted per path and whose received messages are recorded.
// Its HTTP server speaks TLS when given a certificate.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/servers.h"
#include "support/recording_ws_server.h"

class ScriptedNode {
public:
    explicit ScriptedNode(const quorlen::net::ServerTls& tls = {});
    void set(const std::string& path, unsigned status, const std::string& body);
    void clear(const std::string& path);  // 404 from now on
    std::vector<std::string> targets();
    std::vector<std::string> messages();
    std::string httpUrl() const;
    std::string wsUrl() const;
    quorlen::net::WsServer& ws() { return ws_->server(); }

private:
    const bool https_;
    std::mutex lock_;
    std::map<std::string, quorlen::net::HttpReply> replies_;
    std::vector<std::string> targets_;
    std::unique_ptr<quorlen::net::HttpServer> http_;
    std::unique_ptr<RecordingWsServer> ws_;
};
