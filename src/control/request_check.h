// Checks an XML-RPC request body before the XML parser sees it, so that what the parser
// builds is always small: the library frees its element tree recursively and expands
// DOCTYPE entities without a limit of its own.
#pragma once

#include <cstddef>

constexpr int max_xml_depth = 64;
constexpr int max_xml_elements = 4096;  // a real call has a few dozen

enum class BodyVerdict {
    ok,
    too_deep,     // an element nests deeper than max_xml_depth
    too_many,     // more than max_xml_elements elements
    declaration,  // <!DOCTYPE, <!ENTITY or any other <! declaration
    nul_byte,     // the only way to a UTF-16 or UTF-32 body, which the scan cannot read
};

// Scans the body's markup. Counts every start tag, so it may count more than a parser
// would on malformed input, never less. Comments and CDATA sections are skipped.
BodyVerdict check_request_body(const char* data, size_t size);

// A short English reason for a refusal, for the fault returned to the client.
const char* body_verdict_text(BodyVerdict verdict);
