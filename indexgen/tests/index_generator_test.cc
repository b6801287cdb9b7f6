// The index generator fed hand-made packets: NPT from the PCR, the PAT/PMT/CA dispatch with its log
// lines, how a picture becomes one entry, and the bound on queued video.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gantry/channel/error.h"
#include "gantry/log/log.h"
#include "gantry/mt/annotations.h"
#include "gantry/mt/mutex.h"
#include "index2/format.h"
#include "indexgen/index_generator.h"
#include "indexgen/index_set.h"
#include "indexgen/index_writer.h"
#include "mpeg/pat.h"
#include "mpeg/pmt.h"
#include "mpeg/section_packets.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Corvid::IndexGen {
namespace {

using Corvid::Testing::LogCapture;

// Records what the generator hands to its writer.
class RecordingWriter final : public IndexWriter {
  public:
    struct Packet {
        uint64_t offset;
        double npt;
        uint32_t state;
        bool intra_start;
        bool modified;
        std::vector<uint8_t> payload;
        double pcr;
    };
    void set_psi_data(const std::string& packets) override { psi.push_back(packets); }
    void set_video_header(const std::string& packets) override { headers.push_back(packets); }
    void add_packet(const PacketRecord& r) override {
        packets.push_back({r.packet.offset, r.npt, r.state, r.intra_start, r.modified,
                           r.packet.payload, r.packet.pcr});
    }
    void add_npt(uint64_t offset, double npt) override { npts.emplace_back(offset, npt); }

    std::vector<std::string> psi, headers;
    std::vector<Packet> packets;
    std::vector<std::pair<uint64_t, double>> npts;
};

MPEG::TSPacket packet(uint16_t pid, uint64_t offset, std::vector<uint8_t> payload = {},
                      bool start = false, double pcr = -1.0) {
    MPEG::TSPacket p;
    p.pid = pid;
    p.offset = offset;
    p.payload = std::move(payload);
    p.payload_unit_start = start;
    p.pcr = pcr;
    return p;
}

// The packets (one each here) that carry a section, parsed back into records.
std::vector<MPEG::TSPacket> section_as_packets(uint16_t pid, const std::vector<uint8_t>& section,
                                               uint64_t offset) {
    MPEG::TSPacket shape = packet(pid, offset, {}, true);
    auto bytes = MPEG::section_packets(shape, section);
    std::vector<MPEG::TSPacket> out;
    Gantry::Channel::BlockReader in(bytes.data(), bytes.size());
    while (in.remaining() >= 188) {
        MPEG::TSPacket p;
        EXPECT_TRUE(MPEG::TSPacket::read(in, p));
        p.offset = offset;
        offset += 188;
        out.push_back(p);
    }
    return out;
}

std::vector<MPEG::TSPacket> pat_packets(std::map<uint16_t, uint16_t> programs, uint64_t offset) {
    MPEG::PAT pat;
    pat.header.current_next = true;
    pat.header.table_id_extension = 1;
    pat.programs = std::move(programs);
    std::vector<uint8_t> section;
    EXPECT_TRUE(MPEG::write_pat(pat, section));
    return section_as_packets(0, section, offset);
}

std::vector<MPEG::TSPacket> pmt_packets(uint16_t pid, std::vector<MPEG::PMTStream> streams,
                                        MPEG::DescriptorList descriptors, uint64_t offset) {
    MPEG::PMT pmt;
    pmt.header.current_next = true;
    pmt.header.table_id_extension = 5;
    pmt.pcr_pid = 0x100;
    pmt.streams = std::move(streams);
    pmt.descriptors = std::move(descriptors);
    std::vector<uint8_t> section;
    EXPECT_TRUE(MPEG::write_pmt(pmt, section));
    return section_as_packets(pid, section, offset);
}

void feed(IndexGenerator& generator, const std::vector<MPEG::TSPacket>& packets) {
    for (const auto& p : packets)
        generator.process(p);
}

// PAT (program 5 -> PMT 0x20), PMT with MPEG-2 video on 0x100.
void announce_mpeg2(IndexGenerator& generator, uint64_t offset = 0) {
    feed(generator, pat_packets({{5, 0x20}}, offset));
    feed(generator, pmt_packets(0x20, {{0x02, 0x100, {}}}, {}, offset + 188));
}

// A video PES packet: header with a PTS, then the elementary stream bytes.
std::vector<uint8_t> pes(const std::vector<uint8_t>& es) {
    std::vector<uint8_t> payload = {0, 0, 1, 0xE0, 0, 0, 0x80, 0x80, 5, 0x21, 0, 1, 0, 1};
    payload.insert(payload.end(), es.begin(), es.end());
    return payload;
}

std::vector<uint8_t> start_code(uint8_t value, size_t filler = 20) {
    std::vector<uint8_t> bytes = {0, 0, 1, value};
    bytes.resize(4 + filler, 0x55);
    return bytes;
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

TEST(IndexGeneratorNpt, FirstPcrIsZeroAndNptOnlyMovesForward) {
    RecordingWriter writer;
    IndexGenerator generator(writer, -1.0);
    EXPECT_DOUBLE_EQ(generator.npt(), -1.0);
    generator.process(packet(0x300, 188, {}, false, 1000.0));  // a PCR on another PID
    EXPECT_DOUBLE_EQ(generator.base_pcr(), 1000.0);
    EXPECT_DOUBLE_EQ(generator.npt(), 0.0);
    EXPECT_EQ(generator.first_pcr_offset(), 188u);
    generator.process(packet(0x300, 376, {}, false, 1000.005));  // under 10 ms: no step
    EXPECT_DOUBLE_EQ(generator.npt(), 0.0);
    generator.process(packet(0x300, 564, {}, false, 1002.5));
    EXPECT_NEAR(generator.npt(), 2.5, 1e-9);
    EXPECT_EQ(generator.last_pcr_offset(), 564u);
    generator.process(packet(0x300, 752, {}, false, 999.0));  // backwards: frozen
    EXPECT_NEAR(generator.npt(), 2.5, 1e-9);
    generator.process(packet(0x300, 940, {}, false, 1010.0));  // forwards: jumps
    EXPECT_NEAR(generator.npt(), 10.0, 1e-9);
    EXPECT_EQ(generator.last_pcr_offset(), 940u);
}

TEST(IndexGeneratorNpt, PcrWrapContinuesTheNpt) {
    RecordingWriter writer;
    IndexGenerator generator(writer, -1.0);
    generator.process(packet(0x100, 0, {}, false, IndexGenerator::pcr_wrap - 1.0));
    generator.process(packet(0x100, 188, {}, false, 0.5));
    EXPECT_NEAR(generator.npt(), 1.5, 1e-6);
}

TEST(IndexGeneratorNpt, SavedBaseContinuesAnEarlierRun) {
    RecordingWriter writer;
    IndexGenerator generator(writer, 100.0);
    generator.process(packet(0x100, 0, {}, false, 160.25));
    EXPECT_DOUBLE_EQ(generator.base_pcr(), 100.0);
    EXPECT_NEAR(generator.npt(), 60.25, 1e-9);
}

TEST(IndexGeneratorPsi, PatSkipsNetworkProgramAndPmtLastVideoStreamWins) {
    LogCapture log;
    RecordingWriter writer;
    IndexGenerator generator(writer, -1.0);
    feed(generator, pat_packets({{0, 0x10}, {5, 0x20}, {6, 0x30}}, 0));
    EXPECT_EQ(generator.pmt_pid(), 0x20);
    EXPECT_TRUE(log.has_line("2 PMT on PID: 32"));
    MPEG::Descriptor ca{9, {0x05, 0x00, 0xE1, 0x23}};
    feed(generator,
         pmt_packets(0x20, {{0x02, 0x101, {}}, {0x03, 0x102, {}}, {0x1B, 0x103, {}}}, {ca}, 188));
    EXPECT_EQ(generator.video_type(), IndexGenerator::h264_video);
    EXPECT_EQ(generator.video_pid(), 0x103);
    EXPECT_EQ(generator.ca_pid(), 0x123);
    EXPECT_TRUE(log.has_line("2 Detected H.264 video stream on PID: 259"));
    EXPECT_TRUE(log.has_line("2 Found CA data for capture on PID: 291"));
    // A later PMT changes nothing.
    feed(generator, pmt_packets(0x20, {{0x02, 0x104, {}}}, {}, 376));
    EXPECT_EQ(generator.video_pid(), 0x103);
    // A new PAT moves the PMT PID.
    feed(generator, pat_packets({{5, 0x40}}, 564));
    EXPECT_EQ(generator.pmt_pid(), 0x40);
    EXPECT_TRUE(log.has_line("2 PMT on PID: 64"));
    EXPECT_STREQ(IndexGenerator::video_type_name(0), "Unknown");
    EXPECT_STREQ(IndexGenerator::video_type_name(1), "MPEG-2");
}

TEST(IndexGeneratorPsi, NoVideoStreamMeansNoEntries) {
    RecordingWriter writer;
    IndexGenerator generator(writer, -1.0);
    feed(generator, pat_packets({{5, 0x20}}, 0));
    feed(generator, pmt_packets(0x20, {{0x03, 0x101, {}}}, {}, 188));
    EXPECT_EQ(generator.video_type(), IndexGenerator::no_video);
    generator.process(packet(0x101, 376, pes(start_code(0xB3)), true, 1.0));
    EXPECT_TRUE(writer.packets.empty());
    EXPECT_TRUE(writer.psi.empty());
}

// An MPEG-2 intra entry: sequence header and I picture in one PES packet, the next picture in the
// next. The entry is handed over once the PES packet after it begins.
TEST(IndexGeneratorEntries, Mpeg2PictureBecomesOneEntry) {
    RecordingWriter writer;
    IndexGenerator generator(writer, -1.0);
    announce_mpeg2(generator);
    generator.process(packet(0x100, 376, {}, false, 10.0));  // NPT 0
    // PES 1: B3 (sequence), B8 (GOP), 00 (I picture) ...
    generator.process(packet(0x100, 564,
                             pes(concat({start_code(0xB3), start_code(0xB8), start_code(0x00)})),
                             true, 10.5));
    generator.process(packet(0x100, 752, std::vector<uint8_t>(184, 0x66)));
    // PES 2: the next picture ends the intra one.
    generator.process(packet(0x100, 940, pes(concat({start_code(0x00)})), true, 10.54));
    // PES 3 completes PES 2.
    generator.process(packet(0x100, 1128, pes(concat({start_code(0x00)})), true, 10.58));
    generator.process(packet(0x100, 1316, pes(concat({start_code(0x00)})), true, 10.62));

    EXPECT_EQ(generator.intra_count(), 1u);
    ASSERT_EQ(writer.psi.size(), 1u);
    EXPECT_EQ(writer.psi[0].size(), 2 * 188u);  // PAT + PMT
    ASSERT_GE(writer.packets.size(), 3u);
    const auto& first = writer.packets[0];
    EXPECT_EQ(first.offset, 564u);
    EXPECT_EQ(first.state, PacketRecord::intra);
    EXPECT_TRUE(first.intra_start);
    EXPECT_TRUE(first.modified);
    EXPECT_NEAR(first.npt, 0.5, 1e-9);
    EXPECT_NEAR(first.pcr, 0.5, 1e-9);  // the stored copy's clock is its NPT
    // The picture ends with the last byte before the next picture's start code, which is the last
    // byte of the packet at 752: the entry is those two packets.
    EXPECT_EQ(writer.packets[1].offset, 752u);
    EXPECT_EQ(writer.packets[1].state, PacketRecord::intra);
    EXPECT_EQ(writer.packets[1].payload.size(), 184u);
    // Later PES packets are not intra: they only give NPT points.
    EXPECT_EQ(writer.packets[2].offset, 940u);
    for (size_t i = 2; i < writer.packets.size(); ++i)
        EXPECT_EQ(writer.packets[i].state, PacketRecord::not_intra);
}

TEST(IndexGeneratorEntries, LastPictureWaitsForTheNextPesPacket) {
    RecordingWriter writer;
    IndexGenerator generator(writer, -1.0);
    announce_mpeg2(generator);
    generator.process(
        packet(0x100, 564, pes(concat({start_code(0xB3), start_code(0x00)})), true, 1.0));
    generator.process(packet(0x100, 752, std::vector<uint8_t>(184, 0x66)));
    EXPECT_TRUE(writer.packets.empty());
    EXPECT_EQ(generator.intra_count(), 0u);
}

// A video PID whose PES packet never ends must not make the queue grow without bound.
TEST(IndexGeneratorEntries, QueueOfAnEndlessPesPacketIsBounded) {
    LogCapture log;
    RecordingWriter writer;
    IndexGenerator generator(writer, -1.0);
    announce_mpeg2(generator);
    generator.process(packet(0x100, 564, pes(start_code(0xB3)), true, 1.0));
    std::vector<uint8_t> filler(184, 0x66);
    for (uint64_t i = 0; i < IndexGenerator::max_queued_records + 100; ++i)
        generator.process(packet(0x100, 752 + i * 188, filler));
    EXPECT_LE(generator.queued(), IndexGenerator::max_queued_records);
    bool logged = false;
    for (const auto& line : log.lines())
        logged |= line.rfind("1 Video PES packet longer than", 0) == 0;
    EXPECT_TRUE(logged);
}

// The per-segment set fed a real capture in datagram-sized chunks, as the capture thread feeds it.
class IndexSetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string path = Corvid::Testing::shared_path("testdata/ts/video/tsduck-test-064.ts");
        if (path.empty()) GTEST_SKIP() << "shared test data not found: tsduck-test-064.ts";
        stream_ = Corvid::Testing::read_file(path);
    }
    void feed(IndexSet& set) {
        for (size_t at = 0; at < stream_.size(); at += 1316)
            set.feed(stream_.data() + at, std::min<size_t>(1316, stream_.size() - at));
    }
    static size_t intra_blocks(const std::vector<uint8_t>& index, uint64_t* first_offset) {
        size_t count = 0;
        for (size_t at = 256; at + 256 <= index.size(); at += 256) {
            uint64_t offset = 0;
            for (int i = 0; i < 8; ++i)
                offset = offset << 8 | index[at + i];
            uint32_t flags =
                index[at + 12] << 24 | index[at + 13] << 16 | index[at + 14] << 8 | index[at + 15];
            if (at == 256 && first_offset) *first_offset = offset;
            count += (flags & Index2::kFlagIntra) != 0;
        }
        return count;
    }
    Corvid::Testing::TempDir dir_;
    std::vector<uint8_t> stream_;
};

TEST_F(IndexSetTest, NewSegmentThenResumedSegmentAppends) {
    std::string path = dir_.file("segment.ts.cvi2");
    IndexSet set;
    EXPECT_DOUBLE_EQ(set.base_pcr(), -1.0);
    ASSERT_TRUE(set.create(path, 0, -1.0));
    EXPECT_TRUE(set.is_open());
    EXPECT_DOUBLE_EQ(set.base_pcr(), -1.0);
    feed(set);
    // The first PCR of the capture, on the first video packet: 0.7433... s.
    EXPECT_NEAR(set.base_pcr(), 0.74335, 1e-5);
    EXPECT_EQ(set.generator()->intra_count(), 2u);
    const double base = set.base_pcr();
    set.close();
    EXPECT_FALSE(set.is_open());
    EXPECT_DOUBLE_EQ(set.base_pcr(), -1.0);
    set.feed(stream_.data(), 188);  // closed: nothing happens
    auto first_run = Corvid::Testing::read_file(path);
    ASSERT_EQ(first_run.size() % 256, 0u);
    EXPECT_EQ(intra_blocks(first_run, nullptr), 2u);

    // Resuming the segment (the file already holds the stream once): offsets continue after it
    // and the saved base continues the NPT; no second header.
    ASSERT_TRUE(set.create(path, stream_.size(), base));
    feed(set);
    set.close();
    auto both = Corvid::Testing::read_file(path);
    std::vector<uint8_t> appended(first_run.begin(), first_run.begin() + 256);
    appended.insert(appended.end(), both.begin() + static_cast<long>(first_run.size()), both.end());
    uint64_t first_offset = 0;
    EXPECT_EQ(intra_blocks(appended, &first_offset), 2u);
    EXPECT_GE(first_offset, stream_.size());
    EXPECT_EQ(std::string(both.begin() + static_cast<long>(first_run.size()),
                          both.begin() + static_cast<long>(first_run.size()) + 4)
                  .find("CVI2"),
              std::string::npos);
}

TEST_F(IndexSetTest, UnopenableIndexAndWriteErrors) {
    IndexSet set;
    EXPECT_FALSE(set.create(dir_.file("no/such/folder/x.cvi2"), 0, -1.0));
    EXPECT_FALSE(set.is_open());
    EXPECT_EQ(set.generator(), nullptr);

    // A full disk: the writer's Channel::Error reaches the caller, who closes the set.
    ASSERT_TRUE(set.create("/dev/full", 0, -1.0));
    bool thrown = false;
    try {
        for (int i = 0; i < 20 && !thrown; ++i)
            feed(set);
    } catch (const Gantry::Channel::Error&) {
        thrown = true;
    }
    EXPECT_TRUE(thrown);
    set.close();
}

}  // namespace
}  // namespace Corvid::IndexGen
