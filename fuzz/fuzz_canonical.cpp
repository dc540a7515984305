// The canonical text and the submitted document on arbitrary JSON: no crash,
// and whenever a document can be written, blanking its signature and hash
// and writing it again gives back the same canonical text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "block/canonical.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const json doc = json::parse(data, data + size, nullptr, false);
    if (doc.is_discarded()) return 0;
    std::string text;
    try {
        text = canonical_msg(doc);
    } catch (const std::exception&) {
        return 0;  // the library's type or range error: refused, not crashed
    }
    const json parsed = json::parse(text, nullptr, false);
    if (parsed.is_discarded()) std::abort();  // what we write must be JSON
    const std::string submitted = build_block_for_submit(parsed, "30440220abcd", "1a2b");
    json back = json::parse(submitted, nullptr, false);
    if (back.is_discarded()) std::abort();
    back["signature"] = "";
    back["hash"] = "";
    if (canonical_msg(back) != text) std::abort();
    if (canonical_msg(parsed) != text) std::abort();
    return 0;
}
