// The node's replies on arbitrary bodies, for each of the four endpoints:
// nothing escapes, and the out-parameters keep their promises.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "node/node_reply.h"

using namespace quorlen::node;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 4) {
        case 0: {
            std::uint64_t h = 77;
            const bool ok = node_reply::height(body, h);
            (void)ok;
            break;
        }
        case 1: {
            nlohmann::json block = "untouched";
            if (!node_reply::block(body, block) && block != "untouched") std::abort();
            break;
        }
        case 2: {
            std::string diff = "untouched";
            const bool ok = node_reply::diff(body, diff);
            if (!ok && diff != "untouched") std::abort();
            if (ok && diff.empty()) std::abort();
            break;
        }
        case 3: {
            nlohmann::json mempool = nlohmann::json::array({1});
            // Read or refused, the mempool stays an array.
            (void)node_reply::mempool(body, mempool);
            if (!mempool.is_array()) std::abort();
            break;
        }
    }
    return 0;
}
