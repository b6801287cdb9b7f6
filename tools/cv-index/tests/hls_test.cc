// cv-index playlist and hls on a capture's segment folder; ffmpeg plays what hls writes.
#include <gtest/gtest.h>

#include "capture/tests/playlist_folder.h"

namespace Corvid::Capture::Testing {
namespace {

std::string cv_index(const std::string& arguments, int* status) {
    return run_command(shell_quote(tool_path("cv-index")) + " " + arguments + " 2>&1", status);
}

TEST(CvIndexHls, PlaylistAndHlsOfAFolder) {
    CORVID_REQUIRE_STREAM(stream, "h264-idr2s.ts");
    CORVID_REQUIRE_PROGRAM("ffmpeg");
    SegmentFolder folder;
    ASSERT_TRUE(folder.make(stream, {0, 7, 200}));
    const std::string range =
        shell_quote(folder.dir.path()) + " ch1 2026-03-01T10:00:01Z " + (t0 + Duration(10)).iso();
    int status = -1;
    EXPECT_EQ(cv_index("playlist " + range, &status),
              folder.paths[0] + "\n" + folder.paths[1] +
                  "\nstart 2026-03-01T10:00:01Z npt 1\nend 2026-03-01T10:00:10Z npt 10\n");
    EXPECT_EQ(status, 0);

    const std::string list = folder.dir.file("list.m3u8");
    cv_index("hls " + range + " --target 4 > " + shell_quote(list), &status);
    ASSERT_EQ(status, 0) << run_command("cat " + shell_quote(list));
    EXPECT_EQ(run_command("ffmpeg -v error -i " + shell_quote(list) + " -f null - 2>&1", &status),
              "");
    EXPECT_EQ(status, 0);
    EXPECT_NE(cv_index("hls " + range + " --iframes", &status).find("#EXT-X-I-FRAMES-ONLY\n"),
              std::string::npos);

    struct Failure {
        std::string arguments, output;
        int status;
    } failures[] = {
        {"playlist " + shell_quote(folder.dir.path()) + " ch2 2026-03-01T10:00:01Z",
         "cv-index: no playlist: ch2 playlist: Nothing found for playlist request\n", 1},
        {"hls " + shell_quote(folder.dir.path()) + " ch1 yesterday",
         "cv-index: bad start time: yesterday\n", 2},
        {"hls " + range + " --target 0", "cv-index: bad target: 0\n", 2},
    };
    for (const Failure& f : failures) {
        EXPECT_EQ(cv_index(f.arguments, &status), f.output) << f.arguments;
        EXPECT_EQ(status, f.status) << f.arguments;
    }
}

}  // namespace
}  // namespace Corvid::Capture::Testing
