// The guide requests: the services of the EPG store, and the events of chosen captures' services
// in a time window, each marked with whether its capture recorded it.
//
//   cv:capture-epg-services-request               cv:epg-services / cv:epg-service ...
//   cv:capture-epg-listing-request                cv:epg-listing / cv:epg-service /
//     [cv:services / cv:service id="capture"]*      cv:epg-events / cv:epg-event ...
//     [cv:start time="..."] [cv:end time="..."]   (window: now, or start to end)
#pragma once

#include "capture/mh_capture_control.h"

namespace Corvid::Capture {

class MH_CaptureEPGServices : public ServerHandler {
  public:
    explicit MH_CaptureEPGServices(Gantry::XML::Element& config);
    std::string handle(const Gantry::XML::Element& request,
                       const Gantry::Message::SourceContext& source,
                       Gantry::XML::Element& response) const override;
};

class MH_CaptureEPGListing : public ServerHandler {
  public:
    explicit MH_CaptureEPGListing(Gantry::XML::Element& config);
    std::string handle(const Gantry::XML::Element& request,
                       const Gantry::Message::SourceContext& source,
                       Gantry::XML::Element& response) const override;
};

}  // namespace Corvid::Capture
