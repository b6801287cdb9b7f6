// GET /metrics: the service in the Prometheus text exposition format (version 0.0.4). Counters
// end in _total, labels name the capture; every family has its HELP and TYPE lines.
//
// Per capture: datagrams, bytes, ring and kernel drops, continuity errors, RTP losses, files
// opened, write errors, whether it is recording, and the segment the clock says is current (its
// start and age, when that file exists). Running EPG captures; services and events in the
// guide; requests and faults per request name and transport; process start time and version.
//
// A scrape reads the registry under its read lock and copies the guide under the store's lock;
// it stats one file per capture and lists no directory.
#pragma once

#include <functional>
#include <string>

#include "gantry/time/stamp.h"
#include "gantry/web/url_handler.h"

namespace Corvid::Capture {

class Server;

class MetricsHandler : public Gantry::Web::URLHandler {
  public:
    using Clock = std::function<Gantry::Time::Stamp()>;

    MetricsHandler(Server& server, std::string version, Clock clock = &Gantry::Time::Stamp::now)
        : URLHandler("/metrics"),
          server_(server),
          version_(std::move(version)),
          clock_(std::move(clock)) {}

    bool handle_request(Gantry::Web::HTTPMessage& request, Gantry::Web::HTTPMessage& response,
                        const Gantry::SSL::ClientDetails& client) override;

    // The exposition text.
    std::string scrape();

  private:
    Server& server_;
    const std::string version_;
    const Clock clock_;
};

// Seconds since 1970 at which this process started (from /proc), or when first asked.
double process_start_time();

}  // namespace Corvid::Capture
