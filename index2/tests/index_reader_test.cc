// The format and its reader: the byte layout and dump forms, every refusal with the line it logs,
// growing files, the NPT search against a linear scan, intra listing and rewriting.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "gantry/channel/stream.h"
#include "index2/index_reader.h"
#include "index2/tests/index_test_util.h"
#include "tests/support/log_capture.h"

namespace Corvid::Index2 {
namespace {

using Corvid::Testing::write_file;

Block npt_block(uint64_t offset, double npt, uint32_t flags = kFlagNewNpt, uint16_t count = 0,
                uint16_t index = 0) {
    return {
        .offset = offset, .npt = npt, .flags = flags, .count = count, .index = index, .data = {}};
}

// A whole index file: the header (sizes as given), then the blocks.
std::string file_of(const std::vector<Block>& blocks, uint32_t size = 256, uint32_t block = 256) {
    std::ostringstream out;
    Gantry::Channel::StreamWriter writer(out);
    for (uint32_t word : {kMagic, size, 0u, block})
        writer.write_nbo_32(word);
    writer.skip(240);
    for (const Block& b : blocks)
        b.write(writer);
    return out.str();
}

class IndexReaderTest : public ::testing::Test {
  protected:
    Corvid::Testing::TempDir dir;
    std::string path = dir.file("segment.ts.cvi2");
    Corvid::Testing::LogCapture log;
    Block block;
    uint64_t position = 0, offset = 0;
    double npt = 0;
    IndexReader::IntraList list;
};

TEST_F(IndexReaderTest, LayoutAndDumpOfHeaderAndBlock) {
    Block b = npt_block(0x0102030405060708, 12.3456, 15, 3, 1);
    std::tie(b.ref_length, b.ref_offset, b.data) = std::tuple(9588, 56400,
                                                              "G@\1\x10"
                                                              "0123456789ABCDEF!");
    const std::string file = file_of({b});
    std::ostringstream header;
    Gantry::Channel::StreamWriter header_writer(header);
    Header{}.write(header_writer);
    EXPECT_EQ(header.str(),
              std::string("CVI2\0\0\1\0\0\0\0\0\0\0\1\0", 16) + std::string(240, '\0'));
    ASSERT_EQ(file.size(), 512u);
    // Big-endian fields, 12.3456 s stored as 12345 ms, the data and zero padding.
    EXPECT_EQ(file.substr(256, 36), std::string("\1\2\3\4\5\6\7\x08\0\0\x30\x39\0\0\0\x0f\0\3\0\1"
                                                "\0\0\x25\x74\0\0\0\0\0\0\xdc\x50\0\0\0\x15",
                                                36));
    EXPECT_EQ(file.substr(256 + 36 + 21), std::string(256 - 36 - 21, '\0'));
    write_file(path, file);
    IndexReader reader(path);
    ASSERT_TRUE(reader.read_block(256, block));
    std::ostringstream dump;
    Header{.flags = 0x1F}.dump(dump);
    block.dump(dump, true);
    EXPECT_EQ(dump.str(),
              "CVI2 file, flags 1f, block size 256\n"
              "Index2 block[256]: NPT 12.345@72623859790382856 NEW-NPT INTRA (1/3)\n"
              "  Ref data: 9588@56400\n"
              "  Inline data (21):\n"
              "    47400110 30313233 34353637 38394142  G@..0123456789AB\n"
              "    43444546 21                          CDEF!\n");
}

// Hostile headers, lengths, counts and NPTs give the format's errors through the reader's lines,
// never a read past the data or an allocation sized by the file.
TEST_F(IndexReaderTest, RefusalsLogTheirReason) {
    const std::string invalid = "File " + path + " is not a valid CVI2 file: Channel error ";
    const std::string corrupt = "Corrupt CVI2 file: Channel error ";
    std::string length_221 = file_of({Block{}}), length_max = length_221;
    length_221[256 + 35] = static_cast<char>(221);
    length_max.replace(256 + 32, 4, 4, '\xFF');  // must not wrap the bounds check
    std::vector<Block> no_new_npt(40, npt_block(376, 1.0, 0));
    no_new_npt.insert(no_new_npt.begin(), npt_block(188, 1.0));
    no_new_npt.push_back(npt_block(9000, 9.0));
    enum Op { last_intra, entry, search };
    const struct {
        std::string file;
        Op op;
        std::string line;
    } cases[] = {
        {"CVI1" + std::string(252, '\0'), entry, invalid + "(2): Not a CVI2 file"},
        {file_of({}, 8), entry, invalid + "(1): Header size too small"},
        {file_of({}, 256, 0), entry, invalid + "(1): Block size too small"},
        {file_of({}, 256, 15), entry, invalid + "(1): Block size too small"},
        {file_of({}, 0x7F000000, 0x7F000000), entry, invalid + "(1): Block size too large"},
        {file_of({}, 512, 256), entry, invalid + "(1): Header size differs from block size"},
        {file_of({}).substr(0, 100), entry, invalid + "(0): EOF"},
        {file_of({}), last_intra, "No matching blocks in index file"},
        {file_of({npt_block(188, 0.5), npt_block(376, 0, kFlagIntra), npt_block(564, 0.6)}),
         last_intra, "Last block in index file has no NPT"},
        {length_221, entry, corrupt + "(1): Block data too long"},
        {length_max, entry, corrupt + "(1): Block data too long"},
        {file_of({npt_block(0, 1, 0, 3), npt_block(0, 1, 0, 3, 2), npt_block(0, 1, 0, 3, 2)}),
         entry, corrupt + "(2): Multiple block index out of sync"},
        {file_of({npt_block(0, 1, 0, 65535), npt_block(0, 1, 0, 65535, 1)}), entry,
         corrupt + "(0): EOF"},
        {file_of({npt_block(188, 1), npt_block(376, 3), npt_block(564, 2), npt_block(752, 4)}),
         search, "Index NPTs are mis-ordered (delta -1) - giving up"},
        {file_of(no_new_npt), search, "No NEW_NPT found in 16 blocks - giving up"},
    };
    for (const auto& c : cases) {
        write_file(path, c.file);
        IndexReader reader(path);
        EXPECT_FALSE(reader.valid() &&
                     (c.op == entry        ? reader.read_entry(256, block)
                      : c.op == last_intra ? reader.find_last_intra(block, position)
                                           : reader.find_npt(npt = 2.5, false, offset, position)));
        EXPECT_EQ(log.errors(), std::vector<std::string>{c.line});
        log.clear();
    }
    IndexReader missing(dir.file("missing.cvi2"));  // refused silently, and so is every operation
    EXPECT_FALSE(missing.valid() || missing.find_last_intra(block, position));
    EXPECT_TRUE(log.errors().empty());
}

// An index shaped like the daemon's: a stand-alone NEW-NPT block every 40 ms, and every 2 s instead
// an intra entry of 12 blocks. Offsets grow at 4 Mbit/s, on packet boundaries.
uint64_t offset_at(int tick) {
    return static_cast<uint64_t>(tick * 0.04 * 500000) / 188 * 188;
}
std::vector<Block> synthetic_index(double seconds) {
    std::vector<Block> blocks;
    for (int tick = 1; tick <= static_cast<int>(seconds / 0.04); ++tick) {
        const uint64_t at = offset_at(tick);
        for (uint16_t i = 0; i < (tick % 50 == 5 ? 12 : 1); ++i)
            blocks.push_back(tick % 50 != 5 ? npt_block(at, tick * 0.04)
                                            : npt_block(at, tick * 0.04, i ? 0 : 3, 12, i));
    }
    return blocks;
}

// The search's expected results by a linear scan: the NEW-NPT block with the greatest NPT not
// above the target; with intra, the first INTRA block at or after the target if there is one.
std::pair<double, uint64_t> scan(const std::vector<Block>& blocks, double target, bool intra) {
    std::pair<double, uint64_t> result{blocks.front().npt, blocks.front().offset};
    for (const Block& b : blocks)
        if (b.has(kFlagNewNpt) && b.npt <= target) result = {b.npt, b.offset};
    if (intra)
        for (const Block& b : blocks)
            if (b.has(kFlagIntra) && b.npt >= target) return {b.npt, b.offset};
    return result;
}

// The capture appends to the index of the segment it records, so a reader often meets a file that
// ends inside a block: only whole blocks count.
TEST_F(IndexReaderTest, HourOfIndexEndingInPartialBlock) {
    const std::string file = file_of(synthetic_index(3600));
    write_file(path, file);
    const auto blocks = Testing::read_blocks(path);
    write_file(path, file + file.substr(file.size() - 100));
    IndexReader reader(path);
    ASSERT_TRUE(reader.find_last_intra(block, position));
    EXPECT_EQ(block.offset, offset_at(89955));
    EXPECT_NEAR(reader.bit_rate(), 4000000, 1000);
    // With 1000 s the thresholds are 0, 1000, 2000, 3000, passed by the entries at 1000.2 ...
    ASSERT_TRUE(reader.list_intra(1000, list));
    ASSERT_EQ(list.size(), 4u);
    for (int k = 1; k < 4; ++k)
        EXPECT_EQ(list[k].second, offset_at(25000 * k + 5)) << list[k].first;
    uint64_t most_reads = 0;
    for (double target = 0.05; target < 3599.9; target += 7.31) {
        for (bool intra : {false, true}) {
            reader.reset_blocks_read();
            ASSERT_TRUE(reader.find_npt(npt = target, intra, offset, position)) << target;
            most_reads = std::max(most_reads, reader.blocks_read());
            ASSERT_EQ(std::pair(npt, offset), scan(blocks, target, intra)) << target << intra;
            ASSERT_TRUE(reader.read_block(position, block));  // the position names the block
            EXPECT_EQ(block.offset, offset);
        }
    }
    EXPECT_LT(most_reads, 80u);  // interpolation, not a scan
    for (double front : {0.0, -3.0}) {
        ASSERT_TRUE(reader.find_npt(npt = front, front < 0, offset = 99, position));
        EXPECT_EQ(std::pair(offset, position), std::pair(uint64_t{0}, uint64_t{256}));
    }
    ASSERT_TRUE(reader.find_npt(npt = 1e6, false, offset, position));
    EXPECT_EQ(std::pair(npt, offset), std::pair(blocks.back().npt, blocks.back().offset));
    EXPECT_EQ(position, blocks.size() * 256);
}

// A guess that lands inside a long entry whose NPT is already past the target must move back
// towards the target, not walk forward to the next NEW-NPT block and further away.
TEST_F(IndexReaderTest, FindNptBacksOutOfEntryBeyondTarget) {
    std::vector<Block> blocks;
    for (int i = 1; i <= 40; ++i) {
        blocks.push_back(npt_block(i * 100000, i));
        for (uint16_t k = 0; i % 4 == 0 && k < 12; ++k)
            blocks.push_back(npt_block(i * 100000 + 188, i, k == 0 ? kFlagIntra : 0, 12, k));
    }
    write_file(path, file_of(blocks));
    IndexReader reader(path);
    for (double target = 0.5; target < 40; target += 0.37) {
        ASSERT_TRUE(reader.find_npt(npt = target, false, offset, position)) << target;
        EXPECT_EQ(npt, std::max(scan(blocks, target, false).first, 1.0)) << target;
    }
}

TEST_F(IndexReaderTest, RewriteShiftsOffsetsFromEachKey) {
    std::ostringstream out;
    write_file(path, file_of({npt_block(100, 0.1), npt_block(200, 0.2), npt_block(300, 0.3)}));
    ASSERT_TRUE(IndexReader(path).rewrite(out, {{150, 1000}, {300, -50}}));
    EXPECT_EQ(out.str(), file_of({npt_block(100, 0.1), npt_block(1200, 0.2), npt_block(250, 0.3)}));
    std::ofstream failed;  // never opened: every write fails
    EXPECT_FALSE(IndexReader(path).rewrite(failed, {}));
    EXPECT_TRUE(log.contains("Can't write updated index: "));
}

}  // namespace
}  // namespace Corvid::Index2
