// A channel has one or more "display-name"; a programme has the attributes start, stop and channel
// and the children title (required) and desc, in that order, as the DTD orders them. Times are
// "YYYYMMDDhhmmss +0000".
#include "epg/xmltv.h"

#include <cstdio>
#include <vector>

#include "epg/epg_store.h"
#include "gantry/xml/element.h"

namespace Corvid::Capture {

namespace Time = Gantry::Time;
namespace XML = Gantry::XML;

namespace {

std::string xmltv_time(Time::Stamp t) {
    Time::BrokenDownTime utc = t.utc();
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d +0000", utc.year, utc.month, utc.day,
                  utc.hour, utc.minute, static_cast<int>(utc.seconds));
    return text;
}

// Unique per service and stable across runs: the service id, qualified by the owning capture.
std::string channel_id(const EPGServiceSummary& s) {
    return std::to_string(s.service_id) + "." + s.id;
}

}  // namespace

void write_xmltv(const EPGStore& store, const std::string& generator, std::ostream& out) {
    std::vector<EPGServiceListing> guide;
    store.get_all(guide);

    XML::Element tv("tv");
    tv.set_attr("generator-info-name", generator);
    for (const auto& listing : guide) {
        const auto& s = listing.service;
        XML::Element& channel = tv.add("channel");
        channel.set_attr("id", channel_id(s));
        channel.add("display-name",
                    s.name.empty() ? "Service " + std::to_string(s.service_id) : s.name);
    }
    for (const auto& listing : guide) {
        for (const auto& e : listing.events) {
            XML::Element& programme = tv.add("programme");
            programme.set_attr("start", xmltv_time(e.start));
            programme.set_attr("stop", xmltv_time(e.end()));
            programme.set_attr("channel", channel_id(listing.service));
            programme.add("title", e.name);
            if (!e.description.empty()) programme.add("desc", e.description);
        }
    }
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE tv SYSTEM \"xmltv.dtd\">\n";
    tv.write_to(out);
}

}  // namespace Corvid::Capture
