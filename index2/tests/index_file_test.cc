// The index file: the writer's bound on an entry and resuming after a crash, the layout, the
// reader's refusals and its NPT search against a linear scan. What the entries hold is checked end
// to end: cv-index's oracle test decodes each one against ffmpeg.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "gantry/channel/stream.h"
#include "index2/index_reader.h"
#include "index2/index_writer.h"
#include "index2/tests/index_test_util.h"
#include "indexgen/packet_record.h"
#include "tests/support/log_capture.h"

namespace Corvid::Index2 {
namespace {

using Corvid::Testing::read_file;
using Corvid::Testing::write_file;
using IndexGen::PacketRecord;
using Testing::describe;
using Testing::read_blocks;
using Lines = std::vector<std::string>;

class IndexFileTest : public ::testing::Test {
  protected:
    Corvid::Testing::TempDir dir;
    std::string path = dir.file("segment.ts.cvi2");
    Corvid::Testing::LogCapture log;
    IndexWriter writer;
    Block block;
    uint64_t position = 0, offset = 0;
    double npt = 0;
};

// An intra-picture record of the video PID; its payload bytes count up from its offset.
PacketRecord video(uint64_t offset, double npt, bool modified, uint32_t counter = 0,
                   std::vector<IndexGen::FrameMark> marks = {}, bool start = true) {
    std::vector<uint8_t> payload(184);
    std::iota(payload.begin(), payload.end(), static_cast<uint8_t>(offset));
    PacketRecord record(MPEG::TSPacket{
        .pid = 0x100, .continuity_counter = counter, .payload = payload, .offset = offset});
    record.state = PacketRecord::intra;
    record.npt = npt;
    record.modified = modified;
    record.intra_start = start && !marks.empty();
    record.marks = std::move(marks);
    return record;
}

// A crash can cut the index anywhere, here in the last block of a three-block entry: resuming trims
// the file to whole blocks and whole entries before appending, and writes no second header.
TEST_F(IndexFileTest, ResumingAfterACrashTrimsToWholeEntries) {
    ASSERT_EQ(writer.open(path, false), 0);
    writer.add_npt(188, 12.3456);
    writer.add_npt(376, 12.3456);  // unchanged: nothing
    writer.add_npt(564, 0.0);      // unknown: nothing
    writer.set_psi_data(std::string(500, 'P'));
    writer.add_packet(video(752, 13, false, 0, {{0, false}, {90, true}}));
    writer.close();
    const auto whole = read_file(path);
    EXPECT_EQ(describe(read_blocks(path)),
              (Lines{"188 12.345 N 0/0 ref 0@0 data 0", "752 13 NI 0/3 ref 0@0 data 220",
                     "752 13 - 1/3 ref 0@0 data 220", "752 13 R 2/3 ref 188@752 data 60"}));
    for (size_t cut = 0; cut <= whole.size(); cut += cut < 3 * 256 ? 100 : 1) {
        write_file(path, std::string(whole.begin(), whole.begin() + cut));
        ASSERT_EQ(writer.open(path, true), 0);
        writer.add_npt(9400, 20.0);
        writer.close();
        auto blocks = describe(read_blocks(path));
        ASSERT_EQ(blocks.size(), cut < 512 ? 1u : cut < whole.size() ? 2u : 5u) << cut;
        EXPECT_EQ(blocks.back(), "9400 20 N 0/0 ref 0@0 data 0") << cut;
    }
    EXPECT_EQ(writer.open(dir.file("no/such/dir.cvi2"), false), 1);
}

// A picture that never ends (scrambled from its middle on) is dropped with one error line; the NPT
// goes on and the next picture is indexed.
TEST_F(IndexFileTest, EntryOfAPictureThatNeverEndsIsBounded) {
    ASSERT_EQ(writer.open(path, false), 0);
    writer.add_packet(video(0, 1.0, true, 0, {{0, false}}));
    for (int i = 1; i < 70000; ++i)
        writer.add_packet(video(i * 188, 1.0 + i * 0.04, false));
    writer.add_packet(video(70000 * 188, 3000.0, true, 0, {{0, false}, {100, true}}));
    writer.close();
    EXPECT_EQ(log.take(), Lines{"1 Intra entry longer than 65535 blocks - dropped"});
    auto blocks = read_blocks(path);
    // Dropped as the record at 65535 makes the entry's 65536th block: NPT blocks from the next.
    ASSERT_EQ(blocks.size(), 70000u - 65536u + 1);
    EXPECT_EQ(
        describe({blocks.front(), blocks.back()}),
        (Lines{"12320768 2622.44 N 0/0 ref 0@0 data 0", "13160000 3000 NV 0/1 ref 0@0 data 188"}));
}

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

// Big-endian fields, 12.3456 s stored as 12345 ms, the data; and the block's dump.
TEST_F(IndexFileTest, LayoutAndDump) {
    Block b = npt_block(0x0102030405060708, 12.3456, 15, 3, 1);
    b.ref_length = 9588, b.ref_offset = 56400,
    b.data =
        "G@\1\x10"
        "0123456789ABCDEF!";
    write_file(path, file_of({b}));
    EXPECT_EQ(file_of({b}).substr(256, 57),
              std::string("\1\2\3\4\5\6\7\x08\0\0\x30\x39\0\0\0\x0f\0\3\0\1"
                          "\0\0\x25\x74\0\0\0\0\0\0\xdc\x50\0\0\0\x15",
                          36) +
                  b.data);
    ASSERT_TRUE(IndexReader(path).read_block(256, block));
    std::ostringstream dump;
    block.dump(dump, true);
    EXPECT_EQ(dump.str(),
              "Index2 block[256]: NPT 12.345@72623859790382856 NEW-NPT INTRA (1/3)\n"
              "  Ref data: 9588@56400\n"
              "  Inline data (21):\n"
              "    47400110 30313233 34353637 38394142  G@..0123456789AB\n"
              "    43444546 21                          CDEF!\n");
}

// Hostile headers, lengths, counts and NPTs give the format's errors through the reader's lines,
// never a read past the data or an allocation sized by the file.
TEST_F(IndexFileTest, RefusalsLogTheirReason) {
    const std::string invalid = "File " + path + " is not a valid CVI2 file: Channel error ";
    const std::string corrupt = "Corrupt CVI2 file: Channel error ";
    std::string length_221 = file_of({Block{}}), length_max = length_221;
    length_221[256 + 35] = static_cast<char>(221);
    length_max.replace(256 + 32, 4, 4, '\xFF');  // must not wrap the bounds check
    std::vector<Block> no_new_npt(40, npt_block(376, 1.0, 0));
    no_new_npt.insert(no_new_npt.begin(), npt_block(188, 1.0));
    no_new_npt.push_back(npt_block(9000, 9.0));
    enum Op { last_intra, entry, search };
    const std::tuple<std::string, Op, std::string> cases[] = {
        {"CVI1" + std::string(252, '\0'), entry, invalid + "(2): Not a CVI2 file"},
        {file_of({}, 8), entry, invalid + "(1): Header size too small"},
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
    for (const auto& [file, op, line] : cases) {
        write_file(path, file);
        IndexReader reader(path);
        EXPECT_FALSE(reader.valid() &&
                     (op == entry        ? reader.read_entry(256, block)
                      : op == last_intra ? reader.find_last_intra(block, position)
                                         : reader.find_npt(npt = 2.5, false, offset, position)));
        EXPECT_EQ(log.errors(), Lines{line});
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
std::vector<Block> hour_of_index() {
    std::vector<Block> blocks;
    for (int tick = 1; tick <= 90000; ++tick)
        for (uint16_t i = 0; i < (tick % 50 == 5 ? 12 : 1); ++i)
            blocks.push_back(tick % 50 != 5
                                 ? npt_block(offset_at(tick), tick * 0.04)
                                 : npt_block(offset_at(tick), tick * 0.04, i ? 0 : 3, 12, i));
    return blocks;
}

// The search's expected results by a linear scan: the NEW-NPT block with the greatest NPT not
// above the target; with intra, the first INTRA block at or after the target if there is one.
double scan(const std::vector<Block>& blocks, double target, bool intra) {
    double result = blocks.front().npt;
    for (const Block& b : blocks)
        if (b.has(kFlagNewNpt) && b.npt <= target) result = b.npt;
    if (intra)
        for (const Block& b : blocks)
            if (b.has(kFlagIntra) && b.npt >= target) return b.npt;
    return result;
}

// The capture appends to the index of the segment it records, so a reader often meets a file that
// ends inside a block: only whole blocks count. A second index, of 40 s, has long entries after
// each NEW-NPT block: a guess inside one already past the target must move back towards it.
TEST_F(IndexFileTest, NptSearchMatchesLinearScan) {
    std::vector<Block> long_entries;
    for (int i = 1; i <= 40; ++i) {
        long_entries.push_back(npt_block(i * 100000, i));
        for (uint16_t k = 0; i % 4 == 0 && k < 12; ++k)
            long_entries.push_back(npt_block(i * 100000 + 188, i, k == 0 ? kFlagIntra : 0, 12, k));
    }
    for (const auto& [made, step, rate] :
         {std::tuple{hour_of_index(), 7.31, 4000000}, {long_entries, 0.37, 800000}}) {
        const std::string file = file_of(made);
        write_file(path, file);
        const auto blocks = read_blocks(path);  // NPTs in whole milliseconds
        write_file(path, file + file.substr(file.size() - 100));
        IndexReader reader(path);
        EXPECT_NEAR(reader.bit_rate(), rate, 1000);
        ASSERT_TRUE(reader.find_last_intra(block, position));
        EXPECT_EQ(block.offset, std::find_if(blocks.rbegin(), blocks.rend(), [](const Block& b) {
                                    return b.has(kFlagIntra);
                                })->offset);
        uint64_t most_reads = 0;
        for (double target = 0.05; target < blocks.back().npt; target += step) {
            for (bool intra : {false, true}) {
                reader.reset_blocks_read();
                ASSERT_TRUE(reader.find_npt(npt = target, intra, offset, position)) << target;
                most_reads = std::max(most_reads, reader.blocks_read());
                ASSERT_EQ(npt, scan(blocks, target, intra)) << target << intra;
                ASSERT_TRUE(reader.read_block(position, block));  // the position names the block
                EXPECT_EQ(std::pair(block.npt, block.offset), std::pair(npt, offset));
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
}

TEST_F(IndexFileTest, RewriteShiftsOffsetsFromEachKey) {
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
