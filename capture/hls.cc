#include "capture/hls.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "capture/hls_index.h"
#include "epg/epg_store.h"
#include "gantry/log/stream.h"

namespace Corvid::Capture {

namespace Log = Gantry::Log;
using Gantry::Time::Duration;
using Gantry::Time::Stamp;

namespace {

constexpr double kForever = std::numeric_limits<double>::infinity();

std::string leaf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// "2008-05-17T14:00:02.040Z": RFC 8216 asks for ISO 8601 with milliseconds or better.
std::string date_time(Stamp t) {
    const auto utc = t.utc();
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%06.3fZ", utc.year, utc.month,
                  utc.day, utc.hour, utc.minute, std::floor(utc.seconds * 1000) / 1000);
    return text;
}

// Adds the ranges of one file: its intra entries first..last, the ranges ending at the cut of
// entry `last` or, when `last` is the entry count, at the end of the file.
class FileRanges {
  public:
    FileRanges(SegmentIndex& index, const HlsOptions& options, std::string uri,
               std::vector<HlsSegment>& out)
        : index_(index), options_(options), uri_(std::move(uri)), out_(out) {}

    void add(size_t first, size_t last, Stamp file_start, bool discontinuity) {
        const size_t before = out_.size();
        if (options_.iframes)
            add_iframes(first, last);
        else
            add_media(first, last);
        if (out_.size() > before) {
            out_[before].discontinuity = discontinuity;
            out_[before].program_date_time = file_start + Duration(index_.intra()[first].npt);
        }
    }

  private:
    double npt(size_t k) const {
        return k < index_.intra().size() ? index_.intra()[k].npt : index_.last_npt();
    }
    uint64_t cut(size_t k) const {
        return k < index_.intra().size() ? index_.cut(k) : index_.tail_end();
    }

    void add_media(size_t first, size_t last) {
        for (size_t from = first; from < last;) {
            size_t to = from + 1;
            while (to < last && index_.intra()[to].npt < npt(from) + options_.target)
                ++to;
            push(cut(from), cut(to), npt(to) - npt(from));
            from = to;
        }
    }

    void add_iframes(size_t first, size_t last) {
        for (size_t k = first; k < last && k < index_.intra().size(); ++k)
            push(cut(k), index_.intra()[k].picture_end, npt(k + 1) - npt(k));
    }

    void push(uint64_t begin, uint64_t end, double duration) {
        if (end <= begin) return;
        HlsSegment& segment = out_.emplace_back();
        segment.uri = uri_;
        segment.offset = begin;
        segment.length = end - begin;
        segment.duration = std::max(duration, 0.0);
    }

    SegmentIndex& index_;
    const HlsOptions& options_;
    std::string uri_;
    std::vector<HlsSegment>& out_;
};

bool still_written(const PlaylistSettings& settings, const SegmentFile& file,
                   const SegmentIndex& index, const HlsOptions& options) {
    const Stamp now = options.now.valid() ? options.now : Stamp::now();
    const double length = settings.segment_length.seconds();
    // The next file only joins the listing once it holds an indexed picture, so the file whose
    // slot has just run out stays live meanwhile: a player reloading then must not see an end.
    if (length > 0 && !(now < file.start() + Duration(length) + options.live_window)) return false;
    return index.modified().valid() && !(now - index.modified() > options.live_window);
}

bool hls_from(const PlaylistSettings& settings, const Playlist& playlist,
              std::vector<SegmentFile>& files, const HlsOptions& options, HlsPlaylist& out) {
    out = HlsPlaylist();
    out.iframes = options.iframes;
    for (size_t i = 0; i < files.size(); ++i) {
        SegmentFile& file = files[i];
        SegmentIndex index(file.path(), file.index_path());
        const auto& intra = index.intra();
        const double from = (playlist.start_time - file.start()).seconds();
        // The playlist's end is the file's last intra entry unless the request ended earlier.
        const bool cut_short = playlist.end_time < file.end();
        const double to = i + 1 == files.size() && cut_short
                              ? (playlist.end_time - file.start()).seconds()
                              : kForever;
        const bool live =
            i + 1 == files.size() && !cut_short && still_written(settings, file, index, options);
        out.live = live;

        if (intra.empty()) continue;
        size_t first = 0;
        while (first + 1 < intra.size() && intra[first + 1].npt <= from)
            ++first;
        // Entries first..last-1 are played; last == size plays on to the end of the file.
        size_t last = first + 1;
        if (live) {
            // Only ranges that the next reload lists the same way: every one needs its
            // successor's entry, and a media range its full target length.
            last = intra.size() - 1;
            if (!options.iframes) {
                last = first;
                for (size_t k = first + 1; k < intra.size(); ++k)
                    if (intra[k].npt >= intra[last].npt + options.target) last = k;
            }
        } else {
            while (last < intra.size() && intra[last].npt < to)
                ++last;
        }
        if (last <= first) continue;
        FileRanges(index, options, options.uri_prefix + leaf(file.path()), out.segments)
            .add(first, last, file.start(), !out.segments.empty());
    }
    double longest = 0;
    for (const HlsSegment& segment : out.segments)
        longest = std::max(longest, segment.duration);
    out.target_duration = std::max(1, static_cast<int>(std::lround(longest)));
    if (out.segments.empty() && !out.live) {
        Log::Detail() << settings.naming.id << " playlist: No intra entries for HLS" << std::endl;
        return false;
    }
    return true;
}

}  // namespace

std::string HlsPlaylist::text() const {
    std::string text =
        "#EXTM3U\n#EXT-X-VERSION:4\n#EXT-X-TARGETDURATION:" + std::to_string(target_duration) +
        "\n#EXT-X-MEDIA-SEQUENCE:0\n";
    text += live ? "#EXT-X-PLAYLIST-TYPE:EVENT\n" : "#EXT-X-PLAYLIST-TYPE:VOD\n";
    if (iframes) text += "#EXT-X-I-FRAMES-ONLY\n";
    char line[64];
    for (const HlsSegment& segment : segments) {
        if (segment.discontinuity) text += "#EXT-X-DISCONTINUITY\n";
        if (segment.program_date_time.valid())
            text += "#EXT-X-PROGRAM-DATE-TIME:" + date_time(segment.program_date_time) + "\n";
        std::snprintf(line, sizeof line, "#EXTINF:%.3f,\n", segment.duration);
        text += line;
        text += "#EXT-X-BYTERANGE:" + std::to_string(segment.length) + "@" +
                std::to_string(segment.offset) + "\n" + segment.uri + "\n";
    }
    if (!live) text += "#EXT-X-ENDLIST\n";
    return text;
}

bool build_hls(const PlaylistSettings& settings, Stamp start, Stamp end, const HlsOptions& options,
               HlsPlaylist& out) {
    Playlist playlist;
    std::vector<SegmentFile> files;
    return build_playlist(settings, start, end, false, playlist, &files) &&
           hls_from(settings, playlist, files, options, out);
}

bool build_event_hls(const PlaylistSettings& settings, const EPGStore& store, uint16_t event_id,
                     const HlsOptions& options, HlsPlaylist& out) {
    Playlist playlist;
    std::vector<SegmentFile> files;
    return build_event_playlist(settings, store, event_id, playlist, &files) &&
           hls_from(settings, playlist, files, options, out);
}

}  // namespace Corvid::Capture
