// cv-index against ffprobe and ffmpeg: each entry that `cv-index extract` cuts out of the index
// decodes on its own to exactly the picture ffmpeg decodes from that place in the stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "tests/support/ffmpeg_oracle.h"
#include "tests/support/test_support.h"

namespace Corvid::Tools::Testing {
namespace {

using Corvid::Testing::ffmpeg_frame_md5s;
using Corvid::Testing::shell_quote;

// cv-index with the (shell-quoted) arguments; the test fails unless it succeeds.
std::string cv_index(const std::string& arguments) {
    int status = -1;
    const std::string out = Corvid::Testing::run_command(
        shell_quote(Corvid::Testing::tool_path("cv-index")) + " " + arguments + " 2>&1", &status);
    EXPECT_EQ(status, 0) << arguments << ": " << out;
    return out;
}

// Real captures (MPEG-2, H.264 with IDR pictures, and an interlaced recovery point at a non-IDR I
// picture, which decodes to one of the original's pictures but cannot be lined up with ffprobe's
// frames, as ffmpeg also outputs the damaged ones before it), generated streams (of periodic intra
// refresh only the IDR entry decodes alone) and intra-only streams, where every picture but the
// last is an entry, the first at NPT 0 (which `intra` once hid): consecutive IDR pictures share
// frame_num 0, so an IDR slice beginning a picture also ends one (else one endless entry).
TEST(CvIndexOracle, ExtractedEntriesDecodeToTheirKeyframes) {
    CORVID_REQUIRE_PROGRAM("ffprobe");
    CORVID_REQUIRE_PROGRAM("ffmpeg");
    Corvid::Testing::TempDir dir;
    std::vector<std::string> streams;
    for (const std::string codec : {"libx264 -preset veryfast", "mpeg2video"}) {
        streams.push_back(dir.file("intra-" + codec.substr(0, 4) + ".ts"));
        int status = -1;
        Corvid::Testing::run_command(
            "ffmpeg -v error -f lavfi -i testsrc2=size=320x180:rate=25:"
            "duration=2 -threads 1 -g 1 -f mpegts -c:v " +
                codec + " " + shell_quote(streams.back()) + " 2>&1",
            &status);
        ASSERT_EQ(status, 0) << codec;
    }
    std::string missing;
    for (const std::string name :
         {"testdata/ts/video/tsduck-test-025.ts", "testdata/ts/video/tsduck-test-064.ts",
          "testdata/ts/video/tsduck-test-026.ts", "mpeg2-closed-gop25.ts", "mpeg2-open-gop12.ts",
          "h264-idr2s.ts", "h264-cbr.ts", "h264-open-gop.ts", "h264-intra-refresh.ts"}) {
        const std::string stream = name.starts_with("testdata")
                                       ? Corvid::Testing::shared_path(name)
                                       : Corvid::Testing::generated_stream(name);
        if (stream.empty()) {
            missing += " " + name;
        } else {
            streams.push_back(stream);
        }
    }
    for (const std::string& stream : streams) {
        SCOPED_TRACE(stream);
        const bool intra_only = stream.starts_with(dir.path()),
                   anywhere = stream.ends_with("026.ts");
        const size_t count = intra_only ? 5 : stream.ends_with("intra-refresh.ts") ? 1 : SIZE_MAX;
        const std::string index = shell_quote(dir.file("index.cvi2")), out = dir.file("entry.ts");
        cv_index("build " + shell_quote(stream) + " -o " + index);
        std::istringstream listing(cv_index("intra " + index));  // "NPT 0.6 offset 1316 ..."
        std::vector<std::string> intra;
        for (std::string line; std::getline(listing, line);)
            intra.push_back(line);
        const auto positions = Corvid::Testing::ffprobe_frame_positions(stream);
        const auto md5s = ffmpeg_frame_md5s(stream);
        EXPECT_TRUE(anywhere || positions.size() == md5s.size());
        for (size_t n = 0; n < intra.size() && n < count; ++n) {
            cv_index("extract " + shell_quote(stream) + " " + index + " " + std::to_string(n) +
                     " -o " + shell_quote(out));
            const auto picture = ffmpeg_frame_md5s(out);
            const auto frame =
                std::find(positions.begin(), positions.end(),
                          std::stoull(intra[n].substr(intra[n].find("offset ") + 7)));
            EXPECT_TRUE(picture.size() == 1 &&
                        (anywhere ? std::count(md5s.begin(), md5s.end(), picture[0]) > 0
                                  : frame != positions.end() &&
                                        picture[0] == md5s[size_t(frame - positions.begin())]))
                << intra[n];
        }
        size_t keyframes = 0;
        for (const auto& p : Corvid::Testing::ffprobe_packets(stream, "v:0"))
            keyframes += p.key;
        EXPECT_TRUE(intra.size() + 1 == keyframes || (!intra_only && intra.size() == keyframes));
    }
    if (!missing.empty())
        GTEST_SKIP() << "not found (shared data or generated streams):" << missing;
}

}  // namespace
}  // namespace Corvid::Tools::Testing
