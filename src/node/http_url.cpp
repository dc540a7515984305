#include "node/http_url.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace quorlen::node {

std::string http_url_problem(const std::string& url) {
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), curl_url_cleanup);
    if (!parsed) return "";
    // libcurl's own reading, so that the scheme judged is the one it would use.
    if (curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return "";  // not a URL at all: every fetch fails and says why
    char* scheme = nullptr;
    if (curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK || !scheme) return "";
    std::string s = scheme;
    curl_free(scheme);
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (s == "http" || s == "https") return "";
    return "the scheme is " + s + "; only http and https are used";
}

}  // namespace quorlen::node
