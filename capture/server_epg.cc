#include "capture/server_epg.h"

#include "capture/epg_capture.h"
#include "gantry/log/log.h"
#include "gantry/xml/configuration.h"

namespace Corvid::Capture {

namespace Log = Gantry::Log;
namespace XML = Gantry::XML;

EPGCaptureSet::EPGCaptureSet(EPGDecoder& decoder)
    : decoder_(decoder),
      captures_(std::make_unique<Gantry::Cache::BasicPointerCache<std::string, EPGCapture>>()) {}

EPGCaptureSet::~EPGCaptureSet() = default;

void EPGCaptureSet::apply_config(XML::Configuration& configuration) {
    for (const XML::Element* stream : configuration.get_elements("epg/streams/stream"))
        definitions_.push_back(stream->deep_copy());
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

}  // namespace Corvid::Capture
