// The index writer driven with hand-made packet records: header handling, NPT blocks, how entries
// are cut into blocks, inline packets against references into the segment, and entry boundaries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gantry/channel/block.h"
#include "index2/index_writer.h"
#include "indexgen/packet_record.h"
#include "mpeg/ts_packet.h"
#include "tests/support/test_support.h"

namespace Corvid::Index2 {
namespace {

using Corvid::Testing::read_file;
using Corvid::Testing::TempDir;
using Corvid::Testing::write_file;
using IndexGen::PacketRecord;

struct IndexFile {
    std::vector<uint8_t> header;
    std::vector<Block> blocks;
};

IndexFile read_index(const std::string& path) {
    IndexFile file;
    auto bytes = read_file(path);
    file.header.assign(bytes.begin(), bytes.begin() + std::min<size_t>(256, bytes.size()));
    Gantry::Channel::BlockReader in(bytes.data(), bytes.size());
    if (bytes.size() >= 256) in.skip(256);
    while (in.remaining() >= 256) {
        Block block;
        block.read(in);
        file.blocks.push_back(block);
    }
    EXPECT_EQ(in.remaining(), 0u) << "index is not a whole number of blocks";
    return file;
}

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

// Parses inline data back into packets.
std::vector<MPEG::TSPacket> packets_of(const std::string& data) {
    std::vector<MPEG::TSPacket> packets;
    EXPECT_EQ(data.size() % 188, 0u);
    Gantry::Channel::BlockReader in(data.data(), data.size());
    while (in.remaining() >= 188) {
        MPEG::TSPacket packet;
        EXPECT_TRUE(MPEG::TSPacket::read(in, packet));
        packets.push_back(packet);
    }
    return packets;
}

// A null packet: stands in for PSI data that must parse as packets.
std::string psi_packet() {
    std::string packet(188, static_cast<char>(0xFF));
    packet[0] = 0x47;
    packet[1] = 0x1F;
    packet[2] = static_cast<char>(0xFF);
    packet[3] = 0x10;
    return packet;
}

class IndexWriterTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string path = dir.file("segment.ts.cvi2");
};

TEST_F(IndexWriterTest, OpenWritesHeaderOnlyForNewOrEmptyFiles) {
    IndexWriter writer;
    ASSERT_EQ(writer.open(path, false), 0);
    writer.close();
    auto bytes = read_file(path);
    ASSERT_EQ(bytes.size(), 256u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 16),
              std::string("CVI2\0\0\1\0\0\0\0\0\0\0\1\0", 16));

    ASSERT_EQ(writer.open(path, true), 0);
    writer.add_npt(188, 1.5);
    writer.close();
    IndexFile file = read_index(path);
    ASSERT_EQ(file.blocks.size(), 1u);  // no second header
    EXPECT_EQ(file.blocks[0].offset, 188u);

    write_file(path, "");
    ASSERT_EQ(writer.open(path, true), 0);
    writer.close();
    EXPECT_EQ(read_file(path).size(), 256u);

    ASSERT_EQ(writer.open(path, false), 0);  // truncates
    writer.close();
    EXPECT_EQ(read_file(path).size(), 256u);

    EXPECT_EQ(writer.open(dir.file("no/such/dir.cvi2"), false), 1);
    EXPECT_FALSE(writer.is_open());
    writer.add_npt(188, 2.0);  // ignored while closed
}

TEST_F(IndexWriterTest, StandAloneNptBlocks) {
    IndexWriter writer;
    ASSERT_EQ(writer.open(path, false), 0);
    writer.add_npt(376, 12.3456);
    writer.add_npt(564, 12.3456);  // unchanged: nothing
    writer.add_npt(752, 0.0);      // unknown: nothing
    PacketRecord outside = video(940, 13.0, false);
    outside.state = PacketRecord::not_intra;
    writer.add_packet(outside);
    outside.packet.offset = 1128;
    writer.add_packet(outside);  // same NPT again: nothing
    writer.close();

    IndexFile file = read_index(path);
    ASSERT_EQ(file.blocks.size(), 2u);
    EXPECT_EQ(file.blocks[0].offset, 376u);
    EXPECT_DOUBLE_EQ(file.blocks[0].npt, 12.345);
    EXPECT_EQ(file.blocks[0].flags, kFlagNewNpt);
    EXPECT_EQ(file.blocks[0].count, 0);
    EXPECT_TRUE(file.blocks[0].data.empty());
    EXPECT_EQ(file.blocks[1].offset, 940u);
    EXPECT_DOUBLE_EQ(file.blocks[1].npt, 13.0);
}

TEST_F(IndexWriterTest, EntryOfPsiReferencesAndInlinePackets) {
    IndexWriter writer;
    ASSERT_EQ(writer.open(path, false), 0);
    writer.add_npt(100, 4.0);
    writer.set_psi_data(std::string(500, 'P'));

    PacketRecord start = video(1000, 4.5, true, 7);
    start.intra_start = true;
    start.marks.push_back({4, false});
    writer.add_packet(start);
    writer.add_packet(video(1188, 4.5, false));
    writer.add_packet(video(1564, 0.0, false));  // other PIDs lie between: the range grows
    writer.add_packet(video(1752, 4.6, false));  // NPT moved: a NEW-NPT reference block
    writer.add_packet(video(1940, 4.6, false));
    writer.add_packet(video(2316, 4.6, true, 9));  // changed again: inline
    writer.add_packet(video(2504, 4.6, false));
    PacketRecord last = video(2692, 4.6, false);
    last.marks.push_back({100, true});
    writer.add_packet(last);
    writer.close();

    IndexFile file = read_index(path);
    ASSERT_EQ(file.blocks.size(), 1u + 6u);
    const std::vector<Block> entry(file.blocks.begin() + 1, file.blocks.end());
    for (size_t i = 0; i < entry.size(); ++i) {
        EXPECT_EQ(entry[i].count, 6);
        EXPECT_EQ(entry[i].index, i);
    }
    // PSI: 500 bytes in 220 + 220 + 60, the first INTRA and NEW-NPT (4.0 -> 4.5).
    EXPECT_EQ(entry[0].flags, kFlagIntra | kFlagNewNpt);
    EXPECT_EQ(entry[0].offset, 1000u);
    EXPECT_DOUBLE_EQ(entry[0].npt, 4.5);
    EXPECT_EQ(entry[0].data, std::string(220, 'P'));
    EXPECT_EQ(entry[1].data, std::string(220, 'P'));
    EXPECT_EQ(entry[2].data, std::string(60, 'P'));
    EXPECT_EQ(entry[1].flags, 0u);
    // The changed start packet (one 188-byte packet) in 220 bytes: block 3 holds 188 bytes.
    ASSERT_EQ(entry[3].data.size(), 188u);
    auto packets = packets_of(entry[3].data);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].continuity_counter, 7u);
    EXPECT_EQ(packets[0].payload, start.packet.payload);
    // Unchanged packets 1188 .. 1564+188 as one range; the NPT step ends it before 1752.
    EXPECT_EQ(entry[3].flags, kFlagVideoStart | kFlagRef);  // no video header: video starts here
    EXPECT_EQ(entry[3].ref_offset, 1188u);
    EXPECT_EQ(entry[3].ref_length, 1752u - 1188u);
    EXPECT_EQ(entry[4].flags, kFlagNewNpt | kFlagRef);
    EXPECT_DOUBLE_EQ(entry[4].npt, 4.6);
    EXPECT_EQ(entry[4].ref_offset, 1752u);
    EXPECT_EQ(entry[4].ref_length, 1940u + 188u - 1752u);
    EXPECT_TRUE(entry[4].data.empty());
    // The changed packet at 2316, then the unchanged 2504 and 2692 as one range after it.
    ASSERT_EQ(entry[5].data.size(), 188u);
    EXPECT_EQ(packets_of(entry[5].data)[0].continuity_counter, 9u);
    EXPECT_EQ(entry[5].offset, 2316u);
    EXPECT_EQ(entry[5].flags, kFlagRef);
    EXPECT_EQ(entry[5].ref_offset, 2504u);
    EXPECT_EQ(entry[5].ref_length, 2692u + 188u - 2504u);
}

TEST_F(IndexWriterTest, VideoHeaderCountersRunUpToTheRecordAndGrownPayloadSplits) {
    IndexWriter writer;
    ASSERT_EQ(writer.open(path, false), 0);
    writer.set_psi_data(std::string(188, 'P'));
    // Two header packets with counters 5 and 6 that must become 15 and 0 before counter 1.
    std::string header(2 * 188, '\0');
    header[0] = header[188] = 0x47;
    header[3] = 0x15;
    header[188 + 3] = 0x16;
    writer.set_video_header(header);

    PacketRecord start = video(4000, 2.0, true, 1, 189);  // grown past one packet
    start.intra_start = true;
    start.packet.payload_unit_start = true;
    start.marks.push_back({0, false});
    start.marks.push_back({150, true});
    writer.add_packet(start);
    writer.close();

    IndexFile file = read_index(path);
    std::string data;
    for (const Block& b : file.blocks)
        data += b.data;
    ASSERT_EQ(file.blocks.size(), 5u);  // 188 PSI | 376 header | 376 picture -> 1 + 2 + 2
    EXPECT_EQ(file.blocks[0].flags, kFlagIntra | kFlagNewNpt);
    EXPECT_EQ(file.blocks[1].flags, kFlagVideoStart);
    EXPECT_EQ(file.blocks[3].flags, 0u);  // VIDEO-START only without a video header
    ASSERT_EQ(data.size(), 188u * 5);
    EXPECT_EQ(static_cast<uint8_t>(data[188 + 3]), 0x1F);
    EXPECT_EQ(static_cast<uint8_t>(data[376 + 3]), 0x10);
    auto packets = packets_of(data.substr(564));
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].continuity_counter, 0u);
    EXPECT_EQ(packets[1].continuity_counter, 1u);
    EXPECT_TRUE(packets[0].payload_unit_start);
    EXPECT_FALSE(packets[1].payload_unit_start);
    std::vector<uint8_t> joined = packets[0].payload;
    joined.insert(joined.end(), packets[1].payload.begin(), packets[1].payload.end());
    EXPECT_EQ(joined, start.packet.payload);
}

TEST_F(IndexWriterTest, VideoStartFlagWithoutVideoHeaderAndUnknownNpt) {
    IndexWriter writer;
    ASSERT_EQ(writer.open(path, false), 0);
    writer.add_npt(0, 3.0);
    writer.set_psi_data(std::string(188, 'P'));
    PacketRecord start = video(4000, 0.0, true, 1);  // NPT not known: takes the last one
    start.intra_start = true;
    start.marks.push_back({0, false});
    start.marks.push_back({150, true});
    writer.add_packet(start);
    writer.close();
    IndexFile file = read_index(path);
    ASSERT_EQ(file.blocks.size(), 3u);
    EXPECT_EQ(file.blocks[1].flags, kFlagIntra);  // no NEW-NPT
    EXPECT_DOUBLE_EQ(file.blocks[1].npt, 3.0);
    EXPECT_EQ(file.blocks[2].flags, kFlagVideoStart);
}

// One packet that ends an intra picture (its end mark lies before its start mark) and begins the
// next: the first picture's entry must be written before the second replaces it.
TEST_F(IndexWriterTest, PacketEndingOnePictureAndStartingTheNextKeepsBothEntries) {
    IndexWriter writer;
    ASSERT_EQ(writer.open(path, false), 0);
    writer.set_psi_data(psi_packet());

    PacketRecord first = video(1000, 1.0, true, 0);
    first.intra_start = true;
    first.marks.push_back({10, false});
    writer.add_packet(first);
    writer.add_packet(video(1188, 1.0, false));

    // The next PES packet begins a picture right after its header: the end mark of the first
    // picture falls in the header (before es_offset), so no byte of this packet belongs to it.
    PacketRecord both = video(1376, 1.04, true, 2);
    both.intra_start = true;
    both.es_offset = 14;
    both.marks.push_back({13, true});
    both.marks.push_back({14, false});
    writer.add_packet(both);
    writer.add_packet(video(1564, 1.04, false));

    // And a packet whose own bytes end the second picture before starting a third.
    PacketRecord tail = video(1752, 1.08, true, 4);
    tail.intra_start = true;
    tail.marks.push_back({30, true});
    tail.marks.push_back({40, false});
    writer.add_packet(tail);
    PacketRecord third_end = video(1940, 1.08, false);
    third_end.marks.push_back({20, true});
    writer.add_packet(third_end);
    writer.close();

    IndexFile file = read_index(path);
    std::vector<std::vector<Block>> entries;
    for (const Block& b : file.blocks) {
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
    std::string data;
    for (const Block& b : entries[1])
        data += b.data;
    auto packets = packets_of(data);
    ASSERT_EQ(packets.size(), 3u);  // PSI, 1376, the tail of 1752
    EXPECT_EQ(packets[2].payload.size(), 31u);
    EXPECT_EQ(packets[2].payload[30], static_cast<uint8_t>(1752 + 30));
    EXPECT_EQ(entries[1].back().offset, 1752u);
}

}  // namespace
}  // namespace Corvid::Index2
