#include "net/servers.h"
#include "net/server_loop.h"

#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <deque>
#include <mutex>
#include <set>

namespace quorlen::net {

using namespace detail;
namespace websocket = beast::websocket;

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
    Clock::time_point last_heard() const override { return heard_; }
    void evict() override { shutdown(); }

private:
    struct Out {
        enum Kind { kText, kPing, kClose } kind;
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
};

namespace {

template <class Stream>
BeastWsSession<Stream>::BeastWsSession(Stream stream, WsServer::Impl& server, Slot slot)
    : ws_(std::move(stream)), server_(server), slot_(std::move(slot)) {
    // Replies are small; a kernel buffer left to grow to megabytes would only
    // hide a client that does not read.
    beast::error_code ec;
    beast::get_lowest_layer(ws_).socket().set_option(asio::socket_base::send_buffer_size(65536), ec);
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
        case Out::kText:
            ws_.text(true);
            ws_.async_write(asio::buffer(out.data), after);
            break;
        case Out::kPing:
            ws_.async_ping(websocket::ping_data(out.data.data(), out.data.size()),
                           [after](beast::error_code ec) { after(ec); });
            break;
        case Out::kClose:
            ws_.async_close(websocket::close_code::normal, [after](beast::error_code ec) { after(ec); });
            break;
    }
}

template <class Stream>
void BeastWsSession<Stream>::send(const std::string& text) {
    asio::post(ws_.get_executor(), [self = this->shared_from_this(), text] { self->enqueue({Out::kText, text}); });
}

template <class Stream>
void BeastWsSession<Stream>::ping(const std::string& payload) {
    asio::post(ws_.get_executor(),
              [self = this->shared_from_this(), payload] { self->enqueue({Out::kPing, payload.substr(0, 125)}); });
}

template <class Stream>
void BeastWsSession<Stream>::close() {
    asio::post(ws_.get_executor(), [self = this->shared_from_this()] { self->enqueue({Out::kClose, {}}); });
}

template <class Stream>
void BeastWsSession<Stream>::drop() {
    asio::post(ws_.get_executor(), [self = this->shared_from_this()] { self->shutdown(); });
}

}  // namespace

WsServer::WsServer(const std::string& address, unsigned short port, WsCallbacks callbacks, ServerLimits limits,
                   const ServerTls& tls)
    : impl_(std::make_shared<Impl>()) {
    impl_->callbacks = std::move(callbacks);
    impl_->limits = std::move(limits);
    Impl* impl = impl_.get();
    impl_->serve(address, port, tls, "ws", [impl](auto stream, Slot slot) {
        auto session = std::make_shared<BeastWsSession<decltype(stream)>>(std::move(stream), *impl, std::move(slot));
        impl->enroll(session);
        session->start();
    });
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

}  // namespace quorlen::net
