#include "capture/playlist.h"

#include <gtest/gtest.h>

#include <sstream>

#include "capture/tests/playlist_folder.h"
#include "epg/epg_store.h"
#include "tests/support/log_capture.h"

namespace Corvid::Capture::Testing {
namespace {

// The detail lines: reading the unusable index adds error lines of its own.
std::vector<std::string> details(const LogCapture& log) {
    std::vector<std::string> lines;
    for (const std::string& line : log.lines())
        if (line[0] == '3') lines.push_back(line);
    return lines;
}

// Three files: 0 at t0, 1 at t0 + 7 s (the stream runs on from file 0), 2 at t0 + 200 s after a
// gap; file 3 at t0 + 400 s has an index that is no index, file 4 at t0 + 350 s none at all.
class PlaylistTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CORVID_REQUIRE_STREAM(stream, "h264-idr2s.ts");
        ASSERT_TRUE(folder.make(stream, {0, 7, 200}));
        for (const std::string& path : folder.paths) {
            // Oracle for each file's length: the tool's own reading of the last intra entry.
            std::istringstream lines(run_command(shell_quote(tool_path("cv-index")) + " intra " +
                                                 shell_quote(path + ".cvi2")));
            std::string word;
            double npt = 0;
            while (lines >> word)
                if (word == "NPT") lines >> npt;
            ASSERT_GT(npt, 2);
            end.push_back(folder.starts[ends_size()] + Duration(npt));
        }
        const auto& naming = folder.settings.naming;
        bad = naming.file_name(t0 + Duration(400));
        write_file(bad, "segment");
        write_file(naming.index_name(bad), "no index");
        write_file(naming.file_name(t0 + Duration(350)), "segment without index");
    }
    size_t ends_size() const { return end.size(); }
    Stamp start(size_t i) const { return folder.starts[i]; }

    SegmentFolder folder;
    std::vector<Stamp> end;  // start + last intra NPT
    std::string bad;
};

TEST_F(PlaylistTest, TimeRanges) {
    const Stamp none;
    const Stamp bad_start = t0 + Duration(400);
    struct Case {
        const char* what;
        Stamp from, to;
        std::vector<std::string> files;
        Stamp start_time, end_time;
        double start_npt, end_npt;
    } cases[] = {
        {"start inside the second file",
         start(1) + Duration(1),
         start(2) + Duration(1),
         {folder.paths[1], folder.paths[2]},
         start(1) + Duration(1),
         start(2) + Duration(1),
         1,
         194},
        {"start in a gap",
         start(1) + Duration(100),
         start(2) + Duration(2),
         {folder.paths[2]},
         start(2),
         start(2) + Duration(2),
         0,
         2},
        {"end 0: to the end, the unreadable index adds no length",
         start(2) + Duration(1),
         none,
         {folder.paths[2], bad},
         start(2) + Duration(1),
         bad_start,
         1,
         200},
        {"start before all, end inside the first",
         t0 - Duration(3600),
         start(0) + Duration(1),
         {folder.paths[0]},
         start(0),
         start(0) + Duration(1),
         0,
         1},
        {"end past the second",
         start(0) + Duration(1),
         end[1] + Duration(50),
         {folder.paths[0], folder.paths[1]},
         start(0) + Duration(1),
         end[1],
         1,
         (end[1] - start(0)).seconds()},
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
    ASSERT_TRUE(build_playlist(folder.settings, start(1) + Duration(1), {}, false, playlist));
    const std::string from = (start(1) + Duration(1)).iso();
    EXPECT_TRUE(log.has_line("3 ch1 playlist: Starts at " + from + ", relative NPT 00:00:01"));
    EXPECT_TRUE(log.has_line("3 ch1 playlist: Ends at " + (t0 + Duration(400)).iso() +
                             ", relative NPT 00:06:33"));
    EXPECT_TRUE(log.has_line("3 ch1 playlist: Created playlist of 3 files"));
    EXPECT_TRUE(log.contains("is not a valid CVI2 file", 1));

    log.clear();
    const Stamp late = t0 + Duration(9000);
    EXPECT_FALSE(build_playlist(folder.settings, late, {}, false, playlist));
    EXPECT_FALSE(
        build_playlist(folder.settings, t0 - Duration(99), t0 - Duration(9), false, playlist));
    EXPECT_EQ(details(log),
              (std::vector<std::string>{
                  "3 ch1 playlist: Nothing found for requested time period of capture: " +
                      late.iso() + " - ",
                  "3 ch1 playlist: Nothing found for requested time period of capture: " +
                      (t0 - Duration(99)).iso() + " - " + (t0 - Duration(9)).iso()}));

    log.clear();
    TempDir empty;
    PlaylistSettings nowhere = folder.settings;
    nowhere.naming.prefix = empty.path() + "/";
    EXPECT_FALSE(build_playlist(nowhere, t0, {}, false, playlist));
    nowhere.naming.prefix = empty.path() + "/missing/";
    EXPECT_FALSE(build_playlist(nowhere, t0, {}, false, playlist));
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "3 ch1 playlist: Nothing found for playlist request",
                  "1 ch1 playlist: Can't list files in directory " + empty.path() + "/missing"}));
}

TEST_F(PlaylistTest, Events) {
    EPGStore store([] { return t0; });
    store.add_service("ch1", Duration(86400), 7, "Test Provider", "Test Channel");
    store.add_event(7, 10, start(1) + Duration(1), Duration(2), "covered", "");
    store.add_event(7, 11, start(2) - Duration(0.25), Duration(2.5), "90 %", "");
    LogCapture log;
    Playlist playlist;
    ASSERT_TRUE(build_event_playlist(folder.settings, store, 10, playlist));
    // Lead and tail reach the files before and after; the times stay the event's own.
    EXPECT_EQ(playlist.files,
              (std::vector<std::string>{folder.paths[0], folder.paths[1], folder.paths[2]}));
    EXPECT_EQ(playlist.start_time, start(1) + Duration(1));
    EXPECT_EQ(playlist.end_time, start(1) + Duration(3));
    EXPECT_NEAR(playlist.start_npt, 8, 1e-6);

    log.clear();
    EXPECT_FALSE(build_event_playlist(folder.settings, store, 11, playlist));
    PlaylistSettings lenient = folder.settings;
    lenient.event_min_percent = 90;
    EXPECT_TRUE(build_event_playlist(lenient, store, 11, playlist));
    EXPECT_FALSE(build_event_playlist(folder.settings, store, 99, playlist));
    EXPECT_EQ(details(log)[0], "3 ch1 playlist: Only captured 90% of requested time period: " +
                                   (start(2) - Duration(0.25)).iso() + " - " +
                                   (start(2) + Duration(2.25)).iso());
    EXPECT_EQ(details(log).back(), "3 Could not find EPG data for event id 99");
}

}  // namespace
}  // namespace Corvid::Capture::Testing
