#include "bounded_json.h"

#include <algorithm>

int json_depth(std::string_view text, int limit) {
    int depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > deepest && (deepest = depth) > limit) break;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

int json_value_depth(const nlohmann::json& value) {
    if (!value.is_structured()) return 0;
    int deepest = 0;
    for (const auto& member : value) deepest = std::max(deepest, json_value_depth(member));
    return deepest + 1;
}

std::optional<nlohmann::json> parse_bounded(std::string_view text, std::string* why) {
    if (json_depth(text) > kMaxJsonDepth) {
        if (why) *why = "nested deeper than " + std::to_string(kMaxJsonDepth) + " levels";
        return std::nullopt;
    }
    try {
        return nlohmann::json::parse(text);
    } catch (const std::exception&) {
        if (why) *why = "not JSON";
        return std::nullopt;
    }
}
