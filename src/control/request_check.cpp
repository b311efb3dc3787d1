#include "control/request_check.h"

#include <cstring>

namespace {
// Position just past the first occurrence of end at or after from, or size when absent.
size_t skip_past(const char* data, size_t size, size_t from, const char* end) {
    size_t n = strlen(end);
    for (size_t i = from; i + n <= size; ++i)
        if (memcmp(data + i, end, n) == 0)
            return i + n;
    return size;
}

bool starts_with(const char* data, size_t size, size_t at, const char* text) {
    size_t n = strlen(text);
    return at + n <= size && memcmp(data + at, text, n) == 0;
}
}  // namespace

BodyVerdict check_request_body(const char* data, size_t size) {
    if (memchr(data, '\0', size))
        return BodyVerdict::nul_byte;
    int depth = 0;
    int elements = 0;
    size_t i = 0;
    while (i < size) {
        if (data[i] != '<') {
            ++i;
            continue;
        }
        // In well-formed XML every '<' starts markup: text and attribute values cannot
        // hold one.
        if (starts_with(data, size, i, "<!--")) {
            i = skip_past(data, size, i + 4, "-->");
        } else if (starts_with(data, size, i, "<![CDATA[")) {
            i = skip_past(data, size, i + 9, "]]>");
        } else if (starts_with(data, size, i, "<!")) {
            return BodyVerdict::declaration;
        } else if (starts_with(data, size, i, "<?")) {
            i = skip_past(data, size, i + 2, "?>");
        } else if (starts_with(data, size, i, "</")) {
            if (depth > 0)
                --depth;
            i += 2;
        } else {
            if (++depth > max_xml_depth)
                return BodyVerdict::too_deep;
            if (++elements > max_xml_elements)
                return BodyVerdict::too_many;
            // To the tag's end; a '>' inside a quoted attribute value does not end it.
            // A '<' before the end is new markup (the parser stops there anyway).
            char quote = 0;
            for (++i; i < size && data[i] != '<'; ++i) {
                char c = data[i];
                if (quote) {
                    if (c == quote)
                        quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    if (data[i - 1] == '/')
                        --depth;  // <empty/>
                    ++i;
                    break;
                }
            }
        }
    }
    return BodyVerdict::ok;
}

static_assert(max_xml_depth == 64 && max_xml_elements == 4096, "the texts below name them");

const char* body_verdict_text(BodyVerdict verdict) {
    switch (verdict) {
        case BodyVerdict::ok:
            return "accepted";
        case BodyVerdict::too_deep:
            return "XML nests deeper than 64 elements";
        case BodyVerdict::too_many:
            return "XML holds more than 4096 elements";
        case BodyVerdict::declaration:
            return "XML declarations (<!DOCTYPE, <!ENTITY) are refused";
        case BodyVerdict::nul_byte:
            return "XML holds a NUL byte (only UTF-8 is accepted)";
    }
    return "refused";
}
