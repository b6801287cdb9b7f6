// The index generator: NPT from its programme's clock, the programme it picks, the bound on queued
// video; real streams indexed into the real writer against ffprobe.
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
#include "tests/support/ffmpeg_oracle.h"
#include "tests/support/log_capture.h"

namespace Corvid::IndexGen {
namespace {

using Bytes = std::vector<uint8_t>;
using Corvid::Testing::shell_quote;

MPEG::TSPacket packet(uint16_t pid, uint64_t offset, double pcr = -1.0, Bytes payload = {}) {
    return {.pid = pid, .pcr = pcr, .payload = std::move(payload), .offset = offset};
}

class IndexGeneratorTest : public ::testing::Test {
  protected:
    // Program 5 on PMT PID 0x20, after the network PID; the last of its video streams, MPEG-2 on
    // 0x100, is indexed; its clock runs on 0x101. Repeated tables change nothing.
    void announce() {
        const MPEG::SectionHeader header{.current_next = true, .table_id_extension = 5};
        Bytes pat, pmt;
        ASSERT_TRUE(MPEG::write_pat({header, {{0, 0x10}, {5, 0x20}}}, pat));
        ASSERT_TRUE(MPEG::write_pmt({header,
                                     0x101,
                                     {{9, {0x05, 0x00, 0xE1, 0x23}}},
                                     {{0x1B, 0x102, {}}, {0x03, 0x103, {}}, {0x02, 0x100, {}}}},
                                    pmt));
        for (auto pid : {0, 0x20, 0, 0x20}) {
            MPEG::TSPacket table = packet(static_cast<uint16_t>(pid), 0, -1.0, pid ? pmt : pat);
            table.payload_unit_start = true;
            generator.process(table);
        }
    }
    Corvid::Testing::LogCapture log;
    Index2::IndexWriter sink;  // never opened
    IndexGenerator generator{sink, -1.0};
};

// Wraps of the clock: see the 30-hour run below.
TEST_F(IndexGeneratorTest, NptFollowsOnlyItsProgrammesClock) {
    generator.process(packet(0x101, 0, 900.0));  // before the PMT names the PCR PID: no NPT
    EXPECT_EQ(generator.npt(), -1.0);
    announce();
    EXPECT_EQ(log.take(), (std::vector<std::string>{"2 PMT on PID: 32",
                                                    "2 Detected MPEG-2 video stream on PID: 256",
                                                    "2 Found CA data for capture on PID: 291"}));
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
                 {0x101, 11.0, 4.5}};
    uint64_t offset = 0;
    for (const auto& step : steps) {
        MPEG::TSPacket p = packet(step.pid, offset += 188, step.pcr);
        p.discontinuity = step.discontinuity;
        generator.process(p);
        EXPECT_NEAR(generator.npt(), step.npt, 1e-9) << step.pcr;
    }
    // Resuming with the base of the current clock continues its NPT (see the IndexSet test).
    EXPECT_NEAR(generator.base_pcr(), 6.5, 1e-9);
    EXPECT_EQ(generator.last_pcr_offset(), offset);
}

// 30 hours of PCRs from three hours before the 26.5-hour wrap, in steps of 1 s, 15 ms and 6 ms: the
// NPT is the time elapsed, short of it only by a single 6 ms step.
TEST_F(IndexGeneratorTest, NptCountsThroughPcrWrapsOverLongRuns) {
    announce();
    double pcr = IndexGenerator::pcr_wrap - 3 * 3600, elapsed = 0;
    generator.process(packet(0x101, 0, pcr));
    const double cycle[] = {1, 1, 1, 1, 1, 1, 1, 1, 0.015, 0.006, 0.006};
    for (size_t i = 0; elapsed < 30 * 3600; ++i) {
        const double step = cycle[i % std::size(cycle)];
        elapsed += step;
        pcr = std::fmod(pcr + step, IndexGenerator::pcr_wrap);
        generator.process(packet(0x101, i * 188, pcr));
        const double expected = i % std::size(cycle) == 9 ? elapsed - 0.006 : elapsed;
        if (std::fabs(generator.npt() - expected) > 1e-5)
            FAIL() << "NPT " << generator.npt() << " after " << elapsed << " s, step " << step;
    }
}

// A video PID whose PES packet never ends must not make the queue grow without bound.
TEST_F(IndexGeneratorTest, QueueOfAnEndlessPesPacketIsBounded) {
    announce();
    MPEG::TSPacket start =
        packet(0x100, 564, -1.0, {0, 0, 1, 0xE0, 0, 0, 0x80, 0, 0, 0, 0, 1, 0xB3});
    start.payload_unit_start = true;
    generator.process(start);
    for (uint64_t i = 0; i < IndexGenerator::max_queued_records + 100; ++i)
        generator.process(packet(0x100, 752 + i * 188, -1.0, Bytes(184, 0x66)));
    EXPECT_LE(generator.queued(), IndexGenerator::max_queued_records);
    EXPECT_EQ(log.count("Video PES packet longer than", Gantry::Log::error_level), 1u);
}

// The index of a stream as a capture writes it, fed in datagrams of 7 packets. A generator before
// the pipeline's last pipe copies each payload instead of taking it: it writes the same index.
std::vector<Index2::Block> index_stream(const std::string& stream, const std::string& index) {
    const Bytes data = Corvid::Testing::read_file(stream);
    Index2::IndexWriter taking, copying;
    EXPECT_EQ(taking.open(index, false) + copying.open(index + ".copied", false), 0);
    IndexGenerator copier(copying, -1.0), taker(taking, -1.0);
    TSPipeline pipeline;
    pipeline.add_pipe(copier);
    pipeline.add_pipe(taker);
    for (size_t at = 0; at < data.size(); at += 1316)
        pipeline.feed(data.data() + at, std::min<size_t>(1316, data.size() - at));
    taking.close();
    copying.close();
    EXPECT_EQ(Corvid::Testing::read_file(index), Corvid::Testing::read_file(index + ".copied"));
    return Index2::Testing::read_blocks(index);
}

// A multiplex of two captures whose programmes keep their own, unrelated clocks (the first, H.264
// on 0x100, is indexed), and a generated stream joined end to end with a copy whose clock runs an
// hour later, and the other way round. Against ffprobe's packets of the video: NPT from near 0 to
// near the time they span, leaving out the jump of their clock, never back nor jumping, and an
// entry at each key frame (but perhaps the last: a picture is written as the next PES begins).
TEST(IndexGenerator, RealStreamsIndexOnTheirProgrammesClock) {
    CORVID_REQUIRE_PROGRAM("ffmpeg");
    CORVID_REQUIRE_PROGRAM("ffprobe");
    CORVID_REQUIRE_SHARED(mux, "tools/mux-programs.py");
    CORVID_REQUIRE_SHARED(first, "testdata/ts/video/tsduck-test-064.ts");
    CORVID_REQUIRE_SHARED(second, "testdata/ts/video/tsduck-test-025.ts");
    CORVID_REQUIRE_STREAM(stream, "mpeg2-closed-gop25.ts");
    Corvid::Testing::TempDir dir;
    const std::string one = shell_quote(stream), later = shell_quote(dir.file("later.ts"));
    const std::string joined = dir.file("joined.ts"), to = " > " + shell_quote(joined);
    for (const auto& [command, selector] :
         {std::pair{"python3 " + shell_quote(mux) + " " + shell_quote(joined) + " " +
                        shell_quote(first) + " " + shell_quote(second),
                    "i:256"},
          {"ffmpeg -v error -i " + one + " -c copy -output_ts_offset 3600 -f mpegts " + later +
               " && cat " + one + " " + later + to,
           "v:0"},
          {"cat " + later + " " + one + to, "v:0"}}) {
        int status = -1;
        Corvid::Testing::run_command(command, &status);
        ASSERT_EQ(status, 0) << command;
        std::vector<double> npts;
        std::vector<uint64_t> entries, keyframes;
        for (const auto& b : index_stream(joined, dir.file("index"))) {
            if (b.has(Index2::kFlagNewNpt)) npts.push_back(b.npt);
            if (b.has(Index2::kFlagIntra)) entries.push_back(b.offset);
        }
        double length = 0;
        int64_t last_dts = -1;
        for (const auto& p : Corvid::Testing::ffprobe_packets(joined, selector)) {
            if (p.key) keyframes.push_back(static_cast<uint64_t>(p.pos));
            if (p.dts < 0) continue;
            if (last_dts >= 0 && std::abs(p.dts - last_dts) < 90000)
                length += static_cast<double>(p.dts - last_dts) / 90000;
            last_dts = p.dts;
        }
        ASSERT_GT(npts.size(), 10u);
        EXPECT_LT(npts.front(), 0.2);
        EXPECT_NEAR(npts.back(), length, 0.3);
        for (size_t i = 1; i < npts.size(); ++i)
            ASSERT_TRUE(npts[i] > npts[i - 1] && npts[i] < npts[i - 1] + 0.2) << npts[i];
        if (entries.size() + 1 == keyframes.size()) keyframes.pop_back();
        EXPECT_EQ(entries, keyframes) << command;
    }
}

}  // namespace
}  // namespace Corvid::IndexGen
