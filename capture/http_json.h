// GET /api/captures and /api/guide: the service's state as JSON, for the operator's page and for
// scripts.
//
// /api/captures: every capture with its settings, state, current segment, counters and what it
// holds on disk, then the EPG captures. /api/guide?start=ISO&hours=N: the guide's services with
// the events that run within [start, start + N hours] (default now and 6; 1 to 48), each event
// flagged with whether its capture can play it now.
//
// Disk work (listing segments, reading the last index entry) happens after the registry's lock
// is released, from a copy of each capture's settings.
#pragma once

#include <string>

#include "capture/http_endpoints.h"
#include "gantry/web/url_handler.h"

namespace Corvid::Capture {

class Server;

class JsonHandler : public Gantry::Web::URLHandler {
  public:
    static constexpr int default_guide_hours = 6;
    static constexpr int max_guide_hours = 48;

    // server must outlive the handler; endpoints tells the page what else is served.
    JsonHandler(Server& server, const HttpEndpoints& endpoints, std::string version)
        : URLHandler("/api/*"),
          server_(server),
          endpoints_(endpoints),
          version_(std::move(version)) {}

    bool handle_request(Gantry::Web::HTTPMessage& request, Gantry::Web::HTTPMessage& response,
                        const Gantry::SSL::ClientDetails& client) override;

    std::string captures();
    // False with the reason in problem when the query is bad.
    bool guide(const std::string& query, std::string& out, std::string& problem);

  private:
    Server& server_;
    const HttpEndpoints endpoints_;
    const std::string version_;
};

}  // namespace Corvid::Capture
