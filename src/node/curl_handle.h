// One libcurl easy handle, the multi handle its transfers run in, and the
// transfer loop that GETs a node's reply through them. The only file that
// speaks to libcurl about transfers.
#pragma once

#include <cstddef>
#include <string>

#include "node/stop_grace.h"
#include "node/ws_transport.h"

typedef void CURL;
typedef void CURLM;

namespace quorlen::node {

// Owns one libcurl easy handle and the multi handle its transfers run in
// (which keeps its connections from one request to the next). libcurl's
// global initialisation is made once per process, by the first handle, and
// its clean-up once, at exit: not per handle, as neither call may run while
// another thread uses libcurl.
class CurlHandle {
public:
    // What one GET came to.
    struct Outcome {
        long status = 0;        // the reply's HTTP status; 0 when none came
        std::string problem;    // why no reply came; empty when one did
        bool cutShort = false;  // none came only because a stop's grace ran out
    };

    CurlHandle();
    ~CurlHandle();
    CurlHandle(const CurlHandle&) = delete;
    CurlHandle& operator=(const CurlHandle&) = delete;

    // GETs `url` into `body` (which starts empty) with the settings every
    // request to the node uses: its user agent, the 10 s limit of the whole
    // request, no signals, HTTP and HTTPS only, no redirects, and the
    // certificates of `store`. A reply of more than `cap` bytes fails and
    // what came of it is dropped. Once `stop`'s grace is over nothing starts
    // and a transfer under way is cut short.
    [[nodiscard]] Outcome get(const std::string& url, std::size_t cap, const TlsStore& store, const StopGrace& stop,
                              std::string& body);

private:
    // Runs the transfer set up on the handle; false when the stop's grace
    // ran out first.
    bool perform(const StopGrace& stop, int& curlCode);

    CURL* handle_;
    CURLM* multi_;
};

}  // namespace quorlen::node
