#include "capture/hls.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <algorithm>

#include "capture/tests/playlist_folder.h"
#include "tests/support/ffmpeg_oracle.h"

namespace Corvid::Capture::Testing {
namespace {

// Three files cut from a generated stream; the range runs from the first into the second.
class HlsTest : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        CORVID_REQUIRE_PROGRAM("ffmpeg");
        original = generated_stream(GetParam());
        if (original.empty()) GTEST_SKIP() << "generated stream " << GetParam() << " not found";
        ASSERT_TRUE(folder.make(original, {0, 7, 200}));
    }
    HlsPlaylist build(bool iframes, Stamp from, Stamp to, double target = 6, Stamp now = {}) {
        HlsPlaylist playlist;
        EXPECT_TRUE(build_hls(folder.settings, from, to, {iframes, target, "", Duration(10), now},
                              playlist));
        return playlist;
    }
    std::string original;
    SegmentFolder folder;
    const Stamp from = t0 + Duration(1), to = t0 + Duration(10);
};

TEST_P(HlsTest, FfmpegPlaysTheMediaPlaylist) {
    const HlsPlaylist playlist = build(false, from, to);
    const std::string list = folder.dir.file("list.m3u8");
    write_file(list, playlist.text());
    EXPECT_TRUE(playlist.text().ends_with("#EXT-X-ENDLIST\n"));
    int status = -1;
    EXPECT_EQ(run_command("ffmpeg -v error -i " + shell_quote(list) + " -f null - 2>&1", &status),
              "");
    EXPECT_EQ(status, 0);
    // The ranges reach from an intra picture at or before the start to one at or after the end;
    // the second file brings a discontinuity and its own date.
    double seconds = 0, run = 0;
    Stamp second_file;
    for (const HlsSegment& s : playlist.segments) {
        if (s.discontinuity) second_file = s.program_date_time, run = 0;
        seconds += s.duration, run += s.duration;
    }
    EXPECT_LE(playlist.segments.front().program_date_time, from);
    EXPECT_GE(second_file + Duration(run), to);
    // 25 frames a second. EXTINF counts by PCR and frames by PTS: the tail of a cut file may hold
    // a few frames more than its PCRs reach.
    EXPECT_NEAR(static_cast<double>(ffmpeg_frame_md5s(list).size()), seconds * 25, 5);
}

// The newest file is still being written: an EVENT playlist without an end, of the ranges that
// will not change, until its segment length (and a grace for the next file) has run out or the
// range ends inside it.
TEST_P(HlsTest, LivePlaylistsEndAtTheLastSettledRange) {
    const Stamp start = folder.starts[2], now = start + Duration(30);
    const timeval times[2] = {now.to_timeval(), (now - Duration(1)).to_timeval()};
    ASSERT_EQ(::utimes(folder.paths[2].c_str(), times), 0);
    for (bool iframes : {false, true}) {
        const HlsPlaylist live = build(iframes, start, {}, 2, now);
        const HlsPlaylist ended = build(iframes, start, start + Duration(1), 2, now);
        const HlsPlaylist closed = build(iframes, start, {}, 2, now + Duration(3600));
        EXPECT_EQ(live.text().find("#EXT-X-ENDLIST"), std::string::npos);
        EXPECT_TRUE(ended.text().ends_with("#EXT-X-ENDLIST\n"));
        EXPECT_TRUE(closed.text().ends_with("#EXT-X-ENDLIST\n"));
        // Its slot ran out a second ago and the next file has nothing indexed yet: still live.
        const Duration length = folder.settings.segment_length;
        folder.settings.segment_length = Duration(29);
        EXPECT_EQ(build(iframes, start, {}, 2, now).text().find("#EXT-X-ENDLIST"),
                  std::string::npos);
        folder.settings.segment_length = length;
        ASSERT_EQ(live.segments.size() + 1, closed.segments.size()) << iframes;
        for (size_t i = 0; i < live.segments.size(); ++i)
            EXPECT_EQ(live.segments[i].offset, closed.segments[i].offset);
    }
}

// Open GOPs too: a non-IDR intra picture decodes alone. (Played through, their leading pictures
// after a discontinuity refer to the file before, which ffmpeg reports.)
class HlsIFrameTest : public HlsTest {};

TEST_P(HlsIFrameTest, EveryIFrameRangeDecodesAloneToItsKeyframe) {
    const auto positions = ffprobe_frame_positions(original);
    const auto md5s = ffmpeg_frame_md5s(original);
    ASSERT_EQ(positions.size(), md5s.size());
    const auto bytes = read_file(original);
    const HlsPlaylist playlist = build(true, from, to);
    EXPECT_NE(playlist.text().find("#EXT-X-I-FRAMES-ONLY\n"), std::string::npos);
    ASSERT_GE(playlist.segments.size(), 4u);
    EXPECT_EQ(folder.dir.file(playlist.segments.front().uri), folder.paths[0]);
    EXPECT_EQ(folder.dir.file(playlist.segments.back().uri), folder.paths[1]);
    for (const HlsSegment& segment : playlist.segments) {
        const bool second = segment.uri != playlist.segments[0].uri;
        const uint64_t begin = folder.bases[second] + segment.offset;
        write_file(folder.dir.file("one.ts"),
                   std::string(bytes.begin() + begin, bytes.begin() + begin + segment.length));
        const auto frame = ffmpeg_frame_md5s(folder.dir.file("one.ts"));
        ASSERT_EQ(frame.size(), 1u) << segment.uri << " @" << segment.offset;
        // The range holds the start of one picture only: the keyframe.
        const auto inside = [&](uint64_t at) { return at >= begin && at < begin + segment.length; };
        ASSERT_EQ(std::count_if(positions.begin(), positions.end(), inside), 1) << begin;
        auto found = std::find_if(positions.begin(), positions.end(), inside);
        EXPECT_EQ(frame[0], md5s[found - positions.begin()]) << segment.uri << " @" << begin;
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, HlsTest,
                         ::testing::Values("h264-idr2s.ts", "mpeg2-closed-gop25.ts"));
INSTANTIATE_TEST_SUITE_P(Streams, HlsIFrameTest,
                         ::testing::Values("h264-idr2s.ts", "mpeg2-closed-gop25.ts",
                                           "h264-open-gop.ts"));

}  // namespace
}  // namespace Corvid::Capture::Testing
