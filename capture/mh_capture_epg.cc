#include "capture/mh_capture_epg.h"

#include <vector>

#include "capture/server.h"
#include "gantry/log/log.h"
#include "gantry/message/registry.h"

namespace Corvid::Capture {

namespace Log = Gantry::Log;
namespace Message = Gantry::Message;
namespace Time = Gantry::Time;
namespace XML = Gantry::XML;

namespace {

Message::Registration<MH_CaptureEPGServices> services_registration(Message::handler_registry(),
                                                                   "capture-epg-services");
Message::Registration<MH_CaptureEPGListing> listing_registration(Message::handler_registry(),
                                                                 "capture-epg-listing");

XML::Element& add_service(XML::Element& parent, const EPGServiceSummary& service) {
    XML::Element& element = parent.add("cv:epg-service");
    element.set_attr("id", service.id);
    element.set_attr_int("service-id", service.service_id);
    element.set_attr("provider", service.provider);
    element.set_attr("name", service.name);
    element.set_attr("history-length", service.history_length.hms());
    element.set_attr("base-time", service.base_time.iso());
    return element;
}

// A "time" attribute; absent or empty gives fallback, unreadable text the invalid stamp.
Time::Stamp time_of(const XML::Element& element, Time::Stamp fallback) {
    const std::string text = element.get_attr("time");
    return text.empty() ? fallback : Time::Stamp(text);
}

}  // namespace

MH_CaptureEPGServices::MH_CaptureEPGServices(XML::Element& config)
    : ServerHandler(config, "capture-epg-services", true) {}

std::string MH_CaptureEPGServices::handle(const XML::Element&, const Message::SourceContext&,
                                          XML::Element& response) const {
    Log::Detail() << "Capture EPG services request" << std::endl;
    std::vector<EPGServiceSummary> services;
    if (!server().epg_store().list_services(services)) return "Could not get EPG services list";
    XML::Element& list = response.add("cv:epg-services");
    for (const EPGServiceSummary& service : services)
        add_service(list, service);
    return "";
}

MH_CaptureEPGListing::MH_CaptureEPGListing(XML::Element& config)
    : ServerHandler(config, "capture-epg-listing", true) {}

std::string MH_CaptureEPGListing::handle(const XML::Element& request, const Message::SourceContext&,
                                         XML::Element& response) const {
    std::vector<std::string> ids;
    for (const XML::Element* service : request.get_child("cv:services").get_children("cv:service"))
        ids.push_back(service->get_attr("id"));
    Server& service = server();
    const Time::Stamp start = time_of(request.get_child("cv:start"), Time::Stamp::now());
    const Time::Stamp end = time_of(request.get_child("cv:end"), start);
    Log::Detail() << "Capture EPG listing request from " << start.iso() << " to " << end.iso()
                  << std::endl;
    std::vector<EPGServiceListing> listing;
    if (!service.epg_store().get_listing(ids, start, end, listing))
        return "Could not get EPG services list";
    // Built after the store's lock is released: availability takes the registry's.
    XML::Element& result = response.add("cv:epg-listing");
    for (const EPGServiceListing& entry : listing) {
        XML::Element& events = add_service(result, entry.service).add("cv:epg-events");
        for (const EPGEvent& event : entry.events) {
            XML::Element& element = events.add("cv:epg-event");
            element.set_attr_int("id", event.id);
            element.set_attr("start", event.start.iso());
            element.set_attr("duration", event.duration.hms());
            element.set_attr("name", event.name);
            element.set_attr("description", event.description);
            Playlist playlist;
            element.set_attr_bool("capture", service.playlist(entry.service.id, event.start,
                                                              event.end(), false, playlist));
        }
    }
    return "";
}

}  // namespace Corvid::Capture
