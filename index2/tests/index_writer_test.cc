// The index writer driven with hand-made packet records: header handling, NPT blocks, how entries
// are cut into blocks, inline packets against references into the segment, and entry boundaries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gantry/channel/block.h"
#include "index2/index_writer.h"
#include "index2/tests/index_test_util.h"
#include "indexgen/packet_record.h"
#include "mpeg/ts_packet.h"
#include "tests/support/test_support.h"

namespace Corvid::Index2 {
namespace {

using Corvid::Testing::read_file;
using IndexGen::PacketRecord;
using Testing::describe;
using Testing::read_blocks;

// An intra-picture record of the video PID; its payload bytes count up from its offset.
PacketRecord video(uint64_t offset, double npt, bool modified, uint32_t counter = 0,
                   size_t payload = 184) {
    PacketRecord record;
    record.packet.pid = 0x100;
    record.packet.offset = offset;
    record.packet.continuity_counter = counter;
    for (size_t i = 0; i < payload; ++i)
        record.packet.payload.push_back(static_cast<uint8_t>(offset + i));
    record.state = PacketRecord::intra;
    record.npt = npt;
    record.modified = modified;
    return record;
}

PacketRecord with_marks(PacketRecord record, std::vector<IndexGen::FrameMark> marks,
                        bool intra_start = true) {
    record.intra_start = intra_start;
    record.marks = std::move(marks);
    return record;
}

// Parses the inline data of the blocks, joined, back into packets.
std::vector<MPEG::TSPacket> packets_of(const std::vector<Block>& blocks) {
    std::string data;
    for (const Block& b : blocks)
        data += b.data;
    std::vector<MPEG::TSPacket> packets;
    EXPECT_EQ(data.size() % 188, 0u);
    Gantry::Channel::BlockReader in(data.data(), data.size());
    while (in.remaining() >= 188)
        EXPECT_TRUE(MPEG::TSPacket::read(in, packets.emplace_back()));
    return packets;
}

class IndexWriterTest : public ::testing::Test {
  protected:
    Corvid::Testing::TempDir dir;
    std::string path = dir.file("segment.ts.cvi2");
    IndexWriter writer;
};

TEST_F(IndexWriterTest, OpenWritesHeaderOnlyForNewOrEmptyFilesAndStandAloneNptBlocks) {
    ASSERT_EQ(writer.open(path, false), 0);
    writer.close();
    auto bytes = read_file(path);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
              std::string("CVI2\0\0\1\0\0\0\0\0\0\0\1\0", 16) + std::string(240, '\0'));

    ASSERT_EQ(writer.open(path, true), 0);  // no second header
    writer.add_npt(376, 12.3456);
    writer.add_npt(564, 12.3456);  // unchanged: nothing
    writer.add_npt(752, 0.0);      // unknown: nothing
    PacketRecord outside = video(940, 13.0, false);
    outside.state = PacketRecord::not_intra;
    writer.add_packet(outside);
    outside.packet.offset = 1128;
    writer.add_packet(outside);  // same NPT again: nothing
    writer.close();
    EXPECT_EQ(describe(read_blocks(path)),
              (std::vector<std::string>{"376 12.345 NEW-NPT 0/0 ref 0@0 data 0",
                                        "940 13 NEW-NPT 0/0 ref 0@0 data 0"}));

    ASSERT_EQ(writer.open(path, false), 0);  // truncates
    writer.close();
    EXPECT_EQ(read_file(path).size(), 256u);
    Corvid::Testing::write_file(path, "");
    ASSERT_EQ(writer.open(path, true), 0);  // an empty file gets its header
    writer.close();
    EXPECT_EQ(read_file(path).size(), 256u);

    EXPECT_EQ(writer.open(dir.file("no/such/dir.cvi2"), false), 1);
    EXPECT_FALSE(writer.is_open());
    writer.add_npt(188, 2.0);  // ignored while closed
}

TEST_F(IndexWriterTest, EntryOfPsiReferencesAndInlinePackets) {
    ASSERT_EQ(writer.open(path, false), 0);
    writer.add_npt(100, 4.0);
    writer.set_psi_data(std::string(500, 'P'));
    PacketRecord start = with_marks(video(1000, 4.5, true, 7), {{4, false}});
    writer.add_packet(start);
    writer.add_packet(video(1188, 4.5, false));
    writer.add_packet(video(1564, 0.0, false));  // other PIDs lie between: the range grows
    writer.add_packet(video(1752, 4.6, false));  // NPT moved: a NEW-NPT reference block
    writer.add_packet(video(1940, 4.6, false));
    writer.add_packet(video(2316, 4.6, true, 9));  // changed again: inline
    writer.add_packet(video(2504, 4.6, false));
    writer.add_packet(with_marks(video(2692, 4.6, false), {{100, true}}, false));
    writer.close();

    // PSI in 220 + 220 + 60 bytes, NEW-NPT as 4.0 moves to 4.5; the changed start packet, where
    // video starts (no video header), then a reference to the unchanged packets 1188 .. 1564+188
    // (the NPT step ends it before 1752); a NEW-NPT reference from 1752; the changed packet at
    // 2316 and a reference to 2504 and 2692 after it.
    auto blocks = read_blocks(path);
    EXPECT_EQ(describe(blocks), (std::vector<std::string>{
                                    "100 4 NEW-NPT 0/0 ref 0@0 data 0",
                                    "1000 4.5 NEW-NPT+INTRA 0/6 ref 0@0 data 220",
                                    "1000 4.5 - 1/6 ref 0@0 data 220",
                                    "1000 4.5 - 2/6 ref 0@0 data 60",
                                    "1000 4.5 REF+VIDEO-START 3/6 ref 564@1188 data 188",
                                    "1752 4.6 NEW-NPT+REF 4/6 ref 376@1752 data 0",
                                    "2316 4.6 REF 5/6 ref 376@2504 data 188",
                                }));
    ASSERT_EQ(blocks.size(), 7u);
    EXPECT_EQ(blocks[1].data + blocks[2].data + blocks[3].data, std::string(500, 'P'));
    auto packets = packets_of({blocks[4], blocks[6]});
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].continuity_counter, 7u);
    EXPECT_EQ(packets[0].payload, start.packet.payload);
    EXPECT_EQ(packets[1].continuity_counter, 9u);
}

// Also: an intra start whose NPT is not yet known takes the last NPT, without NEW-NPT.
TEST_F(IndexWriterTest, VideoHeaderCountersRunUpToTheRecordAndGrownPayloadSplits) {
    ASSERT_EQ(writer.open(path, false), 0);
    writer.add_npt(0, 2.0);
    writer.set_psi_data(std::string(188, 'P'));
    // Two header packets with counters 5 and 6 that must become 15 and 0 before counter 1.
    std::string header(2 * 188, '\0');
    header[0] = header[188] = 0x47;
    header[3] = 0x15;
    header[188 + 3] = 0x16;
    writer.set_video_header(header);
    // Grown past one packet.
    PacketRecord start = with_marks(video(4000, 0.0, true, 1, 189), {{0, false}, {150, true}});
    start.packet.payload_unit_start = true;
    writer.add_packet(start);
    writer.close();

    // 188 PSI | 376 header | 376 picture -> 1 + 2 + 2 blocks; VIDEO-START only without a header.
    auto blocks = read_blocks(path);
    EXPECT_EQ(describe(blocks), (std::vector<std::string>{
                                    "0 2 NEW-NPT 0/0 ref 0@0 data 0",
                                    "4000 2 INTRA 0/5 ref 0@0 data 188",
                                    "4000 2 VIDEO-START 1/5 ref 0@0 data 220",
                                    "4000 2 - 2/5 ref 0@0 data 156",
                                    "4000 2 - 3/5 ref 0@0 data 220",
                                    "4000 2 - 4/5 ref 0@0 data 156",
                                }));
    // Two header packets, then the two of the picture.
    auto packets = packets_of({blocks[2], blocks[3], blocks[4], blocks[5]});
    ASSERT_EQ(packets.size(), 4u);
    EXPECT_EQ(static_cast<uint8_t>(blocks[2].data[3]), 0x1F);  // only the counters change
    EXPECT_EQ(static_cast<uint8_t>(blocks[2].data[188 + 3]), 0x10);
    const uint32_t counters[] = {15, 0, 0, 1};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(packets[i].continuity_counter, counters[i]) << "packet " << i;
        EXPECT_EQ(packets[i].payload_unit_start, i == 2) << "packet " << i;
    }
    std::vector<uint8_t> joined = packets[2].payload;
    joined.insert(joined.end(), packets[3].payload.begin(), packets[3].payload.end());
    EXPECT_EQ(joined, start.packet.payload);
}

// One packet that ends an intra picture (its end mark lies before its start mark) and begins the
// next: the first picture's entry must be written before the second replaces it.
TEST_F(IndexWriterTest, PacketEndingOnePictureAndStartingTheNextKeepsBothEntries) {
    ASSERT_EQ(writer.open(path, false), 0);
    std::string null_packet(188, static_cast<char>(0xFF));  // PSI data that parses as a packet
    null_packet.replace(0, 4, "\x47\x1F\xFF\x10");
    writer.set_psi_data(null_packet);

    writer.add_packet(with_marks(video(1000, 1.0, true, 0), {{10, false}}));
    writer.add_packet(video(1188, 1.0, false));
    // The next PES packet begins a picture right after its header: the end mark of the first
    // picture falls in the header (before es_offset), so no byte of this packet belongs to it.
    PacketRecord both = with_marks(video(1376, 1.04, true, 2), {{13, true}, {14, false}});
    both.es_offset = 14;
    writer.add_packet(both);
    writer.add_packet(video(1564, 1.04, false));
    // And a packet whose own bytes end the second picture before starting a third.
    writer.add_packet(with_marks(video(1752, 1.08, true, 4), {{30, true}, {40, false}}));
    writer.add_packet(with_marks(video(1940, 1.08, false), {{20, true}}, false));
    writer.close();

    std::vector<std::vector<Block>> entries;
    for (const Block& b : read_blocks(path)) {
        if (b.index == 0) entries.emplace_back();
        entries.back().push_back(b);
    }
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0][0].offset, 1000u);
    EXPECT_EQ(entries[1][0].offset, 1376u);
    EXPECT_EQ(entries[2][0].offset, 1752u);
    // First entry: PSI, the start packet, the reference to 1188; nothing of 1376.
    ASSERT_EQ(entries[0].size(), 2u);
    EXPECT_EQ(entries[0][1].ref_offset, 1188u);
    EXPECT_EQ(entries[0][1].ref_length, 188u);
    // Second entry ends with the first 31 payload bytes of the packet at 1752, inline.
    auto packets = packets_of(entries[1]);
    ASSERT_EQ(packets.size(), 3u);  // PSI, 1376, the tail of 1752
    EXPECT_EQ(packets[2].payload.size(), 31u);
    EXPECT_EQ(packets[2].payload[30], static_cast<uint8_t>(1752 + 30));
    EXPECT_EQ(entries[1].back().offset, 1752u);
}

}  // namespace
}  // namespace Corvid::Index2
