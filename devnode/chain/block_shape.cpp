#include "block_shape.h"

#include <string_view>

using nlohmann::json;

namespace {

enum class Kind { Unsigned, String, Array, Any };
struct Member {
    std::string_view name;
    Kind kind;
    bool required;  // optional members may also be null
};

constexpr Member kBlockMembers[] = {
    {"timestamp", Kind::Unsigned, true}, {"transactions", Kind::Array, true}, {"prev_hash", Kind::String, true},
    {"nonce", Kind::Unsigned, true},     {"signature", Kind::String, true},   {"proposer", Kind::String, true},
    {"hash", Kind::String, true},        {"diff", Kind::String, true},
};
constexpr Member kTransactionMembers[] = {
    {"sender", Kind::String, true},     {"receiver", Kind::String, true}, {"amount", Kind::Unsigned, true},
    {"signature", Kind::String, true},  {"nonce", Kind::Unsigned, true},  {"timestamp", Kind::Unsigned, true},
    {"unlock", Kind::Unsigned, false},  {"token", Kind::String, false},   {"mint", Kind::Any, false},
};

const char* kindName(Kind k) {
    switch (k) {
        case Kind::Unsigned: return "a non-negative integer below 2^64";
        case Kind::String: return "a string";
        case Kind::Array: return "an array";
        case Kind::Any: break;
    }
    return "a value";
}

bool fits(const json& v, Kind k) {
    switch (k) {
        case Kind::Unsigned: return is_unsigned_integer(v);
        case Kind::String: return v.is_string();
        case Kind::Array: return v.is_array();
        case Kind::Any: return true;
    }
    return false;
}

template <size_t N>
std::string shapeFault(const json& doc, const Member (&members)[N], const char* what) {
    if (!doc.is_object()) return std::string(what) + " is a JSON object";
    for (const Member& m : members) {
        auto it = doc.find(m.name);
        if (it == doc.end()) {
            if (m.required) return "missing " + std::string(m.name);
            continue;
        }
        if (!m.required && it->is_null()) continue;
        if (!fits(*it, m.kind)) return std::string(m.name) + " is not " + kindName(m.kind);
    }
    for (auto it = doc.begin(); it != doc.end(); ++it) {
        bool known = false;
        for (const Member& m : members) known = known || m.name == it.key();
        if (!known)  // quoted and cut short: the name came from a peer
            return "unknown member " +
                   json(it.key().substr(0, 40)).dump(-1, ' ', false, json::error_handler_t::replace);
    }
    return "";
}

}  // namespace

bool is_unsigned_integer(const json& v) {
    return v.is_number_unsigned() || (v.is_number_integer() && v.get<std::int64_t>() >= 0);
}

std::string transaction_shape_fault(const json& tx) { return shapeFault(tx, kTransactionMembers, "a transaction"); }

std::string block_shape_fault(const json& block) {
    if (std::string why = shapeFault(block, kBlockMembers, "a block"); !why.empty()) return why;
    const json& txs = block["transactions"];
    for (size_t i = 0; i < txs.size(); ++i)
        if (std::string why = transaction_shape_fault(txs[i]); !why.empty())
            return "transaction " + std::to_string(i) + ": " + why;
    return "";
}
