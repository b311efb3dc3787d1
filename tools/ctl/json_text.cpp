// JSON texts for ftbridge-ctl's --json output.

#include "ctl/json_text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

// Length of the UTF-8 sequence that starts at p (n bytes left), 0 when it is not one.
namespace {
size_t utf8_length(const unsigned char* p, size_t n) {
    unsigned char c = p[0];
    size_t len = c < 0x80                 ? 1
                 : c >= 0xC2 && c <= 0xDF ? 2
                 : c >= 0xE0 && c <= 0xEF ? 3
                 : c >= 0xF0 && c <= 0xF4 ? 4
                                          : 0;
    if (len == 0 || len > n)
        return 0;
    // The second byte's range rules out overlong forms, surrogates and code points > 10FFFF.
    unsigned char lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
    unsigned char hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
    for (size_t k = 1; k < len; ++k) {
        if (p[k] < (k == 1 ? lo : 0x80) || p[k] > (k == 1 ? hi : 0xBF))
            return 0;
    }
    return len;
}
}  // namespace

// A JSON string: quotes, backslashes and control characters escaped, and each byte that is
// not part of valid UTF-8 replaced by U+FFFD, so the output is valid JSON whatever the text.
std::string json_string(const std::string& text) {
    std::string out = "\"";
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        size_t len = utf8_length(p + i, n - i);
        if (len == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out.append(text, i, len);
        }
        i += len;
    }
    return out + "\"";
}

// The shortest of 15 to 17 digits that reads back as the same double; JSON has no NaN or
// infinity, so such a value is null.
std::string json_number(double v) {
    if (!std::isfinite(v))
        return "null";
    char buf[32];
    for (int digits = 15; digits <= 17; ++digits) {
        snprintf(buf, sizeof buf, "%.*g", digits, v);
        if (strtod(buf, nullptr) == v)
            break;
    }
    return buf;
}
