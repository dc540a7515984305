// HTTP and WebSocket servers for the development node (and for tests that
// need a real peer), built on Boost.Beast. Each server runs its own I/O
// thread; handlers and callbacks are called on that thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace devnet {

struct HttpReply {
    unsigned status = 200;
    std::string body;
    std::string contentType = "application/json";
};

using HttpHandler =
    std::function<HttpReply(const std::string& method, const std::string& target, const std::string& body)>;

class HttpServer {
public:
    // Port 0 picks a free port.
    HttpServer(const std::string& address, unsigned short port, HttpHandler handler);
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
    WsServer(const std::string& address, unsigned short port, WsCallbacks callbacks);
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

}  // namespace devnet
