// The EPG captures of the service: one per "epg/streams/stream" definition, registered by id.
// Every reconfiguration creates them all anew; a new one replaces the one registered under its id.
//
// Threading: apply_config and start_all run on the service's main thread only; ids and stop_all
// may run on any thread. A caller holding the capture registry's lock takes this registry's
// after it, never the other way round.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gantry/cache/cache.h"

namespace Gantry::XML {
class Configuration;
class Element;
}  // namespace Gantry::XML

namespace Corvid::Capture {

class EPGCapture;
class EPGDecoder;

// Appends copies of the definitions read, except those already held word for word: every re-read
// offers the file's definitions again, and the lists are never cleared.
void append_definitions(std::vector<std::unique_ptr<Gantry::XML::Element>>& definitions,
                        const std::vector<Gantry::XML::Element*>& read);

class EPGCaptureSet {
  public:
    // decoder must outlive the set.
    explicit EPGCaptureSet(EPGDecoder& decoder);
    ~EPGCaptureSet();
    EPGCaptureSet(const EPGCaptureSet&) = delete;
    EPGCaptureSet& operator=(const EPGCaptureSet&) = delete;

    // Appends the configuration's new stream definitions to those of earlier reads.
    void apply_config(Gantry::XML::Configuration& configuration);
    // Starts a capture for every definition; those that cannot receive are logged and left out.
    void start_all();
    // Shuts every capture down (they stay registered until destroyed).
    void stop_all();
    std::vector<std::string> ids() const;
    // Calls fn on every capture, in id order, under the registry's read lock.
    void for_each(const std::function<void(const EPGCapture&)>& fn) const;

  private:
    EPGDecoder& decoder_;
    std::vector<std::unique_ptr<Gantry::XML::Element>> definitions_;
    std::unique_ptr<Gantry::Cache::BasicPointerCache<std::string, EPGCapture>> captures_;
};

}  // namespace Corvid::Capture
