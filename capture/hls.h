// HLS (RFC 8216) playlists of a capture's recording, built straight from its segment files and
// their indexes: no remuxing, every media segment is a byte range of a segment file.
//
// Media playlist: ranges cut at intra entries, each beginning with the PAT and PMT sent before
// its picture (see hls_index.h), a new range at the first intra entry at least the target
// duration after the last cut. EXTINF is the NPT difference between cuts; each file begins with
// EXT-X-PROGRAM-DATE-TIME (its start time plus the NPT of its first cut) and every file after the
// first with EXT-X-DISCONTINUITY, since each file counts its NPT and its packets afresh. A file
// is played from its first intra entry (what comes before refers to pictures of the file before)
// to its end, except where the requested range ends earlier: there the last range ends at the
// first intra entry at or after the end.
//
// I-frame playlist (EXT-X-I-FRAMES-ONLY): one range per intra entry, from its PAT to the end of
// its picture, lasting until the next intra entry.
//
// Live: while the newest file is still being written and the range reaches past what it holds,
// the playlist is an EVENT playlist without EXT-X-ENDLIST that ends at the last range that can no
// longer change (a media range whose closing intra entry exists; an I-frame with a successor).
// Otherwise it is a VOD playlist with EXT-X-ENDLIST.
//
// Version 4 (byte ranges, I-frames only, decimal EXTINF). Thread-safe like the playlists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/playlist.h"
#include "gantry/time/duration.h"
#include "gantry/time/stamp.h"

namespace Corvid::Capture {

struct HlsOptions {
    bool iframes = false;  // the I-frame playlist instead of the media playlist
    double target = 6;     // seconds between media cuts (at least)
    // Written before each segment's file name (its last path component) to make its URI; empty
    // for a playlist that sits beside the segments.
    std::string uri_prefix;
    // The newest segment counts as still being written when it was modified this recently and its
    // segment length (when the settings give one) ran out less than this long ago: the next file
    // is listed only once it holds an indexed picture.
    Gantry::Time::Duration live_window{10};
    Gantry::Time::Stamp now;  // invalid: the system clock
};

struct HlsSegment {
    std::string uri;
    uint64_t offset = 0;
    uint64_t length = 0;
    double duration = 0;  // seconds
    bool discontinuity = false;
    Gantry::Time::Stamp program_date_time;  // set on the first range of each file
};

struct HlsPlaylist {
    std::vector<HlsSegment> segments;
    bool live = false;
    bool iframes = false;
    int target_duration = 1;
    // The playlist text.
    std::string text() const;
};

// The HLS playlist of the time range [start, end] (end invalid: to the end of the recording).
// False, logged, when the playlist of that range fails, or when it is not live and holds no
// range at all.
bool build_hls(const PlaylistSettings& settings, Gantry::Time::Stamp start, Gantry::Time::Stamp end,
               const HlsOptions& options, HlsPlaylist& out);

// The same for a programme of the guide, with the event playlist's rules (lead, tail, share).
bool build_event_hls(const PlaylistSettings& settings, const EPGStore& store, uint16_t event_id,
                     const HlsOptions& options, HlsPlaylist& out);

}  // namespace Corvid::Capture
