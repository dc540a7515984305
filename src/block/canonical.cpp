#include "block/canonical.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "block/hex.h"
#include "block/json_text.h"

namespace quorlen::block {

namespace canonical {

std::uint64_t as_unsigned(const json& value) {
    if (value.is_number_unsigned()) return value.get<std::uint64_t>();
    if (value.is_number_integer()) return static_cast<std::uint64_t>(value.get<std::int64_t>());
    if (value.is_number_float()) {
        // Truncation of a float outside the 64-bit range is undefined in C++;
        // refuse those instead of writing an arbitrary number.
        const double d = std::trunc(value.get<double>());
        if (d >= 0 && d < 18446744073709551616.0) return static_cast<std::uint64_t>(d);
        if (d < 0 && d >= -9223372036854775808.0)
            return static_cast<std::uint64_t>(static_cast<std::int64_t>(d));
        throw std::domain_error("number not representable as unsigned 64-bit: " + value.dump());
    }
    throw json::type_error::create(302, std::string("type must be number, but is ") + value.type_name(),
                                   &value);
}

void append_unsigned(std::string& out, std::uint64_t value) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, res.ptr);
}

void append_quoted(std::string& out, const json& value) {
    if (!value.is_string())
        throw json::type_error::create(302, std::string("type must be string, but is ") + value.type_name(),
                                       &value);
    out.push_back('"');
    json_escape(out, value.get_ref<const std::string&>());
    out.push_back('"');
}

namespace {

// The optional member `name`, or null when it is absent or null.
const json* optionalMember(const json& tx, const char* name) {
    auto it = tx.find(name);
    if (it == tx.end() || it->is_null()) return nullptr;
    return &*it;
}

}  // namespace

void append_transaction(std::string& out, const json& tx) {
    out += "{\"sender\":";
    append_quoted(out, tx.at("sender"));
    out += ",\"receiver\":";
    append_quoted(out, tx.at("receiver"));
    out += ",\"amount\":";
    append_unsigned(out, as_unsigned(tx.at("amount")));
    out += ",\"signature\":";
    append_quoted(out, tx.at("signature"));
    out += ",\"nonce\":";
    append_unsigned(out, as_unsigned(tx.at("nonce")));
    out += ",\"timestamp\":";
    append_unsigned(out, as_unsigned(tx.at("timestamp")));
    if (const json* unlock = optionalMember(tx, "unlock")) {
        out += ",\"unlock\":";
        append_unsigned(out, as_unsigned(*unlock));
    }
    if (const json* token = optionalMember(tx, "token")) {
        out += ",\"token\":";
        append_quoted(out, *token);
    }
    if (const json* mint = optionalMember(tx, "mint")) {
        out += ",\"mint\":";
        out += mint->dump();
    }
    out.push_back('}');
}

void append_transactions(std::string& out, const json& transactions) {
    // size()/at() on purpose: null and {} yield nothing, any other non-array
    // value throws "cannot use at() with ...".
    for (size_t i = 0; i < transactions.size(); ++i) {
        if (i) out.push_back(',');
        append_transaction(out, transactions.at(i));
    }
}

}  // namespace canonical

namespace {

std::string writeBlock(const json& block, std::string_view signature, std::string_view hash) {
    using namespace canonical;
    std::string out;
    out.reserve(512);
    out += "{\"timestamp\":";
    append_unsigned(out, as_unsigned(block.at("timestamp")));
    out += ",\"transactions\":[";
    append_transactions(out, block.at("transactions"));
    out += "],\"prev_hash\":";
    append_quoted(out, block.at("prev_hash"));
    out += ",\"nonce\":";
    append_unsigned(out, as_unsigned(block.at("nonce")));
    out += ",\"signature\":\"";
    json_escape(out, signature);
    out += "\",\"proposer\":";
    append_quoted(out, block.at("proposer"));
    out += ",\"hash\":\"";
    json_escape(out, hash);
    out += "\",\"diff\":";
    append_quoted(out, block.at("diff"));
    out.push_back('}');
    return out;
}

}  // namespace

std::string block_event_message(const std::string& document) {
    std::string msg;
    msg.reserve(document.size() + 26);
    msg += "{\"event\":\"block\",\"data\":";
    msg += document;
    msg.push_back('}');
    return msg;
}

}  // namespace quorlen::block

using namespace quorlen::block;

std::string canonical_msg(const json& block) { return writeBlock(block, {}, {}); }

std::string build_block_for_submit(const json& block, const std::string& signature,
                                   const std::string& hash) {
    return writeBlock(block, signature, hash);
}
