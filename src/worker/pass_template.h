// The canonical texts of one pass's candidates, written without building a
// document per slot: everything but the three nonces is the same for every
// slot of a pass, so it is written once. Each text is byte for byte what
// canonical_msg(make_candidate(...)) gives, with the same rand() draws in the
// same order.
#pragma once

#include <cstdint>
#include <string>

#include "worker/chain_view.h"

namespace quorlen::worker {

class PassTemplate {
public:
    PassTemplate(const ChainView& view, const std::string& proposer, std::uint64_t ts);
    // Replaces `out` with the next candidate's text.
    void write(std::string& out) const;
    // The start every candidate of the pass shares (up to the first nonce),
    // and the rest of the next candidate: prefix() + rest is what write()
    // gives, with the same draws.
    const std::string& prefix() const { return head_; }
    void write_rest(std::string& out) const;

private:
    void appendRest(std::string& out) const;

    std::string head_;    // up to the developer-share nonce
    std::string mid1_;    // up to the miner-reward nonce
    std::string mid2_;    // up to the block nonce
    std::string tail_;    // the rest
};

}  // namespace quorlen::worker
