// Web::URLHandler: answers the requests whose path matches its pattern on a SimpleHTTPServer.
#pragma once

#include <string>

#include "gantry/net/ssl.h"
#include "gantry/web/http_message.h"

namespace Gantry::Web {

class URLHandler {
  public:
    // Shell-style wildcard pattern ('*', '?', sets), matched case-sensitively against the whole
    // path of the request target (without query or fragment).
    explicit URLHandler(std::string pattern) : pattern_(std::move(pattern)) {}
    virtual ~URLHandler() = default;

    const std::string& pattern() const { return pattern_; }
    bool matches(const std::string& path) const;

    // As HTTPServer::handle_request; called concurrently from the server's workers.
    virtual bool handle_request(HTTPMessage& request, HTTPMessage& response,
                                const SSL::ClientDetails& client) = 0;

  private:
    const std::string pattern_;
};

}  // namespace Gantry::Web
