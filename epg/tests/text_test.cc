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
    const char *why, *out;
    std::string_view in;  // the field as broadcast, selector first
};

TEST(DvbText, DefaultTableAndSelectors) {
    const TextCase cases[] = {
        {"empty", "", ""sv},
        {"CR/LF and emphasis", "X\nYz", "X\x8AY\x86z\x87"sv},
        {"euro sign", "\u20AC", "\xA4"sv},
        {"no character for C0 and DEL", "az", "a\x01\x1F\x7Fz"sv},
        // ISO/IEC 6937 puts the mark first; Unicode after the letter, or precomposed.
        {"e acute", "Caf\u00E9", "Caf\xC2\x65"sv},
        {"no precomposed q acute", "q\u0301", "\xC2q"sv},
        {"mark at the very end", "\u0301", "\xC2"sv},
        // Character table selectors used to be ignored, so "Météo" in 8859-9 came out as "MØtØo".
        {"0x05 is 8859-9", "M\u00E9t\u00E9o", "\x05M\xE9t\xE9o"sv},
        {"0x05 table keeps CR/LF", "X\nY", "\x05X\x8AY"sv},
        {"0x0B is 8859-15, as in the French SDT", "France \u00D4", "\x0B\x46rance \xD4"sv},
        {"0x07 is 8859-11, 0xDB undefined there", "\u0E01\uFFFD", "\x07\xA1\xDB"sv},
        {"0x10 with table 1", "K\u00E9k", "\x10\x00\x01K\xE9k"sv},
        // Unknown selectors keep the default table, in which the selector has no character.
        {"0x08 (no 8859-12)", "\u20AC", "\x08\xA4"sv},
        {"0x10 cut short", "", "\x10\x00"sv},
        {"0x1F without a table", "xy", "\x1F\x02xy"sv},
        {"0x11 UCS-2", "A\n\u20AC", "\x11\x00\x41\xE0\x8A\x20\xAC"sv},
        {"UCS-2 lone surrogate, control, half character", "\uFFFD\uFFFD",
         "\x11\xD8\x00\xE0\x86\x00\x07\x00"sv},
        {"0x15 UTF-8", "Gr\u00FC\u00DF", "\x15Gr\xC3\xBC\xC3\x9F"sv},
        {"UTF-8 CR/LF is U+E08A", "x\nyz", "\x15x\xEE\x82\x8Ay\xEE\x82\x86z"sv},
        {"ill-formed UTF-8 replaced", "x\uFFFDy\uFFFD", "\x15x\xFFy\xC3"sv},
    };
    for (const auto& c : cases)
        EXPECT_EQ(text(c.in), c.out) << c.why;
}

TEST(DvbText, Ucs2StringFromMythTV) {
    CORVID_REQUIRE_SHARED(path, "testdata/sections/mythtv-text-0x11-ucs2.bin");
    auto bytes = Testing::read_file(path);  // the field after its length byte
    ASSERT_EQ(bytes.size(), bytes[0] + 1u);
    EXPECT_EQ(decode_dvb_text(bytes.data() + 1, bytes[0]),
              "\u8006\u5EB7\u6703\u5448\u737B:\u958B\uC380\u0153\uCB8A\u18BF");
}

// What leaves the decoder must be UTF-8 that XML 1.0 can carry; is_clean_utf8 must agree with
// clean_utf8 on every case.
TEST(Utf8Guard, ReplacesOrDropsWhatXmlCannotCarry) {
    const TextCase cases[] = {
        {"clean", "plain \u00E9 \u20AC \U0001F600 \uFFFD",
         "plain \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xEF\xBF\xBD"sv},
        {"overlong", "\uFFFD\uFFFD", "\xC0\xAF"sv},
        {"surrogate", "\uFFFD\uFFFD\uFFFD", "\xED\xA0\x80"sv},
        {"above U+10FFFF", "\uFFFD\uFFFD\uFFFD\uFFFD", "\xF4\x90\x80\x80"sv},
        {"truncated: one maximal subpart", "\uFFFDz", "\xE2\x82z"sv},
        {"five-byte form", "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD", "\xF8\x88\x80\x80\x80"sv},
        {"C0 controls and NUL", "xyz", "x\x00y\x01\x08\x0B\x0C\x1Fz"sv},
        {"escape sequence", "[0m", "\x1B[0m"sv},
        {"tab, LF, CR stay", "a\tb\nc\rd", "a\tb\nc\rd"sv},
        {"U+FFFE, U+FFFF", "x", "\xEF\xBF\xBE\xEF\xBF\xBFx"sv},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(clean_utf8(c.in), c.out) << c.why;
        EXPECT_EQ(is_clean_utf8(c.in), c.in == c.out) << c.why;
    }
}

}  // namespace
}  // namespace Corvid::Capture
