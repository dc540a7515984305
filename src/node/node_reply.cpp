#include "node/node_reply.h"

#include <cctype>
#include <cstdlib>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "block/canonical.h"
#include "block/hex.h"

namespace quorlen::node {

namespace node_reply {

using nlohmann::json;

namespace {

// A height cannot be negative: a node that says so is not read at all,
// rather than read as 2^64 - 1 and mined on with a zero reward.
bool negative(const json& v) { return v.is_number() && !v.is_number_unsigned() && v.get<double>() < 0; }

}  // namespace

bool height(const std::string& body, std::uint64_t& height) {
    try {
        const json doc = block::parse_untrusted(body);
        if (doc.is_object()) {
            auto it = doc.find("height");
            if (it == doc.end()) return false;
            if (negative(*it)) {
                height = 0;
                return false;
            }
            height = block::canonical::as_unsigned(*it);  // throws for a non-number: plain text then
            return true;
        }
        if (doc.is_number_integer()) {
            if (negative(doc)) {
                height = 0;
                return false;
            }
            height = block::canonical::as_unsigned(doc);
            return true;
        }
        return false;
    } catch (...) {
    }
    const size_t first = body.find_first_not_of(" \t\n\v\f\r");
    if (first != std::string::npos && body[first] == '-') {
        height = 0;
        return false;
    }
    height = std::strtoull(body.c_str(), nullptr, 10);
    return height != 0;
}

bool block(const std::string& body, json& block) {
    try {
        block = block::parse_untrusted(body);
        return true;
    } catch (...) {
        return false;
    }
}

bool diff(const std::string& body, std::string& diff) {
    try {
        const json doc = block::parse_untrusted(body);
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

bool target(const std::string& diff, std::string& target, std::string& why) {
    std::string normalised = norm_hex_nopad_lower(diff);
    std::size_t digits = 0;
    for (char c : normalised) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (std::isxdigit(u)) {
            ++digits;
        } else if (!std::isspace(u)) {
            why = "target holds characters that are neither hex digits nor blanks";
            return false;
        }
    }
    if (digits > 64) {
        why = "target of " + std::to_string(digits) + " hex digits (at most 64)";
        return false;
    }
    // A blank beside a digit makes a pair of one digit: read so, fewer digits
    // can still make a number wider than a hash.
    const std::vector<unsigned char> bytes = hexToBytes(normalised);
    std::size_t first = 0;
    while (first < bytes.size() && bytes[first] == 0) ++first;
    if (bytes.size() - first > 32) {
        why = "target wider than 32 bytes once read pair by pair";
        return false;
    }
    target = std::move(normalised);
    return true;
}

bool mempool(const std::string& body, json& mempool) {
    try {
        json doc;
        if (block::json_text_depth(body) <= block::kMaxJsonDepth) {
            doc = json::parse(body);
        } else {
            // Too deep as a whole: read entry by entry, so that one entry
            // nested too deeply (never parsed, kept as a discarded value) does
            // not cost the others.
            std::vector<std::string_view> entries;
            if (!block::split_json_array(body, entries)) return false;
            doc = json::array();
            for (std::string_view e : entries)
                doc.push_back(block::json_text_depth(e) > kMaxEntryDepth ? json(json::value_t::discarded) : json::parse(e));
        }
        mempool = doc.is_array() ? std::move(doc) : json::array();
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace node_reply

}  // namespace quorlen::node
