#include "net/servers.h"
#include "net/server_loop.h"

#include <boost/beast/http.hpp>

#include <algorithm>
#include <optional>
#include <sstream>

namespace quorlen::net {

using namespace detail;
namespace http = beast::http;

namespace {

template <class Stream>
class HttpSession : public Evictable, public std::enable_shared_from_this<HttpSession<Stream>> {
public:
    HttpSession(Stream stream, const HttpRequestHandler& handler, const Loop& server, Slot slot)
        : stream_(std::move(stream)), handler_(handler), server_(server), slot_(std::move(slot)) {}
    void start() {
        if constexpr (kIsTls<Stream>) {
            lowestLayer().expires_after(server_.limits.handshake);
            stream_.async_handshake(ssl::stream_base::server, [self = this->shared_from_this()](beast::error_code ec) {
                if (!ec) self->read();
            });
        } else {
            read();
        }
    }
    Clock::time_point last_heard() const override { return heard_; }
    void evict() override {
        beast::error_code ec;
        lowestLayer().socket().shutdown(tcp::socket::shutdown_both, ec);
        lowestLayer().close();
    }

private:
    beast::tcp_stream& lowestLayer() { return beast::get_lowest_layer(stream_); }

    // The header has a short time of its own, from the connection or the
    // end of the previous reply, so that a client trickling it (or sending
    // nothing) holds its slot for seconds, not for the whole request time.
    void read() {
        parser_.emplace();
        parser_->header_limit(std::uint32_t(server_.limits.maxHeader));
        parser_->body_limit(server_.limits.maxBody);
        requestStart_ = Clock::now();
        lowestLayer().expires_after(std::min(server_.limits.header, server_.limits.handshake));
        readSome();
    }
    void readSome() {
        http::async_read_some(stream_, buffer_, *parser_, [self = this->shared_from_this()](beast::error_code ec, size_t n) {
            if (n) self->heard_ = Clock::now();
            if (ec || self->parser_->is_done()) return self->onRead(ec);
            if (self->parser_->is_header_done())
                self->lowestLayer().expires_at(self->requestStart_ + self->server_.limits.handshake);
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
            else self->lowestLayer().socket().shutdown(tcp::socket::shutdown_send, ec);
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
        lowestLayer().expires_never();
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
};

HttpServer::HttpServer(const std::string& address, unsigned short port, HttpHandler handler, ServerLimits limits,
                       const ServerTls& tls)
    : HttpServer(address, port,
                 HttpRequestHandler([handler = std::move(handler)](const HttpRequest& r) {
                     return handler(r.method, r.target, r.body);
                 }),
                 std::move(limits), tls) {}

HttpServer::HttpServer(const std::string& address, unsigned short port, HttpRequestHandler handler,
                       ServerLimits limits, const ServerTls& tls)
    : impl_(std::make_shared<Impl>()) {
    impl_->handler = std::move(handler);
    impl_->limits = std::move(limits);
    Impl* impl = impl_.get();
    impl_->serve(address, port, tls, "http", [impl](auto stream, Slot slot) {
        auto session = std::make_shared<HttpSession<decltype(stream)>>(std::move(stream), impl->handler, *impl,
                                                                        std::move(slot));
        impl->enroll(session);
        session->start();
    });
}

HttpServer::~HttpServer() { impl_->stop(); }

unsigned short HttpServer::port() const { return impl_->acceptor.local_endpoint().port(); }

}  // namespace quorlen::net
