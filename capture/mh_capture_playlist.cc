#include "capture/mh_capture_playlist.h"

#include <cstdint>

#include "capture/server.h"
#include "gantry/log/log.h"
#include "gantry/message/registry.h"

namespace Corvid::Capture {

namespace Log = Gantry::Log;
namespace Message = Gantry::Message;
namespace Time = Gantry::Time;
namespace XML = Gantry::XML;

namespace {

Message::Registration<MH_CapturePlaylist> registration(Message::handler_registry(),
                                                       "capture-playlist");

// Leading decimal digits, anything else ignored, kept to 16 bits as event ids are.
uint16_t event_id(const std::string& text) {
    uint16_t id = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        id = static_cast<uint16_t>(id * 10 + (c - '0'));
    }
    return id;
}

void add_instant(XML::Element& response, const char* name, Time::Stamp time, double npt) {
    XML::Element& element = response.add(name);
    element.set_attr("time", time.iso());
    element.set_attr_real("npt", npt);
}

}  // namespace

MH_CapturePlaylist::MH_CapturePlaylist(XML::Element& config)
    : ServerHandler(config, "capture-playlist", true) {}

std::string MH_CapturePlaylist::handle(const XML::Element& request, const Message::SourceContext&,
                                       XML::Element& response) const {
    const std::string channel = request.get_child("cv:channel").get_content();
    const std::string event = request.get_child("cv:event").get_content();
    Playlist playlist;
    if (!event.empty()) {
        const uint16_t id = event_id(event);
        Log::Detail() << "Capture playlist request for channel " << channel << " event " << id
                      << std::endl;
        if (!server().event_playlist(channel, id, playlist))
            return "No capture for channel " + channel + " for requested event id " + event;
    } else {
        const std::string start_text = request.get_child("cv:start").get_content();
        const std::string end_text = request.get_child("cv:end").get_content();
        const std::string duration_text = request.get_child("cv:duration").get_content();
        const Time::Stamp start(start_text);
        if (!start.valid()) {
            if (start_text.empty()) {
                Log::Detail() << "Capture playlist request channel " << channel
                              << " with no event or start time" << std::endl;
                return "No event or start time\n";
            }
            Log::Detail() << "Capture playlist request channel " << channel
                          << " with badly formatted start time " << start_text << std::endl;
            return "Unrecognised format for start time: " + start_text;
        }
        Time::Stamp end;
        if (!end_text.empty()) {
            end = Time::Stamp(end_text);
            if (!end.valid()) {
                Log::Detail() << "Capture playlist request channel " << channel
                              << " with badly formatted end time " << end_text << std::endl;
                return "Unrecognised format for end time: " + end_text;
            }
        } else if (!duration_text.empty()) {
            const Time::Duration duration(duration_text);
            if (duration.seconds() == 0) {
                Log::Detail() << "Capture playlist request channel " << channel
                              << " with badly formatted duration " << duration_text << std::endl;
                return "Unrecognised format for duration: " + duration_text;
            }
            end = start + duration;
        }
        const std::string until = end.valid() ? " until " + end.iso() : "";
        Log::Detail() << "Capture playlist request for channel " << channel << " at " << start.iso()
                      << until << std::endl;
        if (!server().playlist(channel, start, end, false, playlist))
            return "No capture for channel " + channel + " at " + start.iso() + until;
    }
    XML::Element& files = response.add("cv:playlist");
    for (const std::string& path : playlist.files)
        files.add("cv:file").set_attr("path", path);
    add_instant(response, "cv:start", playlist.start_time, playlist.start_npt);
    add_instant(response, "cv:end", playlist.end_time, playlist.end_npt);
    return "";
}

}  // namespace Corvid::Capture
