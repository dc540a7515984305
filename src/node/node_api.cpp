#include "node/node_api.h"

#include <curl/curl.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "block/canonical.h"

namespace {

size_t wr_cb(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

}  // namespace

CurlHandle::CurlHandle() {
    curl_global_init(CURL_GLOBAL_ALL);
    handle_ = curl_easy_init();
}

CurlHandle::~CurlHandle() {
    if (handle_) curl_easy_cleanup(handle_);
    curl_global_cleanup();
}

NodeApi::NodeApi(const std::string& baseUrl, const std::string& wsUrl, std::shared_ptr<VerdictReporter> verdicts)
    : base_url(baseUrl), ws_url(wsUrl), verdicts(std::move(verdicts)) {
    if (ws_url.empty()) return;
    ws = make_ws();
    if (ws->connect_url(ws_url)) {
        std::fprintf(stderr, "[ws] connected: %s\n", ws_url.c_str());
    } else {
        std::fprintf(stderr, "[ws] connect failed: %s\n", ws_url.c_str());
        ws.reset();
    }
}

NodeApi::~NodeApi() { ws.reset(); }

std::unique_ptr<WsPlain> NodeApi::make_ws() const {
    if (!verdicts) return std::make_unique<WsPlain>();
    // The reporter is shared, so it outlives every reader that calls it.
    return std::make_unique<WsPlain>([reporter = verdicts](bool text, std::string_view payload) {
        reporter->on_frame(text, payload);
    });
}

bool NodeApi::fetch(const std::string& path, std::string& body) {
    CURL* c = curl.get();
    if (!c) return false;
    const std::string url = base_url + path;
    curl_easy_reset(c);
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, wr_cb);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(c, CURLOPT_USERAGENT, "quorlen-gpu-miner/1.0");
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    if (curl_easy_perform(c) != CURLE_OK) return false;
    long code = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
    return code == 200;
}

bool NodeApi::getBlockHeight(std::uint64_t& height) {
    std::string body;
    return fetch("/height", body) && node_reply::height(body, height);
}

bool NodeApi::getBlock(std::uint64_t n, nlohmann::json& block) {
    std::string body;
    return fetch("/block/" + std::to_string(n), body) && node_reply::block(body, block);
}

bool NodeApi::getDiff(std::string& diff) {
    std::string body;
    return fetch("/diff", body) && node_reply::diff(body, diff);
}

void NodeApi::getMempool(nlohmann::json& mempool) {
    std::string body;
    if (fetch("/mempool", body)) node_reply::mempool(body, mempool);
}

namespace node_reply {

using nlohmann::json;

bool height(const std::string& body, std::uint64_t& height) {
    try {
        const json doc = json::parse(body);
        if (doc.is_object()) {
            auto it = doc.find("height");
            if (it == doc.end()) return false;
            height = canonical::as_unsigned(*it);  // throws for a non-number: plain text then
            return true;
        }
        if (doc.is_number_integer()) {
            height = canonical::as_unsigned(doc);
            return true;
        }
        return false;
    } catch (...) {
    }
    height = std::strtoull(body.c_str(), nullptr, 10);
    return height != 0;
}

bool block(const std::string& body, json& block) {
    try {
        block = json::parse(body);
        return true;
    } catch (...) {
        return false;
    }
}

bool diff(const std::string& body, std::string& diff) {
    try {
        const json doc = json::parse(body);
        if (!doc.is_object()) return false;
        auto it = doc.find("diff");
        if (it == doc.end()) return false;
        if (it->is_string()) {
            diff = it->get<std::string>();
            return true;
        }
    } catch (...) {
    }
    size_t end = body.size();
    while (end > 0 && std::isspace(static_cast<unsigned char>(body[end - 1]))) --end;
    if (end == 0) return false;
    diff = body.substr(0, end);
    return true;
}

void mempool(const std::string& body, json& mempool) {
    try {
        json doc = json::parse(body);
        mempool = doc.is_array() ? std::move(doc) : json::array();
    } catch (...) {
    }
}

}  // namespace node_reply
