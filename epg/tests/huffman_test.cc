#include "epg/huffman.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture::Huffman {
namespace {

using Corvid::Testing::LogCapture;
using Testing::TempDir;
using Testing::write_file;

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

// Mapping files as written, and what the tables decode, whatever the bits say: every input ends,
// without error and inside the buffer.
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
        {"rest of the line", format, 3, "0001", "Ta"},
        {"ESCAPE alone ends the file", format, 3, "0000", "T"},
        {"empty line ends the file", "START:1:A:\n\nSTART:0:B:\n", 1, "0", ""},
        {"empty symbol ends the file", "START:1:A:\n:0:B:\nSTART:0:C:\n", 1, "0", ""},
        {"over-long line ends the file",
         "START:1:A:\nSTART:0:" + std::string(300, 'x') + "\nSTART:01:C:\n", 1, "01", ""},
        {"last line without line feed", "START:1:A:\nSTART:0:B:", 1, "0", ""},
        {"CRLF: STOP read as STOP, not S", "START:1:A:\r\nA:0:STOP:\r\n", 2, "1011", "A"},
        // ESCAPE, 0xC1, 0x61 ('a' ends the escape and becomes the context), then 'a' 0 -> 'a'.
        {"escape", tiny, 5, "10 11000001 01100001 0 1", "\xC1\x61\x61"},
        {"STOP ends; the padding is ignored", tiny, 5, "0 0 1 0000", "aa"},
        {"STOP in the last bit", tiny, 5, "0000000 1", "aaaaaaa"},
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
    // 0 -> B against 0 -> A; 01 runs past the leaf of 0. The later mapping wins.
    ReadStats stats;
    CodeTable table = table_from("START:0:A:\nSTART:0:A:\nSTART:0:B:\nSTART:01:C:\n", &stats);
    EXPECT_EQ(std::to_string(stats.mappings) + std::to_string(stats.duplicates) +
                  std::to_string(stats.conflicts) + stats.first_conflict + decode_bits(table, "0"),
              "412START:0:BB");
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

// A pattern names the files: bad indexes and unreadable files are skipped with the lines an
// operator greps for; a bad pattern is refused and keeps the tables already loaded.
TEST(HuffmanLoadTables, PatternNamesTheFiles) {
    TempDir dir;
    for (auto [name, text] : {std::pair{"huff1.txt", "START:0:a:\n"},
                              {"huff300.txt", "S:0:c:\n"},
                              {"huff-1.txt", "START:0:d:\n"},
                              {"huff01.txt", "START:1:e:\n"},
                              {"huff7.txt", "junk\n"},
                              {"other1.txt", "START:0:f:\n"}})
        write_file(dir.file(name), text);
    LogCapture log;
    TableSet tables;
    load_tables(tables, dir.path() + "/huff%i.txt");  // huff01 merges into table 1
    load_tables(tables, dir.path() + "/huff%i%i.txt");
    ASSERT_TRUE(tables.size() == 2 && tables.count(1) && tables.count(255));
    EXPECT_EQ(
        decode_bits(tables[1], "0") + decode_bits(tables[1], "1") + decode_bits(tables[255], "0"),
        "aed");
    EXPECT_EQ(log.errors(), (std::vector<std::string>{
                                "Ignoring Huffman mapping file with bad index: huff300.txt",
                                "Could not read Huffman mapping file (bad format): huff7.txt",
                                "Error reading Huffman mappings: path pattern must contain a "
                                "single '%i' marker in the file leaf"}));
}

}  // namespace
}  // namespace Corvid::Capture::Huffman
