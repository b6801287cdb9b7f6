// Playlists of a capture's segment files: for a time range, or for a programme of the guide.
//
// Built from what is on disk when asked, with no lock: the directory listing, a stat of every
// segment and its index, and the last intra entry of the indexes of the files kept, which gives
// each file's playable length. The capture thread may be writing the newest segment meanwhile;
// its length is whatever its index holds at that moment.
//
// The operations are free functions over the few settings they need, so that a capture, a tool
// or an HTTP handler can call them alike; each call is independent and thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/segment_name.h"
#include "gantry/time/duration.h"
#include "gantry/time/stamp.h"

namespace Corvid::Capture {

class EPGStore;

struct Playlist {
    std::vector<std::string> files;  // segment file paths in time order
    double start_npt = 0;            // start time - start of the first file, seconds
    Gantry::Time::Stamp start_time;  // first instant
    double end_npt = 0;              // end time - start of the first file, seconds
    Gantry::Time::Stamp end_time;    // last instant
};

// The capture settings a playlist depends on.
struct PlaylistSettings {
    SegmentNaming naming;
    Gantry::Time::Duration event_lead{300};
    Gantry::Time::Duration event_tail{300};
    float event_min_percent = 98;
    // Only used to tell whether the newest segment is still being written (HLS); 0: unknown.
    Gantry::Time::Duration segment_length{3600};
};

// A segment file found on disk.
class SegmentFile {
  public:
    SegmentFile(std::string path, std::string index_path, Gantry::Time::Stamp start)
        : path_(std::move(path)), index_path_(std::move(index_path)), start_(start) {}

    const std::string& path() const { return path_; }
    const std::string& index_path() const { return index_path_; }
    Gantry::Time::Stamp start() const { return start_; }
    // NPT of the last intra entry of the index, read on first use; 0 if there is none or the
    // index cannot be read.
    double length();
    Gantry::Time::Stamp end() { return start_ + Gantry::Time::Duration(length()); }

  private:
    std::string path_;
    std::string index_path_;
    Gantry::Time::Stamp start_;
    std::optional<double> length_;
};

// The playlist from start to end (the invalid stamp: to the end of the recording). for_event
// widens the file selection by the event lead and tail and refuses a playlist that covers less
// than the minimum share of [start, end]. Failures are logged and give false. files, if given,
// receives the segments of the playlist with their lengths already read.
bool build_playlist(const PlaylistSettings& settings, Gantry::Time::Stamp start,
                    Gantry::Time::Stamp end, bool for_event, Playlist& out,
                    std::vector<SegmentFile>* files = nullptr);

// The capture's segments that have a non-empty index beside them, oldest first. False if the
// directory cannot be listed or no name matches, both logged unless quiet.
bool list_segments(const PlaylistSettings& settings, std::vector<SegmentFile>& out,
                   bool quiet = false);

// Whether build_playlist would give a playlist for [start, end] over segments already listed,
// so that one listing serves many ranges. Logs nothing.
bool playlist_possible(const PlaylistSettings& settings, const std::vector<SegmentFile>& files,
                       Gantry::Time::Stamp start, Gantry::Time::Stamp end);

// What a capture holds on disk, by the segments list_segments finds.
struct Recording {
    Gantry::Time::Stamp first, last;  // invalid when nothing is recorded
    size_t files = 0;
    uint64_t bytes = 0;  // the segments and their indexes
    std::string newest;  // path of the newest segment
    Gantry::Time::Stamp newest_start;
};
Recording recording_on_disk(const PlaylistSettings& settings);

// The playlist of the guide's event event_id among the services that the capture owns.
bool build_event_playlist(const PlaylistSettings& settings, const EPGStore& store,
                          uint16_t event_id, Playlist& out,
                          std::vector<SegmentFile>* files = nullptr);

}  // namespace Corvid::Capture
