// cv-index against oracles it did not write: ffprobe's key frame positions and times, the PCRs read
// straight from the stream, and ffmpeg's decoding of the pictures that `cv-index extract` cuts out
// of the index.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "index2/format.h"
#include "tests/support/test_support.h"
#include "tools/cv-index/tests/oracle_support.h"

namespace Corvid::Tools::Testing {
namespace {

// A stream indexed by cv-index, with the first blocks of its trick-play entries.
struct Indexed {
    explicit Indexed(const std::string& stream_path) : stream(stream_path) {
        for (const auto& block : build_index(stream, index))
            if (block.has(Index2::kFlagIntra)) entries.push_back(block);
    }

    // Writes entry n as a stream of its own and returns its path.
    std::string extract(size_t n) const {
        std::string out = dir.file("entry" + std::to_string(n) + ".ts");
        int status = -1;
        std::string output = cv_index("extract " + shell_quote(stream) + " " + shell_quote(index) +
                                          " " + std::to_string(n) + " -o " + shell_quote(out),
                                      &status);
        EXPECT_EQ(status, 0) << output;
        return out;
    }

    Corvid::Testing::TempDir dir;
    std::string stream, index = dir.file("index.cvi2");
    std::vector<Index2::Block> entries;
};

// The entries sit exactly at ffprobe's key frame packets, in order; only a last key frame whose
// picture the stream ends before completing may be missing (the generator writes a picture when
// the next PES packet begins). Their NPT is the PCR clock at that packet, the last PCR at or
// before it counted from the first (0.1 s), and the key frame is presented a steady decoder delay
// after it: ffprobe's presentation time minus the first PCR is the NPT plus the delay the muxer
// chose, the same (within 0.1 s) for every entry.
void check_entries_against_ffprobe(const Indexed& indexed) {
    const auto& entries = indexed.entries;
    auto keyframes = ffprobe_video_packets(indexed.stream, true);
    ASSERT_TRUE(entries.size() == keyframes.size() || entries.size() + 1 == keyframes.size())
        << entries.size() << " entries, " << keyframes.size() << " key frames";
    if (entries.empty()) return;
    auto pcrs = stream_pcrs(indexed.stream);
    ASSERT_FALSE(pcrs.empty());
    double least_delay = 1e9, most_delay = -1e9;
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].offset, keyframes[i].pos) << "entry " << i;
        double pcr = pcrs.front().pcr;
        for (size_t k = 0; k < pcrs.size() && pcrs[k].offset <= entries[i].offset; ++k)
            pcr = pcrs[k].pcr;
        EXPECT_NEAR(entries[i].npt, pcr - pcrs.front().pcr, 0.1) << "entry " << i;
        double delay = keyframes[i].pts_time - pcrs.front().pcr - entries[i].npt;
        least_delay = std::min(least_delay, delay);
        most_delay = std::max(most_delay, delay);
    }
    EXPECT_GE(least_delay, 0.0);
    EXPECT_LE(most_delay, 2.0);
    EXPECT_LE(most_delay - least_delay, 0.1);
}

// The first `count` entries, extracted on their own, each decode to exactly one picture identical
// to the key frame decoded in the original stream.
void check_extracted_pictures(const Indexed& indexed, size_t count = SIZE_MAX) {
    ASSERT_FALSE(indexed.entries.empty());
    auto positions = ffprobe_frame_positions(indexed.stream);
    auto md5s = ffmpeg_frame_md5s(indexed.stream);
    ASSERT_EQ(positions.size(), md5s.size());
    for (size_t n = 0; n < indexed.entries.size() && n < count; ++n) {
        auto picture = ffmpeg_frame_md5s(indexed.extract(n));
        ASSERT_EQ(picture.size(), 1u) << "entry " << n;
        auto frame = std::find(positions.begin(), positions.end(), indexed.entries[n].offset);
        ASSERT_NE(frame, positions.end()) << "entry " << n;
        EXPECT_EQ(picture[0], md5s[frame - positions.begin()]) << "entry " << n;
    }
}

#define REQUIRE_FFMPEG()               \
    CORVID_REQUIRE_PROGRAM("ffprobe"); \
    CORVID_REQUIRE_PROGRAM("ffmpeg")

// Real captures: MPEG-2 with closed GOPs and PCR on its own PID, H.264 with IDR pictures.
TEST(RealStreams, Mpeg2ClosedGopsAndH264IdrPictures) {
    REQUIRE_FFMPEG();
    for (const char* name :
         {"testdata/ts/video/tsduck-test-025.ts", "testdata/ts/video/tsduck-test-064.ts"}) {
        SCOPED_TRACE(name);
        CORVID_REQUIRE_SHARED(stream, name);
        Indexed indexed(stream);
        check_entries_against_ffprobe(indexed);
        check_extracted_pictures(indexed);
    }
}

// A non-IDR I picture with a recovery point SEI, in an interlaced stream. The entry decodes to one
// picture, the same as the original's decoding of that picture. The original's frames cannot be
// lined up with ffprobe's list here: ffmpeg also outputs the damaged pictures before the recovery
// point, which ffprobe leaves out, so the picture is looked for among all decoded frames.
TEST(RealStreams, H264RecoveryPoint) {
    REQUIRE_FFMPEG();
    CORVID_REQUIRE_SHARED(stream, "testdata/ts/video/tsduck-test-026.ts");
    Indexed indexed(stream);
    check_entries_against_ffprobe(indexed);
    ASSERT_EQ(indexed.entries.size(), 1u);
    auto picture = ffmpeg_frame_md5s(indexed.extract(0));
    ASSERT_EQ(picture.size(), 1u);
    auto md5s = ffmpeg_frame_md5s(stream);
    EXPECT_NE(std::find(md5s.begin(), md5s.end(), picture[0]), md5s.end());
}

// The PAT's first programme names H.264 on PID 0x33D, which carries no packets in this capture
// (the pictures are on 0x3D, another programme): no entries, as ffprobe finds no key frame on its
// first video stream either. The noise (scrambled and errored packets) must not disturb indexing.
TEST(RealStreams, NoisyCaptureWhoseFirstProgrammeHasNoVideoPackets) {
    REQUIRE_FFMPEG();
    CORVID_REQUIRE_SHARED(stream, "testdata/ts/video/tsduck-test-143.ts");
    EXPECT_TRUE(Indexed(stream).entries.empty());
    EXPECT_TRUE(ffprobe_video_packets(stream, true).empty());
}

// Streams made by make-test-streams (20 s each, PCR on the video PID). h264-open-gop's recovery
// points are non-IDR I pictures: complete on their own, so they decode like IDR pictures.
class GeneratedStreams : public ::testing::TestWithParam<const char*> {};

TEST_P(GeneratedStreams, EntriesAtFfprobeKeyFramesDecodeToThem) {
    REQUIRE_FFMPEG();
    CORVID_REQUIRE_STREAM(stream, GetParam());
    Indexed indexed(stream);
    check_entries_against_ffprobe(indexed);
    // Of periodic intra refresh only the IDR picture decodes on its own (below).
    check_extracted_pictures(indexed, stream.ends_with("intra-refresh.ts") ? 1 : SIZE_MAX);
}

INSTANTIATE_TEST_SUITE_P(All, GeneratedStreams,
                         ::testing::Values("mpeg2-closed-gop25.ts", "mpeg2-open-gop12.ts",
                                           "h264-idr2s.ts", "h264-cbr.ts", "h264-open-gop.ts",
                                           "h264-intra-refresh.ts"),
                         [](const auto& info) {
                             std::string name = info.param;
                             name = name.substr(0, name.find('.'));
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// Intra-only streams (every picture a key frame, as contribution feeds are): every picture is an
// entry. Consecutive IDR pictures all have frame_num 0, so H.264 pictures are also told apart by
// an IDR slice that begins a picture; without that the whole stream was one entry that never
// ended, and the index had none.
TEST(IntraOnlyStreams, EveryPictureIsAnEntry) {
    REQUIRE_FFMPEG();
    Corvid::Testing::TempDir dir;
    const std::string source =
        "-f lavfi -i testsrc2=size=320x180:rate=25:duration=2 -threads 1 -f mpegts ";
    for (const std::string codec : {"-c:v libx264 -preset veryfast -g 1", "-c:v mpeg2video -g 1"}) {
        const std::string stream = dir.file("intra.ts");
        int status = -1;
        Corvid::Testing::run_command(
            "ffmpeg -v error -y " + source + codec + " " + shell_quote(stream) + " 2>&1", &status);
        ASSERT_EQ(status, 0) << codec;
        Indexed indexed(stream);
        EXPECT_EQ(indexed.entries.size() + 1, ffprobe_video_packets(stream, true).size()) << codec;
        check_entries_against_ffprobe(indexed);
        check_extracted_pictures(indexed, 5);
    }
}

// Periodic intra refresh: after the first (IDR) picture there are no intra pictures at all, only P
// pictures with a recovery point SEI whose intra-coded column sweeps across the following frames.
// The index marks each recovery point like an intra picture (ffprobe agrees, above), but its entry
// holds that one P picture, which no decoder can show on its own: ffmpeg decodes nothing from it.
// What can be asserted: every entry after the IDR one is a well-formed stream holding exactly one
// video packet, which ffprobe flags as a key frame.
TEST(GeneratedRecoveryPoints, IntraRefreshEntriesHoldOnePictureEach) {
    REQUIRE_FFMPEG();
    CORVID_REQUIRE_STREAM(stream, "h264-intra-refresh.ts");
    Indexed indexed(stream);
    ASSERT_GE(indexed.entries.size(), 5u);
    for (size_t n = 1; n < indexed.entries.size(); ++n) {
        std::string out = indexed.extract(n);
        EXPECT_EQ(Corvid::Testing::read_file(out).size() % 188, 0u);
        auto packets = ffprobe_video_packets(out);
        ASSERT_EQ(packets.size(), 1u) << "entry " << n;
        EXPECT_TRUE(packets[0].key) << "entry " << n;
        EXPECT_TRUE(ffmpeg_frame_md5s(out).empty()) << "entry " << n;
    }
}

}  // namespace
}  // namespace Corvid::Tools::Testing
