// GET / and /page/...: the operator's page, whose files are built into the program, so an
// installed daemon serves the page that matches its JSON.
#pragma once

#include <string_view>
#include <vector>

#include "gantry/web/url_handler.h"

namespace Corvid::Capture {

struct EmbeddedFile {
    std::string_view name;  // relative to the page's folder, e.g. "vendor/hls.min.js"
    std::string_view content;
};

// The page's files, from the build.
const std::vector<EmbeddedFile>& page_files();

// Serves "/" (the page itself) or "/page/*" (its files), as pattern says.
class PageHandler : public Gantry::Web::URLHandler {
  public:
    explicit PageHandler(std::string pattern) : URLHandler(std::move(pattern)) {}

    bool handle_request(Gantry::Web::HTTPMessage& request, Gantry::Web::HTTPMessage& response,
                        const Gantry::SSL::ClientDetails& client) override;
};

}  // namespace Corvid::Capture
