// The monitoring API: read-only HTTP on the bounded server the development
// node uses. GET /summary (JSON), /metrics (Prometheus text), /health (200
// or 503 with the reasons) and / (a page that shows the summary and a rate
// chart). Requests read the latest snapshot the supervision loop published;
// the server's thread runs at the lowest priority, so that no client can
// take time from the mining threads.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "api/rig_snapshot.h"
#include "net/servers.h"

namespace quorlen::api {

class ApiServer {
public:
    // Listens at once; throws when the address cannot be bound. With a
    // token, every request but the page itself needs "Authorization: Bearer
    // <token>". Without one, requests whose Host header names another
    // machine are refused with 403.
    ApiServer(const std::string& host, unsigned short port, std::string token, quorlen::net::ServerLimits limits);
    ~ApiServer();
    ApiServer(const ApiServer&) = delete;
    ApiServer& operator=(const ApiServer&) = delete;

    unsigned short port() const;
    // Main thread, once a tick: what requests see from now on.
    void publish(RigSnapshot snapshot);

    // The bounds for a monitoring server: a few clients, small requests,
    // short deadlines.
    static quorlen::net::ServerLimits default_limits();

private:
    quorlen::net::HttpReply handle(const quorlen::net::HttpRequest& request);
    [[nodiscard]] bool authorised(const std::string& header) const;

    const std::string token_;
    const std::string host_;  // the address bound
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    mutable std::mutex lock_;
    std::shared_ptr<const RigSnapshot> latest_;
    std::unique_ptr<quorlen::net::HttpServer> server_;
};

// The page served at "/": no external assets.
const std::string& dashboard_page();

}  // namespace quorlen::api
