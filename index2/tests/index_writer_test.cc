// The index writer driven with hand-made packet records: resuming an index after a crash, NPT
// blocks, how entries are cut into blocks, inline packets against references into the segment,
// entry boundaries and the bound on an entry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "index2/index_writer.h"
#include "index2/tests/index_test_util.h"
#include "indexgen/packet_record.h"
#include "tests/support/log_capture.h"

namespace Corvid::Index2 {
namespace {

using Corvid::Testing::read_file;
using IndexGen::PacketRecord;
using Testing::describe;
using Lines = std::vector<std::string>;

// An intra-picture record of the video PID; its payload bytes count up from its offset.
PacketRecord video(uint64_t offset, double npt, bool modified, uint32_t counter = 0,
                   std::vector<IndexGen::FrameMark> marks = {}, bool start = true) {
    PacketRecord record;
    record.packet.pid = 0x100;
    record.packet.offset = offset;
    record.packet.continuity_counter = counter;
    for (size_t i = 0; i < 184; ++i)
        record.packet.payload.push_back(static_cast<uint8_t>(offset + i));
    record.state = PacketRecord::intra;
    record.npt = npt;
    record.modified = modified;
    record.intra_start = start && !marks.empty();
    record.marks = std::move(marks);
    return record;
}

// The inline data of the blocks, joined: whole transport packets.
std::string inline_data(const std::vector<Block>& blocks) {
    std::string data;
    for (const Block& b : blocks)
        data += b.data;
    EXPECT_EQ(data.size() % 188, 0u);
    return data;
}

class IndexWriterTest : public ::testing::Test {
  protected:
    Corvid::Testing::TempDir dir;
    std::string path = dir.file("segment.ts.cvi2");
    IndexWriter writer;
};

// A crash can cut the index anywhere, here in the last block of a three-block entry: resuming trims
// the file to whole blocks and whole entries before appending, and writes no second header.
TEST_F(IndexWriterTest, ResumingAfterACrashTrimsToWholeEntries) {
    ASSERT_EQ(writer.open(path, false), 0);
    writer.add_npt(188, 12.3456);
    writer.add_npt(376, 12.3456);  // unchanged: nothing
    writer.add_npt(564, 0.0);      // unknown: nothing
    writer.set_psi_data(std::string(500, 'P'));
    writer.add_packet(video(752, 13, false, 0, {{0, false}, {90, true}}));
    writer.close();
    const auto whole = read_file(path);
    EXPECT_EQ(describe(Testing::read_blocks(path)),
              (Lines{"188 12.345 N 0/0 ref 0@0 data 0", "752 13 NI 0/3 ref 0@0 data 220",
                     "752 13 - 1/3 ref 0@0 data 220", "752 13 R 2/3 ref 188@752 data 60"}));
    for (size_t cut = 0; cut <= whole.size(); cut += cut < 3 * 256 ? 100 : 1) {
        Corvid::Testing::write_file(path, std::string(whole.begin(), whole.begin() + cut));
        ASSERT_EQ(writer.open(path, true), 0);
        writer.add_npt(9400, 20.0);
        writer.close();
        auto blocks = describe(Testing::read_blocks(path));
        ASSERT_EQ(blocks.size(), cut < 512 ? 1u : cut < whole.size() ? 2u : 5u) << cut;
        EXPECT_EQ(blocks.back(), "9400 20 N 0/0 ref 0@0 data 0") << cut;
    }
    EXPECT_EQ(writer.open(dir.file("no/such/dir.cvi2"), false), 1);
}

TEST_F(IndexWriterTest, EntryOfPsiReferencesAndInlinePackets) {
    ASSERT_EQ(writer.open(path, false), 0);
    writer.add_npt(100, 4.0);
    writer.set_psi_data(std::string(188, 'P'));
    std::string header(2 * 188, '\x15');  // two packets whose counters must run up to the record's
    writer.set_video_header(header);
    const PacketRecord start = video(1000, 4.5, true, 8, {{4, false}});
    writer.add_packet(start);
    writer.add_packet(video(1188, 4.5, false));
    writer.add_packet(video(1564, 0.0, false));  // other PIDs lie between: the range grows
    writer.add_packet(video(1752, 4.6, false));  // NPT moved: a NEW-NPT reference block
    writer.add_packet(video(1940, 4.6, false));
    PacketRecord grown = video(2316, 4.6, true, 1);
    grown.packet.payload.push_back(0xAB);  // past one packet: two, ending with its counter
    writer.add_packet(grown);
    writer.add_packet(video(2504, 4.6, false, 0, {{100, true}}, false));
    writer.close();

    // PSI, NEW-NPT as 4.0 moves to 4.5; the header, the changed start packet, then a reference
    // to 1188 .. 1564+188 (the NPT step ends it before 1752); a NEW-NPT reference from 1752; the
    // grown packet inline and a reference to 2504 after it.
    auto blocks = Testing::read_blocks(path);
    EXPECT_EQ(describe(blocks),
              (Lines{"100 4 N 0/0 ref 0@0 data 0", "1000 4.5 NI 0/7 ref 0@0 data 188",
                     "1000 4.5 V 1/7 ref 0@0 data 220", "1000 4.5 - 2/7 ref 0@0 data 156",
                     "1000 4.5 R 3/7 ref 564@1188 data 188", "1752 4.6 NR 4/7 ref 376@1752 data 0",
                     "2316 4.6 - 5/7 ref 0@0 data 220", "2316 4.6 R 6/7 ref 188@2504 data 156"}));
    const std::string data = inline_data({blocks.begin() + 2, blocks.end()});
    ASSERT_EQ(data.size(), 5 * 188u);              // header 2, start 1, grown 2
    const int counters[] = {0x16, 0x17, 8, 0, 1};  // only the low 4 bits of a header's change
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(data[i * 188 + 3] & (i < 2 ? 0xFF : 0x0F), counters[i]) << i;
    EXPECT_EQ(data.substr(2 * 188 + 4, 184),
              std::string(start.packet.payload.begin(), start.packet.payload.end()));
}

// One packet that ends an intra picture (its end mark lies before its start mark) and begins the
// next: the first picture's entry must be written before the second replaces it.
TEST_F(IndexWriterTest, PacketEndingOnePictureAndStartingTheNextKeepsBothEntries) {
    ASSERT_EQ(writer.open(path, false), 0);
    writer.add_packet(video(1000, 1.0, true, 0, {{10, false}}));
    // The end mark of the first picture falls in this packet's PES header (before es_offset), so
    // no byte of it belongs to that picture.
    PacketRecord both = video(1376, 1.04, true, 2, {{13, true}, {14, false}});
    both.es_offset = 14;
    writer.add_packet(both);
    // And a packet whose own bytes end the second picture before starting a third.
    writer.add_packet(video(1752, 1.08, true, 4, {{30, true}, {40, false}}));
    writer.add_packet(video(1940, 1.08, false, 0, {{20, true}}, false));
    writer.close();
    auto blocks = Testing::read_blocks(path);
    EXPECT_EQ(
        describe(blocks),
        (Lines{"1000 1 NV 0/1 ref 0@0 data 188", "1376 1.04 NV 0/2 ref 0@0 data 188",
               "1752 1.08 N 1/2 ref 0@0 data 188", "1752 1.08 RV 0/1 ref 188@1940 data 188"}));
    EXPECT_EQ(188 - 5 - static_cast<uint8_t>(blocks[2].data[4]),
              31);  // the tail up to the end mark, after stuffing
}

// A picture that never ends (scrambled from its middle on) is dropped with one error line; the NPT
// goes on and the next picture is indexed.
TEST_F(IndexWriterTest, EntryOfAPictureThatNeverEndsIsBounded) {
    Corvid::Testing::LogCapture log;
    ASSERT_EQ(writer.open(path, false), 0);
    writer.add_packet(video(0, 1.0, true, 0, {{0, false}}));
    for (int i = 1; i < 70000; ++i)
        writer.add_packet(video(i * 188, 1.0 + i * 0.04, false));
    writer.add_packet(video(70000 * 188, 3000.0, true, 0, {{0, false}, {100, true}}));
    writer.close();
    EXPECT_EQ(log.take(), Lines{"1 Intra entry longer than 65535 blocks - dropped"});
    auto blocks = Testing::read_blocks(path);
    // Dropped as the record at 65535 makes the entry's 65536th block: NPT blocks from the next.
    ASSERT_EQ(blocks.size(), 70000u - 65536u + 1);
    EXPECT_EQ(
        describe({blocks.front(), blocks.back()}),
        (Lines{"12320768 2622.44 N 0/0 ref 0@0 data 0", "13160000 3000 NV 0/1 ref 0@0 data 188"}));
}

}  // namespace
}  // namespace Corvid::Index2
