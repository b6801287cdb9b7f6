#include "epg/huffman.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture::Huffman {
namespace {

using ::testing::HasSubstr;
using Corvid::Testing::LogCapture;
using Testing::TempDir;

std::vector<uint8_t> bits_to_bytes(const std::string& bits) {
    std::vector<uint8_t> bytes((bits.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits.size(); i++)
        if (bits[i] == '1') bytes[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
    return bytes;
}

std::string decode_bits(const CodeTable& table, const std::string& bits) {
    auto bytes = bits_to_bytes(bits);
    return decode(table, bytes.data(), bytes.size());
}

CodeTable table_from(const std::string& text, ReadStats* stats = nullptr) {
    CodeTable table;
    std::istringstream in(text);
    read_table(table, in, stats);
    return table;
}

TEST(HuffmanSymbol, ParsesEveryFieldForm) {
    EXPECT_EQ(Symbol::parse("START"), Symbol::make_special(Symbol::START));
    EXPECT_EQ(Symbol::parse("STOP"), Symbol::make_special(Symbol::STOP));
    EXPECT_EQ(Symbol::parse("ESCAPE"), Symbol::make_special(Symbol::ESCAPE));
    EXPECT_EQ(Symbol::parse("0x3A"), Symbol::ordinary(':'));
    EXPECT_EQ(Symbol::parse("0x7f"), Symbol::ordinary(0x7F));
    EXPECT_EQ(Symbol::parse("T"), Symbol::ordinary('T'));
    EXPECT_EQ(Symbol::parse("Tail"), Symbol::ordinary('T'));  // further characters ignored
    EXPECT_EQ(Symbol::parse("0x"), Symbol::ordinary('0'));    // not four characters: plain
    EXPECT_FALSE(Symbol::parse("").valid);
}

TEST(HuffmanSymbol, OrdinarySortBeforeSpecial) {
    std::vector<Symbol> sorted = {Symbol::ordinary(0),
                                  Symbol::ordinary('a'),
                                  Symbol::ordinary(0xFF),
                                  Symbol::make_special(Symbol::START),
                                  Symbol::make_special(Symbol::STOP),
                                  Symbol::make_special(Symbol::ESCAPE)};
    for (size_t i = 0; i < sorted.size(); i++)
        for (size_t j = 0; j < sorted.size(); j++)
            EXPECT_EQ(sorted[i] < sorted[j], i < j) << i << " " << j;
}

TEST(HuffmanReadTable, LineFormat) {
    ReadStats stats;
    CodeTable table = table_from("START:00:T:\nT:1:0x3A\nT:01:a:b\nESCAPE\nT:00:X:\n", &stats);
    EXPECT_EQ(stats.mappings, 3u);  // the line holding only ESCAPE ends the file
    // START 00 -> 'T'; then in context 'T': 1 -> ':' ; 01 -> 'a' (rest of line "a:b").
    EXPECT_EQ(decode_bits(table,
                          "00"
                          "1"),
              "T:");
    EXPECT_EQ(decode_bits(table,
                          "00"
                          "01"),
              "Ta");
    EXPECT_EQ(decode_bits(table,
                          "00"
                          "00"),
              "T");  // X was never read
}

TEST(HuffmanReadTable, FileEnds) {
    // An empty line, an empty symbol field, an over-long line and a last line without its line
    // feed each end the file.
    EXPECT_EQ(table_from("START:1:A:\n\nSTART:0:B:\n").contexts().size(), 1u);
    ReadStats stats;
    table_from("START:1:A:\n:0:B:\nSTART:0:C:\n", &stats);
    EXPECT_EQ(stats.mappings, 1u);
    stats = {};
    table_from("START:1:A:\nSTART:0:" + std::string(300, 'x') + "\nSTART:01:C:\n", &stats);
    EXPECT_EQ(stats.mappings, 1u);
    stats = {};
    table_from("START:1:A:\nSTART:0:B:", &stats);
    EXPECT_EQ(stats.mappings, 1u);
    stats = {};
    CodeTable crlf = table_from("START:1:A:\r\nA:0:STOP:\r\n", &stats);
    EXPECT_EQ(stats.mappings, 2u);
    EXPECT_EQ(decode_bits(crlf, "1011"), "A");  // STOP read as STOP, not as the letter S
    CodeTable none;
    std::istringstream empty("");
    EXPECT_FALSE(read_table(none, empty));
}

TEST(HuffmanReadTable, DuplicatesAndConflicts) {
    ReadStats stats;
    CodeTable table = table_from("START:0:A:\nSTART:0:A:\nSTART:0:B:\nSTART:01:C:\n", &stats);
    EXPECT_EQ(stats.mappings, 4u);
    EXPECT_EQ(stats.duplicates, 1u);
    EXPECT_EQ(stats.conflicts, 2u);  // 0 -> B against 0 -> A; 01 runs past the leaf of 0
    EXPECT_EQ(stats.first_conflict, "START:0:B");
    EXPECT_EQ(decode_bits(table, "0"), "B");  // the later mapping wins
}

// A tiny table: START 0 -> 'a', 10 -> ESCAPE, 11 -> STOP; 'a' 0 -> 'a', 1 -> STOP.
const char* const TINY = "START:0:a:\nSTART:10:ESCAPE:\nSTART:11:STOP:\na:0:a:\na:1:STOP:\n";

TEST(HuffmanDecode, EscapeRunsUntilAByteBelow0x80) {
    CodeTable table = table_from(TINY);
    // ESCAPE, 0xC1, 0x61 ('a', ends the escape and becomes the context), then 'a' 0 -> 'a'.
    std::string out = decode_bits(table,
                                  "10"
                                  "11000001"
                                  "01100001"
                                  "0"
                                  "1");
    EXPECT_EQ(out,
              "\xC1"
              "aa");
}

TEST(HuffmanDecode, StopsWithoutError) {
    CodeTable table = table_from(TINY);
    EXPECT_EQ(decode(table, nullptr, 0), "");
    EXPECT_EQ(decode_bits(table,
                          "0"
                          "0"
                          "1"
                          "0000"),
              "aa");  // STOP ends, padding ignored
    EXPECT_EQ(decode_bits(table,
                          "0000000"
                          "1"),
              "aaaaaaa");  // STOP in the last bit
    EXPECT_EQ(decode_bits(table,
                          "10"
                          "1100"),
              "");  // escape cut short
    EXPECT_EQ(decode_bits(table,
                          "10"
                          "00000000"
                          "0"),
              "");  // an escaped NUL ends the text
    CodeTable half = table_from("START:00:a:\n");
    EXPECT_EQ(decode_bits(half, "1"), "");     // no child for the bit
    EXPECT_EQ(decode_bits(half, "000"), "a");  // no tree for context 'a'
}

TEST(HuffmanDecode, AllOnesAndAllZeroInputEnd) {
    // Every input ends: each symbol costs at least one bit.
    CodeTable loop = table_from("START:0:START:\nSTART:1:a:\na:1:a:\na:0:START:\n");
    std::vector<uint8_t> zeros(4096, 0x00), ones(4096, 0xFF);
    EXPECT_EQ(decode(loop, zeros.data(), zeros.size()), "");
    EXPECT_EQ(decode(loop, ones.data(), ones.size()).size(), 4096u * 8);
}

// The Freesat tables hold every mapping three times over.
TEST(HuffmanFreesat, RepeatedTablesLoadOnceEach) {
    CORVID_REQUIRE_SHARED(t1, "testdata/huffman/freesat.t1");
    for (const char* name : {"freesat.t1", "freesat.t2"}) {
        std::string path = Testing::shared_path(std::string("testdata/huffman/") + name);
        // The distinct lines are the mappings of one copy.
        std::ifstream lines(path);
        std::set<std::string> distinct;
        size_t total = 0;
        for (std::string line; std::getline(lines, line); total++)
            distinct.insert(line);
        ASSERT_EQ(total, distinct.size() * 3) << name;

        CodeTable table;
        std::ifstream in(path);
        ReadStats stats;
        ASSERT_TRUE(read_table(table, in, &stats));
        EXPECT_EQ(stats.mappings, total) << name;
        EXPECT_EQ(stats.duplicates, total - distinct.size()) << name;
        EXPECT_EQ(stats.conflicts, 0u) << name << ": " << stats.first_conflict;
    }

    LogCapture log;
    TableSet tables;
    load_tables(tables, t1.substr(0, t1.size() - 1) + "%i");
    ASSERT_EQ(tables.size(), 2u);
    EXPECT_EQ(tables.begin()->first, 1);
    EXPECT_EQ(tables.rbegin()->first, 2);
    EXPECT_FALSE(log.contains("conflicting"));
    EXPECT_TRUE(log.contains("Read Huffman mappings for table 1 from: freesat.t1"));
}

struct Vector {
    std::string name;
    std::vector<uint8_t> bytes;
    std::string expected;
};

std::vector<Vector> freesat_vectors(const std::string& path) {
    std::vector<Vector> vectors;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields;
        std::stringstream ss(line);
        for (std::string field; std::getline(ss, field, '|');) {
            size_t a = field.find_first_not_of(' '), b = field.find_last_not_of(' ');
            fields.push_back(a == std::string::npos ? "" : field.substr(a, b - a + 1));
        }
        if (fields.size() < 3) continue;
        Vector v{fields[0], {}, fields[2]};
        std::istringstream hex(fields[1]);
        for (std::string byte; hex >> byte;)
            v.bytes.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
        vectors.push_back(v);
    }
    return vectors;
}

TEST(HuffmanFreesat, DecodesTheEightVectors) {
    CORVID_REQUIRE_SHARED(vectors_file, "testdata/huffman/freesat-vectors.txt");
    CORVID_REQUIRE_SHARED(t1, "testdata/huffman/freesat.t1");
    TableSet tables;
    load_tables(tables, t1.substr(0, t1.size() - 1) + "%i");
    auto vectors = freesat_vectors(vectors_file);
    ASSERT_EQ(vectors.size(), 8u);
    for (const auto& v : vectors) {
        ASSERT_GE(v.bytes.size(), 2u) << v.name;
        ASSERT_TRUE(tables.count(v.bytes[1])) << v.name;
        EXPECT_EQ(decode(tables[v.bytes[1]], v.bytes.data() + 2, v.bytes.size() - 2), v.expected)
            << v.name;
    }
}

TEST(HuffmanFreesat, LuluGuinnessTitleFromTheBroadcastSection) {
    CORVID_REQUIRE_SHARED(section, "testdata/sections/tsduck-test-142.eit-4f-freesat-huffman.bin");
    CORVID_REQUIRE_SHARED(t1, "testdata/huffman/freesat.t1");
    TableSet tables;
    load_tables(tables, t1.substr(0, t1.size() - 1) + "%i");
    auto bytes = Testing::read_file(section);
    // The short event descriptor's title, as the capture's provenance gives it.
    const std::vector<uint8_t> title = {0x1F, 0x01, 0x63, 0xD8, 0x97, 0x88, 0x1A, 0xAF,
                                        0x60, 0x14, 0x5B, 0x53, 0x80, 0x44, 0x7E, 0x30};
    ASSERT_NE(std::search(bytes.begin(), bytes.end(), title.begin(), title.end()), bytes.end());
    EXPECT_EQ(decode(tables[1], title.data() + 2, title.size() - 2), "Lulu Guinness Accessories");
}

TEST(HuffmanLoadTables, PatternNamesTheFiles) {
    TempDir dir;
    Testing::write_file(dir.file("huff1.txt"), "START:0:a:\n");
    Testing::write_file(dir.file("huff2.txt"), "START:0:b:\n");
    Testing::write_file(dir.file("huff300.txt"), "START:0:c:\n");
    Testing::write_file(dir.file("huff-1.txt"), "START:0:d:\n");
    Testing::write_file(dir.file("huff01.txt"), "START:1:e:\n");  // merges into table 1
    Testing::write_file(dir.file("huff7.txt"), "junk\n");         // no mapping at all
    Testing::write_file(dir.file("other1.txt"), "START:0:f:\n");
    LogCapture log;
    TableSet tables;
    load_tables(tables, dir.path() + "/huff%i.txt");
    EXPECT_TRUE(log.contains("Reading Huffman mappings from " + dir.path() + "/huff%i.txt"));
    EXPECT_TRUE(log.contains("Ignoring Huffman mapping file with bad index: huff300.txt"));
    EXPECT_TRUE(log.contains("Could not read Huffman mapping file (bad format): huff7.txt"));
    ASSERT_EQ(tables.size(), 3u);
    ASSERT_TRUE(tables.count(1) && tables.count(2) && tables.count(255));
    uint8_t zero = 0x00, one = 0x80;
    EXPECT_EQ(decode(tables[1], &zero, 1), "a");
    EXPECT_EQ(decode(tables[1], &one, 1), "e");
    EXPECT_EQ(decode(tables[2], &zero, 1), "b");
    EXPECT_EQ(decode(tables[255], &zero, 1), "d");
}

TEST(HuffmanLoadTables, BadPatternKeepsTheTables) {
    TempDir dir;
    Testing::write_file(dir.file("huff1.txt"), "START:0:a:\n");
    TableSet tables;
    load_tables(tables, dir.path() + "/huff%i.txt");
    ASSERT_EQ(tables.size(), 1u);
    const std::string refusal =
        "Error reading Huffman mappings: path pattern must contain a single '%i' marker in the "
        "file leaf";
    for (std::string pattern :
         {dir.path() + "/huff.txt", dir.path() + "/huff%i%i.txt", dir.path() + "%i/huff.txt"}) {
        LogCapture log;
        load_tables(tables, pattern);
        EXPECT_TRUE(log.contains(refusal)) << pattern;
        EXPECT_EQ(tables.size(), 1u) << pattern;
    }
    LogCapture log;
    load_tables(tables, dir.path() + "/missing/huff%i.txt");
    EXPECT_TRUE(log.contains("Could not list Huffman mapping files"));
    EXPECT_EQ(tables.size(), 1u);
    load_tables(tables, "");  // nothing configured: nothing happens
    EXPECT_EQ(tables.size(), 1u);
}

}  // namespace
}  // namespace Corvid::Capture::Huffman
