// A chain view with `transactions` pending transfers of a realistic size,
// for the benchmarks that build candidate texts.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "worker/chain_view.h"

inline ChainView sample_view(int transactions, const std::string& diff) {
    ChainView view;
    view.height = 1234;
    view.prevHash = std::string(64, 'a');
    view.diff = diff;
    view.devAmount = 700000;
    view.minerAmount = 9300000;
    nlohmann::json pool = nlohmann::json::array();
    for (int i = 0; i < transactions; ++i)
        pool.push_back({{"sender", "02" + std::string(64, 'b')},
                        {"receiver", "03" + std::string(64, 'c')},
                        {"amount", 1000 + i},
                        {"signature", std::string(140, 'd')},
                        {"nonce", i},
                        {"timestamp", 1700000000000ULL + i}});
    quorlen::worker::adopt_mempool(view, pool);
    return view;
}
