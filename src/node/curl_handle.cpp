#include "node/curl_handle.h"

#include <curl/curl.h>

namespace quorlen::node {

CurlHandle::CurlHandle() {
    curl_global_init(CURL_GLOBAL_ALL);
    handle_ = curl_easy_init();
    multi_ = curl_multi_init();
}

CurlHandle::~CurlHandle() {
    if (multi_) curl_multi_cleanup(multi_);
    if (handle_) curl_easy_cleanup(handle_);
    curl_global_cleanup();
}

}  // namespace quorlen::node
