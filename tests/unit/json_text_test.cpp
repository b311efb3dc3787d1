#include "ctl/json_text.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(JsonTextTest, StringsAreValidJsonWhateverTheirBytes) {
    const struct {
        std::string text, json;
    } rows[] = {
        {"Vandrel (C++)", "\"Vandrel (C++)\""},
        {"a\"b\\c/d", "\"a\\\"b\\\\c/d\""},
        {"\t\n\r\x01\x1f\x7f", "\"\\t\\n\\r\\u0001\\u001f\\u007f\""},
        {std::string("a\0b", 3), "\"a\\u0000b\""},
        {"Zelle \xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\xa7",
         "\"Zelle \xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\xa7\""},
        // Not UTF-8: a stray continuation, Latin-1, an overlong form, a surrogate, a code
        // point above U+10FFFF, a sequence cut short at the end.
        {"\x80", "\"\\ufffd\""},
        {"caf\xe9!", "\"caf\\ufffd!\""},
        {"\xc0\xaf", "\"\\ufffd\\ufffd\""},
        {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
        {"\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},
        {"x\xe2\x82", "\"x\\ufffd\\ufffd\""},
    };
    for (const auto& row : rows) EXPECT_EQ(json_string(row.text), row.json) << row.json;
}

TEST(JsonTextTest, NumbersReadBackExactlyAndNonFiniteIsNull) {
    for (double v : {0.0, 800.0, 0.1, -2.25, 1.0 / 3, 1e308, 5e-324, -1.0})
        EXPECT_EQ(strtod(json_number(v).c_str(), nullptr), v) << json_number(v);
    EXPECT_EQ(json_number(0.1), "0.1");
    EXPECT_EQ(json_number(NAN), "null");
    EXPECT_EQ(json_number(-INFINITY), "null");
}
