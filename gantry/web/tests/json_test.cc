#include "gantry/web/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>

namespace Gantry::Web {
namespace {

TEST(JsonWriter, EscapesStringsAndKeepsValidUtf8) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain", "\"plain\""},
        {"quote \" backslash \\ slash /", R"("quote \" backslash \\ slash /")"},
        {"\n\r\t\x01\x1f\x7f", R"("\n\r\t\u0001\u001f\u007f")"},
        {std::string("nul\0in", 6), R"("nul\u0000in")"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xBA",
         "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xBA\""},
        // A stray continuation, a truncated sequence, an overlong '/', a surrogate, past U+10FFFF.
        {"a\x80z", "\"a\xEF\xBF\xBDz\""},
        {"\xE2\x82", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xF4\x90\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
    };
    for (const auto& c : cases) {
        std::string out;
        append_json_string(out, c.in);
        EXPECT_EQ(out, c.out) << c.in;
    }
}

// Commas, nesting and numbers, read back by Python's json module.
TEST(JsonWriter, WritesDocumentsAParserAccepts) {
    JsonWriter json;
    json.begin_object().key("a").begin_array();
    json.value(1).value(int64_t{-2}).value(std::numeric_limits<uint64_t>::max()).value(0.5);
    json.value(std::nan("")).value(HUGE_VAL).value(true).null().begin_object().end_object();
    json.begin_array().end_array().end_array();
    json.key("b").begin_object().key("c").value("x\xFF").key("d").value(false).end_object();
    json.end_object();
    EXPECT_EQ(json.text(), R"({"a":[1,-2,18446744073709551615,0.5,null,null,true,null,{},[]],)"
                           "\"b\":{\"c\":\"x\xEF\xBF\xBD\",\"d\":false}}");

    const std::string path = ::testing::TempDir() + "json_test.json";
    std::ofstream(path) << json.text();
    const std::string check =
        "/usr/bin/python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); "
        "sys.exit(0 if d[\"a\"][2]==2**64-1 and d[\"b\"][\"c\"]==\"x\\ufffd\" else 1)' " +
        path;
    EXPECT_EQ(std::system(check.c_str()), 0) << json.text();
}

}  // namespace
}  // namespace Gantry::Web
