// Everything a capture definition says, read from the definition element over the defaults
// element, checked, and written back in the capture element form (which reads back as the same
// settings).
//
// Plain values; no threads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "capture/schedule.h"
#include "capture/segment_name.h"
#include "capture/source_settings.h"
#include "gantry/time/duration.h"

namespace Gantry::XML {
class Element;
}

namespace Corvid::Capture {

struct CaptureSettings {
    static constexpr size_t max_id_length = 64;
    static constexpr int default_receive_buffer = 8 << 20;

    std::string id;
    bool external = false;
    Gantry::Time::Duration receive_timeout{1};
    Gantry::Time::Duration receive_resume{30};
    Gantry::Time::Duration event_lead{300};
    Gantry::Time::Duration event_tail{300};
    float event_min_percent = 98;
    SourceSettings source;
    SegmentNaming naming;  // prefix, id, suffix and index suffix
    Gantry::Time::Duration segment_length{3600};
    int segment_count = 24;
    Gantry::Time::Duration epg_history{86400};
    int receive_buffer = default_receive_buffer;  // bytes
    // External mode, from a saved session.
    std::string current_output_path;
    double current_output_base_pcr = 0;
    std::vector<ScheduleEvent> events;

    // Reads every setting (the defaults element may be Element::none). Logs the first problem at
    // error level, in the words of the capture's construction, and returns false: a missing or
    // malformed id, a bad source (see SourceSettings::read), a segment length under one second or
    // a count under one. The address is looked up here.
    bool read(const Gantry::XML::Element& definition, const Gantry::XML::Element& defaults);

    // Fills a "capture" element, apart from current-output and schedule, which depend on the
    // running capture.
    void describe(Gantry::XML::Element& capture) const;
};

// Letters, digits, '.', '_' and '-', not starting with '.', 1 to 64 characters: an id that can
// only ever name files inside its prefix's directory.
bool valid_capture_id(std::string_view id);

}  // namespace Corvid::Capture
