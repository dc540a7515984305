#include "net/server_loop.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace quorlen::net::detail {

std::shared_ptr<ssl::context> load_tls(const ServerTls& tls) {
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

namespace {

const char* const kBusy = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

}  // namespace

void Loop::log(const std::string& line) const {
    if (limits.log) limits.log(name + ": " + line);
    else std::fprintf(stderr, "[net] %s: %s\n", name.c_str(), line.c_str());
}

void Loop::listen(const std::string& address, unsigned short port) {
    tcp::endpoint ep(asio::ip::make_address(address), port);
    acceptor.open(ep.protocol());
    acceptor.set_option(asio::socket_base::reuse_address(true));
    acceptor.bind(ep);
    acceptor.listen();
}

void Loop::accept(std::function<void(tcp::socket, Slot)> onClient) {
    acceptor.async_accept([this, onClient](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
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

void Loop::enroll(const std::shared_ptr<Evictable>& member) {
    // Ended connections leave their entries behind; swept now and then,
    // so the list stays near the number open however many come and go.
    if (members.size() >= 2 * limits.maxConnections + 64) leave(nullptr);
    members.push_back(member);
}

void Loop::leave(const Evictable* member) {
    members.erase(std::remove_if(members.begin(), members.end(),
                                 [&](const std::weak_ptr<Evictable>& w) {
                                     auto m = w.lock();
                                     return !m || m.get() == member;
                                 }),
                  members.end());
}

bool Loop::evictIdlest() {
    std::shared_ptr<Evictable> victim;
    for (size_t i = 0; i < members.size();) {
        auto m = members[i].lock();
        if (!m) {
            members[i] = members.back();
            members.pop_back();
            continue;
        }
        if (!victim || m->last_heard() < victim->last_heard()) victim = m;
        ++i;
    }
    if (!victim) return false;
    leave(victim.get());
    victim->evict();
    return true;
}

void Loop::refuse(tcp::socket socket) {
    if (*leaving >= limits.maxConnections) return;  // a flood: just close
    std::make_shared<Farewell<>>(beast::tcp_stream(std::move(socket)), kBusy, Slot(leaving))->start();
}

void Loop::stop() {
    asio::post(io, [this] {
        beast::error_code ec;
        acceptor.close(ec);
        retry.cancel();
        io.stop();
    });
    if (thread.joinable()) thread.join();
}

}  // namespace quorlen::net::detail
