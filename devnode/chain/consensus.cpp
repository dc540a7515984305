#include "consensus.h"

#include <argon2.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "hexbytes.h"

namespace consensus {

const char* const kDeveloperWallet = "03f3838b998d6d1cd94137a1a090c45e4d7283eecb4a0086cb274715bb1a5bed41";

namespace {

using nlohmann::json;

struct Malformed {
    std::string why;
};

// JSON string contents as the chain writes them: '"' and '\' escaped,
// control bytes as \u00xx, everything else as it is.
void putString(std::string& out, const json& v, const char* name) {
    if (!v.is_string()) throw Malformed{std::string(name) + " is not a string"};
    static const char* hex = "0123456789abcdef";
    out += '"';
    for (unsigned char c : v.get_ref<const std::string&>()) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += char(c);
        }
    }
    out += '"';
}

void putNumber(std::string& out, const json& v, const char* name) {
    std::uint64_t n;
    if (v.is_number_unsigned()) n = v.get<std::uint64_t>();
    else if (v.is_number_integer()) n = static_cast<std::uint64_t>(v.get<std::int64_t>());
    else if (v.is_number_float() && v.get<double>() >= 0 && v.get<double>() < 1.8e19)
        n = static_cast<std::uint64_t>(v.get<double>());
    else throw Malformed{std::string(name) + " is not a number"};
    out += std::to_string(n);
}

const json& member(const json& o, const char* name) {
    if (!o.is_object()) throw Malformed{"not an object"};
    auto it = o.find(name);
    if (it == o.end()) throw Malformed{std::string("missing ") + name};
    return *it;
}

void putTransaction(std::string& out, const json& tx) {
    out += "{\"sender\":";
    putString(out, member(tx, "sender"), "sender");
    out += ",\"receiver\":";
    putString(out, member(tx, "receiver"), "receiver");
    out += ",\"amount\":";
    putNumber(out, member(tx, "amount"), "amount");
    out += ",\"signature\":";
    putString(out, member(tx, "signature"), "signature");
    out += ",\"nonce\":";
    putNumber(out, member(tx, "nonce"), "nonce");
    out += ",\"timestamp\":";
    putNumber(out, member(tx, "timestamp"), "timestamp");
    auto present = [&](const char* name) {
        auto it = tx.find(name);
        return it != tx.end() && !it->is_null();
    };
    if (present("unlock")) {
        out += ",\"unlock\":";
        putNumber(out, tx["unlock"], "unlock");
    }
    if (present("token")) {
        out += ",\"token\":";
        putString(out, tx["token"], "token");
    }
    if (present("mint")) {
        out += ",\"mint\":";
        try {
            out += tx["mint"].dump();
        } catch (const std::exception&) {
            throw Malformed{"mint cannot be written"};
        }
    }
    out += '}';
}

std::vector<unsigned char> padded(const std::vector<unsigned char>& b, size_t len) {
    std::vector<unsigned char> out(len - b.size(), 0);
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

// Hex of even length (a leading zero added when odd); empty when not hex.
std::vector<unsigned char> numberBytes(std::string hex) {
    if (hex.size() % 2) hex.insert(hex.begin(), '0');
    return hex_bytes(hex);
}

}  // namespace

std::optional<std::string> transaction_text(const nlohmann::json& tx, std::string* why) {
    try {
        std::string out;
        putTransaction(out, tx);
        return out;
    } catch (const Malformed& m) {
        if (why) *why = m.why;
        return std::nullopt;
    }
}

std::optional<std::string> block_text(const nlohmann::json& block, std::string* why) {
    try {
        std::string out = "{\"timestamp\":";
        putNumber(out, member(block, "timestamp"), "timestamp");
        out += ",\"transactions\":[";
        const json& txs = member(block, "transactions");
        if (!txs.is_array()) throw Malformed{"transactions is not an array"};
        for (size_t i = 0; i < txs.size(); ++i) {
            if (i) out += ',';
            putTransaction(out, txs[i]);
        }
        out += "],\"prev_hash\":";
        putString(out, member(block, "prev_hash"), "prev_hash");
        out += ",\"nonce\":";
        putNumber(out, member(block, "nonce"), "nonce");
        out += ",\"signature\":\"\",\"proposer\":";
        putString(out, member(block, "proposer"), "proposer");
        out += ",\"hash\":\"\",\"diff\":";
        putString(out, member(block, "diff"), "diff");
        out += '}';
        return out;
    } catch (const Malformed& m) {
        if (why) *why = m.why;
        return std::nullopt;
    }
}

std::string pow_hash(const std::string& text) {
    static const char kSalt[] = "quorlen-argon2-salt";
    unsigned char out[32];
    argon2id_hash_raw(1, 16384, 2, text.data(), text.size(), kSalt, sizeof kSalt - 1, out, sizeof out);
    return to_hex(out, sizeof out);
}

std::string normalised(const std::string& hex) {
    std::string s = hex;
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    const size_t first = s.find_first_not_of('0');
    return first == std::string::npos ? "0" : s.substr(first);
}

bool is_target_text(const std::string& text) {
    return !text.empty() && text.size() <= 64 && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

bool hash_within_target(const std::string& hash, const std::string& target) {
    const auto h = numberBytes(hash), t = numberBytes(target);
    if ((h.empty() && !hash.empty()) || (t.empty() && !target.empty())) return false;
    const size_t len = std::max(h.size(), t.size());
    return padded(h, len) <= padded(t, len);
}

std::uint64_t reward(std::uint64_t height) {
    return static_cast<std::uint64_t>(std::floor(1e7L * std::exp(-static_cast<long double>(height) / 1e6L) + 0.5L));
}

std::uint64_t developer_share(std::uint64_t total) {
    return static_cast<std::uint64_t>((static_cast<unsigned __int128>(total) * 7 + 50) / 100);
}

std::string retarget(const std::string& target, double seconds, double wantedSeconds) {
    std::vector<unsigned char> t = padded(numberBytes(target), 32);
    if (t.size() != 32) t.assign(32, 0xff);
    const double ratio = std::clamp(seconds / std::max(wantedSeconds, 0.001), 0.5, 2.0);
    // t * num / den, on the 32 bytes, with a 16-bit fraction.
    const std::uint32_t num = static_cast<std::uint32_t>(ratio * 65536), den = 65536;
    std::vector<std::uint32_t> wide(33, 0);  // one byte of headroom
    std::uint32_t carry = 0;
    for (int i = 31; i >= 0; --i) {
        const std::uint64_t v = std::uint64_t(t[size_t(i)]) * num + carry;
        wide[size_t(i) + 1] = std::uint32_t(v & 0xff);
        carry = std::uint32_t(v >> 8);
    }
    // The carry holds the bytes above the top; divide everything by den.
    std::vector<unsigned char> out(32);
    std::uint64_t rem = carry;
    bool overflow = false;
    if (rem / den > 0) overflow = true;
    rem %= den;
    for (size_t i = 1; i <= 32; ++i) {
        const std::uint64_t v = (rem << 8) | wide[i];
        out[i - 1] = static_cast<unsigned char>(v / den);
        rem = v % den;
    }
    if (overflow) out.assign(32, 0xff);
    if (std::all_of(out.begin(), out.end(), [](unsigned char c) { return c == 0; })) out[31] = 1;
    return to_hex(out.data(), out.size());
}

}  // namespace consensus
