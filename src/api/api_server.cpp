#include "api/api_server.h"

#include <strings.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <exception>
#include <thread>

#include <nlohmann/json.hpp>

#include "api/metrics_text.h"
#include "api/summary_json.h"

namespace {

devnet::HttpReply reply(unsigned status, std::string body, std::string type) {
    devnet::HttpReply r{status, std::move(body), std::move(type), {}};
    r.headers = {{"Server", "quorlen-gpu-miner"}, {"Cache-Control", "no-store"}};
    return r;
}

devnet::HttpReply jsonError(unsigned status, const std::string& why) {
    return reply(status, nlohmann::json{{"error", why}}.dump(), "application/json");
}

// Compares without an early exit, so that the time taken does not tell how
// much of a guess was right. `secret` is never empty.
bool sameText(const std::string& given, const std::string& secret) {
    std::size_t diff = given.size() ^ secret.size();
    for (std::size_t i = 0; i < given.size(); ++i)
        diff |= static_cast<unsigned char>(given[i]) ^ static_cast<unsigned char>(secret[i % secret.size()]);
    return diff == 0;
}

}  // namespace

devnet::ServerLimits ApiServer::default_limits() {
    devnet::ServerLimits limits;
    limits.maxConnections = 16;
    limits.handshake = std::chrono::seconds(5);
    limits.maxHeader = 8 << 10;
    limits.maxBody = 4 << 10;
    return limits;
}

ApiServer::ApiServer(const std::string& host, unsigned short port, std::string token, devnet::ServerLimits limits)
    : token_(std::move(token)), latest_(std::make_shared<RigSnapshot>()) {
    // Linux threads inherit their creator's nice value: the server's I/O
    // thread, started from a thread at the lowest priority, yields the CPU
    // to the miners whatever its clients do.
    std::exception_ptr failure;
    std::thread([&] {
        setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
        try {
            server_ = std::make_unique<devnet::HttpServer>(
                host, port, devnet::HttpRequestHandler([this](const devnet::HttpRequest& r) { return handle(r); }),
                std::move(limits));
        } catch (...) {
            failure = std::current_exception();
        }
    }).join();
    if (failure) std::rethrow_exception(failure);
}

ApiServer::~ApiServer() { server_.reset(); }

unsigned short ApiServer::port() const { return server_->port(); }

void ApiServer::publish(RigSnapshot snapshot) {
    auto next = std::make_shared<const RigSnapshot>(std::move(snapshot));
    std::lock_guard<std::mutex> g(lock_);
    latest_.swap(next);
}

bool ApiServer::authorised(const std::string& header) const {
    if (token_.empty()) return true;
    // The scheme's name is case-insensitive; the token is not.
    const std::size_t scheme = 7;  // "Bearer "
    return header.size() > scheme && strncasecmp(header.c_str(), "bearer ", scheme) == 0 &&
           sameText(header.substr(scheme), token_);
}

devnet::HttpReply ApiServer::handle(const devnet::HttpRequest& request) {
    if (request.method != "GET") {
        devnet::HttpReply r = jsonError(405, "only GET");
        r.headers.emplace_back("Allow", "GET, HEAD");
        return r;
    }
    const std::string path = request.target.substr(0, request.target.find('?'));
    // The page holds no figures (it fetches them with the token the user
    // gives it), so it is served to anyone.
    if (path == "/") return reply(200, dashboard_page(), "text/html; charset=utf-8");
    if (path != "/summary" && path != "/metrics" && path != "/health") return jsonError(404, "not found");
    if (!authorised(request.authorization)) {
        devnet::HttpReply r = jsonError(401, "a valid \"Authorization: Bearer <token>\" header is needed");
        r.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"quorlen-gpu-miner\"");
        return r;
    }
    std::shared_ptr<const RigSnapshot> rig;
    {
        std::lock_guard<std::mutex> g(lock_);
        rig = latest_;
    }
    const double uptime = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    if (path == "/summary") return reply(200, summary_json(*rig, uptime), "application/json");
    if (path == "/metrics") return reply(200, metrics_text(*rig, uptime), "text/plain; version=0.0.4; charset=utf-8");
    const std::vector<std::string> problems = health_problems(*rig);
    if (problems.empty()) return reply(200, "{\"status\":\"ok\"}", "application/json");
    return reply(503, nlohmann::json{{"status", "failing"}, {"reasons", problems}}.dump(), "application/json");
}
