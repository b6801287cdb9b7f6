#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "gantry/channel/channel.h"
#include "mpeg/mpeg.h"
#include "mpeg/tests/ffprobe_programs.h"
#include "tests/support/test_support.h"

namespace MPEG = Corvid::MPEG;
namespace Channel = Gantry::Channel;

namespace {

// A PMT long enough to need three packets: 40 streams with a language descriptor each.
MPEG::PMT long_pmt() {
    MPEG::PMT pmt;
    pmt.header.table_id = MPEG::pmt_table_id;
    pmt.header.table_id_extension = 1;
    pmt.header.version = 2;
    pmt.header.current_next = true;
    pmt.pcr_pid = 0x100;
    pmt.descriptors.push_back({0x0E, {0xC0, 0x12, 0x34}});  // maximum bitrate
    const uint8_t types[] = {0x02, 0x04, 0x1B, 0x0F, 0x06, 0x03};
    for (unsigned i = 0; i < 40; ++i) {
        pmt.streams.push_back(
            {types[i % 6], static_cast<uint16_t>(0x100 + i), {{0x0A, {'e', 'n', 'g', 0x00}}}});
    }
    return pmt;
}

std::vector<MPEG::TSPacket> parse_packets(const std::vector<uint8_t>& bytes) {
    std::vector<MPEG::TSPacket> out;
    Channel::BlockReader r(bytes.data(), bytes.size());
    while (r.remaining() > 0) {
        MPEG::TSPacket p;
        EXPECT_TRUE(MPEG::TSPacket::read(r, p));
        out.push_back(p);
    }
    return out;
}

}  // namespace

TEST(SectionPackets, ContinuationPacketsClearTheStartFlagAndCountOn) {
    std::vector<uint8_t> section;
    ASSERT_TRUE(MPEG::write_pmt(long_pmt(), section));
    ASSERT_GT(section.size(), 2 * 184u);
    MPEG::TSPacket shape;
    shape.pid = 0x1000;
    shape.continuity_counter = 14;
    shape.pcr = 10.0;  // kept on the first packet only
    shape.random_access = true;
    auto bytes = MPEG::section_packets(shape, section);
    ASSERT_EQ(bytes.size(), 3 * 188u);
    auto packets = parse_packets(bytes);
    ASSERT_EQ(packets.size(), 3u);
    const uint32_t counters[] = {14, 15, 0};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(packets[i].pid, 0x1000);
        EXPECT_EQ(packets[i].payload_unit_start, i == 0);
        EXPECT_EQ(packets[i].continuity_counter, counters[i]);
        EXPECT_EQ(packets[i].random_access, i == 0);
        EXPECT_EQ(packets[i].pcr >= 0, i == 0);
    }
    EXPECT_DOUBLE_EQ(packets[0].pcr, 10.0);
    // The section bytes, in order, then 0xFF up to the end of the last payload.
    std::vector<uint8_t> joined;
    for (const auto& p : packets)
        joined.insert(joined.end(), p.payload.begin(), p.payload.end());
    ASSERT_GE(joined.size(), section.size());
    EXPECT_TRUE(std::equal(section.begin(), section.end(), joined.begin()));
    EXPECT_TRUE(std::all_of(joined.begin() + section.size(), joined.end(),
                            [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(packets[2].payload.size(), 184u);  // stuffing in the payload, no adaptation field
    EXPECT_EQ(bytes[2 * 188 + 3] & 0x30, 0x10);

    // Our own reader takes them back.
    MPEG::PMTReader reader;
    for (const auto& p : packets)
        reader.add(p);
    MPEG::PMT back;
    ASSERT_EQ(reader.read(back), MPEG::TableReader::complete);
    EXPECT_EQ(back, long_pmt());
}

TEST(SectionPackets, SinglePacketSectionAndEmptyInput) {
    MPEG::PAT pat;
    pat.programs[1] = 0x1000;
    std::vector<uint8_t> section;
    ASSERT_TRUE(MPEG::write_pat(pat, section));
    MPEG::TSPacket shape;
    shape.continuity_counter = 0x1F;  // only the low nibble counts
    auto bytes = MPEG::section_packets(shape, section);
    ASSERT_EQ(bytes.size(), 188u);
    EXPECT_EQ(bytes[1], 0x40);
    EXPECT_EQ(bytes[3], 0x1F);
    EXPECT_EQ(bytes[188 - 1], 0xFF);
    EXPECT_TRUE(MPEG::section_packets(shape, {}).empty());

    uint8_t small[100];
    Channel::BlockWriter w(small, sizeof small);
    EXPECT_FALSE(MPEG::write_section_packets(w, shape, section.data(), section.size()));
}

// What a standard demultiplexer makes of a re-emitted multi-packet PMT: ffprobe must find the
// program, its PMT PID, its PCR PID and all 40 streams with their types. (Tried by hand: with
// payload_unit_start and the first packet's counter on every continuation packet, ffprobe 5.1
// finds no program at all in the same file.)
TEST(SectionPackets, FfprobeReadsAReEmittedMultiPacketPmt) {
    CORVID_REQUIRE_PROGRAM("ffprobe");
    const MPEG::PMT pmt = long_pmt();
    MPEG::PAT pat;
    pat.header.table_id_extension = 7;
    pat.header.current_next = true;
    pat.programs[1] = 0x1000;
    std::vector<uint8_t> pat_section, pmt_section;
    ASSERT_TRUE(MPEG::write_pat(pat, pat_section));
    ASSERT_TRUE(MPEG::write_pmt(pmt, pmt_section));

    std::vector<uint8_t> file;
    MPEG::TSPacket pat_shape, pmt_shape;
    pmt_shape.pid = 0x1000;
    for (int repeat = 0; repeat < 10; ++repeat) {
        auto a = MPEG::section_packets(pat_shape, pat_section);
        auto b = MPEG::section_packets(pmt_shape, pmt_section);
        file.insert(file.end(), a.begin(), a.end());
        file.insert(file.end(), b.begin(), b.end());
        pat_shape.continuity_counter = (pat_shape.continuity_counter + 1) & 15;
        pmt_shape.continuity_counter = (pmt_shape.continuity_counter + 3) & 15;
    }
    Corvid::Testing::TempDir dir;
    const std::string path = dir.file("pmt.ts");
    Corvid::Testing::write_file(path, std::string(file.begin(), file.end()));

    auto programs = Corvid::MPEG::Testing::ffprobe_programs(path);
    ASSERT_EQ(programs.size(), 1u);
    ASSERT_TRUE(programs.count(1));
    EXPECT_EQ(programs[1].pmt_pid, 0x1000);
    EXPECT_EQ(programs[1].pcr_pid, 0x100);
    std::vector<std::pair<unsigned, unsigned>> expected;
    for (const auto& s : pmt.streams)
        expected.emplace_back(s.stream_type, s.pid);
    EXPECT_EQ(programs[1].streams, expected);
}
