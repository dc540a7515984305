// HTTP and WebSocket servers for the development node, the miner's
// monitoring API and the tests that need a real peer, built on Boost.Beast
// (http_server.cpp, ws_server.cpp; what they share is in server_loop.h).
// Each server runs its own I/O thread; handlers and callbacks are called on
// that thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quorlen::net {

// What one client may take of a server. Every client is untrusted: these
// bound the descriptors, time and memory it can hold.
struct ServerLimits {
    // Open at once; a newcomer beyond it has the longest silent client dropped.
    size_t maxConnections = 64;
    std::chrono::milliseconds handshake{10'000};    // to send a request or a WebSocket handshake
    std::chrono::milliseconds header{2'000};        // to send an HTTP request's header
    std::chrono::milliseconds idle{60'000};         // WebSocket silence, a ping unanswered (0: no limit)
    size_t maxHeader = 8 << 10;                     // HTTP header block, else 431
    size_t maxBody = 1 << 20;                       // HTTP body, else 413
    size_t maxMessage = 4 << 20;                    // WebSocket message, else the client is dropped
    size_t maxQueued = 1 << 20;                     // unsent WebSocket bytes, else the client is dropped
    std::chrono::milliseconds acceptRetry{100};     // pause after a failed accept
    // Where the servers' own events go (accept failures, dropped clients);
    // standard error when empty.
    std::function<void(const std::string&)> log;
};

// A server's certificate and key. Given (both files), the server speaks
// TLS only: a client that does not finish the TLS handshake within the
// handshake time is dropped.
struct ServerTls {
    std::string certFile;  // PEM: the certificate, then any intermediate ones
    std::string keyFile;   // PEM: its private key
    bool enabled() const { return !certFile.empty(); }
};

struct HttpReply {
    unsigned status = 200;
    std::string body;
    std::string contentType = "application/json";
    std::vector<std::pair<std::string, std::string>> headers = {};  // added to the reply as they stand
};

using HttpHandler =
    std::function<HttpReply(const std::string& method, const std::string& target, const std::string& body)>;

// A request with the headers a handler may need to decide on it.
struct HttpRequest {
    std::string method;  // HEAD comes as GET
    std::string target;
    std::string body;
    std::string authorization;  // the Authorization header, empty when absent
    std::string host;           // the Host header, empty when absent
};
using HttpRequestHandler = std::function<HttpReply(const HttpRequest&)>;

class HttpServer {
public:
    // Port 0 picks a free port. HEAD is answered as GET without the body.
    // Throws when the TLS files cannot be used.
    HttpServer(const std::string& address, unsigned short port, HttpHandler handler, ServerLimits limits = {},
               const ServerTls& tls = {});
    HttpServer(const std::string& address, unsigned short port, HttpRequestHandler handler, ServerLimits limits = {},
               const ServerTls& tls = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;
    unsigned short port() const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

// One client connection of a WebSocket server. Every call may come from any
// thread; the work is done on the server's I/O thread.
class WsSession {
public:
    virtual ~WsSession() = default;
    virtual void send(const std::string& text) = 0;
    virtual void ping(const std::string& payload) = 0;
    virtual void close() = 0;  // a close frame
    virtual void drop() = 0;   // the TCP connection, without a close frame
};

struct WsCallbacks {
    std::function<void(const std::shared_ptr<WsSession>&)> onOpen;
    std::function<void(const std::shared_ptr<WsSession>&, const std::string&)> onMessage;
    std::function<void(const std::shared_ptr<WsSession>&, const std::string&)> onPong;
    std::function<void(const std::shared_ptr<WsSession>&)> onClose;
};

class WsServer {
public:
    WsServer(const std::string& address, unsigned short port, WsCallbacks callbacks, ServerLimits limits = {},
             const ServerTls& tls = {});
    ~WsServer();
    WsServer(const WsServer&) = delete;
    WsServer& operator=(const WsServer&) = delete;
    unsigned short port() const;
    // The sessions open now.
    std::vector<std::shared_ptr<WsSession>> sessions() const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace quorlen::net
