#include "servers.h"

#include <utility>  // before Asio: its C++20 headers use std::exchange unincluded

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <deque>
#include <mutex>
#include <set>
#include <thread>

namespace devnet {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

namespace {

// An io_context with its thread and an acceptor.
struct Loop {
    net::io_context io;
    tcp::acceptor acceptor{io};
    std::thread thread;

    void listen(const std::string& address, unsigned short port) {
        tcp::endpoint ep(net::ip::make_address(address), port);
        acceptor.open(ep.protocol());
        acceptor.set_option(net::socket_base::reuse_address(true));
        acceptor.bind(ep);
        acceptor.listen();
    }
    void start() {
        thread = std::thread([this] { io.run(); });
    }
    void stop() {
        net::post(io, [this] {
            beast::error_code ec;
            acceptor.close(ec);
            io.stop();
        });
        if (thread.joinable()) thread.join();
    }
};

class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(tcp::socket socket, const HttpHandler& handler) : stream_(std::move(socket)), handler_(handler) {}
    void start() { read(); }

private:
    void read() {
        request_ = {};
        stream_.expires_after(std::chrono::seconds(30));
        http::async_read(stream_, buffer_, request_, [self = shared_from_this()](beast::error_code ec, size_t) {
            if (!ec) self->respond();
        });
    }
    void respond() {
        HttpReply reply;
        try {
            reply = handler_(std::string(request_.method_string()), std::string(request_.target()), request_.body());
        } catch (const std::exception& e) {
            reply = {500, std::string("{\"error\":\"") + e.what() + "\"}"};
        }
        auto res = std::make_shared<http::response<http::string_body>>(http::status(reply.status), request_.version());
        res->set(http::field::server, "quorlen-devnode");
        res->set(http::field::content_type, reply.contentType);
        res->keep_alive(request_.keep_alive());
        // 1xx, 204 and 304 replies carry no body by definition.
        const bool bodyless = reply.status < 200 || reply.status == 204 || reply.status == 304;
        if (!bodyless) res->body() = std::move(reply.body);
        res->prepare_payload();
        http::async_write(stream_, *res, [self = shared_from_this(), res](beast::error_code ec, size_t) {
            if (ec) return;
            if (res->keep_alive()) self->read();
            else self->stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
        });
    }

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    http::request<http::string_body> request_;
    const HttpHandler& handler_;
};

}  // namespace

struct HttpServer::Impl : Loop {
    HttpHandler handler;
    void accept() {
        acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
            if (ec) return;
            std::make_shared<HttpSession>(std::move(socket), handler)->start();
            accept();
        });
    }
};

HttpServer::HttpServer(const std::string& address, unsigned short port, HttpHandler handler)
    : impl_(std::make_shared<Impl>()) {
    impl_->handler = std::move(handler);
    impl_->listen(address, port);
    impl_->accept();
    impl_->start();
}

HttpServer::~HttpServer() { impl_->stop(); }

unsigned short HttpServer::port() const { return impl_->acceptor.local_endpoint().port(); }

namespace {

class BeastWsSession : public WsSession, public std::enable_shared_from_this<BeastWsSession> {
public:
    BeastWsSession(tcp::socket socket, WsServer::Impl& server);
    void start();
    void send(const std::string& text) override;
    void ping(const std::string& payload) override;
    void close() override;
    void drop() override;

private:
    void read();
    void writeNext();
    void finished();

    websocket::stream<beast::tcp_stream> ws_;
    beast::flat_buffer buffer_;
    WsServer::Impl& server_;
    // Writes (messages, pings, the close) go out one at a time.
    struct Out {
        enum Kind { Text, Ping, Close } kind;
        std::string data;
    };
    std::deque<Out> queue_;
    bool writing_ = false;
    bool done_ = false;
};

}  // namespace

struct WsServer::Impl : Loop {
    WsCallbacks callbacks;
    mutable std::mutex lock;
    std::set<std::shared_ptr<BeastWsSession>> open;

    void accept() {
        acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
            if (ec) return;
            std::make_shared<BeastWsSession>(std::move(socket), *this)->start();
            accept();
        });
    }
};

namespace {

BeastWsSession::BeastWsSession(tcp::socket socket, WsServer::Impl& server) : ws_(std::move(socket)), server_(server) {}

void BeastWsSession::start() {
    ws_.control_callback([this](websocket::frame_type kind, beast::string_view payload) {
        if (kind == websocket::frame_type::pong && server_.callbacks.onPong)
            server_.callbacks.onPong(shared_from_this(), std::string(payload));
    });
    ws_.async_accept([self = shared_from_this()](beast::error_code ec) {
        if (ec) return;
        {
            std::lock_guard<std::mutex> g(self->server_.lock);
            self->server_.open.insert(self);
        }
        if (self->server_.callbacks.onOpen) self->server_.callbacks.onOpen(self);
        self->read();
    });
}

void BeastWsSession::read() {
    ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, size_t) {
        if (ec) return self->finished();
        const std::string text = beast::buffers_to_string(self->buffer_.data());
        self->buffer_.consume(self->buffer_.size());
        if (self->server_.callbacks.onMessage) self->server_.callbacks.onMessage(self, text);
        self->read();
    });
}

void BeastWsSession::finished() {
    if (done_) return;
    done_ = true;
    {
        std::lock_guard<std::mutex> g(server_.lock);
        server_.open.erase(shared_from_this());
    }
    if (server_.callbacks.onClose) server_.callbacks.onClose(shared_from_this());
}

void BeastWsSession::writeNext() {
    if (writing_ || queue_.empty() || done_) return;
    writing_ = true;
    Out& out = queue_.front();
    auto after = [self = shared_from_this()](beast::error_code ec, size_t = 0) {
        self->writing_ = false;
        self->queue_.pop_front();
        if (ec) return self->finished();
        self->writeNext();
    };
    switch (out.kind) {
        case Out::Text:
            ws_.text(true);
            ws_.async_write(net::buffer(out.data), after);
            break;
        case Out::Ping:
            ws_.async_ping(websocket::ping_data(out.data.data(), out.data.size()),
                           [after](beast::error_code ec) { after(ec); });
            break;
        case Out::Close:
            ws_.async_close(websocket::close_code::normal, [after](beast::error_code ec) { after(ec); });
            break;
    }
}

void BeastWsSession::send(const std::string& text) {
    net::post(ws_.get_executor(), [self = shared_from_this(), text] {
        self->queue_.push_back({Out::Text, text});
        self->writeNext();
    });
}

void BeastWsSession::ping(const std::string& payload) {
    net::post(ws_.get_executor(), [self = shared_from_this(), payload] {
        self->queue_.push_back({Out::Ping, payload.substr(0, 125)});
        self->writeNext();
    });
}

void BeastWsSession::close() {
    net::post(ws_.get_executor(), [self = shared_from_this()] {
        self->queue_.push_back({Out::Close, {}});
        self->writeNext();
    });
}

void BeastWsSession::drop() {
    net::post(ws_.get_executor(), [self = shared_from_this()] {
        beast::error_code ec;
        beast::get_lowest_layer(self->ws_).socket().shutdown(tcp::socket::shutdown_both, ec);
        beast::get_lowest_layer(self->ws_).socket().close(ec);
    });
}

}  // namespace

WsServer::WsServer(const std::string& address, unsigned short port, WsCallbacks callbacks)
    : impl_(std::make_shared<Impl>()) {
    impl_->callbacks = std::move(callbacks);
    impl_->listen(address, port);
    impl_->accept();
    impl_->start();
}

WsServer::~WsServer() {
    impl_->stop();
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->open.clear();
}

unsigned short WsServer::port() const { return impl_->acceptor.local_endpoint().port(); }

std::vector<std::shared_ptr<WsSession>> WsServer::sessions() const {
    std::lock_guard<std::mutex> g(impl_->lock);
    return {impl_->open.begin(), impl_->open.end()};
}

}  // namespace devnet
