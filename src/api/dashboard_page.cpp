// The page at "/": the summary table and a chart of the last 15 minutes,
// refreshed every 5 seconds from /summary. Everything is inline. With a
// token, open the page as http://HOST:PORT/#token=TOKEN (the part after '#'
// never leaves the browser) or type it when asked.
//
// The page itself is dashboard_page.html, embedded at build time as a raw
// string literal (embed_page.cmake).
#include "api/api_server.h"

namespace quorlen::api {

const std::string& dashboard_page() {
    static const std::string kPage =
#include "api/dashboard_page_html.inc"
        ;
    return kPage;
}

}  // namespace quorlen::api
