// One worker's client of the node: four HTTP GET endpoints over a single
// libcurl handle, and the worker's WebSocket connection.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "node/node_verdict.h"
#include "node/ws_plain.h"

typedef void CURL;

// Owns one libcurl easy handle together with one pair of libcurl's global
// initialisation and clean-up calls.
class CurlHandle {
public:
    CurlHandle();
    ~CurlHandle();
    CurlHandle(const CurlHandle&) = delete;
    CurlHandle& operator=(const CurlHandle&) = delete;
    CURL* get() const { return handle_; }

private:
    CURL* handle_;
};

class NodeApi {
public:
    // Connects the WebSocket when `wsUrl` is not empty and says so on
    // standard error ("[ws] connected: " / "[ws] connect failed: "). The
    // node's frames go to `verdicts` when one is given.
    NodeApi(const std::string& baseUrl, const std::string& wsUrl,
            std::shared_ptr<VerdictReporter> verdicts = nullptr);
    ~NodeApi();
    NodeApi(const NodeApi&) = delete;
    NodeApi& operator=(const NodeApi&) = delete;

    // Each read returns false and leaves its out-parameter alone when the
    // node cannot be read, except where a fallback says otherwise.
    bool getBlockHeight(std::uint64_t& height);
    bool getBlock(std::uint64_t n, nlohmann::json& block);
    bool getDiff(std::string& diff);
    void getMempool(nlohmann::json& mempool);

    // A new, unconnected WebSocket client whose frames go to `verdicts`.
    std::unique_ptr<WsPlain> make_ws() const;

    const std::string base_url;
    const std::string ws_url;
    const std::shared_ptr<VerdictReporter> verdicts;  // may be null

private:
    // The reply body of a GET with status 200, or false.
    bool fetch(const std::string& path, std::string& body);

    CurlHandle curl;

public:
    std::unique_ptr<WsPlain> ws;  // replaced by the worker when it reconnects
};

// How the node's replies are read: pure functions of the body, shared by the
// endpoints above and their tests.
namespace node_reply {
bool height(const std::string& body, std::uint64_t& height);
bool block(const std::string& body, nlohmann::json& block);
bool diff(const std::string& body, std::string& diff);
void mempool(const std::string& body, nlohmann::json& mempool);
}  // namespace node_reply
