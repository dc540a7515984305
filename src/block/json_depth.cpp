#include "block/json_depth.h"

#include <stdexcept>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

namespace quorlen::block {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Walks the bytes of a JSON text: calls `onByte(index, depthBefore)` for
// every byte outside strings, keeping track of strings and escapes.
template <class F>
void scan(std::string_view text, F&& onByte) {
    bool inString = false, escaped = false;
    std::size_t depth = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
            continue;
        }
        if (!onByte(i, depth)) return;
        if (c == '"') inString = true;
        else if (c == '[' || c == '{') ++depth;
        else if ((c == ']' || c == '}') && depth > 0) --depth;
    }
}

}  // namespace

std::size_t json_text_depth(std::string_view text) {
    std::size_t deepest = 0;
    scan(text, [&](std::size_t i, std::size_t depth) {
        const char c = text[i];
        if ((c == '[' || c == '{') && depth + 1 > deepest) deepest = depth + 1;
        return true;
    });
    return deepest;
}

std::size_t json_depth(const nlohmann::json& value) {
    std::size_t deepest = 0;
    std::vector<std::pair<const nlohmann::json*, std::size_t>> todo{{&value, 0}};
    while (!todo.empty()) {
        auto [v, above] = todo.back();
        todo.pop_back();
        if (!v->is_structured()) continue;
        if (above + 1 > deepest) deepest = above + 1;
        for (const auto& child : *v) todo.emplace_back(&child, above + 1);
    }
    return deepest;
}

nlohmann::json parse_untrusted(std::string_view text, std::size_t maxDepth) {
    if (json_text_depth(text) > maxDepth)
        throw std::runtime_error("nested deeper than " + std::to_string(maxDepth) + " levels");
    return nlohmann::json::parse(text);
}

bool split_json_array(std::string_view text, std::vector<std::string_view>& elements) {
    elements.clear();
    std::size_t begin = std::string_view::npos, closed = std::string_view::npos;
    bool opened = false, ok = true;
    scan(text, [&](std::size_t i, std::size_t depth) {
        const char c = text[i];
        if (depth == 0) {
            if (isBlank(c)) return true;
            if (!opened && c == '[' && closed == std::string_view::npos) {
                opened = true;
                return true;
            }
            ok = false;  // anything else outside the one array
            return false;
        }
        if (depth == 1 && (c == ',' || c == ']')) {
            if (begin != std::string_view::npos) {
                std::size_t end = i;
                while (end > begin && isBlank(text[end - 1])) --end;
                elements.push_back(text.substr(begin, end - begin));
            } else if (c == ',' || !elements.empty()) {
                ok = false;  // an empty element
            }
            begin = std::string_view::npos;
            if (c == ']') closed = i;
            return ok;
        }
        if (begin == std::string_view::npos && !isBlank(c)) begin = i;
        return true;
    });
    return ok && opened && closed != std::string_view::npos;
}

}  // namespace quorlen::block
