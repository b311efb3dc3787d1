// What the control service refuses before the XML parser sees it, and how many
// connections it lets one client hold.

#include "control/request_check.h"

#include <gtest/gtest.h>

#include <string>

#include "control/client_limits.h"

namespace {

std::string repeat(const std::string& text, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += text;
    return out;
}

std::string nested(int depth) {
    return repeat("<a>", depth) + "x" + repeat("</a>", depth);
}

const std::string call_head =
    "<?xml version=\"1.0\"?><methodCall><methodName>set_title</methodName><params>";

TEST(RequestCheck, Table) {
    const std::string utf16("<\0?\0x\0m\0l\0", 10);
    struct Row {
        const char* what;
        std::string body;
        BodyVerdict verdict;
    } rows[] = {
        {"a real call",
         call_head + "<param><value><double>1.5</double></value></param>" +
             "</params></methodCall>",
         BodyVerdict::ok},
        {"empty", "", BodyVerdict::ok},
        {"64 deep", nested(64), BodyVerdict::ok},
        {"65 deep", nested(65), BodyVerdict::too_deep},
        {"the crash: 4000 unclosed", call_head + "<param><value>" + repeat("<a>", 4000),
         BodyVerdict::too_deep},
        {"empty element at 64", repeat("<a>", 63) + "<b/>", BodyVerdict::ok},
        {"empty element at 65", repeat("<a>", 64) + "<b/>", BodyVerdict::too_deep},
        {"closed siblings stay shallow", repeat("<a>x</a>", 1000), BodyVerdict::ok},
        {"stray end tags make no room", repeat("</a>", 10) + repeat("<a>", 65),
         BodyVerdict::too_deep},
        {"4096 elements", repeat("<a/>", 4096), BodyVerdict::ok},
        {"4097 elements", repeat("<a/>", 4097), BodyVerdict::too_many},
        {"'>' in an attribute value", repeat("<a x=\"/>\" y='>'>", 65), BodyVerdict::too_deep},
        {"'<' in an attribute value starts markup", repeat("<a x=\"", 65), BodyVerdict::too_deep},
        {"DOCTYPE", "<?xml version=\"1.0\"?><!DOCTYPE m [<!ENTITY e \"x\">]><m>&e;</m>",
         BodyVerdict::declaration},
        {"lower-case doctype", "<!doctype m><m/>", BodyVerdict::declaration},
        {"ENTITY alone", "<m><!ENTITY e \"x\"></m>", BodyVerdict::declaration},
        {"comment hides its markup", "<m><!--" + repeat("<a>", 100) + "--></m>", BodyVerdict::ok},
        {"CDATA hides its markup", "<m><![CDATA[" + repeat("<a>", 100) + "]]></m>",
         BodyVerdict::ok},
        {"declaration after a comment", "<!-- x --><!DOCTYPE m>", BodyVerdict::declaration},
        {"processing instruction hides its markup", "<?pi " + repeat("<a>", 100) + "?><m/>",
         BodyVerdict::ok},
        {"NUL byte", std::string("<m>\0</m>", 8), BodyVerdict::nul_byte},
        {"UTF-16", utf16, BodyVerdict::nul_byte},
    };
    for (const Row& row : rows)
        EXPECT_EQ(check_request_body(row.body.data(), row.body.size()), row.verdict) << row.what;
}

TEST(ClientLimits, EachAddressAFairShare) {
    ClientLimits limits(4, 8);
    // Each row: address, then whether it gets one more place.
    const std::pair<uint32_t, bool> rows[] = {
        {1, true}, {1, true},  {1, true},  {1, true}, {1, false},  // alone: its own limit
        {2, true}, {2, true},  {2, false},  // would hold more than stays free (3 of 1)
        {3, true}, {4, false},              // holding nothing: half of what is free
    };
    for (const auto& [address, admitted] : rows)
        EXPECT_EQ(limits.admit(address), admitted) << address;
    limits.release(1);
    EXPECT_FALSE(limits.admit(1));
    EXPECT_TRUE(limits.admit(4)) << "a place given back is free again";
    // Bytes as places.
    ClientLimits bytes(100, 100);
    EXPECT_TRUE(bytes.admit(1, 40));
    EXPECT_FALSE(bytes.admit(1, 20));
    EXPECT_TRUE(bytes.admit(1, 10)) << "alone: half";
    EXPECT_FALSE(bytes.admit(2, 30));
    EXPECT_TRUE(bytes.admit(2, 25));
}

}  // namespace
