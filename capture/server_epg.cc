#include "capture/server_epg.h"

#include <algorithm>

#include "capture/epg_capture.h"
#include "gantry/log/log.h"
#include "gantry/xml/configuration.h"

namespace Corvid::Capture {

namespace Log = Gantry::Log;
namespace XML = Gantry::XML;

void append_definitions(std::vector<std::unique_ptr<XML::Element>>& definitions,
                        const std::vector<XML::Element*>& read) {
    for (const XML::Element* definition : read) {
        const std::string text = definition->to_string();
        const bool held = std::any_of(definitions.begin(), definitions.end(),
                                      [&](const auto& d) { return d->to_string() == text; });
        if (!held) definitions.push_back(definition->deep_copy());
    }
}

EPGCaptureSet::EPGCaptureSet(EPGDecoder& decoder)
    : decoder_(decoder),
      captures_(std::make_unique<Gantry::Cache::BasicPointerCache<std::string, EPGCapture>>()) {}

EPGCaptureSet::~EPGCaptureSet() = default;

void EPGCaptureSet::apply_config(XML::Configuration& configuration) {
    append_definitions(definitions_, configuration.get_elements("epg/streams/stream"));
}

void EPGCaptureSet::start_all() {
    for (const auto& definition : definitions_) {
        auto capture = std::make_unique<EPGCapture>(*definition, decoder_);
        if (!capture->valid()) {
            Log::Error() << "Can't start EPG Capture '" << capture->id() << "'" << std::endl;
            continue;
        }
        const std::string id = capture->id();
        // Takes out and destroys (so stops) the one of an earlier read before storing this one.
        captures_->add(id, std::move(capture));
    }
}

void EPGCaptureSet::stop_all() {
    captures_->for_each([](const std::string&, EPGCapture& capture) { capture.shutdown(); });
}

std::vector<std::string> EPGCaptureSet::ids() const {
    std::vector<std::string> ids;
    captures_->for_each([&](const std::string& id, const EPGCapture&) { ids.push_back(id); });
    return ids;
}

void EPGCaptureSet::for_each(const std::function<void(const EPGCapture&)>& fn) const {
    captures_->for_each([&](const std::string&, const EPGCapture& capture) { fn(capture); });
}

}  // namespace Corvid::Capture
