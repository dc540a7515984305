// The parts the HTTP and the WebSocket servers share: an accepting loop on
// a thread of its own with the connection cap, the counted slots, the last
// reply before a close and the TLS context. Private to src/net.
#pragma once

#include "net/servers.h"

#include <utility>  // before Asio: its C++20 headers use std::exchange unincluded

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace quorlen::net::detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;
namespace ssl = asio::ssl;

using TlsStream = beast::ssl_stream<beast::tcp_stream>;
template <class Stream>
constexpr bool kIsTls = std::is_same_v<Stream, TlsStream>;

// The TLS context of a server, or null for plain TCP.
std::shared_ptr<ssl::context> load_tls(const ServerTls& tls);

using Counter = std::shared_ptr<std::atomic<size_t>>;
using Clock = std::chrono::steady_clock;

// A connection that may be dropped to make room for a newcomer.
class Evictable {
public:
    virtual ~Evictable() = default;
    // When the client last sent anything; its connection counts.
    virtual Clock::time_point last_heard() const = 0;
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
        asio::async_write(stream_, asio::buffer(reply_), [self = this->shared_from_this()](beast::error_code ec, size_t) {
            if (ec) return;
            beast::get_lowest_layer(self->stream_).socket().shutdown(tcp::socket::shutdown_send, ec);
            self->drain();
        });
    }

private:
    void drain() {
        stream_.async_read_some(asio::buffer(scratch_), [self = this->shared_from_this()](beast::error_code ec, size_t) {
            if (!ec) self->drain();  // until the peer closes or the time is up
        });
    }
    Stream stream_;
    std::string reply_;
    Slot slot_;
    char scratch_[16384];
};

// An io_context with its thread and an acceptor that keeps accepting: a
// failed accept (out of descriptors, for one) is logged and retried after a
// pause. A client beyond the cap makes room by having the connection that
// has been silent longest dropped, so that clients holding slots without a
// word cannot lock everyone else out; only when nobody can be dropped is it
// refused with 503.
struct Loop {
    asio::io_context io;
    tcp::acceptor acceptor{io};
    asio::steady_timer retry{io};
    std::thread thread;
    ServerLimits limits;
    std::string name;
    std::shared_ptr<ssl::context> tls;  // null: plain TCP
    Counter open = std::make_shared<std::atomic<size_t>>(0);
    Counter leaving = std::make_shared<std::atomic<size_t>>(0);
    size_t failures = 0;
    bool saturated = false;
    // Every client connection, for choosing whom to drop. I/O thread only.
    std::vector<std::weak_ptr<Evictable>> members;

    // Listens on address:port (TLS when the files are given, the scheme then
    // taking an "s") and starts the I/O thread; each client accepted is handed
    // to startSession as a plain or a TLS stream, with its slot.
    template <class StartSession>
    void serve(const std::string& address, unsigned short port, const ServerTls& files, const std::string& scheme,
               StartSession startSession) {
        name = files.enabled() ? scheme + "s" : scheme;
        tls = load_tls(files);
        listen(address, port);
        accept([this, startSession](tcp::socket socket, Slot slot) {
            if (tls) startSession(TlsStream(beast::tcp_stream(std::move(socket)), *tls), std::move(slot));
            else startSession(beast::tcp_stream(std::move(socket)), std::move(slot));
        });
        thread = std::thread([this] { io.run(); });
    }
    void log(const std::string& line) const;
    void enroll(const std::shared_ptr<Evictable>& member);
    // Removes `member` and every entry whose connection has ended.
    void leave(const Evictable* member);
    void stop();

private:
    void listen(const std::string& address, unsigned short port);
    void accept(std::function<void(tcp::socket, Slot)> onClient);
    bool evictIdlest();
    void refuse(tcp::socket socket);
};

}  // namespace quorlen::net::detail
