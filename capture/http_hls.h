// GET /hls/<id>.m3u8?start=ISO[&end=ISO], /hls/<id>/iframes.m3u8?... and the byte ranges they
// name, /hls/<id>/<segment file>: a capture's recording played over HTTP (see hls.h). Without end
// the playlist is live and follows the newest segment.
//
// A segment is only ever opened under the name the capture's naming gives the start time read
// from the requested name, and only as a regular file: a URL cannot reach the index files, other
// captures' files or anything outside the capture's directory.
//
// The server sends whole bodies, so a range is read into memory, at most max_range bytes of it:
// a longer range is answered with its first max_range bytes (206 says which), and a request
// without Range for a larger file is refused. Playlist ranges are a few seconds of a channel.
//
// Threading: handle_request runs on any number of server workers at once; the lookup must
// allow that.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "capture/playlist.h"
#include "gantry/web/url_handler.h"

namespace Corvid::Capture {

class HlsHandler : public Gantry::Web::URLHandler {
  public:
    // The settings of the capture id; false when there is none (404).
    using Lookup = std::function<bool(const std::string& id, PlaylistSettings& out)>;

    static constexpr uint64_t default_max_range = 32 << 20;

    explicit HlsHandler(Lookup lookup, uint64_t max_range = default_max_range)
        : URLHandler("/hls/*"), lookup_(std::move(lookup)), max_range_(max_range) {}

    bool handle_request(Gantry::Web::HTTPMessage& request, Gantry::Web::HTTPMessage& response,
                        const Gantry::SSL::ClientDetails& client) override;

  private:
    bool playlist(const std::string& id, bool iframes, const Gantry::Web::HTTPMessage& request,
                  Gantry::Web::HTTPMessage& response);
    bool segment(const std::string& id, const std::string& name,
                 const Gantry::Web::HTTPMessage& request, Gantry::Web::HTTPMessage& response);

    const Lookup lookup_;
    const uint64_t max_range_;
};

// A single byte range of a Range header ("bytes=a-b", "bytes=a-" or "bytes=-n") over a file of
// size bytes, as [first, last]. Returns 0 when it is satisfiable, 416 when not, 400 when the
// header is malformed or names several ranges.
int parse_byte_range(const std::string& header, uint64_t size, uint64_t& first, uint64_t& last);

}  // namespace Corvid::Capture
