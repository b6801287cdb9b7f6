// The reader over index files written with the format layer: last blocks, bit rate, the NPT search
// against a linear scan, intra listing, rewriting, growing files and corrupt files.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gantry/channel/block.h"
#include "gantry/channel/stream.h"
#include "index2/index_reader.h"
#include "index2/tests/index_test_util.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Corvid::Index2 {
namespace {

using Corvid::Testing::read_file;
using Corvid::Testing::TempDir;
using Corvid::Testing::write_file;
using Testing::synthetic_index;
using Testing::write_index;

Block npt_block(uint64_t offset, double npt, uint32_t flags = kFlagNewNpt) {
    Block block;
    block.offset = offset;
    block.npt = npt;
    block.flags = flags;
    return block;
}

// Every block of a file, read back sequentially (independently of the reader under test).
std::vector<Block> all_blocks(const std::string& path) {
    auto bytes = read_file(path);
    std::vector<Block> blocks;
    Gantry::Channel::BlockReader in(bytes.data(), bytes.size());
    in.skip(kDefaultBlockSize);
    while (in.remaining() >= kDefaultBlockSize) {
        Block block;
        block.read(in);
        blocks.push_back(block);
    }
    return blocks;
}

class IndexReaderTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string path = dir.file("segment.ts.cvi2");
};

TEST_F(IndexReaderTest, InvalidFiles) {
    Corvid::Testing::LogCapture log;
    EXPECT_FALSE(IndexReader(dir.file("missing.cvi2")).valid());
    EXPECT_TRUE(log.take().empty());  // silently

    write_file(path, "CVI1" + std::string(252, '\0'));
    EXPECT_FALSE(IndexReader(path).valid());
    EXPECT_EQ(log.take(), std::vector<std::string>{"1 File " + path +
                                                   " is not a valid CVI2 file: Channel error (2): "
                                                   "Not a CVI2 file"});

    write_file(path, std::string("CVI2\0\0\0\x08\0\0\0\0\0\0\1\0", 16) + std::string(240, '\0'));
    IndexReader small(path);
    EXPECT_FALSE(small.valid());
    EXPECT_EQ(log.take(), std::vector<std::string>{"1 File " + path +
                                                   " is not a valid CVI2 file: Channel error (1): "
                                                   "Header size too small"});
    Block block;
    uint64_t position;
    EXPECT_FALSE(small.find_last_intra(block, position));
    EXPECT_FALSE(small.read_block(256, block));
    EXPECT_EQ(small.bit_rate(), 0);
    double npt = 1.0;
    uint64_t offset;
    EXPECT_FALSE(small.find_npt(npt, false, offset, position));
    IndexReader::IntraList list;
    EXPECT_FALSE(small.list_intra(0, list));
    std::ostringstream out;
    EXPECT_FALSE(small.rewrite(out, {}));
}

TEST_F(IndexReaderTest, FindLastFailures) {
    Block block;
    uint64_t position = 0;

    Corvid::Testing::LogCapture log;
    write_index(path, {});
    IndexReader empty(path);
    ASSERT_TRUE(empty.valid());
    EXPECT_FALSE(empty.find_last_block(block, position));
    EXPECT_EQ(log.take(), std::vector<std::string>{"1 No matching blocks in index file"});

    write_index(path, {npt_block(188, 0.5), npt_block(376, 0, kFlagIntra)});
    IndexReader no_npt(path);
    EXPECT_FALSE(no_npt.find_last_intra(block, position));
    EXPECT_EQ(log.take(), std::vector<std::string>{"1 Last block in index file has no NPT"});

    std::string zero(256, '\0');
    zero.replace(0, 16, std::string("CVI2\0\0\1\0\0\0\0\0\0\0\0\0", 16));
    write_file(path, zero + std::string(512, '\0'));
    IndexReader zero_size(path);
    ASSERT_TRUE(zero_size.valid());
    EXPECT_FALSE(zero_size.find_last_block(block, position));
    EXPECT_EQ(log.take(), std::vector<std::string>{"1 Corrupt CVI2 file (zero block size)"});
    EXPECT_EQ(zero_size.bit_rate(), 0);
}

// Found by fuzzing: an entry read from an index whose header claims block size 0 divided by zero
// while counting the blocks read.
TEST_F(IndexReaderTest, ReadEntryWithZeroBlockSizeFailsCleanly) {
    std::string zero(256, '\0');
    zero.replace(0, 16, std::string("CVI2\0\0\1\0\0\0\0\0\0\0\0\0", 16));
    write_file(path, zero + std::string(512, '\0'));
    IndexReader reader(path);
    ASSERT_TRUE(reader.valid());
    Block block;
    EXPECT_FALSE(reader.read_entry(256, block));
    EXPECT_FALSE(reader.read_block(256, block));
    EXPECT_FALSE(reader.read_block(0, block));
    IndexReader::IntraList list;
    EXPECT_TRUE(reader.list_intra(0, list));  // nothing to list
    std::ostringstream out;
    EXPECT_FALSE(reader.rewrite(out, {}));  // a header of block size 0 cannot be written
}

TEST_F(IndexReaderTest, FindLastIntraAndLastBlock) {
    write_index(path, {npt_block(188, 0.04), npt_block(1880, 0.5, kFlagIntra | kFlagNewNpt),
                       npt_block(3760, 0.52), npt_block(5640, 0.6)});
    IndexReader reader(path);
    Block block;
    uint64_t position;
    ASSERT_TRUE(reader.find_last_intra(block, position));
    EXPECT_EQ(position, 512u);
    EXPECT_EQ(block.offset, 1880u);
    EXPECT_DOUBLE_EQ(block.npt, 0.5);
    ASSERT_TRUE(reader.find_last_block(block, position));
    EXPECT_EQ(position, 1024u);
    EXPECT_EQ(block.offset, 5640u);
    // 5640 bytes in 0.6 s.
    EXPECT_EQ(reader.bit_rate(), 75200);
}

// The capture appends to the index of the segment it records, so a playlist request often meets a
// file that ends inside a block. The last complete block must still be found.
TEST_F(IndexReaderTest, GrowingIndexEndingInPartialBlockFindsLastCompleteBlock) {
    write_index(path, {npt_block(188, 0.04), npt_block(1880, 0.5, kFlagIntra | kFlagNewNpt),
                       npt_block(3760, 0.52)});
    std::string bytes;
    for (uint8_t b : read_file(path))
        bytes += static_cast<char>(b);
    // Half of a further INTRA block: offset 7520, NPT 0.7 s.
    std::string partial(100, '\0');
    partial[6] = 0x1D;
    partial[7] = 0x60;
    partial[10] = 0x02;
    partial[11] = static_cast<char>(0xBC);
    partial[15] = 3;
    write_file(path, bytes + partial);

    IndexReader reader(path);
    Block block;
    uint64_t position = 0;
    ASSERT_TRUE(reader.find_last_block(block, position));
    EXPECT_EQ(position, 768u);
    EXPECT_EQ(block.offset, 3760u);
    ASSERT_TRUE(reader.find_last_intra(block, position));
    EXPECT_EQ(position, 512u);
    EXPECT_DOUBLE_EQ(block.npt, 0.5);

    double npt = 10.0;
    uint64_t offset = 0;
    ASSERT_TRUE(reader.find_npt(npt, false, offset, position));
    EXPECT_DOUBLE_EQ(npt, 0.52);
    EXPECT_EQ(offset, 3760u);

    IndexReader::IntraList list;
    ASSERT_TRUE(reader.list_intra(0, list));
    EXPECT_EQ(list.size(), 2u);
}

TEST_F(IndexReaderTest, ReadBlockRoundsDownAndReadsOnSequentially) {
    write_index(path, {npt_block(188, 0.04), npt_block(376, 0.08), npt_block(564, 0.12)});
    IndexReader reader(path);
    Block block;
    ASSERT_TRUE(reader.read_block(0, block));  // first block after the header
    EXPECT_EQ(block.offset, 188u);
    ASSERT_TRUE(reader.read_block(3 * 256 + 100, block));
    EXPECT_EQ(block.offset, 564u);
    ASSERT_TRUE(reader.read_block(512, block));
    ASSERT_TRUE(reader.read_block(0, block));
    EXPECT_EQ(block.offset, 564u);
    EXPECT_FALSE(reader.read_block(0, block));  // end of file
    EXPECT_FALSE(reader.read_block(100 * 256, block));
}

TEST_F(IndexReaderTest, ReadEntryJoinsTheBlocksOfAnEntry) {
    Block entry;
    entry.offset = 1880;
    entry.npt = 1.5;
    entry.flags = kFlagIntra;
    entry.data.assign(500, 'd');
    std::ostringstream out;
    Gantry::Channel::StreamWriter writer(out);
    Header{}.write(writer);
    npt_block(188, 1.0).write(writer);
    entry.write_entry(writer);
    write_file(path, out.str());

    IndexReader reader(path);
    Block back;
    ASSERT_TRUE(reader.read_entry(512, back));
    EXPECT_EQ(back.data, entry.data);
    EXPECT_EQ(back.count, 3);
    EXPECT_EQ(reader.blocks_read(), 3u);
    EXPECT_FALSE(reader.read_entry(768, back));  // starts with index 1
}

// Expected search results by a linear scan: the NEW-NPT block with the greatest NPT not above the
// target; with intra, the first INTRA block at or after the target if there is one.
struct Expected {
    double npt;
    uint64_t offset;
};
Expected scan(const std::vector<Block>& blocks, double target, bool intra) {
    Expected result{blocks.front().npt, blocks.front().offset};
    for (const Block& b : blocks)
        if (b.has(kFlagNewNpt) && b.npt <= target) result = {b.npt, b.offset};
    if (intra)
        for (const Block& b : blocks)
            if (b.has(kFlagIntra) && b.npt >= target) return {b.npt, b.offset};
    return result;
}

TEST_F(IndexReaderTest, FindNptAgreesWithLinearScanOverAnHour) {
    // One hour at 4 Mbit/s with an intra picture every 2 s.
    write_index(path, synthetic_index(3600, 2, 500000));
    auto blocks = all_blocks(path);
    ASSERT_GT(blocks.size(), 90000u);
    IndexReader reader(path);
    uint64_t most_reads = 0;
    for (double target = 0.05; target < 3599.9; target += 7.31) {
        for (bool intra : {false, true}) {
            Expected expected = scan(blocks, target, intra);
            double npt = target;
            uint64_t offset = 0, position = 0;
            reader.reset_blocks_read();
            ASSERT_TRUE(reader.find_npt(npt, intra, offset, position)) << target;
            most_reads = std::max(most_reads, reader.blocks_read());
            EXPECT_DOUBLE_EQ(npt, expected.npt) << "target " << target << " intra " << intra;
            EXPECT_EQ(offset, expected.offset) << "target " << target << " intra " << intra;
            // The block position names the block found.
            Block at;
            ASSERT_TRUE(reader.read_block(position, at));
            EXPECT_EQ(at.offset, offset);
        }
    }
    // Interpolation, not a scan: a handful of blocks per search even in an hour of index.
    EXPECT_LT(most_reads, 80u);
}

TEST_F(IndexReaderTest, FindNptSnapsToTheEnds) {
    write_index(path, synthetic_index(60, 2, 500000));
    IndexReader reader(path);
    double npt = 0;
    uint64_t offset = 99, position = 0;
    ASSERT_TRUE(reader.find_npt(npt, false, offset, position));
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(position, 256u);
    npt = -3;
    ASSERT_TRUE(reader.find_npt(npt, true, offset, position));
    EXPECT_EQ(offset, 0u);

    Block last;
    uint64_t last_position;
    ASSERT_TRUE(reader.find_last_block(last, last_position));
    npt = 1e6;
    ASSERT_TRUE(reader.find_npt(npt, false, offset, position));
    EXPECT_DOUBLE_EQ(npt, last.npt);
    EXPECT_EQ(offset, last.offset);
    EXPECT_EQ(position, last_position);
}

// A guess that lands inside a long entry whose NPT is already past the target must move back
// towards the target, not walk forward to the next NEW-NPT block and further away.
TEST_F(IndexReaderTest, FindNptBacksOutOfEntryBeyondTarget) {
    std::vector<Block> blocks;
    for (int i = 1; i <= 40; ++i) {
        blocks.push_back(npt_block(i * 100000, i * 1.0));
        if (i % 4 == 0) {
            for (uint16_t k = 0; k < 12; ++k) {
                Block part = npt_block(i * 100000 + 188, i * 1.0, k == 0 ? kFlagIntra : 0);
                part.count = 12;
                part.index = k;
                blocks.push_back(part);
            }
        }
    }
    write_index(path, blocks);
    auto read_back = all_blocks(path);
    IndexReader reader(path);
    for (double target = 0.5; target < 40; target += 0.37) {
        Expected expected = scan(read_back, target, false);
        double npt = target;
        uint64_t offset = 0, position = 0;
        ASSERT_TRUE(reader.find_npt(npt, false, offset, position)) << target;
        EXPECT_DOUBLE_EQ(npt, std::max(expected.npt, 1.0)) << target;
    }
}

TEST_F(IndexReaderTest, FindNptGivesUpOnMisorderedAndMissingNpts) {
    std::vector<Block> blocks = {npt_block(188, 1.0), npt_block(376, 3.0), npt_block(564, 2.0),
                                 npt_block(752, 4.0)};
    write_index(path, blocks);
    IndexReader misordered(path);
    double npt = 2.5;
    uint64_t offset, position;
    EXPECT_FALSE(misordered.find_npt(npt, false, offset, position));

    blocks = {npt_block(188, 1.0)};
    for (int i = 0; i < 40; ++i)
        blocks.push_back(npt_block(376 + i, 1.0, 0));
    blocks.push_back(npt_block(9000, 9.0));
    write_index(path, blocks);
    IndexReader sparse(path);
    npt = 5.0;
    EXPECT_FALSE(sparse.find_npt(npt, false, offset, position));
}

TEST_F(IndexReaderTest, ListIntraAtIntervals) {
    write_index(path, synthetic_index(20, 2, 500000));
    auto blocks = all_blocks(path);
    std::vector<std::pair<double, uint64_t>> intra;
    for (const Block& b : blocks)
        if (b.has(kFlagIntra)) intra.emplace_back(b.npt, b.offset);
    ASSERT_EQ(intra.size(), 10u);

    IndexReader reader(path);
    IndexReader::IntraList all;
    ASSERT_TRUE(reader.list_intra(0, all));
    ASSERT_EQ(all.size(), 11u);
    EXPECT_EQ(all[0], std::make_pair(0.0, uint64_t{0}));
    for (size_t i = 0; i < intra.size(); ++i)
        EXPECT_EQ(all[i + 1], intra[i]);

    // Entries at 0.2, 2.2, 4.2 ...: with 5 s the thresholds are 0, 5, 10, 15.
    IndexReader::IntraList sparse;
    ASSERT_TRUE(reader.list_intra(5, sparse));
    ASSERT_EQ(sparse.size(), 4u);
    EXPECT_EQ(sparse[1], intra[3]);  // 6.2 > 5
    EXPECT_EQ(sparse[2], intra[5]);  // 10.2 > 10
    EXPECT_EQ(sparse[3], intra[8]);  // 16.2 > 15
}

TEST_F(IndexReaderTest, RewriteShiftsOffsetsFromEachKey) {
    std::vector<Block> blocks = {npt_block(100, 0.1), npt_block(200, 0.2), npt_block(300, 0.3),
                                 npt_block(400, 0.4)};
    blocks[2].data = "inline";
    write_index(path, blocks);
    IndexReader reader(path);
    std::ostringstream out;
    ASSERT_TRUE(reader.rewrite(out, {{150, 1000}, {300, -50}}));
    std::string copy_path = dir.file("copy.cvi2");
    write_file(copy_path, out.str());
    auto copy = all_blocks(copy_path);
    ASSERT_EQ(copy.size(), 4u);
    EXPECT_EQ(copy[0].offset, 100u);
    EXPECT_EQ(copy[1].offset, 1200u);
    EXPECT_EQ(copy[2].offset, 250u);
    EXPECT_EQ(copy[3].offset, 350u);
    EXPECT_EQ(copy[2].data, "inline");
    EXPECT_DOUBLE_EQ(copy[3].npt, 0.4);
    auto original = read_file(path);
    EXPECT_EQ(out.str().substr(0, 256), std::string(original.begin(), original.begin() + 256));

    std::ofstream failed;  // never opened: every write fails
    EXPECT_FALSE(reader.rewrite(failed, {}));
}

}  // namespace
}  // namespace Corvid::Index2
