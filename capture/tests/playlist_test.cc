#include "capture/playlist.h"

#include <gtest/gtest.h>

#include <sstream>

#include "capture/tests/playlist_folder.h"
#include "epg/epg_store.h"
#include "tests/support/log_capture.h"

namespace Corvid::Capture::Testing {
namespace {

// Files 0 at t0, 1 at t0 + 7 s (the stream runs on from file 0) and 2 at t0 + 200 s, after a
// gap; at t0 + 350 s one without an index, at t0 + 400 s one whose index is none.
class PlaylistTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CORVID_REQUIRE_STREAM(stream, "h264-idr2s.ts");
        ASSERT_TRUE(folder.make(stream, {0, 7, 200}));
        // The second file's length by the tool's own reading of its intra entries.
        std::istringstream lines(run_command(shell_quote(tool_path("cv-index")) + " intra " +
                                             folder.paths[1] + ".cvi2"));
        for (std::string word; lines >> word;)
            if (word == "NPT") lines >> length;
        ASSERT_GT(length, 2);
        write_file(bad, "segment");
        write_file(bad + ".cvi2", "no index");
        write_file(folder.settings.naming.file_name(t0 + Duration(350)), "segment");
    }
    Stamp s(size_t i, double plus = 0) const { return folder.starts[i] + Duration(plus); }

    SegmentFolder folder;
    double length = 0;
    const std::string bad = folder.settings.naming.file_name(t0 + Duration(400));
};

TEST_F(PlaylistTest, TimeRanges) {
    const auto& p = folder.paths;
    struct Case {
        const char* what;
        Stamp from, to;
        std::vector<std::string> files;
        Stamp start_time, end_time;
        double start_npt, end_npt;
    } cases[] = {
        {"start inside the second", s(1, 1), s(2, 1), {p[1], p[2]}, s(1, 1), s(2, 1), 1, 194},
        {"start in a gap", s(1, 100), s(2, 2), {p[2]}, s(2), s(2, 2), 0, 2},
        {"end 0, unreadable index", s(2, 1), {}, {p[2], bad}, s(2, 1), s(2, 200), 1, 200},
        {"end past file 1", s(0, 1), s(1, 50), {p[0], p[1]}, s(0, 1), s(1, length), 1, 7 + length},
    };
    for (const Case& c : cases) {
        Playlist playlist;
        ASSERT_TRUE(build_playlist(folder.settings, c.from, c.to, false, playlist)) << c.what;
        EXPECT_EQ(playlist.files, c.files) << c.what;
        EXPECT_EQ(playlist.start_time, c.start_time) << c.what;
        EXPECT_EQ(playlist.end_time, c.end_time) << c.what;
        EXPECT_NEAR(playlist.start_npt, c.start_npt, 1e-6) << c.what;
        EXPECT_NEAR(playlist.end_npt, c.end_npt, 1e-6) << c.what;
    }
}

TEST_F(PlaylistTest, LogLinesAndRefusals) {
    LogCapture log;
    Playlist playlist;
    ASSERT_TRUE(build_playlist(folder.settings, s(1, 1), {}, false, playlist));
    const Stamp late = t0 + Duration(9000);
    EXPECT_FALSE(build_playlist(folder.settings, late, {}, false, playlist));
    EXPECT_FALSE(
        build_playlist(folder.settings, t0 - Duration(9), t0 - Duration(1), false, playlist));
    TempDir empty;
    PlaylistSettings nowhere = folder.settings;
    nowhere.naming.prefix = empty.path() + "/";
    EXPECT_FALSE(build_playlist(nowhere, t0, {}, false, playlist));
    nowhere.naming.prefix = empty.path() + "/missing/";
    EXPECT_FALSE(build_playlist(nowhere, t0, {}, false, playlist));
    const std::string unreadable =
        "1 File " + bad + ".cvi2 is not a valid CVI2 file: Channel error (2): Not a CVI2 file";
    const char* nothing = "3 ch1 playlist: Nothing found for requested time period of capture: ";
    EXPECT_EQ(
        log.lines(),
        (std::vector<std::string>{
            unreadable, "3 ch1 playlist: Starts at " + s(1, 1).iso() + ", relative NPT 00:00:01",
            "3 ch1 playlist: Ends at 2026-03-01T10:06:40Z, relative NPT 00:06:33",
            "3 ch1 playlist: Created playlist of 3 files", unreadable, nothing + late.iso() + " - ",
            nothing + s(0, -9).iso() + " - " + s(0, -1).iso(),
            "3 ch1 playlist: Nothing found for playlist request",
            "1 ch1 playlist: Can't list files in directory " + empty.path() + "/missing"}));
}

TEST_F(PlaylistTest, Events) {
    EPGStore store([] { return t0; });
    store.add_service("ch1", Duration(86400), 7, "Test Provider", "Test Channel");
    store.add_event(7, 10, s(1, 1), Duration(2), "covered", "");
    store.add_event(7, 11, s(2, -0.25), Duration(2.5), "90 %", "");
    LogCapture log;
    Playlist playlist;
    ASSERT_TRUE(build_event_playlist(folder.settings, store, 10, playlist));
    // Lead and tail reach the files before and after; the times stay the event's own.
    EXPECT_EQ(playlist.files,
              (std::vector<std::string>{folder.paths[0], folder.paths[1], folder.paths[2]}));
    EXPECT_EQ(playlist.start_time, s(1, 1));
    EXPECT_EQ(playlist.end_time, s(1, 3));
    EXPECT_NEAR(playlist.start_npt, 8, 1e-6);

    EXPECT_FALSE(build_event_playlist(folder.settings, store, 11, playlist));
    PlaylistSettings lenient = folder.settings;
    lenient.event_min_percent = 90;
    EXPECT_TRUE(build_event_playlist(lenient, store, 11, playlist));
    EXPECT_FALSE(build_event_playlist(folder.settings, store, 99, playlist));
    EXPECT_TRUE(log.has_line("3 ch1 playlist: Only captured 90% of requested time period: " +
                             s(2, -0.25).iso() + " - " + s(2, 2.25).iso()));
    EXPECT_TRUE(log.has_line("3 Could not find EPG data for event id 99"));
}

}  // namespace
}  // namespace Corvid::Capture::Testing
