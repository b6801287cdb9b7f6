// The index generator fed hand-made packets: NPT from the PCR, the PAT/PMT/CA dispatch with its log
// lines, how a picture becomes one entry, and the bound on queued video.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "capture/index_set.h"
#include "gantry/channel/error.h"
#include "index2/format.h"
#include "index2/index_writer.h"
#include "indexgen/index_generator.h"
#include "indexgen/index_writer.h"
#include "indexgen/ts_pipe.h"
#include "mpeg/pat.h"
#include "mpeg/pmt.h"
#include "mpeg/section_packets.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Corvid::IndexGen {
namespace {

using Corvid::Testing::LogCapture;
using Bytes = std::vector<uint8_t>;

// Records what the generator hands to its writer.
struct RecordingWriter final : IndexWriter {
    void set_psi_data(const std::string& data) override { psi.push_back(data); }
    void set_video_header(const std::string&) override {}
    void add_packet(const PacketRecord& record) override { packets.push_back(record); }
    void add_npt(uint64_t, double) override {}

    std::vector<std::string> psi;
    std::vector<PacketRecord> packets;
};

MPEG::TSPacket packet(uint16_t pid, uint64_t offset, Bytes payload = {}, bool start = false,
                      double pcr = -1.0) {
    MPEG::TSPacket p;
    p.pid = pid;
    p.offset = offset;
    p.payload = std::move(payload);
    p.payload_unit_start = start;
    p.pcr = pcr;
    return p;
}

// Feeds a PAT or a PMT as the packets that carry it, from the given
// offset on.
template <class Table>
void feed_table(IndexGenerator& generator, uint16_t pid, Table table, uint64_t offset) {
    table.header.current_next = true;
    table.header.table_id_extension = 5;
    Bytes section;
    if constexpr (std::is_same_v<Table, MPEG::PAT>) {
        ASSERT_TRUE(MPEG::write_pat(table, section));
    } else {
        ASSERT_TRUE(MPEG::write_pmt(table, section));
    }
    auto bytes = MPEG::section_packets(packet(pid, offset, {}, true), section);
    Gantry::Channel::BlockReader in(bytes.data(), bytes.size());
    for (MPEG::TSPacket p; in.remaining() >= 188; offset += 188) {
        ASSERT_TRUE(MPEG::TSPacket::read(in, p));
        p.offset = offset;
        generator.process(p);
    }
}

// PAT (program 5 -> PMT 0x20), PMT with MPEG-2 video on 0x100.
void announce_mpeg2(IndexGenerator& generator) {
    feed_table(generator, 0, MPEG::PAT{{}, {{5, 0x20}}}, 0);
    feed_table(generator, 0x20, MPEG::PMT{{}, 0x100, {}, {{0x02, 0x100, {}}}}, 188);
}

// A video PES packet: header with a PTS, lead bytes of picture data, then start codes with 20
// bytes of filler each.
Bytes pes(std::initializer_list<uint8_t> start_codes, size_t lead = 0) {
    Bytes payload = {0, 0, 1, 0xE0, 0, 0, 0x80, 0x80, 5, 0x21, 0, 1, 0, 1};
    payload.resize(payload.size() + lead, 0x66);
    for (uint8_t code : start_codes) {
        payload.insert(payload.end(), {0, 0, 1, code});
        payload.resize(payload.size() + 20, 0x55);
    }
    return payload;
}

TEST(IndexGenerator, NptFromThePcrOnlyMovesForwardAndWraps) {
    RecordingWriter writer;
    IndexGenerator generator(writer, -1.0);
    EXPECT_DOUBLE_EQ(generator.npt(), -1.0);
    const struct {
        double pcr, npt;
    } steps[] = {{1000.0, 0.0},
                 {1000.005, 0.0} /* under 10 ms: no step */,
                 {1002.5, 2.5},
                 {999.0, 2.5} /* backwards: frozen */,
                 {1010.0, 10.0} /* forwards: jumps */};
    uint64_t offset = 188;
    for (const auto& step : steps) {  // PCRs on another PID than the video's
        generator.process(packet(0x300, offset += 188, {}, false, step.pcr));
        EXPECT_NEAR(generator.npt(), step.npt, 1e-9) << step.pcr;
    }
    EXPECT_DOUBLE_EQ(generator.base_pcr(), 1000.0);
    EXPECT_EQ(generator.first_pcr_offset(), 376u);
    EXPECT_EQ(generator.last_pcr_offset(), offset);

    IndexGenerator wrapping(writer, -1.0);
    wrapping.process(packet(0x100, 0, {}, false, IndexGenerator::pcr_wrap - 1.0));
    wrapping.process(packet(0x100, 188, {}, false, 0.5));
    EXPECT_NEAR(wrapping.npt(), 1.5, 1e-6);

    // A saved base continues the NPT of an earlier run.
    IndexGenerator resumed(writer, 100.0);
    resumed.process(packet(0x100, 0, {}, false, 160.25));
    EXPECT_DOUBLE_EQ(resumed.base_pcr(), 100.0);
    EXPECT_NEAR(resumed.npt(), 60.25, 1e-9);
}

TEST(IndexGenerator, PatSkipsNetworkProgramAndPmtLastVideoStreamWins) {
    LogCapture log;
    RecordingWriter writer;
    IndexGenerator generator(writer, -1.0);
    feed_table(generator, 0, MPEG::PAT{{}, {{0, 0x10}, {5, 0x20}, {6, 0x30}}}, 0);
    EXPECT_EQ(generator.pmt_pid(), 0x20);
    EXPECT_TRUE(log.has_line("2 PMT on PID: 32"));
    MPEG::Descriptor ca{9, {0x05, 0x00, 0xE1, 0x23}};
    feed_table(
        generator, 0x20,
        MPEG::PMT{{}, 0x100, {ca}, {{0x02, 0x101, {}}, {0x03, 0x102, {}}, {0x1B, 0x103, {}}}}, 188);
    EXPECT_EQ(generator.video_type(), IndexGenerator::h264_video);
    EXPECT_EQ(generator.video_pid(), 0x103);
    EXPECT_EQ(generator.ca_pid(), 0x123);
    EXPECT_TRUE(log.has_line("2 Detected H.264 video stream on PID: 259"));
    EXPECT_TRUE(log.has_line("2 Found CA data for capture on PID: 291"));
    // A later PMT changes nothing.
    feed_table(generator, 0x20, MPEG::PMT{{}, 0x100, {}, {{0x02, 0x104, {}}}}, 376);
    EXPECT_EQ(generator.video_pid(), 0x103);
    // A new PAT moves the PMT PID.
    feed_table(generator, 0, MPEG::PAT{{}, {{5, 0x40}}}, 564);
    EXPECT_EQ(generator.pmt_pid(), 0x40);
    EXPECT_TRUE(log.has_line("2 PMT on PID: 64"));
    EXPECT_STREQ(IndexGenerator::video_type_name(0), "Unknown");
    EXPECT_STREQ(IndexGenerator::video_type_name(1), "MPEG-2");

    // Without a video stream nothing reaches the writer.
    IndexGenerator audio_only(writer, -1.0);
    feed_table(audio_only, 0, MPEG::PAT{{}, {{5, 0x20}}}, 0);
    feed_table(audio_only, 0x20, MPEG::PMT{{}, 0x100, {}, {{0x03, 0x101, {}}}}, 188);
    EXPECT_EQ(audio_only.video_type(), IndexGenerator::no_video);
    audio_only.process(packet(0x101, 376, pes({0xB3}), true, 1.0));
    EXPECT_TRUE(writer.packets.empty());
    EXPECT_TRUE(writer.psi.empty());
}

// An MPEG-2 intra entry: sequence header and I picture in one PES packet, the next picture in the
// next. The entry is handed over once the PES packet after it begins.
TEST(IndexGenerator, Mpeg2PictureBecomesOneEntry) {
    RecordingWriter writer;
    IndexGenerator generator(writer, -1.0);
    announce_mpeg2(generator);
    generator.process(packet(0x100, 376, {}, false, 10.0));  // NPT 0
    generator.process(packet(0x100, 564, pes({0xB3, 0xB8, 0x00}), true, 10.5));
    generator.process(packet(0x100, 752, Bytes(184, 0x66)));
    EXPECT_TRUE(writer.packets.empty());  // the picture may go on
    // PES 2: the next picture ends the intra one; PES 3 and 4 complete the PES packets before.
    for (uint64_t at : {940, 1128, 1316})
        generator.process(packet(0x100, at, pes({0x00}), true, 10.5 + (at - 752) / 188 * 0.04));

    EXPECT_EQ(generator.intra_count(), 1u);
    ASSERT_EQ(writer.psi.size(), 1u);
    EXPECT_EQ(writer.psi[0].size(), 2 * 188u);  // PAT + PMT
    ASSERT_GE(writer.packets.size(), 3u);
    const auto& first = writer.packets[0];
    EXPECT_EQ(first.packet.offset, 564u);
    EXPECT_TRUE(first.state == PacketRecord::intra && first.intra_start && first.modified);
    EXPECT_NEAR(first.npt, 0.5, 1e-9);
    EXPECT_NEAR(first.packet.pcr, 0.5, 1e-9);  // the stored copy's clock is its NPT
    // The picture ends with the last byte before the next picture's start code, which is the last
    // byte of the packet at 752: the entry is those two packets.
    // Later PES packets are not intra: they only give NPT points.
    for (size_t i = 1; i < writer.packets.size(); ++i) {
        EXPECT_EQ(writer.packets[i].packet.offset, 564 + 188 * i);
        EXPECT_EQ(writer.packets[i].state, i == 1 ? PacketRecord::intra : PacketRecord::not_intra);
    }
    EXPECT_EQ(writer.packets[1].packet.payload.size(), 184u);
}

// A video PID whose PES packet never ends must not make the queue grow without bound.
TEST(IndexGenerator, QueueOfAnEndlessPesPacketIsBounded) {
    LogCapture log;
    RecordingWriter writer;
    IndexGenerator generator(writer, -1.0);
    announce_mpeg2(generator);
    generator.process(packet(0x100, 564, pes({0xB3}), true, 1.0));
    for (uint64_t i = 0; i < IndexGenerator::max_queued_records + 100; ++i)
        generator.process(packet(0x100, 752 + i * 188, Bytes(184, 0x66)));
    EXPECT_LE(generator.queued(), IndexGenerator::max_queued_records);
    EXPECT_EQ(log.count("Video PES packet longer than", Gantry::Log::error_level), 1u);
}

// The INTRA blocks of an index file from block position from on: how many, and the stream offset
// of the first block.
size_t intra_blocks(const Bytes& index, size_t from = 256, uint64_t* first_offset = nullptr) {
    size_t count = 0;
    for (size_t at = from; at + 256 <= index.size(); at += 256) {
        uint64_t offset = 0;
        for (int i = 0; i < 8; ++i)
            offset = offset << 8 | index[at + i];
        if (at == from && first_offset) *first_offset = offset;
        count += (index[at + 15] & Index2::kFlagIntra) != 0;
    }
    return count;
}

// Feeds data in 1,316-byte datagrams, as the capture thread does.
template <class Sink>
void feed_datagrams(Sink& sink, const Bytes& data) {
    for (size_t at = 0; at < data.size(); at += 1316)
        sink.feed(data.data() + at, std::min<size_t>(1316, data.size() - at));
}

// The second PES packet holds the tail of an I picture, a short P picture, and the next sequence
// header and I picture: its one packet ends one entry and starts the next, and the writer must
// write the first entry before the second replaces it (with the mend undone, one INTRA block).
TEST(IndexGenerator, PacketEndingOnePictureAndStartingTheNextKeepsBothEntries) {
    Corvid::Testing::TempDir dir;
    Index2::IndexWriter writer;
    ASSERT_EQ(writer.open(dir.file("x.cvi2"), false), 0);
    IndexGenerator generator(writer, -1.0);
    announce_mpeg2(generator);
    generator.process(packet(0x100, 376, pes({0xB3, 0xB8, 0x00}), true, 0.0));
    generator.process(packet(0x100, 564, pes({0x00, 0xB3, 0x00}, 10), true, 0.04));
    generator.process(packet(0x100, 752, pes({0x00}, 10), true, 0.08));
    generator.process(packet(0x100, 940, pes({0x00}), true, 0.12));
    writer.close();
    EXPECT_EQ(generator.intra_count(), 2u);
    EXPECT_EQ(intra_blocks(Corvid::Testing::read_file(dir.file("x.cvi2"))), 2u);
}

// Behind a pipeline the generator takes each video payload's storage instead of copying it; a
// real stream must give the writer the same records either way.
TEST(IndexGenerator, TakingPayloadsGivesTheSameRecordsAsCopyingThem) {
    for (const char* name :
         {"testdata/ts/video/tsduck-test-025.ts", "testdata/ts/video/tsduck-test-064.ts"}) {
        CORVID_REQUIRE_SHARED(path, name);
        const Bytes file = Corvid::Testing::read_file(path);
        RecordingWriter copied, taken;
        {
            IndexGenerator generator(copied, -1.0);
            Gantry::Channel::BlockReader in(file.data(), file.size());
            for (MPEG::TSPacket p; in.remaining() >= 188;) {
                const uint64_t offset = in.offset();
                ASSERT_TRUE(MPEG::TSPacket::read(in, p));
                p.offset = offset;
                generator.process(p);
            }
        }
        {
            IndexGenerator generator(taken, -1.0);
            IndexGen::TSPipeline pipeline;
            pipeline.add_pipe(generator);
            feed_datagrams(pipeline, file);
        }
        ASSERT_GT(copied.packets.size(), 1000u) << name;
        ASSERT_EQ(taken.packets.size(), copied.packets.size()) << name;
        EXPECT_EQ(taken.psi, copied.psi) << name;
        const auto fields = [](const PacketRecord& r) {
            return std::tie(r.packet.offset, r.packet.payload, r.packet.pcr, r.state, r.npt,
                            r.intra_start, r.header_data, r.modified);
        };
        for (size_t i = 0; i < copied.packets.size(); ++i)
            ASSERT_TRUE(fields(copied.packets[i]) == fields(taken.packets[i])) << name << " " << i;
    }
}

// The per-segment set fed a real capture in datagram-sized chunks, as the capture thread feeds it.
TEST(IndexSet, NewSegmentThenResumedSegmentAppends) {
    CORVID_REQUIRE_SHARED(stream_path, "testdata/ts/video/tsduck-test-064.ts");
    const auto stream = Corvid::Testing::read_file(stream_path);
    Corvid::Testing::TempDir dir;
    const std::string path = dir.file("segment.ts.cvi2");
    IndexSet set;
    ASSERT_TRUE(set.create(path, 0, -1.0));
    feed_datagrams(set, stream);
    // The first PCR of the capture, on the first video packet: 0.7433... s.
    EXPECT_NEAR(set.base_pcr(), 0.74335, 1e-5);
    EXPECT_EQ(set.generator()->intra_count(), 2u);
    const double base = set.base_pcr();
    set.close();
    EXPECT_FALSE(set.is_open());
    set.feed(stream.data(), 188);  // closed: nothing happens
    const auto first_run = Corvid::Testing::read_file(path);
    ASSERT_EQ(first_run.size() % 256, 0u);
    EXPECT_EQ(intra_blocks(first_run), 2u);

    // Resuming the segment (the file already holds the stream once): offsets continue after it
    // and the saved base continues the NPT; no second header.
    ASSERT_TRUE(set.create(path, stream.size(), base));
    feed_datagrams(set, stream);
    set.close();
    const auto both = Corvid::Testing::read_file(path);
    uint64_t first_offset = 0;
    EXPECT_EQ(intra_blocks(both, first_run.size(), &first_offset), 2u);
    EXPECT_GE(first_offset, stream.size());
    EXPECT_NE(std::string(both.begin() + static_cast<long>(first_run.size()),
                          both.begin() + static_cast<long>(first_run.size()) + 4),
              "CVI2");
}

TEST(IndexSet, UnopenableIndexAndWriteErrors) {
    CORVID_REQUIRE_SHARED(stream_path, "testdata/ts/video/tsduck-test-064.ts");
    const auto stream = Corvid::Testing::read_file(stream_path);
    Corvid::Testing::TempDir dir;
    IndexSet set;
    EXPECT_FALSE(set.create(dir.file("no/such/folder/x.cvi2"), 0, -1.0));
    EXPECT_FALSE(set.is_open());
    EXPECT_EQ(set.generator(), nullptr);

    // A full disk: the writer's Channel::Error reaches the caller, who closes the set.
    ASSERT_TRUE(set.create("/dev/full", 0, -1.0));
    const auto fill_disk = [&] {
        for (int i = 0; i < 20; ++i)
            feed_datagrams(set, stream);
    };
    EXPECT_THROW(fill_disk(), Gantry::Channel::Error);
    set.close();
}

}  // namespace
}  // namespace Corvid::IndexGen
