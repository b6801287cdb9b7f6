// The capture registry operations of the service.
#include "capture/server.h"

#include "capture/storage_roots.h"
#include "gantry/log/log.h"

namespace Corvid::Capture {

namespace Log = Gantry::Log;
namespace Time = Gantry::Time;
namespace XML = Gantry::XML;

Capture* Server::find(const Captures::ReadView& view, const std::string& id) const {
    Capture* capture = view.find(id);
    if (!capture) Log::Error() << "Can't find channel ID " << id << " in captures" << std::endl;
    return capture;
}

bool Server::with_capture(const std::string& id, const std::function<void(Capture&)>& fn) {
    Captures::ReadView view(captures_);
    Capture* capture = find(view, id);
    if (capture) fn(*capture);
    return capture != nullptr;
}

namespace {

// One critical section: a capture registered meanwhile under the same id is never replaced. The
// cache's write lock is re-entrant for its holder, which the analysis cannot see.
template <class Cache, class Object>
bool add_unless_present(Cache& cache, const std::string& id,
                        std::unique_ptr<Object>& object) GANTRY_NO_THREAD_SAFETY_ANALYSIS {
    Gantry::MT::WriteGuard guard(cache.lock());
    return !cache.contains(id) && cache.add(id, std::move(object));
}

}  // namespace

bool Server::add_capture(const XML::Element& definition, bool permanent) {
    const Shared settings = shared();
    Capture::Options options;
    options.roots = settings.roots.get();
    options.clock = options_.clock;
    auto capture = std::make_unique<Capture>(
        definition, settings.defaults ? *settings.defaults : XML::Element::none, decoder_,
        permanent, options);
    const std::string id = definition.get_attr("id");
    if (!capture->valid()) {
        Log::Error() << "Can't start capture '" << id << "'" << std::endl;
        return false;
    }
    if (!add_unless_present(captures_, id, capture)) {
        Log::Error() << "Can't add capture '" << id << "'"
                     << " - duplicate id " << std::endl;
        return false;  // the refused capture stops here, outside the lock
    }
    if (!permanent) save_dynamic_state();
    return true;
}

bool Server::remove_capture(const std::string& id) {
    {
        Gantry::MT::WriteGuard guard(captures_.lock());
        Capture* capture = captures_.lookup(id);
        if (!capture) {
            Log::Error() << "Can't remove capture '" << id << "'"
                         << " - no such capture" << std::endl;
            return false;
        }
        if (capture->permanent()) {
            Log::Error() << "Can't remove capture '" << id << "'"
                         << " - not created dynamically" << std::endl;
            return false;
        }
        // Stopped first, so that no segment is begun after its files are deleted.
        capture->stop();
        capture->delete_files(Time::Stamp());
        captures_.remove(id);
    }
    Log::Summary() << "Removed capture '" << id << "'" << std::endl;
    store_.remove_services(id);
    save_dynamic_state();
    return true;
}

bool Server::start_capturing(const std::string& id, const std::string& path, double duration) {
    {
        Captures::ReadView view(captures_);
        Capture* capture = find(view, id);
        if (!capture || !capture->start_capturing(path, false, -1.0)) return false;
        if (duration != 0) capture->schedule_stop(options_.clock() + Time::Duration(duration));
    }
    save_dynamic_state();
    return true;
}

bool Server::stop_capturing(const std::string& id) {
    bool stopped;
    {
        Captures::ReadView view(captures_);
        Capture* capture = find(view, id);
        if (!capture) return false;
        stopped = capture->stop_capturing();
    }
    save_dynamic_state();
    return stopped;
}

bool Server::list_captures(XML::Element& response) {
    Captures::ReadView view(captures_);
    for (auto item : view)
        item.object->describe(response.add("capture"));
    return true;
}

PlaylistSettings playlist_settings(const CaptureSettings& settings) {
    PlaylistSettings playlist;
    playlist.naming = settings.naming;
    playlist.event_lead = settings.event_lead;
    playlist.event_tail = settings.event_tail;
    playlist.event_min_percent = settings.event_min_percent;
    playlist.segment_length = settings.segment_length;
    return playlist;
}

bool Server::playlist(const std::string& id, Time::Stamp start, Time::Stamp end, bool for_event,
                      Playlist& out) {
    Captures::ReadView view(captures_);
    Capture* capture = find(view, id);
    return capture &&
           build_playlist(playlist_settings(capture->settings()), start, end, for_event, out);
}

bool Server::event_playlist(const std::string& id, uint16_t event_id, Playlist& out) {
    Captures::ReadView view(captures_);
    Capture* capture = find(view, id);
    return capture &&
           build_event_playlist(playlist_settings(capture->settings()), store_, event_id, out);
}

}  // namespace Corvid::Capture
