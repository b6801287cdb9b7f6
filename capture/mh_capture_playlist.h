// capture-playlist: the segment files that hold a stretch of a channel's recording, for a guide
// event or for a start time with an optional end time or duration.
//
//   request:  cv:channel, and cv:event (decimal event id), or cv:start with cv:end or
//             cv:duration (an event wins over times; with neither end nor duration the playlist
//             runs to the end of the recording)
//   response: cv:playlist with one cv:file path="..." per segment, then cv:start and cv:end,
//             each with "time" (ISO text) and "npt" (seconds from the start of the first file)
#pragma once

#include "capture/mh_capture_control.h"

namespace Corvid::Capture {

class MH_CapturePlaylist : public ServerHandler {
  public:
    explicit MH_CapturePlaylist(Gantry::XML::Element& config);
    std::string handle(const Gantry::XML::Element& request,
                       const Gantry::Message::SourceContext& source,
                       Gantry::XML::Element& response) const override;
};

}  // namespace Corvid::Capture
