#include "gantry/text/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>

namespace Text = Gantry::Text;

TEST(TextNumbers, FormattingAndParsing) {
    EXPECT_EQ(Text::to_decimal(-42), "-42");
    EXPECT_EQ(Text::to_decimal64(18446744073709551615ULL), "18446744073709551615");
    EXPECT_EQ(Text::to_hex(0xBEEFu), "beef");
    EXPECT_EQ(Text::to_hex64(0x123456789abcdef0ULL), "123456789abcdef0");
    // Leading digits are taken; without them the value is 0.
    EXPECT_EQ(Text::parse_int("  17abc"), 17);
    EXPECT_EQ(Text::parse_int("-5"), -5);
    EXPECT_EQ(Text::parse_int("abc"), 0);
    EXPECT_EQ(Text::parse_int(""), 0);
    EXPECT_EQ(Text::parse_int("99999999999"), INT32_MAX);
    EXPECT_EQ(Text::parse_uint64("18446744073709551615"), 18446744073709551615ULL);
    EXPECT_EQ(Text::parse_uint64("-1"), 0u);
    EXPECT_DOUBLE_EQ(Text::parse_double("2.5e1x"), 25.0);
    EXPECT_EQ(Text::parse_hex("0x1F"), 31u);
    EXPECT_EQ(Text::parse_hex("zz"), 0u);
    EXPECT_EQ(Text::parse_hex64("123456789abcdef0"), 0x123456789abcdef0ULL);
    // Views need not be terminated.
    EXPECT_EQ(Text::parse_int(std::string_view("12345", 2)), 12);
    EXPECT_EQ(Text::parse_hex(std::string_view("ffff", 1)), 15u);
}

TEST(TextNumbers, HexBytesRoundTripAndBound) {
    const unsigned char bytes[] = {0x00, 0x7f, 0xa5, 0xff};
    EXPECT_EQ(Text::bytes_to_hex(bytes, sizeof bytes), "007fa5ff");
    unsigned char back[4] = {};
    EXPECT_EQ(Text::hex_to_bytes("007fa5ff", back, sizeof back), 4u);
    EXPECT_EQ(std::memcmp(back, bytes, 4), 0);
    // Stops at the buffer's end, at a foreign character, and at an odd digit.
    unsigned char two[2] = {};
    EXPECT_EQ(Text::hex_to_bytes("0102030405", two, 2), 2u);
    EXPECT_EQ(two[1], 0x02);
    EXPECT_EQ(Text::hex_to_bytes("01zz03", back, 4), 1u);
    EXPECT_EQ(Text::hex_to_bytes("abc", back, 4), 1u);
}

TEST(TextFormat, FixedPointCaseAndSubstitution) {
    EXPECT_EQ(Text::format_fixed(7.25, 6, 3, true), "07.250");  // as the log timestamp uses it
    EXPECT_EQ(Text::format_fixed(59.9994, 6, 3, true), "59.999");
    EXPECT_EQ(Text::format_fixed(3.14159, 8, 2, false), "    3.14");
    EXPECT_EQ(Text::format_fixed(1e300, 0, 0, false).size(), 301u);
    EXPECT_EQ(Text::to_upper("abc-Z\xe9"), "ABC-Z\xe9");  // bytes only
    EXPECT_EQ(Text::to_lower("ABC-z"), "abc-z");
    // Non-overlapping, left to right.
    EXPECT_EQ(Text::substitute("aaaa", "aa", "b"), "bb");
    EXPECT_EQ(Text::substitute("%*L [%*L]", "%*L", "2"), "2 [2]");
    EXPECT_EQ(Text::substitute("abc", "", "x"), "abc");
    EXPECT_EQ(Text::substitute("abc", "abc", ""), "");
    EXPECT_EQ(Text::substitute("xax", "a", "aa"), "xaax");
}

TEST(TextUtf8, EveryLengthBoundary) {
    std::string out;
    for (uint32_t cp :
         {0x41, 0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0x10000, 0x1F600, 0x200000, 0x4000000})
        Text::append_utf8(out, cp), out += '|';
    EXPECT_EQ(out,
              "\x41|\x7f|\xc2\x80|\xdf\xbf|\xe0\xa0\x80|\xef\xbf\xbf|\xf0\x90\x80\x80|"
              "\xf0\x9f\x98\x80|\xf8\x88\x80\x80\x80|\xfc\x84\x80\x80\x80\x80|");
}

TEST(TextWildcard, ShellSemantics) {
    // Pattern and text, in pairs. "[abc": an unterminated set is literal.
    const char* matches[] = {"*",          "",
                             "",           "",
                             "/capture/*", "/capture/playlist",
                             "a?c",        "abc",
                             "*.ts",       "chan.2008.ts",
                             "a*b*c",      "axxbyybzc",
                             "[a-c]x",     "bx",
                             "[!a-c]x",    "dx",
                             "[]]",        "]",
                             "\\*",        "*",
                             "[abc",       "[abc"};
    const char* misses[] = {"",       "a",  "/capture/*", "/other/playlist",
                            "a?c",    "ac", "a*b*c",      "axxbyybz",
                            "[a-c]x", "dx", "[!a-c]x",    "ax",
                            "\\*",    "x",  "ABC",        "abc"};
    for (size_t i = 0; i < std::size(matches); i += 2)
        EXPECT_TRUE(Text::wildcard_match(matches[i], matches[i + 1])) << matches[i];
    for (size_t i = 0; i < std::size(misses); i += 2)
        EXPECT_FALSE(Text::wildcard_match(misses[i], misses[i + 1])) << misses[i];
    EXPECT_TRUE(Text::wildcard_match("A[B-C]?", "abx", false));
    // Exponential backtracking would never finish this.
    std::string pattern;
    for (int i = 0; i < 50; i++)
        pattern += "*a";
    EXPECT_FALSE(Text::wildcard_match(pattern + "*b", std::string(5000, 'a')));
}

TEST(TextBase64, Rfc4648VectorsLinesAndForeignCharacters) {
    Text::Base64 b64;
    const char* plain[] = {"", "f", "fo", "foo", "foob", "fooba", "foobar"};
    const char* coded[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    for (int i = 0; i < 7; i++) {
        EXPECT_EQ(b64.encode(plain[i]), coded[i]);
        EXPECT_EQ(b64.decode(coded[i]), plain[i]);
    }
    EXPECT_EQ(b64.encode("foobar", 4), "Zm9v\r\nYmFy\r\n");
    EXPECT_EQ(b64.decode("Zm9v\r\nYm Fy"), "foobar");
    Text::Base64 url('-', '_', '=');
    const std::string bytes("\xfb\xff", 2);
    EXPECT_EQ(url.encode(bytes), "-_8=");
    EXPECT_EQ(url.decode("-_8="), bytes);
    std::string all;
    for (int i = 0; i < 256; i++)
        all += static_cast<char>(i);
    EXPECT_EQ(b64.decode(b64.encode(all, 76)), all);
}
