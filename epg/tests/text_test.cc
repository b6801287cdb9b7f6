// DVB text strings, the UTF-8 guard and the SI time fields.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "epg/dvb_text.h"
#include "epg/si_time.h"
#include "epg/utf8.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture {
namespace {

std::string text(const std::vector<uint8_t>& bytes) {
    return decode_dvb_text(bytes.data(), bytes.size());
}
std::string text(const std::string& bytes) {
    return decode_dvb_text(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

TEST(DvbTextDefaultTable, AsciiControlsAndEuro) {
    EXPECT_EQ(text(std::string()), "");
    EXPECT_EQ(text("\x05"
                   "A\x8A"
                   "B"),
              "A\nB");  // selector 0x05 table also knows CR/LF
    EXPECT_EQ(text("A\x8A"
                   "B\x86x\x87"),
              "A\nBx");                       // emphasis codes dropped
    EXPECT_EQ(text("\xA4"), "\xE2\x82\xAC");  // U+20AC
    EXPECT_EQ(text("a\x01\x1F\x7F"
                   "b"),
              "ab");                                      // no character for C0 and DEL
    EXPECT_EQ(text("\xE0\xFB"), "\xE2\x84\xA6\xC3\x9F");  // Ohm sign, sharp s
}

TEST(DvbTextDefaultTable, DiacriticFollowsItsLetter) {
    // ISO/IEC 6937 puts the mark first; Unicode after the letter, or precomposed.
    EXPECT_EQ(text("Caf\xC2"
                   "e"),
              "Caf\xC3\xA9");  // e acute, U+00E9
    EXPECT_EQ(text("\xC8"
                   "u"
                   "ber"),
              "\xC3\xBC"
              "ber");  // u diaeresis
    EXPECT_EQ(text("\xCB"
                   "c"),
              "\xC3\xA7");  // c cedilla
    EXPECT_EQ(text("\xC2"
                   "q"),
              "q\xCC\x81");               // no precomposed q acute: letter, then U+0301
    EXPECT_EQ(text("\xC2"), "\xCC\x81");  // a mark at the very end stays alone
}

TEST(DvbTextSelectors, Iso8859Parts) {
    // 0x05 is ISO/IEC 8859-9, where 0xE9 is e acute and 0xF0 g breve.
    EXPECT_EQ(text("\x05"
                   "M\xE9t\xE9o"),
              "M\xC3\xA9t\xC3\xA9o");
    EXPECT_EQ(text("\x05\xF0"), "\xC4\x9F");
    // 0x0B is 8859-15 ("France \xD4" in the French SDT): O circumflex; 0xA4 is the euro.
    EXPECT_EQ(text("\x0B"
                   "France \xD4"),
              "France \xC3\x94");
    EXPECT_EQ(text("\x0B\xA4"), "\xE2\x82\xAC");
    // 0x01 is 8859-5 (Cyrillic): 0xB0 is U+0410.
    EXPECT_EQ(text("\x01\xB0"), "\xD0\x90");
    // 0x07 is 8859-11 (Thai): 0xA1 is U+0E01; 0xDB is undefined there.
    EXPECT_EQ(text("\x07\xA1\xDB"), "\xE0\xB8\x81\xEF\xBF\xBD");
    // 0x10 0x00 0x01: 8859-1 by number; 0x10 0x00 0x02: 8859-2 (0xA1 is A ogonek).
    EXPECT_EQ(text(std::vector<uint8_t>{0x10, 0x00, 0x01, 'C', 'a', 'f', 0xE9}), "Caf\xC3\xA9");
    EXPECT_EQ(text(std::vector<uint8_t>{0x10, 0x00, 0x02, 0xA1}), "\xC4\x84");
}

TEST(DvbTextSelectors, UnknownSelectorsKeepTheDefaultTable) {
    // 0x08 would be 8859-12, which does not exist; 0x10 with a bad table number; 0x12 (Korean)
    // and 0x1F (compressed, no table): the default table, in which the selector has no character.
    EXPECT_EQ(text("\x08\xA4"), "\xE2\x82\xAC");
    EXPECT_EQ(text(std::vector<uint8_t>{0x10, 0x00, 0x0C, 0xA4}), "\xE2\x82\xAC");
    EXPECT_EQ(text(std::vector<uint8_t>{0x10, 0x01, 0x01, 'x'}), "x");
    EXPECT_EQ(text(std::vector<uint8_t>{0x10, 0x00}), "");
    EXPECT_EQ(text("\x12"
                   "ab"),
              "ab");
    EXPECT_EQ(text("\x1F\x02"
                   "ab"),
              "ab");
}

TEST(DvbTextSelectors, Ucs2BigEndian) {
    EXPECT_EQ(text(std::vector<uint8_t>{0x11, 0x00, 0x41, 0xE0, 0x8A, 0x20, 0xAC}),
              "A\n\xE2\x82\xAC");
    // A lone surrogate and half a character are replaced; a control code is dropped.
    EXPECT_EQ(text(std::vector<uint8_t>{0x11, 0xD8, 0x00, 0xE0, 0x86, 0x00, 0x07, 0x00}),
              "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(DvbTextSelectors, Ucs2StringFromMythTV) {
    CORVID_REQUIRE_SHARED(path, "testdata/sections/mythtv-text-0x11-ucs2.bin");
    auto bytes = Testing::read_file(path);
    ASSERT_EQ(bytes.size(), 24u);
    ASSERT_EQ(bytes[0], 0x17);  // the length byte that precedes the field
    std::string out = decode_dvb_text(bytes.data() + 1, bytes[0]);
    // U+8006 U+5EB7 U+6703 U+5448 U+737B U+003A U+958B U+C380 U+0153 U+CB8A U+18BF
    EXPECT_EQ(out,
              "\xE8\x80\x86\xE5\xBA\xB7\xE6\x9C\x83\xE5\x91\x88\xE7\x8D\xBB:"
              "\xE9\x96\x8B\xEC\x8E\x80\xC5\x93\xEC\xAE\x8A\xE1\xA2\xBF");
}

TEST(DvbTextSelectors, Utf8) {
    EXPECT_EQ(text("\x15"
                   "Gr\xC3\xBC\xC3\x9F"
                   "e"),
              "Gr\xC3\xBC\xC3\x9F"
              "e");
    // DVB's CR/LF in UTF-8 is U+E08A; the other private-use control codes go.
    EXPECT_EQ(text("\x15"
                   "a\xEE\x82\x8A"
                   "b\xEE\x82\x86"
                   "c"),
              "a\nbc");
    // Ill-formed input is replaced, not passed on.
    EXPECT_EQ(text("\x15"
                   "a\xFF"
                   "b\xC3"),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
}

TEST(Utf8Guard, ReplacesIllFormedSequences) {
    EXPECT_TRUE(is_clean_utf8("plain \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xEF\xBF\xBD"));
    EXPECT_EQ(clean_utf8("\xC3\xA9"), "\xC3\xA9");
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_EQ(clean_utf8("\xC0\xAF"), fffd + fffd);                        // overlong
    EXPECT_EQ(clean_utf8("\xED\xA0\x80"), fffd + fffd + fffd);             // surrogate
    EXPECT_EQ(clean_utf8("\xF4\x90\x80\x80"), fffd + fffd + fffd + fffd);  // above U+10FFFF
    EXPECT_EQ(clean_utf8("\xE2\x82"
                         "A"),
              fffd + "A");  // truncated: one maximal subpart
    EXPECT_EQ(clean_utf8("\xF0\x90\x80"
                         "A"),
              fffd + "A");
    EXPECT_FALSE(
        is_clean_utf8("\xF0\x90\x80"
                      "A"));
    EXPECT_EQ(clean_utf8("\x80\xBF"), fffd + fffd);
    EXPECT_EQ(clean_utf8("\xF8\x88\x80\x80\x80"), fffd + fffd + fffd + fffd + fffd);
}

TEST(Utf8Guard, DropsWhatXmlCannotCarry) {
    EXPECT_EQ(clean_utf8(std::string("a\x00"
                                     "b\x01\x08\x0B\x0C\x1F"
                                     "c",
                                     10)),
              "abc");
    EXPECT_EQ(clean_utf8("a\tb\nc\rd"), "a\tb\nc\rd");
    EXPECT_EQ(clean_utf8("\xEF\xBF\xBE\xEF\xBF\xBF"
                         "x"),
              "x");  // U+FFFE, U+FFFF
    EXPECT_FALSE(is_clean_utf8(std::string("a\x00", 2)));
    EXPECT_FALSE(is_clean_utf8("\x1B[0m"));
}

TEST(SiTime, MjdStartTime) {
    const uint8_t example[] = {0xB0, 0xA2, 0x12, 0x45, 0x00};  // MJD 45218
    EXPECT_EQ(decode_mjd_time(example).iso(), "1982-09-06T12:45:00Z");
    // 2019-01-22 is MJD 58505 (0xE489); the 184 capture's events fall on it.
    const uint8_t french[] = {0xE4, 0x89, 0x23, 0x59, 0x59};
    EXPECT_EQ(decode_mjd_time(french).iso(), "2019-01-22T23:59:59Z");
    // Leap day and year ends through annex C's month arithmetic.
    const uint8_t leap[] = {0xEA, 0x60, 0x00, 0x00, 0x00};  // MJD 60000 = 2023-02-25
    EXPECT_EQ(decode_mjd_time(leap).iso(), "2023-02-25T00:00:00Z");
    const uint8_t october[] = {0xE8, 0x66, 0x00, 0x00, 0x00};  // MJD 59494
    EXPECT_EQ(decode_mjd_time(october).iso(), "2021-10-07T00:00:00Z");
    const uint8_t feb29[] = {0xEB, 0xD1, 0x00, 0x00, 0x00};  // MJD 60369
    EXPECT_EQ(decode_mjd_time(feb29).iso(), "2024-02-29T00:00:00Z");
}

TEST(SiTime, UndefinedStartTimesAreZero) {
    const uint8_t undefined[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(decode_mjd_time(undefined).valid());
    const uint8_t bad_hour[] = {0xE4, 0x89, 0x24, 0x00, 0x00};
    EXPECT_FALSE(decode_mjd_time(bad_hour).valid());
    const uint8_t bad_digit[] = {0xE4, 0x89, 0x12, 0x5A, 0x00};
    EXPECT_FALSE(decode_mjd_time(bad_digit).valid());
    const uint8_t before_1900[] = {0x00, 0x00, 0x12, 0x00, 0x00};
    EXPECT_FALSE(decode_mjd_time(before_1900).valid());
}

TEST(SiTime, BcdDuration) {
    const uint8_t example[] = {0x01, 0x45, 0x30};
    EXPECT_EQ(decode_bcd_duration(example).seconds(), 6330);
    const uint8_t long_one[] = {0x99, 0x59, 0x59};
    EXPECT_EQ(decode_bcd_duration(long_one).seconds(), 99 * 3600 + 59 * 60 + 59);
    const uint8_t undefined[] = {0xFF, 0xFF, 0xFF};
    EXPECT_EQ(decode_bcd_duration(undefined).seconds(), 0);
}

}  // namespace
}  // namespace Corvid::Capture
