// The reader over index files written with the format layer: log texts of its failures, growing
// and corrupt files, the NPT search against a linear scan, intra listing and rewriting.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gantry/channel/stream.h"
#include "index2/index_reader.h"
#include "index2/tests/index_test_util.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Corvid::Index2 {
namespace {

using Corvid::Testing::read_file;
using Corvid::Testing::write_file;
using Testing::describe;
using Testing::read_blocks;
using Testing::write_index;

Block npt_block(uint64_t offset, double npt, uint32_t flags = kFlagNewNpt) {
    return {.offset = offset, .npt = npt, .flags = flags, .data = {}};
}

// An index shaped like the daemon's: a stand-alone NEW-NPT block every 40 ms, and every gop seconds
// instead a three-block intra entry (PSI, picture, a reference into the segment). Offsets grow at
// bytes_per_second, on packet boundaries.
std::vector<Block> synthetic_index(double seconds, double gop_seconds, uint64_t bytes_per_second) {
    std::vector<Block> blocks;
    const int gop_ticks = static_cast<int>(std::lround(gop_seconds / 0.04));
    for (int tick = 1; tick <= static_cast<int>(seconds / 0.04); ++tick) {
        Block block = npt_block(static_cast<uint64_t>(tick * 0.04 * bytes_per_second) / 188 * 188,
                                tick * 0.04);
        if (tick % gop_ticks != 5 % gop_ticks) {
            blocks.push_back(block);
            continue;
        }
        block.flags |= kFlagIntra;
        block.count = 3;
        block.data.assign(220, 'P');
        blocks.push_back(block);
        block.flags = kFlagVideoStart;
        block.index = 1;
        block.data.assign(156, 'V');
        blocks.push_back(block);
        block.flags = kFlagRef;
        block.index = 2;
        block.data.clear();
        block.ref_offset = block.offset + 188;
        block.ref_length = 188 * 40;
        blocks.push_back(block);
    }
    return blocks;
}

// A header claiming block size 0, then two blocks' worth of zeros.
const std::string kZeroBlockSize =
    std::string("CVI2\0\0\1\0\0\0\0\0\0\0\0\0", 16) + std::string(240 + 512, '\0');

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

// Each failure logs its line; a file that cannot be opened is refused silently.
TEST_F(IndexReaderTest, FailuresLogTheirReason) {
    const std::string invalid = "1 File " + path + " is not a valid CVI2 file: Channel error ";
    const struct {
        std::string file;  // "": an index of the blocks
        std::vector<Block> blocks;
        uint32_t find_mask;
        std::string line;
    } cases[] = {
        {"CVI1" + std::string(252, '\0'), {}, 0, invalid + "(2): Not a CVI2 file"},
        {std::string("CVI2\0\0\0\x08\0\0\0\0\0\0\1\0", 16) + std::string(240, '\0'),
         {},
         0,
         invalid + "(1): Header size too small"},
        {"", {}, 0, "1 No matching blocks in index file"},
        {"",
         {npt_block(188, 0.5), npt_block(376, 0, kFlagIntra), npt_block(564, 0.6)},
         kFlagIntra,
         "1 Last block in index file has no NPT"},
        {kZeroBlockSize, {}, 0, "1 Corrupt CVI2 file (zero block size)"},
    };
    for (const auto& c : cases) {
        c.file.empty() ? write_index(path, c.blocks) : write_file(path, c.file);
        IndexReader reader(path);
        EXPECT_FALSE(reader.valid() && reader.find_last(block, position, c.find_mask));
        EXPECT_EQ(log.take(), std::vector<std::string>{c.line});
    }

    EXPECT_FALSE(IndexReader(dir.file("missing.cvi2")).valid());
    EXPECT_TRUE(log.take().empty());
    // Every operation refuses an invalid reader.
    IndexReader invalid_reader(path + ".none");
    EXPECT_FALSE(invalid_reader.find_last_intra(block, position));
    EXPECT_FALSE(invalid_reader.read_block(256, block));
    EXPECT_EQ(invalid_reader.bit_rate(), 0);
    npt = 1.0;
    EXPECT_FALSE(invalid_reader.find_npt(npt, false, offset, position));
    EXPECT_FALSE(invalid_reader.list_intra(0, list));
    std::ostringstream out;
    EXPECT_FALSE(invalid_reader.rewrite(out, {}));
}

// Found by fuzzing: an entry read from an index whose header claims block size 0 divided by zero
// while counting the blocks read.
TEST_F(IndexReaderTest, ReadEntryWithZeroBlockSizeFailsCleanly) {
    write_file(path, kZeroBlockSize);
    IndexReader reader(path);
    ASSERT_TRUE(reader.valid());
    EXPECT_FALSE(reader.read_entry(256, block));
    EXPECT_FALSE(reader.read_block(256, block));
    EXPECT_FALSE(reader.read_block(0, block));
    EXPECT_TRUE(reader.list_intra(0, list));  // nothing to list
    std::ostringstream out;
    EXPECT_FALSE(reader.rewrite(out, {}));  // a header of block size 0 cannot be written
    EXPECT_EQ(reader.bit_rate(), 0);
}

// The capture appends to the index of the segment it records, so a playlist request often meets a
// file that ends inside a block. The last complete block must still be found.
TEST_F(IndexReaderTest, GrowingIndexEndingInPartialBlockFindsLastCompleteBlock) {
    write_index(path, {npt_block(188, 0.04), npt_block(1880, 0.5, kFlagIntra | kFlagNewNpt),
                       npt_block(3760, 0.52), npt_block(7520, 0.7, kFlagIntra | kFlagNewNpt)});
    std::filesystem::resize_file(path, 4 * 256 + 100);  // half of a further INTRA block

    IndexReader reader(path);
    ASSERT_TRUE(reader.find_last_block(block, position));
    EXPECT_EQ(position, 768u);
    EXPECT_EQ(block.offset, 3760u);
    ASSERT_TRUE(reader.find_last_intra(block, position));
    EXPECT_EQ(position, 512u);
    EXPECT_DOUBLE_EQ(block.npt, 0.5);
    EXPECT_EQ(reader.bit_rate(), 57846);  // 3760 bytes in 0.52 s

    npt = 10.0;
    ASSERT_TRUE(reader.find_npt(npt, false, offset, position));
    EXPECT_DOUBLE_EQ(npt, 0.52);
    EXPECT_EQ(offset, 3760u);
    ASSERT_TRUE(reader.list_intra(0, list));
    EXPECT_EQ(list.size(), 2u);
}

// In a file of 512-byte blocks, with flags in its header.
TEST_F(IndexReaderTest, ReadBlockAndEntry) {
    Block entry{.block_size = 512,
                .offset = 1880,
                .npt = 1.5,
                .flags = kFlagIntra,
                .data = std::string(1000, 'd')};
    write_index(path, {npt_block(188, 1.0), npt_block(376, 1.2)}, 512, 0xA5);
    {
        std::ofstream out(path, std::ios::binary | std::ios::app);
        Gantry::Channel::StreamWriter writer(out);
        entry.write_entry(writer);
    }
    IndexReader reader(path);
    EXPECT_EQ(reader.header().flags, 0xA5u);
    EXPECT_EQ(reader.header().block_size, 512u);
    ASSERT_TRUE(reader.read_block(0, block));  // first block after the header
    EXPECT_EQ(block.offset, 188u);
    ASSERT_TRUE(reader.read_block(2 * 512 + 300, block));  // rounded down
    EXPECT_EQ(block.offset, 376u);
    ASSERT_TRUE(reader.read_block(0, block));  // and on from there
    EXPECT_EQ(describe(block), "1880 1.5 INTRA 0/3 ref 0@0 data 476");
    EXPECT_FALSE(reader.read_block(100 * 512, block));

    reader.reset_blocks_read();
    ASSERT_TRUE(reader.read_entry(3 * 512, block));
    EXPECT_EQ(block.data, entry.data);
    EXPECT_EQ(reader.blocks_read(), 3u);
    EXPECT_FALSE(reader.read_block(0, block));        // end of file
    EXPECT_FALSE(reader.read_entry(4 * 512, block));  // starts with index 1
}

// Expected search results by a linear scan: the NEW-NPT block with the greatest NPT not above the
// target; with intra, the first INTRA block at or after the target if there is one.
std::pair<double, uint64_t> scan(const std::vector<Block>& blocks, double target, bool intra) {
    std::pair<double, uint64_t> result{blocks.front().npt, blocks.front().offset};
    for (const Block& b : blocks)
        if (b.has(kFlagNewNpt) && b.npt <= target) result = {b.npt, b.offset};
    if (intra)
        for (const Block& b : blocks)
            if (b.has(kFlagIntra) && b.npt >= target) return {b.npt, b.offset};
    return result;
}

TEST_F(IndexReaderTest, FindNptAgreesWithLinearScanOverAnHourAndSnapsToTheEnds) {
    // One hour at 4 Mbit/s with an intra picture every 2 s.
    write_index(path, synthetic_index(3600, 2, 500000));
    auto blocks = read_blocks(path);
    ASSERT_GT(blocks.size(), 90000u);
    IndexReader reader(path);
    uint64_t most_reads = 0;
    for (double target = 0.05; target < 3599.9; target += 7.31) {
        for (bool intra : {false, true}) {
            auto [expected_npt, expected_offset] = scan(blocks, target, intra);
            npt = target;
            reader.reset_blocks_read();
            ASSERT_TRUE(reader.find_npt(npt, intra, offset, position)) << target;
            most_reads = std::max(most_reads, reader.blocks_read());
            EXPECT_DOUBLE_EQ(npt, expected_npt) << "target " << target << " intra " << intra;
            EXPECT_EQ(offset, expected_offset) << "target " << target << " intra " << intra;
            // The block position names the block found.
            ASSERT_TRUE(reader.read_block(position, block));
            EXPECT_EQ(block.offset, offset);
        }
    }
    // Interpolation, not a scan: a handful of blocks per search even in an hour of index.
    EXPECT_LT(most_reads, 80u);

    for (double front : {0.0, -3.0}) {
        npt = front;
        offset = 99;
        ASSERT_TRUE(reader.find_npt(npt, front < 0, offset, position));
        EXPECT_EQ(offset, 0u);
        EXPECT_EQ(position, 256u);
    }
    npt = 1e6;
    ASSERT_TRUE(reader.find_npt(npt, false, offset, position));
    EXPECT_DOUBLE_EQ(npt, blocks.back().npt);
    EXPECT_EQ(offset, blocks.back().offset);
    EXPECT_EQ(position, blocks.size() * 256);
}

// A guess that lands inside a long entry whose NPT is already past the target must move back
// towards the target, not walk forward to the next NEW-NPT block and further away.
TEST_F(IndexReaderTest, FindNptBacksOutOfEntryBeyondTarget) {
    std::vector<Block> blocks;
    for (int i = 1; i <= 40; ++i) {
        blocks.push_back(npt_block(i * 100000, i * 1.0));
        for (uint16_t k = 0; i % 4 == 0 && k < 12; ++k) {
            blocks.push_back(npt_block(i * 100000 + 188, i * 1.0, k == 0 ? kFlagIntra : 0));
            blocks.back().count = 12;
            blocks.back().index = k;
        }
    }
    write_index(path, blocks);
    IndexReader reader(path);
    for (double target = 0.5; target < 40; target += 0.37) {
        npt = target;
        ASSERT_TRUE(reader.find_npt(npt, false, offset, position)) << target;
        EXPECT_DOUBLE_EQ(npt, std::max(scan(blocks, target, false).first, 1.0)) << target;
    }
}

TEST_F(IndexReaderTest, FindNptGivesUpOnMisorderedAndMissingNpts) {
    write_index(
        path, {npt_block(188, 1.0), npt_block(376, 3.0), npt_block(564, 2.0), npt_block(752, 4.0)});
    npt = 2.5;
    EXPECT_FALSE(IndexReader(path).find_npt(npt, false, offset, position));

    std::vector<Block> blocks = {npt_block(188, 1.0)};
    for (int i = 0; i < 40; ++i)
        blocks.push_back(npt_block(376 + i, 1.0, 0));
    blocks.push_back(npt_block(9000, 9.0));
    write_index(path, blocks);
    npt = 5.0;
    log.clear();
    EXPECT_FALSE(IndexReader(path).find_npt(npt, false, offset, position));
    EXPECT_TRUE(log.has_line("1 No NEW_NPT found in 16 blocks - giving up"));
}

TEST_F(IndexReaderTest, ListIntraAtIntervals) {
    write_index(path, synthetic_index(20, 2, 500000));
    IndexReader::IntraList intra;
    for (const Block& b : read_blocks(path))
        if (b.has(kFlagIntra)) intra.emplace_back(b.npt, b.offset);
    ASSERT_EQ(intra.size(), 10u);

    IndexReader reader(path);
    ASSERT_TRUE(reader.list_intra(0, list));
    intra.insert(intra.begin(), {0.0, 0});
    EXPECT_EQ(list, intra);

    // Entries at 0.2, 2.2, 4.2 ...: with 5 s the thresholds are 0, 5, 10, 15.
    IndexReader::IntraList sparse;
    ASSERT_TRUE(reader.list_intra(5, sparse));
    EXPECT_EQ(sparse, (IndexReader::IntraList{intra[0], intra[4], intra[6], intra[9]}));
}

TEST_F(IndexReaderTest, RewriteShiftsOffsetsFromEachKey) {
    std::vector<Block> blocks = {npt_block(100, 0.1), npt_block(200, 0.2), npt_block(300, 0.3),
                                 npt_block(400, 0.4)};
    blocks[2].data = "inline";
    write_index(path, blocks);
    IndexReader reader(path);
    std::ostringstream out;
    ASSERT_TRUE(reader.rewrite(out, {{150, 1000}, {300, -50}}));
    const uint64_t shifted[] = {100, 1200, 250, 350};
    for (size_t i = 0; i < 4; ++i)
        blocks[i].offset = shifted[i];
    write_index(dir.file("expected.cvi2"), blocks);
    auto expected = read_file(dir.file("expected.cvi2"));
    EXPECT_EQ(out.str(), std::string(expected.begin(), expected.end()));

    std::ofstream failed;  // never opened: every write fails
    EXPECT_FALSE(reader.rewrite(failed, {}));
    EXPECT_TRUE(log.contains("Can't write updated index: "));
}

}  // namespace
}  // namespace Corvid::Index2
