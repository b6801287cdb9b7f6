#include "gantry/text/text.h"

#include <gtest/gtest.h>

#include <cstring>

namespace Text = Gantry::Text;

TEST(TextNumbers, DecimalAndHexFormatting) {
    EXPECT_EQ(Text::to_decimal(-42), "-42");
    EXPECT_EQ(Text::to_decimal64(18446744073709551615ULL), "18446744073709551615");
    EXPECT_EQ(Text::to_hex(0xBEEFu), "beef");
    EXPECT_EQ(Text::to_hex64(0x123456789abcdef0ULL), "123456789abcdef0");
}

TEST(TextNumbers, ParsingTakesLeadingDigitsAndGivesZeroWithoutThem) {
    EXPECT_EQ(Text::parse_int("  17abc"), 17);
    EXPECT_EQ(Text::parse_int("-5"), -5);
    EXPECT_EQ(Text::parse_int("abc"), 0);
    EXPECT_EQ(Text::parse_int(""), 0);
    EXPECT_EQ(Text::parse_int("99999999999"), INT32_MAX);
    EXPECT_EQ(Text::parse_uint64("18446744073709551615"), 18446744073709551615ULL);
    EXPECT_EQ(Text::parse_uint64("-1"), 0u);
    EXPECT_DOUBLE_EQ(Text::parse_double("2.5e1x"), 25.0);
    EXPECT_EQ(Text::parse_hex("ff"), 255u);
    EXPECT_EQ(Text::parse_hex("0x1F"), 31u);
    EXPECT_EQ(Text::parse_hex("zz"), 0u);
    EXPECT_EQ(Text::parse_hex64("123456789abcdef0"), 0x123456789abcdef0ULL);
}

TEST(TextNumbers, StringViewsNeedNotBeTerminated) {
    std::string_view part = std::string_view("12345", 2);
    EXPECT_EQ(Text::parse_int(part), 12);
    EXPECT_EQ(Text::parse_hex(std::string_view("ffff", 1)), 15u);
}

TEST(TextNumbers, HexBytesRoundTripAndBound) {
    const unsigned char bytes[] = {0x00, 0x7f, 0xa5, 0xff};
    std::string hex = Text::bytes_to_hex(bytes, sizeof bytes);
    EXPECT_EQ(hex, "007fa5ff");
    unsigned char back[4] = {};
    EXPECT_EQ(Text::hex_to_bytes(hex, back, sizeof back), 4u);
    EXPECT_EQ(std::memcmp(back, bytes, 4), 0);
    unsigned char two[2] = {};
    EXPECT_EQ(Text::hex_to_bytes("0102030405", two, 2), 2u);
    EXPECT_EQ(two[1], 0x02);
    EXPECT_EQ(Text::hex_to_bytes("01zz03", back, 4), 1u);
    EXPECT_EQ(Text::hex_to_bytes("abc", back, 4), 1u);  // odd digit left over
}

TEST(TextFormat, FixedPointAsTheLogTimestampUsesIt) {
    EXPECT_EQ(Text::format_fixed(7.25, 6, 3, true), "07.250");
    EXPECT_EQ(Text::format_fixed(59.9994, 6, 3, true), "59.999");
    EXPECT_EQ(Text::format_fixed(3.14159, 8, 2, false), "    3.14");
    EXPECT_EQ(Text::format_fixed(1e300, 0, 0, false).size(), 301u);
}

TEST(TextCase, FoldsBytesOnly) {
    EXPECT_EQ(Text::to_upper("abc-Z\xe9"), "ABC-Z\xe9");
    EXPECT_EQ(Text::to_lower("ABC-z"), "abc-z");
}

TEST(TextUtf8, EveryLengthBoundary) {
    struct Case {
        uint32_t cp;
        const char* bytes;
    } cases[] = {
        {0x41, "\x41"},
        {0x7F, "\x7f"},
        {0x80, "\xc2\x80"},
        {0xE9, "\xc3\xa9"},
        {0x7FF, "\xdf\xbf"},
        {0x800, "\xe0\xa0\x80"},
        {0x20AC, "\xe2\x82\xac"},
        {0xFFFF, "\xef\xbf\xbf"},
        {0x10000, "\xf0\x90\x80\x80"},
        {0x1F600, "\xf0\x9f\x98\x80"},
        {0x200000, "\xf8\x88\x80\x80\x80"},
        {0x4000000, "\xfc\x84\x80\x80\x80\x80"},
    };
    for (const auto& c : cases) {
        std::string out = "x";
        Text::append_utf8(out, c.cp);
        EXPECT_EQ(out, std::string("x") + c.bytes) << std::hex << c.cp;
    }
}

TEST(TextSubstitute, NonOverlappingLeftToRight) {
    EXPECT_EQ(Text::substitute("aaaa", "aa", "b"), "bb");
    EXPECT_EQ(Text::substitute("%*L [%*L]", "%*L", "2"), "2 [2]");
    EXPECT_EQ(Text::substitute("abc", "", "x"), "abc");
    EXPECT_EQ(Text::substitute("abc", "abc", ""), "");
    EXPECT_EQ(Text::substitute("xax", "a", "aa"), "xaax");
}

TEST(TextWildcard, ShellSemantics) {
    EXPECT_TRUE(Text::wildcard_match("*", ""));
    EXPECT_TRUE(Text::wildcard_match("", ""));
    EXPECT_FALSE(Text::wildcard_match("", "a"));
    EXPECT_TRUE(Text::wildcard_match("/capture/*", "/capture/playlist"));
    EXPECT_FALSE(Text::wildcard_match("/capture/*", "/other/playlist"));
    EXPECT_TRUE(Text::wildcard_match("a?c", "abc"));
    EXPECT_FALSE(Text::wildcard_match("a?c", "ac"));
    EXPECT_TRUE(Text::wildcard_match("*.ts", "chan.2008.ts"));
    EXPECT_TRUE(Text::wildcard_match("a*b*c", "axxbyybzc"));
    EXPECT_FALSE(Text::wildcard_match("a*b*c", "axxbyybz"));
    EXPECT_TRUE(Text::wildcard_match("[a-c]x", "bx"));
    EXPECT_FALSE(Text::wildcard_match("[a-c]x", "dx"));
    EXPECT_TRUE(Text::wildcard_match("[!a-c]x", "dx"));
    EXPECT_FALSE(Text::wildcard_match("[!a-c]x", "ax"));
    EXPECT_TRUE(Text::wildcard_match("[]]", "]"));
    EXPECT_TRUE(Text::wildcard_match("\\*", "*"));
    EXPECT_FALSE(Text::wildcard_match("\\*", "x"));
    EXPECT_TRUE(Text::wildcard_match("[abc", "[abc"));  // unterminated set is literal
    EXPECT_FALSE(Text::wildcard_match("ABC", "abc"));
    EXPECT_TRUE(Text::wildcard_match("A[B-C]?", "abx", false));
}

TEST(TextWildcard, PathologicalPatternStaysFast) {
    // Exponential backtracking would never finish this.
    std::string text(5000, 'a');
    std::string pattern;
    for (int i = 0; i < 50; i++)
        pattern += "*a";
    pattern += "*b";
    EXPECT_FALSE(Text::wildcard_match(pattern, text));
}

TEST(TextBase64, Rfc4648Vectors) {
    Text::Base64 b64;
    const char* plain[] = {"", "f", "fo", "foo", "foob", "fooba", "foobar"};
    const char* coded[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    for (int i = 0; i < 7; i++) {
        EXPECT_EQ(b64.encode(plain[i]), coded[i]);
        EXPECT_EQ(b64.decode(coded[i]), plain[i]);
    }
}

TEST(TextBase64, LinesSeparatorsAndForeignCharacters) {
    Text::Base64 b64;
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
