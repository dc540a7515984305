// One libcurl easy handle and the multi handle its transfers run in.
#pragma once

typedef void CURL;
typedef void CURLM;

namespace quorlen::node {

// Owns one libcurl easy handle together with one pair of libcurl's global
// initialisation and clean-up calls, and the multi handle its transfers run
// in (which keeps its connections from one request to the next).
class CurlHandle {
public:
    CurlHandle();
    ~CurlHandle();
    CurlHandle(const CurlHandle&) = delete;
    CurlHandle& operator=(const CurlHandle&) = delete;
    CURL* get() const { return handle_; }
    CURLM* multi() const { return multi_; }

private:
    CURL* handle_;
    CURLM* multi_;
};

}  // namespace quorlen::node
