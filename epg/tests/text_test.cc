// DVB text strings and the UTF-8 guard.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "epg/dvb_text.h"
#include "epg/utf8.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture {
namespace {

using namespace std::string_view_literals;

std::string text(std::string_view bytes) {
    return decode_dvb_text(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

struct TextCase {
    const char* why;
    std::string_view in;  // the field as broadcast, selector first
    const char* out;
};

TEST(DvbText, DefaultTable) {
    const TextCase cases[] = {
        {"empty", ""sv, ""},
        {"CR/LF and emphasis", "X\x8AY\x86z\x87"sv, "X\nYz"},
        {"euro sign", "\xA4"sv, "\u20AC"},
        {"no character for C0 and DEL", "a\x01\x1F\x7Fz"sv, "az"},
        {"Ohm sign, sharp s", "\xE0\xFB"sv, "\u2126\u00DF"},
        // ISO/IEC 6937 puts the mark first; Unicode after the letter, or precomposed.
        {"e acute", "Caf\xC2\x65"sv, "Caf\u00E9"},
        {"u diaeresis", "\xC8uber"sv, "\u00FCber"},
        {"no precomposed q acute", "\xC2q"sv, "q\u0301"},
        {"mark at the very end", "\xC2"sv, "\u0301"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(text(c.in), c.out) << c.why;
}

// Character table selectors used to be ignored, so "Météo" in 8859-9 came out as "MØtØo".
TEST(DvbText, SelectorMend) {
    const TextCase cases[] = {
        {"0x05 is 8859-9", "\x05M\xE9t\xE9o"sv, "M\u00E9t\u00E9o"},
        {"0x05 table keeps CR/LF", "\x05X\x8AY"sv, "X\nY"},
        {"0x0B is 8859-15, as in the French SDT", "\x0B\x46rance \xD4"sv, "France \u00D4"},
        {"0x01 is 8859-5", "\x01\xB0"sv, "\u0410"},
        {"0x07 is 8859-11, 0xDB undefined there", "\x07\xA1\xDB"sv, "\u0E01\uFFFD"},
        {"0x10 with table 1", "\x10\x00\x01K\xE9k"sv, "K\u00E9k"},
        // Unknown selectors keep the default table, in which the selector has no character.
        {"0x08 (no 8859-12)", "\x08\xA4"sv, "\u20AC"},
        {"0x10 with table 12", "\x10\x00\x0C\xA4"sv, "\u20AC"},
        {"0x10 cut short", "\x10\x00"sv, ""},
        {"0x1F without a table", "\x1F\x02xy"sv, "xy"},
        {"0x11 UCS-2", "\x11\x00\x41\xE0\x8A\x20\xAC"sv, "A\n\u20AC"},
        {"UCS-2 lone surrogate, control, half character", "\x11\xD8\x00\xE0\x86\x00\x07\x00"sv,
         "\uFFFD\uFFFD"},
        {"0x15 UTF-8", "\x15Gr\xC3\xBC\xC3\x9F"sv, "Gr\u00FC\u00DF"},
        {"UTF-8 CR/LF is U+E08A", "\x15x\xEE\x82\x8Ay\xEE\x82\x86z"sv, "x\nyz"},
        {"ill-formed UTF-8 replaced", "\x15x\xFFy\xC3"sv, "x\uFFFDy\uFFFD"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(text(c.in), c.out) << c.why;
}

TEST(DvbText, Ucs2StringFromMythTV) {
    CORVID_REQUIRE_SHARED(path, "testdata/sections/mythtv-text-0x11-ucs2.bin");
    auto bytes = Testing::read_file(path);
    ASSERT_EQ(bytes.size(), 24u);
    ASSERT_EQ(bytes[0], 0x17);  // the length byte that precedes the field
    EXPECT_EQ(decode_dvb_text(bytes.data() + 1, bytes[0]),
              "\u8006\u5EB7\u6703\u5448\u737B:\u958B\uC380\u0153\uCB8A\u18BF");
}

// What leaves the decoder must be UTF-8 that XML 1.0 can carry; is_clean_utf8 must agree with
// clean_utf8 on every case.
TEST(Utf8Guard, ReplacesOrDropsWhatXmlCannotCarry) {
    const TextCase cases[] = {
        {"clean", "plain \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xEF\xBF\xBD"sv,
         "plain \u00E9 \u20AC \U0001F600 \uFFFD"},
        {"overlong", "\xC0\xAF"sv, "\uFFFD\uFFFD"},
        {"surrogate", "\xED\xA0\x80"sv, "\uFFFD\uFFFD\uFFFD"},
        {"above U+10FFFF", "\xF4\x90\x80\x80"sv, "\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"truncated: one maximal subpart", "\xE2\x82z"sv, "\uFFFDz"},
        {"five-byte form", "\xF8\x88\x80\x80\x80"sv, "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"C0 controls and NUL", "x\x00y\x01\x08\x0B\x0C\x1Fz"sv, "xyz"},
        {"escape sequence", "\x1B[0m"sv, "[0m"},
        {"tab, LF, CR stay", "a\tb\nc\rd"sv, "a\tb\nc\rd"},
        {"U+FFFE, U+FFFF", "\xEF\xBF\xBE\xEF\xBF\xBFx"sv, "x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(clean_utf8(c.in), c.out) << c.why;
        EXPECT_EQ(is_clean_utf8(c.in), c.in == c.out) << c.why;
    }
}

}  // namespace
}  // namespace Corvid::Capture
