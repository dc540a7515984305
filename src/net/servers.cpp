#include "servers.h"

#include <utility>  // before Asio: its C++20 headers use std::exchange unincluded

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <sstream>
#include <set>
#include <stdexcept>
#include <thread>
#include <type_traits>

namespace devnet {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
namespace ssl = net::ssl;

namespace {

using TlsStream = beast::ssl_stream<beast::tcp_stream>;
template <class Stream>
constexpr bool kIsTls = std::is_same_v<Stream, TlsStream>;

// The TLS context of a server, or null for plain TCP.
std::shared_ptr<ssl::context> loadTls(const ServerTls& tls) {
    if (!tls.enabled()) return nullptr;
    auto ctx = std::make_shared<ssl::context>(ssl::context::tls_server);
    ctx->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                     ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
    beast::error_code ec;
    ctx->use_certificate_chain_file(tls.certFile, ec);
    if (ec) throw std::runtime_error("cannot use the TLS certificate " + tls.certFile + ": " + ec.message());
    ctx->use_private_key_file(tls.keyFile, ssl::context::pem, ec);
    if (ec) throw std::runtime_error("cannot use the TLS key " + tls.keyFile + ": " + ec.message());
    if (SSL_CTX_check_private_key(ctx->native_handle()) != 1)
        throw std::runtime_error("the TLS key " + tls.keyFile + " does not belong to the certificate " + tls.certFile);
    return ctx;
}

using Counter = std::shared_ptr<std::atomic<size_t>>;
using Clock = std::chrono::steady_clock;

// A connection that may be dropped to make room for a newcomer.
class Evictable {
public:
    virtual ~Evictable() = default;
    // When the client last sent anything; its connection counts.
    virtual Clock::time_point lastHeard() const = 0;
    virtual void evict() = 0;
};

// One counted connection; the count drops when the slot goes.
class Slot {
public:
    explicit Slot(Counter c) : counter_(std::move(c)) { ++*counter_; }
    Slot(Slot&& o) noexcept : counter_(std::move(o.counter_)) {}
    Slot& operator=(Slot&&) = delete;
    ~Slot() {
        if (counter_) --*counter_;
    }

private:
    Counter counter_;
};

// A last reply on a connection that is to be closed: written, then the
// peer's remaining input is read and thrown away for a while before the
// close, so that the reply is not lost to a reset caused by unread bytes.
template <class Stream = beast::tcp_stream>
class Farewell : public std::enable_shared_from_this<Farewell<Stream>> {
public:
    Farewell(Stream stream, std::string reply, Slot slot)
        : stream_(std::move(stream)), reply_(std::move(reply)), slot_(std::move(slot)) {}
    void start() {
        beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(2));
        net::async_write(stream_, net::buffer(reply_), [self = this->shared_from_this()](beast::error_code ec, size_t) {
            if (ec) return;
            beast::get_lowest_layer(self->stream_).socket().shutdown(tcp::socket::shutdown_send, ec);
            self->drain();
        });
    }

private:
    void drain() {
        stream_.async_read_some(net::buffer(scratch_), [self = this->shared_from_this()](beast::error_code ec, size_t) {
            if (!ec) self->drain();  // until the peer closes or the time is up
        });
    }
    Stream stream_;
    std::string reply_;
    Slot slot_;
    char scratch_[16384];
};

const char* const kBusy = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// An io_context with its thread and an acceptor that keeps accepting: a
// failed accept (out of descriptors, for one) is logged and retried after a
// pause. A client beyond the cap makes room by having the connection that
// has been silent longest dropped, so that clients holding slots without a
// word cannot lock everyone else out; only when nobody can be dropped is it
// refused with 503.
struct Loop {
    net::io_context io;
    tcp::acceptor acceptor{io};
    net::steady_timer retry{io};
    std::thread thread;
    ServerLimits limits;
    std::string name;
    Counter open = std::make_shared<std::atomic<size_t>>(0);
    Counter leaving = std::make_shared<std::atomic<size_t>>(0);
    size_t failures = 0;
    bool saturated = false;
    // Every client connection, for choosing whom to drop. I/O thread only.
    std::vector<std::weak_ptr<Evictable>> members;

    void log(const std::string& line) const {
        if (limits.log) limits.log(name + ": " + line);
        else std::fprintf(stderr, "[net] %s: %s\n", name.c_str(), line.c_str());
    }
    void listen(const std::string& address, unsigned short port) {
        tcp::endpoint ep(net::ip::make_address(address), port);
        acceptor.open(ep.protocol());
        acceptor.set_option(net::socket_base::reuse_address(true));
        acceptor.bind(ep);
        acceptor.listen();
    }
    void accept(std::function<void(tcp::socket, Slot)> onClient) {
        acceptor.async_accept([this, onClient](beast::error_code ec, tcp::socket socket) {
            if (ec == net::error::operation_aborted || !acceptor.is_open()) return;
            if (ec) {
                if (failures++ == 0) log("accept failed (" + ec.message() + "); retrying");
                retry.expires_after(limits.acceptRetry);
                retry.async_wait([this, onClient](beast::error_code e) {
                    if (!e) accept(onClient);
                });
                return;
            }
            if (failures) log("accepting again after " + std::to_string(failures) + " failed attempts");
            failures = 0;
            const bool full = *open >= limits.maxConnections;
            // Those dropped leave within a turn of the loop; the bound keeps a
            // burst of newcomers from outrunning them.
            if (!full || (*open < 2 * limits.maxConnections && evictIdlest())) {
                if (full && !saturated)
                    log(std::to_string(limits.maxConnections) + " connections open; dropping the longest silent to make room");
                saturated = full;
                onClient(std::move(socket), Slot(open));
            } else {
                if (!saturated) log(std::to_string(limits.maxConnections) + " connections open; refusing more");
                saturated = true;
                refuse(std::move(socket));
            }
            accept(onClient);
        });
    }
    void enroll(const std::shared_ptr<Evictable>& member) {
        // Ended connections leave their entries behind; swept now and then,
        // so the list stays near the number open however many come and go.
        if (members.size() >= 2 * limits.maxConnections + 64) leave(nullptr);
        members.push_back(member);
    }
    // Removes `member` and every entry whose connection has ended.
    void leave(const Evictable* member) {
        members.erase(std::remove_if(members.begin(), members.end(),
                                     [&](const std::weak_ptr<Evictable>& w) {
                                         auto m = w.lock();
                                         return !m || m.get() == member;
                                     }),
                      members.end());
    }
    bool evictIdlest() {
        std::shared_ptr<Evictable> victim;
        for (size_t i = 0; i < members.size();) {
            auto m = members[i].lock();
            if (!m) {
                members[i] = members.back();
                members.pop_back();
                continue;
            }
            if (!victim || m->lastHeard() < victim->lastHeard()) victim = m;
            ++i;
        }
        if (!victim) return false;
        leave(victim.get());
        victim->evict();
        return true;
    }
    void refuse(tcp::socket socket) {
        if (*leaving >= limits.maxConnections) return;  // a flood: just close
        std::make_shared<Farewell<>>(beast::tcp_stream(std::move(socket)), kBusy, Slot(leaving))->start();
    }
    void start() {
        thread = std::thread([this] { io.run(); });
    }
    void stop() {
        net::post(io, [this] {
            beast::error_code ec;
            acceptor.close(ec);
            retry.cancel();
            io.stop();
        });
        if (thread.joinable()) thread.join();
    }
};

template <class Stream>
class HttpSession : public Evictable, public std::enable_shared_from_this<HttpSession<Stream>> {
public:
    HttpSession(Stream stream, const HttpRequestHandler& handler, const Loop& server, Slot slot)
        : stream_(std::move(stream)), handler_(handler), server_(server), slot_(std::move(slot)) {}
    void start() {
        if constexpr (kIsTls<Stream>) {
            tcp_().expires_after(server_.limits.handshake);
            stream_.async_handshake(ssl::stream_base::server, [self = this->shared_from_this()](beast::error_code ec) {
                if (!ec) self->read();
            });
        } else {
            read();
        }
    }
    Clock::time_point lastHeard() const override { return heard_; }
    void evict() override {
        beast::error_code ec;
        tcp_().socket().shutdown(tcp::socket::shutdown_both, ec);
        tcp_().close();
    }

private:
    beast::tcp_stream& tcp_() { return beast::get_lowest_layer(stream_); }

    // The header has a short time of its own, from the connection or the
    // end of the previous reply, so that a client trickling it (or sending
    // nothing) holds its slot for seconds, not for the whole request time.
    void read() {
        parser_.emplace();
        parser_->header_limit(std::uint32_t(server_.limits.maxHeader));
        parser_->body_limit(server_.limits.maxBody);
        requestStart_ = Clock::now();
        tcp_().expires_after(std::min(server_.limits.header, server_.limits.handshake));
        readSome();
    }
    void readSome() {
        http::async_read_some(stream_, buffer_, *parser_, [self = this->shared_from_this()](beast::error_code ec, size_t n) {
            if (n) self->heard_ = Clock::now();
            if (ec || self->parser_->is_done()) return self->onRead(ec);
            if (self->parser_->is_header_done())
                self->tcp_().expires_at(self->requestStart_ + self->server_.limits.handshake);
            self->readSome();
        });
    }
    void onRead(beast::error_code ec) {
        if (!ec) return respond();
        const auto& httpErrors = http::make_error_code(http::error::bad_method).category();
        if (ec == http::error::body_limit) {
            server_.log("refused a request body over " + std::to_string(server_.limits.maxBody) + " bytes");
            return farewell(413, "request body too large");
        }
        if (ec == http::error::header_limit) {
            server_.log("refused a request header over " + std::to_string(server_.limits.maxHeader) + " bytes");
            return farewell(431, "request header too large");
        }
        if (ec.category() == httpErrors && ec != http::error::end_of_stream && ec != http::error::partial_message)
            return farewell(400, "malformed request");
        // Closed, timed out or torn: nobody to answer.
    }
    void respond() {
        const auto& request = parser_->get();
        const bool head = request.method() == http::verb::head;
        HttpReply reply;
        try {
            reply = handler_({head ? "GET" : std::string(request.method_string()), std::string(request.target()),
                              request.body(), std::string(request[http::field::authorization]),
                              std::string(request[http::field::host])});
        } catch (const std::exception& e) {
            server_.log(std::string("handler failed: ") + e.what());
            reply = {500, "{\"error\":\"internal error\"}"};
        }
        auto res = std::make_shared<http::response<http::string_body>>(http::status(reply.status), request.version());
        res->set(http::field::server, "quorlen-devnode");
        res->set(http::field::content_type, reply.contentType);
        res->keep_alive(request.keep_alive());
        for (const auto& [name, value] : reply.headers) res->set(name, value);
        // 1xx, 204 and 304 replies carry no body by definition.
        const bool bodyless = reply.status < 200 || reply.status == 204 || reply.status == 304;
        if (!bodyless) res->body() = std::move(reply.body);
        res->prepare_payload();
        if (head) res->body().clear();  // the length stays that of the GET reply
        http::async_write(stream_, *res, [self = this->shared_from_this(), res](beast::error_code ec, size_t) {
            if (ec) return;
            self->heard_ = Clock::now();  // an idle keep-alive is counted from the reply
            if (res->keep_alive()) self->read();
            else self->tcp_().socket().shutdown(tcp::socket::shutdown_send, ec);
        });
    }
    void farewell(unsigned status, const std::string& why) {
        http::response<http::string_body> res{http::status(status), 11};
        res.set(http::field::server, "quorlen-devnode");
        res.set(http::field::content_type, "application/json");
        res.keep_alive(false);
        res.body() = "{\"error\":\"" + why + "\"}";
        res.prepare_payload();
        std::ostringstream text;
        text << res;
        // The session's slot is given back as it ends, at once: a refused
        // request must not keep a newcomer out. The farewell counts among
        // those leaving, which are bounded on their own.
        if (*server_.leaving >= server_.limits.maxConnections) return;  // a flood: just close
        tcp_().expires_never();
        std::make_shared<Farewell<Stream>>(std::move(stream_), text.str(), Slot(server_.leaving))->start();
    }

    Stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    const HttpRequestHandler& handler_;
    const Loop& server_;
    Slot slot_;
    Clock::time_point heard_ = Clock::now();
    Clock::time_point requestStart_;
};

}  // namespace

struct HttpServer::Impl : Loop {
    HttpRequestHandler handler;
    std::shared_ptr<ssl::context> tls;  // null: plain TCP
};

HttpServer::HttpServer(const std::string& address, unsigned short port, HttpHandler handler, ServerLimits limits,
                       const ServerTls& tls)
    : HttpServer(address, port,
                 HttpRequestHandler([handler = std::move(handler)](const HttpRequest& r) {
                     return handler(r.method, r.target, r.body);
                 }),
                 std::move(limits), tls) {}

namespace {

template <class Stream>
void startHttpSession(HttpServer::Impl* impl, Stream stream, Slot slot) {
    auto session = std::make_shared<HttpSession<Stream>>(std::move(stream), impl->handler, *impl, std::move(slot));
    impl->enroll(session);
    session->start();
}

}  // namespace

HttpServer::HttpServer(const std::string& address, unsigned short port, HttpRequestHandler handler,
                       ServerLimits limits, const ServerTls& tls)
    : impl_(std::make_shared<Impl>()) {
    impl_->handler = std::move(handler);
    impl_->limits = std::move(limits);
    impl_->name = tls.enabled() ? "https" : "http";
    impl_->tls = loadTls(tls);
    impl_->listen(address, port);
    Impl* impl = impl_.get();
    impl_->accept([impl](tcp::socket socket, Slot slot) {
        if (impl->tls) startHttpSession(impl, TlsStream(beast::tcp_stream(std::move(socket)), *impl->tls), std::move(slot));
        else startHttpSession(impl, beast::tcp_stream(std::move(socket)), std::move(slot));
    });
    impl_->start();
}

HttpServer::~HttpServer() { impl_->stop(); }

unsigned short HttpServer::port() const { return impl_->acceptor.local_endpoint().port(); }

namespace {

template <class Stream>
class BeastWsSession : public WsSession, public Evictable, public std::enable_shared_from_this<BeastWsSession<Stream>> {
public:
    BeastWsSession(Stream stream, WsServer::Impl& server, Slot slot);
    void start();
    void send(const std::string& text) override;
    void ping(const std::string& payload) override;
    void close() override;
    void drop() override;
    Clock::time_point lastHeard() const override { return heard_; }
    void evict() override { shutdown(); }

private:
    struct Out {
        enum Kind { Text, Ping, Close } kind;
        std::string data;
    };
    void accept();
    void read();
    void enqueue(Out out);
    void writeNext();
    void shutdown();
    void finished();

    websocket::stream<Stream> ws_;
    beast::flat_buffer buffer_;
    WsServer::Impl& server_;
    Slot slot_;
    // Writes (messages, pings, the close) go out one at a time; a client
    // that leaves too much of them unread is dropped.
    std::deque<Out> queue_;
    size_t queuedBytes_ = 0;
    bool writing_ = false;
    bool done_ = false;
    Clock::time_point heard_ = Clock::now();
};

}  // namespace

struct WsServer::Impl : Loop {
    WsCallbacks callbacks;
    mutable std::mutex lock;
    std::set<std::shared_ptr<WsSession>> open;
    std::shared_ptr<ssl::context> tls;  // null: plain TCP
};

namespace {

template <class Stream>
BeastWsSession<Stream>::BeastWsSession(Stream stream, WsServer::Impl& server, Slot slot)
    : ws_(std::move(stream)), server_(server), slot_(std::move(slot)) {
    // Replies are small; a kernel buffer left to grow to megabytes would only
    // hide a client that does not read.
    beast::error_code ec;
    beast::get_lowest_layer(ws_).socket().set_option(net::socket_base::send_buffer_size(65536), ec);
}

template <class Stream>
void BeastWsSession<Stream>::start() {
    if constexpr (kIsTls<Stream>) {
        // The TLS handshake under the same time as the WebSocket one; the
        // stream's own timer is then left to the WebSocket's timeouts.
        beast::get_lowest_layer(ws_).expires_after(server_.limits.handshake);
        ws_.next_layer().async_handshake(ssl::stream_base::server,
                                         [self = this->shared_from_this()](beast::error_code ec) {
                                             if (ec) return;
                                             beast::get_lowest_layer(self->ws_).expires_never();
                                             self->accept();
                                         });
    } else {
        accept();
    }
}

template <class Stream>
void BeastWsSession<Stream>::accept() {
    websocket::stream_base::timeout limits{};
    limits.handshake_timeout = server_.limits.handshake;
    // A client silent for half the idle time is pinged; one that does not
    // answer by the end of it is dropped.
    limits.idle_timeout = server_.limits.idle.count() > 0 ? server_.limits.idle : websocket::stream_base::none();
    limits.keep_alive_pings = true;
    ws_.set_option(limits);
    ws_.read_message_max(server_.limits.maxMessage);
    ws_.control_callback([this](websocket::frame_type kind, beast::string_view payload) {
        heard_ = Clock::now();
        if (kind == websocket::frame_type::pong && server_.callbacks.onPong)
            server_.callbacks.onPong(this->shared_from_this(), std::string(payload));
    });
    ws_.async_accept([self = this->shared_from_this()](beast::error_code ec) {
        if (ec) return;
        self->heard_ = Clock::now();
        {
            std::lock_guard<std::mutex> g(self->server_.lock);
            self->server_.open.insert(self);
        }
        if (self->server_.callbacks.onOpen) self->server_.callbacks.onOpen(self);
        self->read();
    });
}

template <class Stream>
void BeastWsSession<Stream>::read() {
    ws_.async_read(buffer_, [self = this->shared_from_this()](beast::error_code ec, size_t) {
        if (ec == websocket::error::message_too_big)
            self->server_.log("dropped a client whose message went over " +
                              std::to_string(self->server_.limits.maxMessage) + " bytes");
        if (ec == beast::error::timeout)
            self->server_.log("dropped a client that left a ping unanswered");
        if (ec) return self->finished();
        self->heard_ = Clock::now();
        const std::string text = beast::buffers_to_string(self->buffer_.data());
        self->buffer_.consume(self->buffer_.size());
        if (self->buffer_.capacity() > 65536) self->buffer_.shrink_to_fit();  // one big message, not a habit
        try {
            if (self->server_.callbacks.onMessage) self->server_.callbacks.onMessage(self, text);
        } catch (const std::exception& e) {  // the I/O thread serves everyone: one message must not end it
            self->server_.log(std::string("dropped a client whose message could not be handled: ") + e.what());
            self->shutdown();
            return self->finished();
        }
        self->read();
    });
}

template <class Stream>
void BeastWsSession<Stream>::finished() {
    if (done_) return;
    done_ = true;
    server_.leave(this);
    {
        std::lock_guard<std::mutex> g(server_.lock);
        server_.open.erase(this->shared_from_this());
    }
    if (server_.callbacks.onClose) server_.callbacks.onClose(this->shared_from_this());
}

template <class Stream>
void BeastWsSession<Stream>::shutdown() {
    beast::error_code ec;
    beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ec);
    beast::get_lowest_layer(ws_).socket().close(ec);
}

template <class Stream>
void BeastWsSession<Stream>::enqueue(Out out) {
    if (done_) return;
    if (queuedBytes_ + out.data.size() + 16 > server_.limits.maxQueued) {
        server_.log("dropped a client that leaves its messages unread");
        shutdown();
        return finished();
    }
    queuedBytes_ += out.data.size() + 16;  // a frame header's worth for pings and closes
    queue_.push_back(std::move(out));
    writeNext();
}

template <class Stream>
void BeastWsSession<Stream>::writeNext() {
    if (writing_ || queue_.empty()) return;
    if (done_) {
        queue_.clear();
        queuedBytes_ = 0;
        return;
    }
    writing_ = true;
    Out& out = queue_.front();
    auto after = [self = this->shared_from_this()](beast::error_code ec, size_t = 0) {
        self->writing_ = false;
        self->queuedBytes_ -= self->queue_.front().data.size() + 16;
        self->queue_.pop_front();
        if (ec) self->finished();
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

template <class Stream>
void BeastWsSession<Stream>::send(const std::string& text) {
    net::post(ws_.get_executor(), [self = this->shared_from_this(), text] { self->enqueue({Out::Text, text}); });
}

template <class Stream>
void BeastWsSession<Stream>::ping(const std::string& payload) {
    net::post(ws_.get_executor(),
              [self = this->shared_from_this(), payload] { self->enqueue({Out::Ping, payload.substr(0, 125)}); });
}

template <class Stream>
void BeastWsSession<Stream>::close() {
    net::post(ws_.get_executor(), [self = this->shared_from_this()] { self->enqueue({Out::Close, {}}); });
}

template <class Stream>
void BeastWsSession<Stream>::drop() {
    net::post(ws_.get_executor(), [self = this->shared_from_this()] { self->shutdown(); });
}

}  // namespace

namespace {

template <class Stream>
void startWsSession(WsServer::Impl* impl, Stream stream, Slot slot) {
    auto session = std::make_shared<BeastWsSession<Stream>>(std::move(stream), *impl, std::move(slot));
    impl->enroll(session);
    session->start();
}

}  // namespace

WsServer::WsServer(const std::string& address, unsigned short port, WsCallbacks callbacks, ServerLimits limits,
                   const ServerTls& tls)
    : impl_(std::make_shared<Impl>()) {
    impl_->callbacks = std::move(callbacks);
    impl_->limits = std::move(limits);
    impl_->name = tls.enabled() ? "wss" : "ws";
    impl_->tls = loadTls(tls);
    impl_->listen(address, port);
    Impl* impl = impl_.get();
    impl_->accept([impl](tcp::socket socket, Slot slot) {
        if (impl->tls) startWsSession(impl, TlsStream(beast::tcp_stream(std::move(socket)), *impl->tls), std::move(slot));
        else startWsSession(impl, beast::tcp_stream(std::move(socket)), std::move(slot));
    });
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
