// A real WebSocket server that records the text messages and the pong
// payloads it receives, in order; over TLS when given a certificate.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "net/servers.h"

class RecordingWsServer {
public:
    // On `port` (0: one the system picks) of `address`.
    explicit RecordingWsServer(unsigned short port = 0, const quorlen::net::ServerTls& tls = {},
                               const std::string& address = "127.0.0.1");
    // "ws://" (or "wss://") with `host`, the port and `path`.
    std::string url(const std::string& path = "", const std::string& host = "127.0.0.1") const;
    unsigned short port() const { return server_.port(); }
    quorlen::net::WsServer& server() { return server_; }
    std::vector<std::string> messages();
    std::vector<std::string> pongs();
    std::size_t count();  // of the messages

private:
    const bool tls_;
    std::mutex lock_;
    std::vector<std::string> messages_;
    std::vector<std::string> pongs_;
    quorlen::net::WsServer server_;  // last: stopped before the records it fills go
};
