#include "capture/capture_settings.h"

#include <cctype>

#include "gantry/log/log.h"
#include "gantry/xml/element.h"
#include "gantry/xml/path_query.h"

namespace Corvid::Capture {

namespace Log = Gantry::Log;
namespace XML = Gantry::XML;
using Gantry::Time::Duration;

namespace {

// A setting of the defaults element, then of the definition over it.
class Layered {
  public:
    Layered(const XML::Element& definition, const XML::Element& defaults)
        : definition_(const_cast<XML::Element&>(definition)),
          defaults_(const_cast<XML::Element&>(defaults)) {}

    std::string text(std::string_view path, std::string_view def) const {
        return definition_.get_value(path, defaults_.get_value(path, def));
    }
    Duration duration(std::string_view path, std::string_view def) const {
        return Duration(text(path, def));
    }
    int integer(std::string_view path, int def) const {
        return definition_.get_value_int(path, defaults_.get_value_int(path, def));
    }
    double real(std::string_view path, double def) const {
        return definition_.get_value_real(path, defaults_.get_value_real(path, def));
    }

  private:
    // The queries only read.
    XML::PathQuery definition_;
    XML::PathQuery defaults_;
};

}  // namespace

bool valid_capture_id(std::string_view id) {
    if (id.empty() || id.size() > CaptureSettings::max_id_length || id.front() == '.') return false;
    for (unsigned char c : id)
        if (!std::isalnum(c) && c != '.' && c != '_' && c != '-') return false;
    return true;
}

bool CaptureSettings::read(const XML::Element& definition, const XML::Element& defaults) {
    const Layered layered(definition, defaults);
    XML::PathQuery own(const_cast<XML::Element&>(definition));
    id = own.get_value("@id");
    if (id.empty()) {
        Log::Error() << "Cannot allocate capture without id" << std::endl;
        return false;
    }
    const std::string refusal = "Cannot allocate capture '" + id + "' - ";
    if (!valid_capture_id(id)) {
        Log::Error() << refusal << "bad id: only letters, digits, '.', '_' and '-', not first '.',"
                     << " at most " << max_id_length << " characters" << std::endl;
        return false;
    }
    external = layered.text("start/@mode", "auto") == "external";
    receive_timeout = layered.duration("receive/@timeout", "1 second");
    receive_resume = layered.duration("receive/@resume", "30 seconds");
    event_lead = layered.duration("event/@lead", "5 minutes");
    event_tail = layered.duration("event/@tail", "5 minutes");
    event_min_percent = static_cast<float>(layered.real("event/@min-percent", 98));

    std::string problem;
    if (!source.read(definition, defaults, &problem)) {
        Log::Error() << refusal << problem << std::endl;
        return false;
    }

    naming.id = id;
    naming.prefix = layered.text("file/@prefix", "");
    naming.suffix = layered.text("file/@suffix", ".ts");
    naming.index_suffix = layered.text("index/@suffix", "");
    segment_length = layered.duration("segment/@length", "1 hour");
    segment_count = layered.integer("segment/@count", 24);
    if (!(segment_length.seconds() >= 1)) {
        Log::Error() << refusal << "bad segment length: " << segment_length.hms()
                     << " (at least 1 second)" << std::endl;
        return false;
    }
    if (segment_count < 1) {
        Log::Error() << refusal << "bad segment count: " << segment_count << " (at least 1)"
                     << std::endl;
        return false;
    }
    epg_history = layered.duration("epg/@history", (segment_length * segment_count).hms());
    receive_buffer = layered.integer("receive/@buffer", default_receive_buffer);

    current_output_path = own.get_value("current-output/@path");
    current_output_base_pcr = own.get_value_real("current-output/@base-pcr", 0);
    events.clear();
    for (const XML::Element* event : own.get_elements("schedule/event"))
        events.push_back(ScheduleEvent{Gantry::Time::Stamp(event->get_attr("time")),
                                       ScheduleEvent::action_of(event->get_attr("action")),
                                       event->get_attr("path")});
    return true;
}

void CaptureSettings::describe(XML::Element& capture) const {
    capture.set_attr("id", id);
    capture.make_child("start").set_attr("mode", external ? "external" : "auto");
    source.describe(capture.make_child("source"));
    XML::Element& segment = capture.make_child("segment");
    segment.set_attr("length", segment_length.hms());
    segment.set_attr_int("count", segment_count);
    capture.make_child("epg").set_attr("history", epg_history.hms());
    XML::Element& file = capture.make_child("file");
    file.set_attr("prefix", naming.prefix);
    file.set_attr("suffix", naming.suffix);
    capture.make_child("index").set_attr("suffix", naming.index_suffix);
    XML::Element& receive = capture.make_child("receive");
    receive.set_attr("timeout", receive_timeout.hms());
    receive.set_attr("resume", receive_resume.hms());
    receive.set_attr_int("buffer", receive_buffer);
    XML::Element& event = capture.make_child("event");
    event.set_attr("lead", event_lead.hms());
    event.set_attr("tail", event_tail.hms());
    event.set_attr_real("min-percent", event_min_percent);
}

}  // namespace Corvid::Capture
