#include "capture/playlist.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>

#include "epg/epg_store.h"
#include "gantry/log/stream.h"
#include "index2/index_reader.h"

namespace Corvid::Capture {

namespace Log = Gantry::Log;
using Gantry::Time::Duration;
using Gantry::Time::Stamp;

namespace {

bool non_empty_file(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

// Keeps the file that may hold effective_start first, and drops it too if it ends before then.
void trim_front(std::vector<SegmentFile>& files, Stamp effective_start) {
    if (files.empty()) return;
    auto x = std::find_if(files.begin(), files.end(),
                          [&](const SegmentFile& f) { return !(f.start() < effective_start); });
    if (x == files.end())
        files.erase(files.begin(), files.end() - 1);
    else if (x != files.begin())
        files.erase(files.begin(), x - 1);
    if (!files.empty() && !(files.front().end() > effective_start)) files.erase(files.begin());
}

// Seconds of [start, end] that the files hold.
double captured_seconds(std::vector<SegmentFile>& files, Stamp start, Stamp end) {
    double captured = 0;
    for (SegmentFile& file : files) {
        if (file.start() > end) continue;
        Stamp from = std::max(file.start(), start);
        Stamp to = std::min(file.end(), end);
        if (to > from) captured += (to - from).seconds();
    }
    return captured;
}

}  // namespace

double SegmentFile::length() {
    if (!length_) {
        length_ = 0;
        Index2::IndexReader reader(index_path_);
        Index2::Block block;
        uint64_t position = 0;
        if (reader.valid() && reader.find_last_intra(block, position)) length_ = block.npt;
    }
    return *length_;
}

bool list_segments(const PlaylistSettings& settings, std::vector<SegmentFile>& out, bool quiet) {
    const SegmentNaming& naming = settings.naming;
    const std::string directory = naming.directory();
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.c_str()), ::closedir);
    if (!dir) {
        if (!quiet)
            Log::Error() << naming.id << " playlist: Can't list files in directory " << directory
                         << std::endl;
        return false;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir.get()))
        if (naming.matches(entry->d_name)) names.emplace_back(entry->d_name);
    if (names.empty()) {
        if (!quiet)
            Log::Detail() << naming.id << " playlist: Nothing found for playlist request"
                          << std::endl;
        return false;
    }
    for (const std::string& name : names) {
        std::string path = naming.path_of(name);
        Stamp start = naming.time_of(name);
        std::string index = naming.index_name(path);
        if (non_empty_file(path) && non_empty_file(index))
            out.emplace_back(std::move(path), std::move(index), start);
    }
    std::stable_sort(out.begin(), out.end(), [](const SegmentFile& a, const SegmentFile& b) {
        return a.start() < b.start();
    });
    return true;
}

namespace {

// build_playlist over segments already listed; logs only unless quiet.
bool select_playlist(const PlaylistSettings& settings, std::vector<SegmentFile> files, Stamp start,
                     Stamp end, bool for_event, Playlist& out, std::vector<SegmentFile>* kept,
                     bool quiet) {
    const std::string& id = settings.naming.id;

    trim_front(files, for_event ? start - settings.event_lead : start);
    if (end.valid()) {
        Stamp effective_end = for_event ? end + settings.event_tail : end;
        while (!files.empty() && files.back().start() > effective_end)
            files.pop_back();
    }
    if (files.empty()) {
        if (!quiet)
            Log::Detail() << id << " playlist: Nothing found for requested time period of capture: "
                          << start << " - " << end << std::endl;
        return false;
    }

    if (for_event) {
        const float wanted = static_cast<float>((end - start).seconds());
        const float captured = static_cast<float>(captured_seconds(files, start, end));
        // A programme of no length is there when any of it is.
        const int percentage =
            wanted > 0 ? static_cast<int>(captured * 100.0f / wanted) : (captured > 0 ? 100 : 0);
        if (percentage < settings.event_min_percent) {
            if (!quiet)
                Log::Detail() << id << " playlist: Only captured " << percentage
                              << "% of requested time period: " << start << " - " << end
                              << std::endl;
            return false;
        }
    }

    const Stamp first_start = files.front().start();
    out.end_time = files.back().end();
    // A start past the end of the last file gives an empty playlist at its end.
    out.start_time = out.end_time;
    for (auto file = files.rbegin(); file != files.rend(); ++file) {
        if (file->start() > start) {
            out.start_time = file->start();
            continue;
        }
        if ((start - file->start()).seconds() <= file->length()) out.start_time = start;
        break;
    }
    out.start_npt = (out.start_time - first_start).seconds();
    if (!quiet)
        Log::Detail() << id << " playlist: Starts at " << out.start_time << ", relative NPT "
                      << Duration(out.start_npt).hms() << std::endl;

    if (end.valid() && end < out.end_time) out.end_time = end;
    out.end_npt = (out.end_time - first_start).seconds();
    if (!quiet)
        Log::Detail() << id << " playlist: Ends at " << out.end_time << ", relative NPT "
                      << Duration(out.end_npt).hms() << std::endl;

    out.files.clear();
    for (const SegmentFile& file : files)
        out.files.push_back(file.path());
    if (!quiet)
        Log::Detail() << id << " playlist: Created playlist of " << out.files.size() << " files"
                      << std::endl;
    if (kept) *kept = std::move(files);
    return true;
}

}  // namespace

bool build_playlist(const PlaylistSettings& settings, Stamp start, Stamp end, bool for_event,
                    Playlist& out, std::vector<SegmentFile>* kept) {
    std::vector<SegmentFile> files;
    return list_segments(settings, files) &&
           select_playlist(settings, std::move(files), start, end, for_event, out, kept, false);
}

bool playlist_possible(const PlaylistSettings& settings, const std::vector<SegmentFile>& files,
                       Stamp start, Stamp end) {
    Playlist playlist;
    return select_playlist(settings, files, start, end, false, playlist, nullptr, true);
}

Recording recording_on_disk(const PlaylistSettings& settings) {
    Recording out;
    std::vector<SegmentFile> files;
    if (!list_segments(settings, files, true) || files.empty()) return out;
    out.first = files.front().start();
    out.last = files.back().end();
    out.files = files.size();
    out.newest = files.back().path();
    out.newest_start = files.back().start();
    for (const SegmentFile& file : files)
        for (const std::string* path : {&file.path(), &file.index_path()}) {
            struct stat st;
            if (::stat(path->c_str(), &st) == 0) out.bytes += static_cast<uint64_t>(st.st_size);
        }
    return out;
}

bool build_event_playlist(const PlaylistSettings& settings, const EPGStore& store,
                          uint16_t event_id, Playlist& out, std::vector<SegmentFile>* files) {
    EPGEvent event;
    if (!store.find_event(settings.naming.id, event_id, event)) {
        Log::Detail() << "Could not find EPG data for event id " << event_id << std::endl;
        return false;
    }
    return build_playlist(settings, event.start, event.end(), true, out, files);
}

}  // namespace Corvid::Capture
