// DVB text strings, the UTF-8 guard and Huffman-compressed text.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string_view>

#include "epg/dvb_text.h"
#include "epg/huffman.h"
#include "epg/utf8.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture {
namespace {

using namespace Huffman;
using namespace Testing;
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
        {"CR/LF and emphasis", "X\nYz", "X\x8AY\x86z\x87"sv},
        {"no character for C0 and DEL", "az", "a\x01\x1F\x7Fz"sv},
        // ISO/IEC 6937 puts the mark first; Unicode after the letter, or precomposed.
        {"e acute", "Caf\u00E9", "Caf\xC2\x65"sv},
        {"mark at the very end", "\u0301", "\xC2"sv},
        // Character table selectors used to be ignored, so "Météo" in 8859-9 came out as "MØtØo".
        {"0x05 is 8859-9", "M\u00E9t\u00E9o", "\x05M\xE9t\xE9o"sv},
        {"0x0B is 8859-15, as in the French SDT", "France \u00D4", "\x0B\x46rance \xD4"sv},
        {"0x10 with table 1", "K\u00E9k", "\x10\x00\x01K\xE9k"sv},
        // Unknown selectors keep the default table, in which the selector has no character.
        {"0x10 cut short", "", "\x10\x00"sv},
        {"0x11 UCS-2", "A\n\u20AC", "\x11\x00\x41\xE0\x8A\x20\xAC"sv},
        {"UCS-2 lone surrogate, control, half character", "\uFFFD\uFFFD",
         "\x11\xD8\x00\xE0\x86\x00\x07\x00"sv},
        {"0x15 UTF-8", "Gr\u00FC\u00DF", "\x15Gr\xC3\xBC\xC3\x9F"sv},
        {"UTF-8 CR/LF is U+E08A", "x\nyz", "\x15x\xEE\x82\x8Ay\xEE\x82\x86z"sv},
    };
    for (const auto& c : cases)
        EXPECT_EQ(text(c.in), c.out) << c.why;
    CORVID_REQUIRE_SHARED(path, "testdata/sections/mythtv-text-0x11-ucs2.bin");
    auto bytes = Testing::read_file(path);  // a UCS-2 field after its length byte
    ASSERT_EQ(bytes.size(), bytes[0] + 1u);
    EXPECT_EQ(decode_dvb_text(bytes.data() + 1, bytes[0]),
              "\u8006\u5EB7\u6703\u5448\u737B:\u958B\uC380\u0153\uCB8A\u18BF");
}

// What leaves the decoder must be UTF-8 that XML 1.0 can carry; both checks agree.
TEST(Utf8Guard, ReplacesOrDropsWhatXmlCannotCarry) {
    const TextCase cases[] = {
        {"clean", "plain \u00E9 \u20AC \U0001F600 \uFFFD",
         "plain \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xEF\xBF\xBD"sv},
        {"overlong", "\uFFFD\uFFFD", "\xC0\xAF"sv},
        {"surrogate", "\uFFFD\uFFFD\uFFFD", "\xED\xA0\x80"sv},
        {"above U+10FFFF", "\uFFFD\uFFFD\uFFFD\uFFFD", "\xF4\x90\x80\x80"sv},
        {"truncated: one maximal subpart", "\uFFFDz", "\xE2\x82z"sv},
        {"C0 controls and NUL", "xyz", "x\x00y\x01\x08\x0B\x0C\x1Fz"sv},
        {"tab, LF, CR stay", "a\tb\nc\rd", "a\tb\nc\rd"sv},
        {"U+FFFE, U+FFFF", "x", "\xEF\xBF\xBE\xEF\xBF\xBFx"sv},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(clean_utf8(c.in), c.out) << c.why;
        EXPECT_EQ(is_clean_utf8(c.in), c.in == c.out) << c.why;
    }
}

// Decodes bits written as '0' and '1' (spaces ignored), padded with zeros to whole bytes.
std::string decode_bits(const CodeTable& table, std::string bits) {
    std::erase(bits, ' ');
    std::vector<uint8_t> bytes((bits.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits.size(); i++)
        if (bits[i] == '1') bytes[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
    return decode(table, bytes.data(), bytes.size());
}

CodeTable table_from(const std::string& text, ReadStats* stats = nullptr) {
    CodeTable table;
    std::istringstream in(text);
    read_table(table, in, stats);
    return table;
}

// Mapping files as written, and what tables decode: any input ends, inside the buffer.
TEST(HuffmanReadTable, LinesFileEndsAndDecoding) {
    const std::string format = "START:00:T:\nT:1:0x3A\nT:01:a:b\nESCAPE\nT:00:X:\n",
                      // START 0 -> 'a', 10 -> ESCAPE, 11 -> STOP; 'a' 0 -> 'a', 1 -> STOP.
        tiny = "START:0:a:\nSTART:10:ESCAPE:\nSTART:11:STOP:\na:0:a:\na:1:STOP:\n";
    struct {
        const char* why;
        std::string text;
        size_t mappings;
        const char *bits, *decoded;
    } const cases[] = {
        // START 00 -> 'T'; in context 'T': 1 -> ':', 01 -> 'a' (the rest of "a:b" ignored).
        {"colon by number", format, 3, "001", "T:"},
        {"ESCAPE alone ends the file", format, 3, "0000", "T"},
        {"empty line ends the file", "START:1:A:\n\nSTART:0:B:\n", 1, "0", ""},
        {"empty symbol ends the file", "START:1:A:\n:0:B:\nSTART:0:C:\n", 1, "0", ""},
        {"over-long line ends the file",
         "START:1:A:\nSTART:0:" + std::string(300, 'x') + "\nSTART:01:C:\n", 1, "01", ""},
        {"last line without line feed", "START:1:A:\nSTART:0:B:", 1, "0", ""},
        {"CRLF: STOP read as STOP, not S", "START:1:A:\r\nA:0:STOP:\r\n", 2, "1011", "A"},
        // ESCAPE, 0xC1, 0x61 ('a' ends the escape and becomes the context), then 'a' 0 -> 'a'.
        {"escape", tiny, 5, "10 11000001 01100001 0 1", "\xC1\x61\x61"},
        {"escape cut short", tiny, 5, "10 1100", ""},
        {"an escaped NUL ends the text", tiny, 5, "10 00000000 0", ""},
        {"no child for the bit", "START:00:a:\n", 1, "1", ""},
        {"no tree for context 'a'", "START:00:a:\n", 1, "000", "a"},
    };
    for (const auto& c : cases) {
        ReadStats stats;
        CodeTable table = table_from(c.text, &stats);
        EXPECT_EQ(stats.mappings, c.mappings) << c.why;
        EXPECT_EQ(decode_bits(table, c.bits), c.decoded) << c.why;
    }
    CodeTable none;
    std::istringstream empty("");
    EXPECT_FALSE(read_table(none, empty));
    ReadStats stats;  // 0 -> B against 0 -> A; 01 runs past the leaf of 0. The later one wins.
    CodeTable table = table_from("START:0:A:\nSTART:0:A:\nSTART:0:B:\nSTART:01:C:\n", &stats);
    EXPECT_EQ(std::to_string(stats.duplicates * 10 + stats.conflicts) + decode_bits(table, "0"),
              "12B");
    // Each symbol costs at least one bit, even in a table that loops back to START.
    table = table_from("START:0:START:\nSTART:1:a:\na:1:a:\na:0:START:\n");
    std::vector<uint8_t> zeros(4096, 0x00), ones(4096, 0xFF);
    EXPECT_EQ(decode(table, zeros.data(), zeros.size()), "");
    EXPECT_EQ(decode(table, ones.data(), ones.size()).size(), 4096u * 8);
}

// The Freesat tables (every mapping three times over) decode every published vector. Vector lines:
// "name | hex bytes | expected | comment"; byte 1 names the table, the rest is the code.
TEST(Freesat, TablesDecodeTheVectors) {
    CORVID_REQUIRE_SHARED(path, "testdata/huffman/freesat-vectors.txt");
    const std::string t1 = Testing::shared_path("testdata/huffman/freesat.t1");
    TableSet tables;
    load_tables(tables, t1.substr(0, t1.size() - 1) + "%i");
    ASSERT_EQ(tables.size(), 2u);
    std::ifstream in(path);
    size_t vectors = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string name, hex, expected;
        std::getline(std::getline(std::getline(fields, name, '|'), hex, '|'), expected, '|');
        expected.erase(0, expected.find_first_not_of(' '));
        expected.erase(expected.find_last_not_of(' ') + 1);
        std::vector<uint8_t> bytes;
        std::istringstream hex_in(hex);
        for (std::string byte; hex_in >> byte;)
            bytes.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
        ASSERT_TRUE(bytes.size() >= 2 && tables.count(bytes[1])) << line;
        EXPECT_EQ(decode(tables[bytes[1]], bytes.data() + 2, bytes.size() - 2), expected) << name;
        vectors++;
    }
    EXPECT_EQ(vectors, 8u);
}

// A pattern names the files, "huff01" merging into table 1 and "huff-1" (255) with a leading minus;
// bad indexes, unreadable files and bad patterns are refused with the lines an operator greps for.
TEST(HuffmanLoadTables, PatternNamesTheFiles) {
    TempDir dir;
    for (auto [name, text] : {std::pair{"huff1.txt", "START:0:a:\n"},
                              {"huff300.txt", ""},
                              {"huff-1.txt", "START:0:d:\n"},
                              {"huff01.txt", "START:1:e:\n"},
                              {"huff7.txt", "junk\n"},
                              {"other1.txt", "START:0:f:\n"}})
        write_file(dir.file(name), text);
    LogCapture log;
    TableSet tables;
    load_tables(tables, dir.path() + "/huff%i.txt");
    load_tables(tables, dir.path() + "/huff%i%i.txt");
    EXPECT_EQ(std::to_string(tables.size()) + decode_bits(tables[1], "0") +
                  decode_bits(tables[1], "1") + decode_bits(tables[255], "0"),
              "2aed");
    EXPECT_EQ(log.errors(), (std::vector<std::string>{
                                "Ignoring Huffman mapping file with bad index: huff300.txt",
                                "Could not read Huffman mapping file (bad format): huff7.txt",
                                "Error reading Huffman mappings: path pattern must contain a "
                                "single '%i' marker in the file leaf"}));
}

}  // namespace
}  // namespace Corvid::Capture
