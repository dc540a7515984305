#include "node/curl_handle.h"

#include <curl/curl.h>

#include "node/http_url.h"
#include "node/steady_ms.h"

namespace quorlen::node {

namespace {

// libcurl's global state, set up by the first handle and released at exit.
// A static local's initialisation runs once even when several threads make
// their first handle at the same moment.
class LibcurlGlobal {
public:
    LibcurlGlobal() { curl_global_init(CURL_GLOBAL_ALL); }
    ~LibcurlGlobal() { curl_global_cleanup(); }
    LibcurlGlobal(const LibcurlGlobal&) = delete;
    LibcurlGlobal& operator=(const LibcurlGlobal&) = delete;
};

void initLibcurlOnce() { static const LibcurlGlobal kGlobal; }

// What one transfer collects.
struct Transfer {
    std::string* body;
    std::size_t cap;
    bool overflowed = false;
};

size_t collectBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (t->body->size() + n > t->cap) {
        t->overflowed = true;
        return 0;  // libcurl ends the transfer with a write error
    }
    t->body->append(data, n);
    return n;
}

// Failures whose general text ("SSL peer certificate or SSH remote key was
// not OK") hides the reason the user needs.
bool tlsFailure(CURLcode rc) {
    return rc == CURLE_PEER_FAILED_VERIFICATION || rc == CURLE_SSL_CONNECT_ERROR || rc == CURLE_SSL_CACERT_BADFILE ||
           rc == CURLE_SSL_CERTPROBLEM;
}

}  // namespace

CurlHandle::CurlHandle() {
    initLibcurlOnce();
    handle_ = curl_easy_init();
    multi_ = curl_multi_init();
}

CurlHandle::~CurlHandle() {
    if (multi_) curl_multi_cleanup(multi_);
    if (handle_) curl_easy_cleanup(handle_);
}

bool CurlHandle::perform(const StopGrace& stop, int& curlCode) {
    // libcurl's own loop looks at a transfer about once a second while the
    // node is silent; short waits here notice the end of a stop's grace at
    // once.
    curlCode = CURLE_FAILED_INIT;
    if (!multi_ || curl_multi_add_handle(multi_, handle_) != CURLM_OK) return true;
    bool finished = false;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi_, &running) != CURLM_OK) break;
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi_, &queued))
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == handle_) {
                curlCode = msg->data.result;
                finished = true;
            }
        if (finished || running == 0 || stop.over()) break;
        const long long left = stop.limit(steady_ms() + 100) - steady_ms();
        curl_multi_poll(multi_, nullptr, 0, int(left > 0 ? left : 0), nullptr);
    }
    curl_multi_remove_handle(multi_, handle_);  // ends a transfer still running
    return finished || !stop.over();
}

CurlHandle::Outcome CurlHandle::get(const std::string& url, std::size_t cap, const TlsStore& store,
                                    const StopGrace& stop, std::string& body) {
    Outcome out;
    if (!handle_) {
        out.problem = "no HTTP handle";
        return out;
    }
    if (stop.over()) {
        out.problem = "stopping";
        out.cutShort = true;
        return out;
    }
    Transfer t{&body, cap, false};
    CURL* c = handle_;
    curl_easy_reset(c);
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(c, CURLOPT_USERAGENT, "quorlen-gpu-miner/1.0");
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    // Only HTTP, whatever the base says; redirects stay off (the default).
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, kHttpProtocols);
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, kHttpProtocols);
    // A node that announces more than the cap is refused before it sends.
    curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(cap));
    // The WebSocket's store, not the one libcurl was built with: a private
    // CA (or SSL_CERT_FILE) trusted on one channel is trusted on both.
    curl_easy_setopt(c, CURLOPT_CAINFO, store.file.empty() ? nullptr : store.file.c_str());
    curl_easy_setopt(c, CURLOPT_CAPATH, store.dir.empty() ? nullptr : store.dir.c_str());
    char detail[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, detail);
    int result = CURLE_OK;
    const bool done = perform(stop, result);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);  // the buffer ends with this call
    const CURLcode rc = done ? static_cast<CURLcode>(result) : CURLE_ABORTED_BY_CALLBACK;
    if (rc != CURLE_OK) {
        if (t.overflowed || rc == CURLE_FILESIZE_EXCEEDED) out.problem = "reply larger than " + std::to_string(cap) + " bytes";
        else if (!done) out.problem = "stopping";
        else if (tlsFailure(rc) && detail[0]) out.problem = detail;  // names the certificate problem
        else out.problem = curl_easy_strerror(rc);
        out.cutShort = !done;
        body.clear();
        body.shrink_to_fit();
        return out;
    }
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &out.status);
    return out;
}

}  // namespace quorlen::node
