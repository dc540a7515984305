#include "block/json_text.h"

namespace {

const char kDigits[] = "0123456789abcdef";

}  // namespace

void json_escape(std::string& out, std::string_view text) {
    size_t run = 0;  // start of the current run of bytes copied unchanged
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text.data() + run, i - run);
        run = i + 1;
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else {
            const char esc[6] = {'\\', 'u', '0', '0', kDigits[c >> 4], kDigits[c & 0x0f]};
            out.append(esc, 6);
        }
    }
    out.append(text.data() + run, text.size() - run);
}
