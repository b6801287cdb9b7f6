// The "epg" state file:
//
//   <epg>
//     <services>
//       <service id="capture id" history_length="HH:MM:SS" base_time="ISO time"
//                service_id="decimal" provider="..." name="...">
//         <events>
//           <event id="decimal" start="ISO time" duration="HH:MM:SS"
//           name="title">description</event>
//           ...
//         </events>
//       </service>
//       ...
//     </services>
//   </epg>
//
// Services ascend by service id; events come bucket by bucket, ascending start. The reader uses
// the same names, defaulting what is missing to zero or empty.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "epg/epg_store.h"
#include "epg/utf8.h"
#include "gantry/log/log.h"
#include "gantry/xml/configuration.h"
#include "gantry/xml/element.h"
#include "gantry/xml/parser.h"

namespace Corvid::Capture {

namespace Time = Gantry::Time;
namespace Log = Gantry::Log;
namespace MT = Gantry::MT;
namespace XML = Gantry::XML;

namespace {

constexpr const char* ROOT = "epg";
constexpr const char* SERVICES = "services";
constexpr const char* SERVICE = "service";
constexpr const char* EVENTS = "events";
constexpr const char* EVENT = "event";
constexpr const char* ID = "id";
constexpr const char* HISTORY_LENGTH = "history_length";
constexpr const char* BASE_TIME = "base_time";
constexpr const char* SERVICE_ID = "service_id";
constexpr const char* PROVIDER = "provider";
constexpr const char* NAME = "name";
constexpr const char* START = "start";
constexpr const char* DURATION = "duration";

// Descriptions keep their line feeds and spacing through a save and a load.
constexpr unsigned PARSE_FLAGS = XML::Parser::FOLD_TEXT | XML::Parser::KEEP_WHITESPACE;

}  // namespace

// The lock is held only to copy one service at a time: decoder threads waiting to add an event
// (and so their capture threads, with the ring filling behind them) wait for one service's copy,
// never for the whole document. The document is therefore not one instant of the store, but each
// service in it is.
void EPGStore::build_document(XML::Element& root) const {
    std::vector<uint16_t> ids;
    {
        MT::ReadGuard guard(lock_);
        services_.for_each([&](uint16_t id, const EPGServiceWithEvents&) { ids.push_back(id); });
    }
    XML::Element& services = root.add(SERVICES);
    EPGServiceListing copy;
    for (uint16_t id : ids) {
        {
            MT::ReadGuard guard(lock_);
            const EPGServiceWithEvents* service = services_.lookup(id);
            if (!service) continue;  // removed meanwhile
            copy.service = service->summary;
            copy.events.clear();
            copy.events.reserve(service->events);
            for (const auto& bucket : service->buckets)
                copy.events.insert(copy.events.end(), bucket.begin(), bucket.end());
        }
        const EPGServiceSummary& s = copy.service;
        XML::Element& element = services.add(SERVICE);
        element.set_attr(ID, s.id);
        element.set_attr(HISTORY_LENGTH, s.history_length.hms());
        element.set_attr(BASE_TIME, s.base_time.iso());
        element.set_attr_int(SERVICE_ID, s.service_id);
        element.set_attr(PROVIDER, s.provider);
        element.set_attr(NAME, s.name);
        XML::Element& events = element.add(EVENTS);
        for (EPGEvent& e : copy.events) {
            XML::Element& event = events.add(EVENT, std::move(e.description));
            event.set_attr_int(ID, e.id);
            event.set_attr(START, e.start.iso());
            event.set_attr(DURATION, e.duration.hms());
            event.set_attr(NAME, std::move(e.name));
        }
    }
}

bool EPGStore::save(const std::string& path) const {
    Log::Error errors;
    XML::Configuration file(path, errors);
    build_document(file.replace_root(ROOT));
    if (file.write()) return true;
    Log::Error() << "EPG - could not write new state to " << path << std::endl;
    return false;
}

bool EPGStore::load(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        Log::Summary() << "EPG - could not open file " << path
                       << " for reading: " << std::strerror(errno) << " - assuming new start"
                       << std::endl;
        return false;
    }
    Log::Error errors;
    XML::Parser parser(errors, PARSE_FLAGS);
    bool parsed = true;
    try {
        parsed = parser.read(in).name() == ROOT;
    } catch (const XML::ParseFailed&) {
        parsed = false;
    }
    if (!parsed) {
        Log::Error() << "EPG - could not parse save data from " << path << std::endl;
        return false;
    }
    load_document(parser.root());
    return true;
}

namespace {

// An attribute's value, without copying it; "" when absent.
const std::string& attr(const XML::Element& element, std::string_view name) {
    static const std::string empty;
    const std::string* value = element.attrs().find(name);
    return value ? *value : empty;
}

}  // namespace

void EPGStore::load_document(const XML::Element& root) {
    for (const XML::Element* service : root.get_child(SERVICES).get_children(SERVICE)) {
        // The write lock once per service rather than once per event: readers get their turn
        // between services.
        MT::WriteGuard guard(lock_);
        auto service_id = static_cast<uint16_t>(service->get_attr_int(SERVICE_ID));
        add_service_locked(attr(*service, ID), Time::Duration(attr(*service, HISTORY_LENGTH)),
                           service_id, clean_utf8(attr(*service, PROVIDER)),
                           clean_utf8(attr(*service, NAME)),
                           Time::Stamp(attr(*service, BASE_TIME)));
        EPGServiceWithEvents* record = services_.lookup(service_id);
        if (!record) continue;
        for (const XML::Element* event : service->get_child(EVENTS).get_children(EVENT)) {
            EPGEvent e;
            e.id = static_cast<uint16_t>(event->get_attr_int(ID));
            e.start = Time::Stamp(attr(*event, START));
            e.duration = Time::Duration(attr(*event, DURATION));
            e.name = attr(*event, NAME);
            clean_utf8_in_place(e.name);
            e.description = event->content().empty() ? event->get_content() : event->content();
            clean_utf8_in_place(e.description);
            add_event_to(*record, std::move(e));
        }
    }
}

}  // namespace Corvid::Capture
