// Writing JSON text by hand: the one escaping rule every hand-written
// string member follows.
#pragma once

#include <string>
#include <string_view>

// Appends the contents of a JSON string (without the quotes): '"' and '\\'
// are backslash-escaped, bytes below 0x20 become \u00xx, all else is copied.
void json_escape(std::string& out, std::string_view text);
