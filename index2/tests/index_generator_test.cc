// The index generator: NPT from its programme's clock over long runs and clock changes, the
// PAT/PMT/CA dispatch with its log lines, the bound on queued video, and real streams indexed
// into the real writer against ffprobe: a multiplex of unrelated clocks and spliced captures.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "index2/index_writer.h"
#include "index2/tests/index_test_util.h"
#include "indexgen/index_generator.h"
#include "indexgen/ts_pipe.h"
#include "mpeg/pat.h"
#include "mpeg/pmt.h"
#include "mpeg/section_packets.h"
#include "tests/support/ffmpeg_oracle.h"
#include "tests/support/log_capture.h"

namespace Corvid::IndexGen {
namespace {

using Bytes = std::vector<uint8_t>;
using Corvid::Testing::shell_quote;

MPEG::TSPacket packet(uint16_t pid, uint64_t offset, double pcr = -1.0, Bytes payload = {},
                      bool start = false) {
    MPEG::TSPacket p;
    p.pid = pid;
    p.offset = offset;
    p.pcr = pcr;
    p.payload_unit_start = start;
    p.payload = std::move(payload);
    return p;
}

// Feeds a PAT or a PMT (program 5) as the packets that carry it.
template <class Table>
void feed_table(IndexGenerator& generator, uint16_t pid, Table table) {
    table.header.current_next = true;
    table.header.table_id_extension = 5;
    Bytes section;
    if constexpr (std::is_same_v<Table, MPEG::PAT>)
        ASSERT_TRUE(MPEG::write_pat(table, section));
    else
        ASSERT_TRUE(MPEG::write_pmt(table, section));
    auto bytes = MPEG::section_packets(packet(pid, 0), section);
    Gantry::Channel::BlockReader in(bytes.data(), bytes.size());
    for (MPEG::TSPacket p; in.remaining() >= 188;) {
        ASSERT_TRUE(MPEG::TSPacket::read(in, p));
        generator.process(p);
    }
}

// Program 5 on PMT PID 0x20: MPEG-2 video on 0x100, its clock on pcr_pid.
void announce(IndexGenerator& generator, uint16_t pcr_pid = 0x100) {
    feed_table(generator, 0, MPEG::PAT{{}, {{5, 0x20}}});
    feed_table(generator, 0x20, MPEG::PMT{{}, pcr_pid, {}, {{0x02, 0x100, {}}}});
}

TEST(IndexGenerator, NptFollowsOnlyItsProgrammesClock) {
    Index2::IndexWriter writer;  // never opened: a sink
    IndexGenerator generator(writer, -1.0);
    generator.process(packet(0x101, 0, 900.0));  // before the PMT names the PCR PID: no NPT
    EXPECT_EQ(generator.npt(), -1.0);
    announce(generator, 0x101);
    const struct {
        uint16_t pid;
        double pcr, npt;
        bool discontinuity = false;
    } steps[] = {{0x101, 1000.0, 0.0},
                 {0x300, 5.0, 0.0} /* another programme's clock */,
                 {0x101, 1000.005, 0.0} /* under 10 ms: no step */,
                 {0x101, 1000.015, 0.015},
                 {0x101, 1002.5, 2.5},
                 {0x101, 999.0, 2.5} /* 3.5 s back: frozen */,
                 {0x101, 1002.6, 2.6},
                 {0x101, 1010.0, 2.6} /* 7.4 s on: a new clock, from the NPT reached */,
                 {0x101, 1011.0, 3.6},
                 {0x101, 10.0, 3.6} /* a new clock, 1001 s back */,
                 {0x101, 10.5, 4.1},
                 {0x101, 10.6, 4.1, true} /* flagged: a new clock */,
                 {0x101, 11.0, 4.5},
                 {0x101, IndexGenerator::pcr_wrap - 0.02, 4.5, true},
                 {0x101, 0.03, 4.55} /* across the wrap */,
                 {0x101, IndexGenerator::pcr_wrap - 0.01, 4.55} /* back across it: frozen */,
                 {0x101, 0.07, 4.59}};
    uint64_t offset = 0;
    for (const auto& step : steps) {
        MPEG::TSPacket p = packet(step.pid, offset += 188, step.pcr);
        p.discontinuity = step.discontinuity;
        generator.process(p);
        EXPECT_NEAR(generator.npt(), step.npt, 1e-9) << step.pcr;
    }
    // Resuming with the base of the current clock continues its NPT (see the IndexSet test).
    EXPECT_NEAR(generator.base_pcr(), IndexGenerator::pcr_wrap - 4.52, 1e-9);
    EXPECT_EQ(generator.last_pcr_offset(), offset);
}

// 30 hours of PCRs from three hours before the 26.5-hour wrap, in steps of 1 s, 15 ms and 6 ms: the
// NPT is the time elapsed, at most 10 ms behind it.
TEST(IndexGenerator, NptCountsThroughPcrWrapsOverLongRuns) {
    Index2::IndexWriter writer;  // never opened: a sink
    IndexGenerator generator(writer, -1.0);
    announce(generator);
    double pcr = IndexGenerator::pcr_wrap - 3 * 3600, elapsed = 0;
    generator.process(packet(0x100, 0, pcr));
    const double cycle[] = {1, 1, 1, 1, 1, 1, 1, 1, 0.015, 0.006, 0.006};
    for (size_t i = 0; elapsed < 30 * 3600; ++i) {
        const double step = cycle[i % std::size(cycle)];
        elapsed += step;
        pcr = std::fmod(pcr + step, IndexGenerator::pcr_wrap);
        generator.process(packet(0x100, i * 188, pcr));
        // A single 6 ms step is too small to move the NPT; the next one moves it 12 ms.
        const double expected = i % std::size(cycle) == 9 ? elapsed - 0.006 : elapsed;
        if (std::fabs(generator.npt() - expected) > 1e-5)
            FAIL() << "NPT " << generator.npt() << " after " << elapsed << " s, step " << step;
    }
}

TEST(IndexGenerator, PatSkipsNetworkProgramAndPmtLastVideoStreamWins) {
    Corvid::Testing::LogCapture log;
    Index2::IndexWriter writer;  // never opened: a sink
    IndexGenerator generator(writer, -1.0);
    feed_table(generator, 0, MPEG::PAT{{}, {{0, 0x10}, {5, 0x20}, {6, 0x30}}});
    MPEG::Descriptor ca{9, {0x05, 0x00, 0xE1, 0x23}};
    feed_table(
        generator, 0x20,
        MPEG::PMT{{}, 0x100, {ca}, {{0x02, 0x101, {}}, {0x03, 0x102, {}}, {0x1B, 0x103, {}}}});
    feed_table(generator, 0x20, MPEG::PMT{{}, 0x100, {}, {{0x02, 0x104, {}}}});  // changes nothing
    feed_table(generator, 0, MPEG::PAT{{}, {{5, 0x40}}});
    EXPECT_EQ(log.take(), (std::vector<std::string>{
                              "2 PMT on PID: 32", "2 Detected H.264 video stream on PID: 259",
                              "2 Found CA data for capture on PID: 291", "2 PMT on PID: 64"}));
}

// A video PID whose PES packet never ends must not make the queue grow without bound.
TEST(IndexGenerator, QueueOfAnEndlessPesPacketIsBounded) {
    Corvid::Testing::LogCapture log;
    Index2::IndexWriter writer;  // never opened: a sink
    IndexGenerator generator(writer, -1.0);
    announce(generator);
    generator.process(
        packet(0x100, 564, 1.0, {0, 0, 1, 0xE0, 0, 0, 0x80, 0, 0, 0, 0, 1, 0xB3}, true));
    for (uint64_t i = 0; i < IndexGenerator::max_queued_records + 100; ++i)
        generator.process(packet(0x100, 752 + i * 188, -1.0, Bytes(184, 0x66)));
    EXPECT_LE(generator.queued(), IndexGenerator::max_queued_records);
    EXPECT_EQ(log.count("Video PES packet longer than", Gantry::Log::error_level), 1u);
}

// Indexes a stream file as a capture does, in 1,316-byte datagrams; or, with by_packet, packet by
// packet through process() (the pipeline hands payloads over instead of copying them).
std::vector<Index2::Block> index_stream(const std::string& stream, const std::string& index,
                                        bool by_packet = false) {
    const Bytes data = Corvid::Testing::read_file(stream);
    Index2::IndexWriter writer;
    EXPECT_EQ(writer.open(index, false), 0);
    IndexGenerator generator(writer, -1.0);
    TSPipeline pipeline;
    pipeline.add_pipe(generator);
    Gantry::Channel::BlockReader in(data.data(), data.size());
    for (MPEG::TSPacket p; by_packet && in.remaining() >= 188; generator.process(p)) {
        const uint64_t offset = in.offset();
        EXPECT_TRUE(MPEG::TSPacket::read(in, p));
        p.offset = offset;
    }
    for (size_t at = 0; !by_packet && at < data.size(); at += 1316)
        pipeline.feed(data.data() + at, std::min<size_t>(1316, data.size() - at));
    writer.close();
    return Index2::Testing::read_blocks(index);
}

// The index of a stream whose video is on selector's stream (ffprobe's): NPT from near 0 to near
// length seconds, never back nor jumping, and an entry at each key frame ffprobe finds (the last
// may be missing: a picture is written when the next PES packet begins).
void check_index(const std::vector<Index2::Block>& blocks, const std::string& stream,
                 const std::string& selector, double length) {
    std::vector<double> npts;
    std::vector<uint64_t> entries, keyframes;
    for (const auto& b : blocks) {
        if (b.has(Index2::kFlagNewNpt)) npts.push_back(b.npt);
        if (b.has(Index2::kFlagIntra)) entries.push_back(b.offset);
    }
    ASSERT_GT(npts.size(), 10u);
    EXPECT_LT(npts.front(), 0.2);
    EXPECT_NEAR(npts.back(), length, 0.3);
    for (size_t i = 1; i < npts.size(); ++i)
        ASSERT_TRUE(npts[i] > npts[i - 1] && npts[i] < npts[i - 1] + 0.2) << npts[i];
    for (const auto& p : Corvid::Testing::ffprobe_packets(stream, selector))
        if (p.key) keyframes.push_back(static_cast<uint64_t>(p.pos));
    if (entries.size() + 1 == keyframes.size()) keyframes.pop_back();
    EXPECT_EQ(entries, keyframes);
}

int run(const std::string& command) {
    int status = -1;
    Corvid::Testing::run_command(command, &status);
    return status;
}

// Span of the presentation times of a stream's video.
double pts_span(const std::string& stream, const std::string& selector) {
    double first = 1e9, last = -1;
    for (const auto& p : Corvid::Testing::ffprobe_packets(stream, selector))
        if (p.pts_time >= 0) first = std::min(first, p.pts_time), last = std::max(last, p.pts_time);
    return last - first;
}

// Two captures merged into one multiplex whose programmes keep their own, unrelated clocks: the
// first programme (H.264 on 0x100) is indexed on its clock alone.
TEST(IndexGenerator, MultiplexIndexesItsProgrammeOnThatProgrammesClock) {
    CORVID_REQUIRE_PROGRAM("ffprobe");
    CORVID_REQUIRE_SHARED(mux, "tools/mux-programs.py");
    CORVID_REQUIRE_SHARED(first, "testdata/ts/video/tsduck-test-064.ts");
    CORVID_REQUIRE_SHARED(second, "testdata/ts/video/tsduck-test-025.ts");
    Corvid::Testing::TempDir dir;
    const std::string merged = dir.file("merged.ts");
    ASSERT_EQ(run("python3 " + shell_quote(mux) + " " + shell_quote(merged) + " " +
                  shell_quote(first) + " " + shell_quote(second)),
              0);
    const auto blocks = index_stream(merged, dir.file("index"));
    check_index(blocks, merged, "i:256", pts_span(first, "v:0"));
    // Packet by packet, copying each payload instead of taking it, gives the same index.
    EXPECT_EQ(Index2::Testing::describe(index_stream(merged, dir.file("copied"), true)),
              Index2::Testing::describe(blocks));
}

// A generated stream joined end to end with a copy whose clock runs an hour later, and with one
// whose clock runs an hour earlier: the NPT goes on across the join.
TEST(IndexGenerator, SplicedStreamsWithClocksAnHourApartIndexAsOne) {
    CORVID_REQUIRE_PROGRAM("ffmpeg");
    CORVID_REQUIRE_PROGRAM("ffprobe");
    CORVID_REQUIRE_STREAM(stream, "mpeg2-closed-gop25.ts");
    Corvid::Testing::TempDir dir;
    const std::string later = dir.file("later.ts");
    ASSERT_EQ(run("ffmpeg -v error -y -i " + shell_quote(stream) +
                  " -c copy -output_ts_offset 3600 -f mpegts " + shell_quote(later)),
              0);
    const double length = 2 * pts_span(stream, "v:0");
    for (auto [one, two] : {std::pair{stream, later}, {later, stream}}) {
        const std::string joined = dir.file("joined.ts");
        ASSERT_EQ(
            run("cat " + shell_quote(one) + " " + shell_quote(two) + " > " + shell_quote(joined)),
            0);
        check_index(index_stream(joined, dir.file("index")), joined, "v:0", length);
    }
}

}  // namespace
}  // namespace Corvid::IndexGen
