#include <iomanip>
#include <ostream>

#include "capture/hls.h"
#include "capture/playlist.h"
#include "gantry/log/log.h"
#include "gantry/mt/annotations.h"
#include "gantry/mt/mutex.h"
#include "tools/cv-index/commands.h"

namespace Corvid::Tools {

namespace {

using Capture::PlaylistSettings;
using Gantry::Time::Duration;
using Gantry::Time::Stamp;

// The playlist builders give their reasons as detail lines, which the tool does not show; the
// last one becomes the error.
class LastLine final : public Gantry::Log::Channel {
  public:
    LastLine() { Gantry::Log::logger.connect(*this); }
    ~LastLine() override { Gantry::Log::logger.disconnect(*this); }
    void log(const Gantry::Log::Message& message) override {
        Gantry::MT::Lock lock(mutex_);
        text_ = message.text;
    }
    [[noreturn]] void fail(const std::string& what) const {
        Gantry::MT::Lock lock(mutex_);
        throw CommandError(what + (text_.empty() ? "" : ": " + text_));
    }

  private:
    mutable Gantry::MT::Mutex mutex_;
    std::string text_ GANTRY_GUARDED_BY(mutex_);
};

PlaylistSettings settings_of(const SegmentFolder& folder) {
    PlaylistSettings settings;
    settings.naming = {folder.folder + "/" + folder.prefix, folder.id, folder.suffix,
                       folder.index_suffix};
    settings.segment_length = Duration(folder.segment_length);
    return settings;
}

}  // namespace

void print_playlist(const SegmentFolder& folder, Stamp start, Stamp end, std::ostream& out) {
    LastLine last;
    Capture::Playlist playlist;
    if (!Capture::build_playlist(settings_of(folder), start, end, false, playlist))
        last.fail("no playlist");
    for (const std::string& file : playlist.files)
        out << file << '\n';
    out << std::setprecision(15) << "start " << playlist.start_time << " npt " << playlist.start_npt
        << "\nend " << playlist.end_time << " npt " << playlist.end_npt << '\n';
}

void print_hls(const SegmentFolder& folder, Stamp start, Stamp end,
               const Capture::HlsOptions& options, std::ostream& out) {
    LastLine last;
    Capture::HlsPlaylist playlist;
    if (!Capture::build_hls(settings_of(folder), start, end, options, playlist))
        last.fail("no HLS playlist");
    out << playlist.text();
}

}  // namespace Corvid::Tools
