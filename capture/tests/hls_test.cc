#include "capture/hls.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>

#include "capture/tests/playlist_folder.h"
#include "tests/support/ffmpeg_oracle.h"

namespace Corvid::Capture::Testing {
namespace {

std::string bytes_of(const std::string& path, uint64_t offset, uint64_t length) {
    std::ifstream in(path, std::ios::binary);
    std::string data(length, '\0');
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(data.data(), static_cast<std::streamsize>(length));
    EXPECT_EQ(in.gcount(), static_cast<std::streamsize>(length)) << path;
    return data;
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Three files from a generated stream; the range asked for runs from 1 s into the first to 3 s
// into the second, across the file boundary.
class HlsTest : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        CORVID_REQUIRE_PROGRAM("ffmpeg");
        original = generated_stream(GetParam());
        if (original.empty()) GTEST_SKIP() << "generated stream " << GetParam() << " not found";
        ASSERT_TRUE(folder.make(original, {0, 7, 200}));
        from = folder.starts[0] + Duration(1);
        to = folder.starts[1] + Duration(3);
    }
    HlsPlaylist build(bool iframes) {
        HlsPlaylist playlist;
        HlsOptions options;
        options.iframes = iframes;
        EXPECT_TRUE(build_hls(folder.settings, from, to, options, playlist));
        return playlist;
    }
    // Where a range of a segment file lies in the original stream.
    uint64_t base_of(const std::string& uri) const {
        for (size_t i = 0; i < folder.paths.size(); ++i)
            if (folder.paths[i].ends_with("/" + uri)) return folder.bases[i];
        ADD_FAILURE() << uri;
        return 0;
    }

    std::string original;
    SegmentFolder folder;
    Stamp from, to;
};

TEST_P(HlsTest, FfmpegPlaysTheMediaPlaylist) {
    const HlsPlaylist playlist = build(false);
    const std::string text = playlist.text();
    const std::string list = folder.dir.file("list.m3u8");
    write_file(list, text);
    EXPECT_EQ(count(text, "#EXT-X-DISCONTINUITY\n"), 1u) << text;
    EXPECT_EQ(count(text, "#EXT-X-PROGRAM-DATE-TIME:"), 2u) << text;
    EXPECT_TRUE(text.ends_with("#EXT-X-ENDLIST\n")) << text;

    int status = -1;
    EXPECT_EQ(run_command("ffmpeg -v error -i " + shell_quote(list) + " -f null - 2>&1", &status),
              "");
    EXPECT_EQ(status, 0);
    // The ranges of a file follow each other; the playlist covers the range asked for, from an
    // intra picture at or before its start to one at or after its end.
    EXPECT_LE(playlist.segments.front().program_date_time, from);
    double seconds = 0, run = 0;
    Stamp file_start;
    for (size_t i = 0; i < playlist.segments.size(); ++i) {
        const HlsSegment& s = playlist.segments[i];
        if (s.program_date_time.valid())
            file_start = s.program_date_time, run = 0;
        else
            EXPECT_EQ(s.offset, playlist.segments[i - 1].offset + playlist.segments[i - 1].length);
        seconds += s.duration;
        run += s.duration;
    }
    EXPECT_GE(file_start + Duration(run), to);
    // 25 frames a second; EXTINF counts by PCR, frames by PTS: the tail of a cut file may hold a
    // few frames more than its PCRs reach.
    const double frames = static_cast<double>(ffmpeg_frame_md5s(list).size());
    EXPECT_NEAR(frames, seconds * 25, 5) << text;
}

// Open GOPs too: a non-IDR intra picture decodes alone. (Played through, their leading pictures
// after a discontinuity refer to the file before, which ffmpeg reports.)
class HlsIFrameTest : public HlsTest {};

// Offset of the first packet that starts a video PES packet.
uint64_t first_video_pes(const std::string& ts) {
    for (size_t at = 0; at + 188 <= ts.size(); at += 188) {
        const auto* p = reinterpret_cast<const uint8_t*>(ts.data() + at);
        const size_t payload = p[3] & 0x20 ? 5 + p[4] : 4;
        if ((p[1] & 0x40) && payload + 4 <= 188 && p[payload] == 0 && p[payload + 1] == 0 &&
            p[payload + 2] == 1 && (p[payload + 3] & 0xF0) == 0xE0)
            return at;
    }
    return ts.size();
}

TEST_P(HlsIFrameTest, EveryIFrameRangeDecodesAloneToItsKeyframe) {
    const auto positions = ffprobe_frame_positions(original);
    const auto md5s = ffmpeg_frame_md5s(original);
    ASSERT_EQ(positions.size(), md5s.size());
    const HlsPlaylist playlist = build(true);
    EXPECT_TRUE(playlist.text().find("#EXT-X-I-FRAMES-ONLY\n") != std::string::npos);
    ASSERT_GE(playlist.segments.size(), 4u);
    std::set<std::string> files;
    for (const HlsSegment& segment : playlist.segments) {
        files.insert(segment.uri);
        const std::string path = folder.dir.file(segment.uri);
        const std::string one = folder.dir.file("one.ts");
        const std::string ts = bytes_of(path, segment.offset, segment.length);
        write_file(one, ts);
        const auto frame = ffmpeg_frame_md5s(one);
        ASSERT_EQ(frame.size(), 1u) << segment.uri << " @" << segment.offset;
        const uint64_t at = base_of(segment.uri) + segment.offset + first_video_pes(ts);
        auto found = std::find(positions.begin(), positions.end(), at);
        ASSERT_NE(found, positions.end()) << at;
        EXPECT_EQ(frame[0], md5s[found - positions.begin()]) << segment.uri << " @" << at;
    }
    EXPECT_EQ(files.size(), 2u);
}

// The newest file is still being written: an EVENT playlist without an end, of the ranges that
// will not change, until its segment length has run out or the range ends inside it.
TEST_P(HlsTest, LivePlaylistsEndAtTheLastSettledRange) {
    const std::string& newest = folder.paths[2];
    const Stamp now = folder.starts[2] + Duration(30);
    const timeval times[2] = {now.to_timeval(), (now - Duration(1)).to_timeval()};
    ASSERT_EQ(::utimes(newest.c_str(), times), 0);
    for (bool iframes : {false, true}) {
        HlsOptions options;
        options.iframes = iframes;
        options.target = 2;
        options.now = now;
        HlsPlaylist live, ended, closed;
        ASSERT_TRUE(build_hls(folder.settings, folder.starts[2], {}, options, live));
        ASSERT_TRUE(build_hls(folder.settings, folder.starts[2], folder.starts[2] + Duration(1),
                              options, ended));
        options.now = now + Duration(3600);
        ASSERT_TRUE(build_hls(folder.settings, folder.starts[2], {}, options, closed));
        EXPECT_TRUE(live.live);
        EXPECT_FALSE(live.text().ends_with("#EXT-X-ENDLIST\n"));
        EXPECT_NE(live.text().find("#EXT-X-PLAYLIST-TYPE:EVENT\n"), std::string::npos);
        EXPECT_TRUE(ended.text().ends_with("#EXT-X-ENDLIST\n"));
        EXPECT_TRUE(closed.text().ends_with("#EXT-X-ENDLIST\n"));
        ASSERT_EQ(live.segments.size() + 1, closed.segments.size()) << iframes;
        for (size_t i = 0; i < live.segments.size(); ++i)
            EXPECT_EQ(live.segments[i].offset, closed.segments[i].offset);
    }
}

std::string stream_name(const ::testing::TestParamInfo<const char*>& info) {
    std::string name = info.param;
    std::replace_if(
        name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
    return name;
}
INSTANTIATE_TEST_SUITE_P(Streams, HlsTest,
                         ::testing::Values("h264-idr2s.ts", "mpeg2-closed-gop25.ts"), stream_name);
INSTANTIATE_TEST_SUITE_P(Streams, HlsIFrameTest,
                         ::testing::Values("h264-idr2s.ts", "mpeg2-closed-gop25.ts",
                                           "h264-open-gop.ts"),
                         stream_name);

}  // namespace
}  // namespace Corvid::Capture::Testing
